// Simulated interrupts on the host: a handler's activations run at the
// interrupt's exit, after the last nested handler and before the
// interrupted code continues.
#include <csetjmp>

#include "trace.h"

namespace {

void Low() { Leaf("low"); }
void Mid() { Leaf("mid"); }
void High() { Leaf("high"); }

// Against a running task of priority 2: a handler's activation runs at the
// exit only if it outranks the task; an equal or lower one waits behind it.
int32_t handler_priority;

TEST(Interrupts, OnlyAStrictlyHigherActivationRunsAtTheExit) {
    const struct {
        int32_t priority;
        const char *trace;
    } rows[] = {{3, "A+ handler high A-"}, {2, "A+ handler A- high"}, {1, "A+ handler A- high"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.priority);
        handler_priority = row.priority;
        EXPECT_EQ(RunTrace(
                      [] {
                          Mark("A+");
                          SimulateInterrupt([] {
                              ActivateTask(High, handler_priority, "high");
                              Mark("handler");
                          });
                          Mark("A-");
                          TerminateTask();
                      },
                      2),
                  row.trace);
    }
}

// Nested handlers and several activations in one: nothing runs until the
// outermost returns, then all that outranks the interrupted task runs by
// priority, equals in arrival order.
TEST(Interrupts, NestedHandlersRunTheirTasksWhenTheOutermostReturns) {
    EXPECT_EQ(RunTrace(
                  [] {
                      Mark("A+");
                      SimulateInterrupt([] {
                          ActivateTask(Mid, 3, "mid");
                          SimulateInterrupt([] {
                              ActivateTask(High, 5, "high");
                              ActivateTask(Low, 1, "low");
                              Mark("inner");
                          });
                          ActivateTask([] { Leaf("mid2"); }, 3, "mid2");
                          Mark("outer");
                      });
                      Mark("A-");
                      TerminateTask();
                  },
                  2),
              "A+ inner outer high mid mid2 A- low");
}

// While the task holds a resource of ceiling 4, a handler's task at 4
// waits for the release, one at 5 does not.
TEST(Interrupts, AHeldCeilingKeepsHandlerTasksAtOrBelowItWaiting) {
    EXPECT_EQ(RunTrace(
                  [] {
                      AcquireResource(4, 0);
                      SimulateInterrupt([] {
                          ActivateTask(Mid, 4, "at the ceiling");
                          ActivateTask(High, 5, "above it");
                      });
                      Mark("held");
                      ReleaseResource(4, 0);
                      Mark("released");
                      TerminateTask();
                  },
                  1),
              "high held mid released");
}

// After its TerminateTask the entry still runs: a handler's task that
// outranks what now heads the list runs before the entry continues, and
// one activated while the list is empty runs too, before StartOS returns.
TEST(Interrupts, ActivationsCountAfterTerminateTaskAndOnAnEmptyList) {
    EXPECT_EQ(RunTrace(
                  [] {
                      ActivateTask(Low, 1, "low");
                      TerminateTask();
                      SimulateInterrupt([] { ActivateTask(Mid, 1, "equal to low"); });
                      SimulateInterrupt([] { ActivateTask(High, 2, "above low"); });
                      Mark("ended");
                  },
                  3),
              "high ended low mid");
    EXPECT_EQ(RunTrace(
                  [] {
                      TerminateTask();
                      SimulateInterrupt([] { ActivateTask(Low, -5, "low"); });
                      Mark("ended");
                  },
                  3),
              "low ended");
    EXPECT_EQ(FreeTaskList(), Range(0, 15));
    EXPECT_EQ(onestack::interrupted_head, onestack::NO_DISPATCH);
}

// The exit dispatch returns to the interrupted state: a task entered there
// may call the kernel, and the interrupted entry, ended, still may not. The
// list was empty at the interrupt, so the dispatch runs until it is again.
TEST(Interrupts, TheInterruptedTaskKeepsItsRunState) {
    EXPECT_EQ(RunTrace(
                  [] {
                      TerminateTask();
                      SimulateInterrupt([] {
                          ActivateTask(
                              [] {
                                  ActivateTask(Mid, 1, "mid");
                                  Leaf("high");
                              },
                              2, "high");
                      });
                      Mark(onestack::run_state == onestack::TASK_ENDED ? "still ended" : "running again");
                  },
                  3),
              "high mid still ended");
}

// From the host program, outside any run, a simulated interrupt runs its
// handler; one that leaves by a stop leaves the simulation too.
std::jmp_buf escape;

TEST(Interrupts, AStopInAHandlerLeavesTheSimulation) {
    SetStopHandler([](const char *, const char *) { std::longjmp(escape, 1); });
    if (setjmp(escape) == 0) {
        RunTrace(
            [] {
                SimulateInterrupt([] {
                    ActivateTask(High, 9, "high");
                    TerminateTask();
                });
            },
            1);
        ADD_FAILURE() << "TerminateTask in a handler did not stop";
    }
    testing::internal::GetCapturedStdout(); // RunTrace's capture was left open
    SetStopHandler(nullptr);
    EXPECT_EQ(onestack::port::HandlerNumber(), 0);
    EXPECT_EQ(RunTrace([] { Leaf("fresh"); }, 1), "fresh");
    EXPECT_EQ(onestack::interrupted_head, onestack::NO_DISPATCH);
}

} // namespace
