// Broken preconditions that the kernel detects stop the program with one
// line naming the operation and the rule, after flushing standard output.
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "trace.h"

namespace {

using onestack::run_state;

void Activate17() {
    for (int i = 0; i < MAX_TASKS; ++i) ActivateTask([] { TerminateTask(); }, 0, "filler");
}

TEST(StopsDeathTest, SeventeenthLiveTask) {
    EXPECT_DEATH(StartOS(Activate17, 1, "first"),
                 "^onestack: ActivateTask: no free task record \\(16 tasks live\\)\n$");
}

TEST(StopsDeathTest, NullEntry) {
    EXPECT_DEATH(StartOS(nullptr, 1, "first"), "^onestack: StartOS: the entry is null\n$");
    EXPECT_DEATH(StartOS([] { ActivateTask(nullptr, 2, "null"); }, 1, "first"),
                 "^onestack: ActivateTask: the entry is null\n$");
}

// Each kernel call a task may make, by name.
struct Call {
    const char *name;
    void (*make)();
};
const Call task_calls[] = {
    {"ActivateTask", [] { ActivateTask([] { TerminateTask(); }, 9, "late"); }},
    {"TerminateTask", [] { TerminateTask(); }},
    {"AcquireResource", [] { AcquireResource(9, 0); }},
    {"ReleaseResource", [] { ReleaseResource(9, 0); }},
};

// From the host program there is no running task, before the first run
// (a fresh process) as after one.
TEST(StopsDeathTest, KernelCallsOutsideARun) {
    // The child starts afresh, so its first call comes before any StartOS.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const Call &call : task_calls) {
        SCOPED_TRACE(call.name);
        const std::string stop =
            std::string("^onestack: ") + call.name + ": no task is running \\(called outside StartOS\\)\n$";
        EXPECT_DEATH(call.make(), stop);
        RunTrace([] { TerminateTask(); }, 1);
        EXPECT_DEATH(call.make(), stop);
    }
    GTEST_FLAG_SET(death_test_style, style);
}

// After its TerminateTask an entry's kernel call would act on whatever task
// heads the list then: the task it preempted, an equal that waits, or none.
const Call *late_call;
TEST(StopsDeathTest, KernelCallsAfterTerminateTask) {
    const TaskEntry ended_entries[] = {
        [] { // preempting A, which is suspended in its ActivateTask
            ActivateTask(
                [] {
                    TerminateTask();
                    late_call->make();
                },
                2, "B");
            TerminateTask();
        },
        [] { // with an equal task waiting behind it
            ActivateTask([] { TerminateTask(); }, 1, "equal");
            TerminateTask();
            late_call->make();
        },
        [] { // the last task: the list is empty
            TerminateTask();
            late_call->make();
        },
    };
    for (const Call &call : task_calls) {
        late_call = &call;
        for (TaskEntry entry : ended_entries) {
            SCOPED_TRACE(call.name);
            EXPECT_DEATH(StartOS(entry, 1, "A"), std::string("^onestack: ") + call.name +
                                                     ": called after the task's TerminateTask\n$");
        }
    }
    EXPECT_DEATH(StartOS(
                     [] {
                         TerminateTask();
                         StartOS([] { TerminateTask(); }, 1, "nested");
                     },
                     1, "A"),
                 "^onestack: StartOS: a run is in progress");
}

TEST(StopsDeathTest, StartOsWhileARunIsInProgress) {
    EXPECT_DEATH(StartOS([] { StartOS([] { TerminateTask(); }, 2, "inner"); }, 1, "outer"),
                 "^onestack: StartOS: a run is in progress \\(called from a task, or an entry was left "
                 "by longjmp or an exception\\)\n$");
}

