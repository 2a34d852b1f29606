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

// Interrupt ceilings. A handler raised at a level leaves its mark, and
// activates a task of priority 9 (above every task here) that leaves one.
template <uint32_t level> void RaisedAt() {
    SimulateInterruptAt(level, [] {
        Mark("h" + std::to_string(level));
        ActivateTask([] { Leaf(("t" + std::to_string(level)).c_str()); }, 9, "by handler");
    });
}

// What a task sees with holds in place: the more urgent handlers run at
// once, and their tasks wait; those held off run at the release that lets
// them in, most urgent first; each release restores the mask its hold
// found, never its own level alone, in whichever order the levels nest.
TEST(InterruptCeilings, HoldOffTheirLevelAndBelowUntilTheRelease) {
    const struct {
        const char *what;
        TaskEntry entry;
        const char *trace;
    } rows[] = {
        {"one hold",
         [] {
             const InterruptHold hold = AcquireInterruptCeiling(3);
             RaisedAt<5>();
             RaisedAt<3>();
             RaisedAt<2>();
             Mark("held");
             ReleaseInterruptCeiling(hold);
             Leaf("A");
         },
         "h2 held h3 h5 t2 t3 t5 A"},
        {"a less urgent hold inside a more urgent one",
         [] {
             const InterruptHold outer = AcquireInterruptCeiling(2);
             const InterruptHold inner = AcquireInterruptCeiling(5);
             RaisedAt<3>();
             ReleaseInterruptCeiling(inner);
             Mark("inner released");
             RaisedAt<6>();
             ReleaseInterruptCeiling(outer);
             Leaf("A");
         },
         "inner released h3 h6 t3 t6 A"},
        {"a more urgent hold inside a less urgent one",
         [] {
             const InterruptHold outer = AcquireInterruptCeiling(5);
             const InterruptHold inner = AcquireInterruptCeiling(2);
             RaisedAt<3>();
             RaisedAt<6>();
             ReleaseInterruptCeiling(inner);
             Mark("inner released");
             ReleaseInterruptCeiling(outer);
             Leaf("A");
         },
         "h3 inner released h6 t3 t6 A"},
        {"inside a resource's hold, whose ceiling then holds the tasks",
         [] {
             AcquireResource(9, 0);
             const InterruptHold hold = AcquireInterruptCeiling(4);
             RaisedAt<4>();
             ReleaseInterruptCeiling(hold);
             Mark("released");
             ReleaseResource(9, 0);
             Leaf("A");
         },
         "h4 released t4 A"},
        {"a handler's hold above a task's",
         [] {
             const InterruptHold hold = AcquireInterruptCeiling(4);
             SimulateInterruptAt(2, [] {
                 const InterruptHold inner = AcquireInterruptCeiling(1);
                 RaisedAt<1>();
                 Mark("h2");
                 ReleaseInterruptCeiling(inner);
             });
             ReleaseInterruptCeiling(hold);
             Leaf("A");
         },
         "h2 h1 t1 A"},
        {"a handler's own holds, nested",
         [] {
             SimulateInterruptAt(4, [] {
                 const InterruptHold outer = AcquireInterruptCeiling(4);
                 const InterruptHold inner = AcquireInterruptCeiling(1);
                 RaisedAt<2>();
                 ReleaseInterruptCeiling(inner);
                 RaisedAt<3>();
                 RaisedAt<5>();
                 ReleaseInterruptCeiling(outer);
                 Mark("h4");
             });
             Leaf("A");
         },
         "h2 h3 h4 h5 t2 t3 t5 A"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(RunTrace(row.entry, 1), row.trace);
        EXPECT_EQ(onestack::kernel_variables.interrupt_holds, 0);
        EXPECT_EQ(onestack::interrupted_head, onestack::NO_DISPATCH);
    }
}

// The task activated by a handler during the hold runs at the release only
// if it outranks the holder; one that does not waits behind it.
TEST(InterruptCeilings, TheReleaseRunsOnlyTasksThatOutrankTheHolder) {
    EXPECT_EQ(RunTrace(
                  [] {
                      const InterruptHold hold = AcquireInterruptCeiling(1);
                      SimulateInterrupt([] {
                          ActivateTask(Low, 1, "low");
                          ActivateTask(High, 3, "high");
                          ActivateTask(Mid, 2, "equal");
                      });
                      ReleaseInterruptCeiling(hold);
                      Leaf("A");
                  },
                  2),
              "high A mid low");
}

std::string stop_seen;
std::string StopOf(TaskEntry entry) {
    stop_seen.clear();
    SetStopHandler([](const char *operation, const char *rule) {
        stop_seen = std::string(operation) + ": " + rule;
        std::longjmp(escape, 1);
    });
    if (setjmp(escape) == 0) RunTrace(entry, 1);
    testing::internal::GetCapturedStdout();
    SetStopHandler(nullptr);
    return stop_seen;
}

void HoldAndTerminate() {
    AcquireInterruptCeiling(3);
    TerminateTask();
}

TEST(InterruptCeilings, EachMisuseStops) {
    const struct {
        TaskEntry entry;
        const char *stop;
    } rows[] = {
        {[] { AcquireInterruptCeiling(0); },
         "AcquireInterruptCeiling: the level is 0 or below the lowest interrupt level"},
        {[] { AcquireInterruptCeiling(8); },
         "AcquireInterruptCeiling: the level is 0 or below the lowest interrupt level"},
        {[] { SimulateInterruptAt(3, [] { AcquireInterruptCeiling(4); }); },
         "AcquireInterruptCeiling: a handler may take only a level at or more urgent than its own"},
        {[] {
             SimulateInterruptAt(3, [] {
                 const InterruptHold hold = AcquireInterruptCeiling(1);
                 AcquireInterruptCeiling(4); // its own level is still 3
                 ReleaseInterruptCeiling(hold);
             });
         },
         "AcquireInterruptCeiling: a handler may take only a level at or more urgent than its own"},
        {[] {
             for (int i = 0; i < 9; ++i) AcquireInterruptCeiling(2);
         },
         "AcquireInterruptCeiling: no free interrupt hold (8 are held)"},
        {[] {
             const InterruptHold outer = AcquireInterruptCeiling(2);
             AcquireInterruptCeiling(3);
             ReleaseInterruptCeiling(outer);
         },
         "ReleaseInterruptCeiling: the hold is not the newest interrupt ceiling held, or not the caller's"},
        {[] {
             const InterruptHold hold = AcquireInterruptCeiling(2);
             ReleaseInterruptCeiling(hold);
             ReleaseInterruptCeiling(hold);
         },
         "ReleaseInterruptCeiling: the hold is not the newest interrupt ceiling held, or not the caller's"},
        {[] {
             static InterruptHold hold;
             hold = AcquireInterruptCeiling(3);
             SimulateInterrupt([] { ReleaseInterruptCeiling(hold); });
         },
         "ReleaseInterruptCeiling: the hold is not the newest interrupt ceiling held, or not the caller's"},
        {HoldAndTerminate, "TerminateTask: the running task holds an interrupt ceiling"},
        {[] {
             AcquireInterruptCeiling(3);
             ActivateTask(High, 5, "high");
         },
         "ActivateTask: the running task holds an interrupt ceiling"},
        {[] {
             AcquireInterruptCeiling(3);
             AcquireResource(4, 0);
         },
         "AcquireResource: the running task holds an interrupt ceiling"},
        {[] {
             AcquireResource(4, 0);
             AcquireInterruptCeiling(3);
             ReleaseResource(4, 0);
         },
         "ReleaseResource: the running task holds an interrupt ceiling"},
        {[] {
             TerminateTask();
             AcquireInterruptCeiling(3);
         },
         "AcquireInterruptCeiling: called after the task's TerminateTask"},
        {[] { SimulateInterruptAt(2, [] { AcquireInterruptCeiling(2); }); },
         "SimulateInterrupt: the handler returned holding an interrupt ceiling"},
        // What the boards find where the host finds it at the handler's
        // return: a hold left beneath a task's first, or above its own.
        {[] {
             onestack::kernel_variables.interrupt_holds = 1;
             AcquireInterruptCeiling(2);
         },
         "AcquireInterruptCeiling: an interrupt handler returned holding an interrupt ceiling"},
        {[] {
             AcquireInterruptCeiling(3);
             onestack::interrupt_hold_entries.context[1] = 16; // a handler's hold, left above the task's
             onestack::kernel_variables.interrupt_holds = 2;
             AcquireInterruptCeiling(2);
         },
         "AcquireInterruptCeiling: an interrupt handler returned holding an interrupt ceiling"},
        {[] { SimulateInterruptAt(8, [] {}); },
         "SimulateInterruptAt: the handler is null or the level above 7"},
        {[] { SimulateInterruptAt(1, nullptr); },
         "SimulateInterruptAt: the handler is null or the level above 7"},
        {[] {
             AcquireInterruptCeiling(1);
             for (int i = 0; i < 17; ++i) SimulateInterruptAt(1, [] {});
         },
         "SimulateInterruptAt: 16 handlers wait already"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.stop);
        EXPECT_EQ(StopOf(row.entry), row.stop);
        // A run started after the stop starts with nothing held.
        EXPECT_EQ(RunTrace(
                      [] {
                          RaisedAt<7>();
                          Leaf("fresh");
                      },
                      1),
                  "h7 t7 fresh");
    }
}

} // namespace
