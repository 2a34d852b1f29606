// Broken preconditions that the kernel detects stop the program with one
// line naming the operation.
#include "trace.h"

namespace {

void Activate17() {
    for (int i = 0; i < MAX_TASKS; ++i) ActivateTask([] { TerminateTask(); }, 0, "filler");
}

TEST(StopsDeathTest, SeventeenthLiveTask) {
    EXPECT_DEATH(StartOS(Activate17, 1, "first"), "^onestack: ActivateTask: no free task record[^\n]*\n$");
}

TEST(StopsDeathTest, NullEntry) {
    EXPECT_DEATH(StartOS(nullptr, 1, "first"), "^onestack: StartOS: the entry is null\n$");
    EXPECT_DEATH(StartOS([] { ActivateTask(nullptr, 2, "null"); }, 1, "first"),
                 "^onestack: ActivateTask: the entry is null\n$");
}

TEST(StopsDeathTest, TerminateTaskWithNoRunningTask) {
    EXPECT_DEATH(TerminateTask(), "^onestack: TerminateTask: no task is running\n$");
    RunTrace([] { TerminateTask(); }, 1);
    EXPECT_DEATH(TerminateTask(), "^onestack: TerminateTask: no task is running\n$");
}

TEST(StopsDeathTest, StartOsFromARunningTask) {
    EXPECT_DEATH(StartOS([] { StartOS([] { TerminateTask(); }, 2, "inner"); }, 1, "outer"),
                 "^onestack: StartOS: called while a task is running\n$");
}

// B preempts A, then terminates twice: the second call ends A, which is
// still suspended in its ActivateTask.
TEST(StopsDeathTest, KernelCallAfterTerminateTask) {
    EXPECT_DEATH(StartOS(
                     [] {
                         ActivateTask(
                             [] {
                                 TerminateTask();
                                 TerminateTask();
                             },
                             2, "B");
                         TerminateTask();
                     },
                     1, "A"),
                 "^onestack: Dispatch: a kernel call after TerminateTask ended the preempted task\n$");
}

} // namespace
