// Scheduling order, observed through the trace that task entries leave.
#include <climits>

#include "trace.h"

namespace {

// Activated priority against a running task of priority 2: only a strictly
// higher priority preempts; an equal or lower one runs after the caller.
int32_t activated_priority;

TEST(Scheduling, OnlyAStrictlyHigherActivationPreempts) {
    struct Row {
        int32_t priority;
        const char *trace;
    };
    const Row rows[] = {
        {3, "A+ B A-"}, {INT32_MAX, "A+ B A-"}, {2, "A+ A- B"}, {1, "A+ A- B"}, {INT32_MIN, "A+ A- B"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.priority);
        activated_priority = row.priority;
        EXPECT_EQ(RunTrace(
                      [] {
                          Mark("A+");
                          ActivateTask([] { Leaf("B"); }, activated_priority, "B");
                          Mark("A-");
                          TerminateTask();
                      },
                      2),
                  row.trace);
    }
}

TEST(Scheduling, StartOsRunsEverythingThenSaysSoAndReturnsZero) {
    TraceText().clear();
    testing::internal::CaptureStdout();
    const int32_t result = StartOS([] { Leaf("only"); }, 0, "only");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Happy end of StartOS!\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(TraceText(), "only");
}

TEST(Scheduling, ShutdownOsOnlyWritesItsMessage) {
    RunTrace([] { Leaf("x"); }, 1);
    testing::internal::CaptureStdout();
    ShutdownOS();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Happy end ShutdownOS!\n");
    EXPECT_EQ(FreeTaskList(), Range(0, 15));
}

// A (1) activates B (3); B activates C (2): C outranks A, so the dispatcher
// inside A's activation runs it before A resumes.
TEST(Scheduling, TaskMadeReadyAboveThePreemptedOneRunsBeforeItResumes) {
    EXPECT_EQ(RunTrace(
                  [] {
                      Mark("A+");
                      ActivateTask(
                          [] {
                              Mark("B+");
                              ActivateTask([] { Leaf("C"); }, 2, "C");
                              Leaf("B-");
                          },
                          3, "B");
                      Leaf("A-");
                  },
                  1),
              "A+ B+ B- C A-");
}

// A (1) activates B (3); B activates D (1): D goes behind A and runs from
// the outermost dispatcher once A has terminated.
TEST(Scheduling, TaskMadeReadyAtThePreemptedPriorityWaitsBehindIt) {
    EXPECT_EQ(RunTrace(
                  [] {
                      Mark("A+");
                      ActivateTask(
                          [] {
                              Mark("B+");
                              ActivateTask([] { Leaf("D"); }, 1, "D");
                              Leaf("B-");
                          },
                          3, "B");
                      Leaf("A-");
                  },
                  1),
              "A+ B+ B- A- D");
}

TEST(Scheduling, EqualPrioritiesRunInActivationOrderAfterHigherOnes) {
    EXPECT_EQ(RunTrace(
                  [] {
                      ActivateTask([] { Leaf("low"); }, 1, "low");
                      ActivateTask([] { Leaf("eq1"); }, 5, "eq1");
                      ActivateTask([] { Leaf("mid"); }, 3, "mid");
                      ActivateTask([] { Leaf("eq2"); }, 5, "eq2");
                      ActivateTask([] { Leaf("eq3"); }, 5, "eq3");
                      Leaf("main");
                  },
                  5),
              "main eq1 eq2 eq3 mid low");
}

TEST(Scheduling, PrioritiesCompareSignedAcrossTheWholeRange) {
    EXPECT_EQ(RunTrace(
                  [] {
                      ActivateTask([] { Leaf("min"); }, INT32_MIN, "min");
                      ActivateTask([] { Leaf("zero"); }, 0, "zero");
                      ActivateTask([] { Leaf("minus1"); }, -1, "minus1");
                      ActivateTask([] { Leaf("nearmax"); }, INT32_MAX - 1, "nearmax");
                      Leaf("max");
                  },
                  INT32_MAX),
              "max nearmax zero minus1 min");
}

TEST(Scheduling, TheSameEntryActivatedTwiceRunsOncePerTaskInOrder) {
    EXPECT_EQ(RunTrace(
                  [] {
                      const TaskEntry twice = [] {
                          Mark("twice@" + std::to_string(onestack::ready_head));
                          TerminateTask();
                      };
                      ActivateTask(twice, 1, "one");
                      ActivateTask(twice, 1, "two");
                      Leaf("first");
                  },
                  1),
              "first twice@1 twice@2");
}

int entries;

TEST(Scheduling, AnEntryThatReturnsWithoutTerminatingIsEnteredAgain) {
    entries = 0;
    EXPECT_EQ(RunTrace(
                  [] {
                      Mark("A" + std::to_string(++entries));
                      if (entries == 1) ActivateTask([] { Leaf("low"); }, 0, "low");
                      if (entries == 3) TerminateTask();
                  },
                  1),
              "A1 A2 A3 low");
}

TEST(Scheduling, WorkAfterTerminateTaskFinishesBeforeTheNextTaskRuns) {
    EXPECT_EQ(RunTrace(
                  [] {
                      ActivateTask([] { Leaf("next"); }, 1, "next");
                      TerminateTask();
                      Mark("after-terminate");
                  },
                  1),
              "after-terminate next");
}

// Each level activates one level above itself until 16 tasks are live.
void Level() {
    const TaskId me = onestack::ready_head;
    Mark(std::to_string(me) + "+");
    if (me + 1 < MAX_TASKS) ActivateTask(Level, me + 1, "level");
    Mark(std::to_string(me) + "-");
    TerminateTask();
}

TEST(Scheduling, SixteenLiveTasksNestedByPreemption) {
    EXPECT_EQ(RunTrace(Level, 0), "0+ 1+ 2+ 3+ 4+ 5+ 6+ 7+ 8+ 9+ 10+ 11+ 12+ 13+ 14+ 15+ "
                                  "15- 14- 13- 12- 11- 10- 9- 8- 7- 6- 5- 4- 3- 2- 1- 0-");
    EXPECT_EQ(FreeTaskList(), Range(0, 15));
}

} // namespace