// A handler may call ActivateTask and nothing else.
const Call *handler_call;
TEST(StopsDeathTest, KernelCallsFromAHandler) {
    const Call handler_calls[] = {
        task_calls[1],
        task_calls[2],
        task_calls[3],
        {"StartOS", [] { StartOS([] { TerminateTask(); }, 1, "nested"); }},
    };
    for (const Call &call : handler_calls) {
        SCOPED_TRACE(call.name);
        handler_call = &call;
        EXPECT_DEATH(StartOS([] { SimulateInterrupt([] { handler_call->make(); }); }, 1, "A"),
                     std::string("^onestack: ") + call.name + ": called from an interrupt handler\n$");
    }
    // Outside a run the handler's activation would be lost: it stops.
    EXPECT_DEATH(SimulateInterrupt(task_calls[0].make),
                 "^onestack: ActivateTask: called from an interrupt handler outside StartOS\n$");
    EXPECT_DEATH(StartOS([] { SimulateInterrupt([] { ActivateTask(nullptr, 2, "null"); }); }, 1, "A"),
                 "^onestack: ActivateTask: the entry is null\n$");
    EXPECT_DEATH(StartOS([] { SimulateInterrupt(Activate17); }, 1, "A"),
                 "^onestack: ActivateTask: no free task record \\(16 tasks live\\)\n$");
    EXPECT_DEATH(SimulateInterrupt(nullptr), "^onestack: SimulateInterrupt: the handler is null\n$");
    // A stop handler that takes an interrupt: its activation stops again.
    EXPECT_DEATH(
        {
            SetStopHandler([](const char *, const char *) { SimulateInterrupt(task_calls[0].make); });
            TerminateTask();
        },
        "^onestack: ActivateTask: called while the kernel is stopping\n$");
}

std::jmp_buf escape;

// A longjmp out of an entry leaves the kernel mid-run, and StartOS says so.
TEST(StopsDeathTest, StartOsAfterALongjmpOutOfAnEntry) {
    EXPECT_DEATH(
        {
            if (setjmp(escape) == 0) StartOS([] { std::longjmp(escape, 1); }, 1, "escapes");
            StartOS([] { TerminateTask(); }, 1, "next");
        },
        "^onestack: StartOS: a run is in progress");
}

// What the tasks wrote before the stop reaches the file, and the stop
// handler sees the operation and the rule; a handler that returns is
// followed by abort().
TEST(StopsDeathTest, OutputIsFlushedAndTheHandlerIsToldBeforeTheStop) {
    const std::string path = testing::TempDir() + "onestack_stop_output.txt";
    EXPECT_DEATH(
        {
            if (std::freopen(path.c_str(), "w", stdout) == nullptr) std::abort();
            SetStopHandler([](const char *operation, const char *rule) {
                std::fprintf(stderr, "handler: [%s] [%s]\n", operation, rule);
            });
            StartOS(
                [] {
                    std::fputs("written by the task", stdout);
                    ReleaseResource(3, 4);
                },
                1, "t");
        },
        "^handler: \\[ReleaseResource\\] \\[the running task holds no such resource\\]\n$");
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "written by the task");
}

// A kernel call from the stop handler would recurse: it gets the default
// line and the abort.
TEST(StopsDeathTest, AKernelCallFromTheHandlerStopsAtOnce) {
    EXPECT_DEATH(
        {
            SetStopHandler([](const char *, const char *) { TerminateTask(); });
            TerminateTask();
        },
        "^onestack: TerminateTask: called while the kernel is stopping\n$");
}

// A handler may leave the run by longjmp; the next StartOS starts afresh
// on reset tables.
TEST(Stops, AHandlerThatLeavesByLongjmpLetsTheNextRunStartAfresh) {
    static std::string seen;
    const StopHandler previous = SetStopHandler([](const char *operation, const char *rule) {
        seen = std::string(operation) + ": " + rule;
        std::longjmp(escape, 1);
    });
    // Null restores the default; the handler is then put back for the run.
    EXPECT_EQ(previous, SetStopHandler(SetStopHandler(nullptr))) << "null restores the default";
    if (setjmp(escape) == 0) {
        RunTrace(
            [] {
                AcquireResource(4, 0);
                ActivateTask([] { Leaf("never runs"); }, 3, "waiting");
                TerminateTask();
            },
            1);
        ADD_FAILURE() << "TerminateTask with a hold did not stop";
    }
    EXPECT_EQ(seen, "TerminateTask: the task still holds a resource");
    EXPECT_EQ(run_state, onestack::STOPPING);
    testing::internal::GetCapturedStdout(); // RunTrace's capture was left open
    EXPECT_EQ(RunTrace([] { Leaf("fresh"); }, 2), "fresh");
    EXPECT_EQ(FreeTaskList(), Range(0, 15));
    EXPECT_EQ(FreeResourceList(), Range(0, 7));
    EXPECT_EQ(run_state, onestack::NO_RUN);
    SetStopHandler(nullptr);
}

} // namespace
