// Timers: due times that late ticks never shift, the order of equal due
// times, the wrap of the tick count, overloads counted, the races and
// misuses of handles, and activations that behave as a handler's do.
#include <algorithm>
#include <cstdint>
#include <string>

#include "trace.h"

namespace {

// Each timer's task leaves "<letter>@<tick>".
template <char C> void Fired() {
    Mark(std::string(1, C) + "@" + std::to_string(TickCount()));
    TerminateTask();
}

struct Row {
    const char *what;
    void (*script)();
    const char *trace;
};

// Advances from the task of priority 1 that runs the row; the timers' tasks
// have priority 2, so each runs inside the AdvanceTime that makes it due.
void Advance(uint32_t ticks) {
    AdvanceTime(ticks);
    Mark("+" + std::to_string(ticks));
}

const Row rows[] = {
    {"a 3-tick periodic timer advanced 10 ticks at once fires at 3, 6 and 9, each its own activation",
     [] {
         StartTimer(Fired<'A'>, 2, "A", 3, 3);
         Advance(10);
         Advance(2); // 12
     },
     "A@10 A@10 A@10 +10 A@12 +2"},
    {"delay 2, period 3: due at 2, 5, 8, 11, never shifted by a late tick",
     [] {
         StartTimer(Fired<'A'>, 2, "A", 2, 3);
         Advance(4); // 2 came late
         Advance(1); // 5 on time
         Advance(6); // 8 and 11
     },
     "A@4 +4 A@5 +1 A@11 A@11 +6"},
    {"equal due times in the order of starting, a periodic one re-armed among them too",
     [] {
         StartTimer(Fired<'B'>, 2, "B", 1, 1);
         StartTimer(Fired<'A'>, 2, "A", 3, 0);
         StartTimer(Fired<'C'>, 2, "C", 3, 0);
         Advance(3);
     },
     "B@3 B@3 B@3 A@3 C@3 +3"},
    {"a timer stopped among them leaves the others in the order of starting",
     [] {
         const TimerId a = StartTimer(Fired<'A'>, 2, "A", 5, 0);
         StartTimer(Fired<'B'>, 2, "B", 2, 0);
         StopTimer(a);
         StartTimer(Fired<'C'>, 2, "C", 2, 0);
         Advance(2);
     },
     "B@2 C@2 +2"},
    {"a lower timer task alone waits for the caller to end",
     [] {
         StartTimer(Fired<'L'>, 0, "L", 1, 0);
         Advance(1);
         TerminateTask();
     },
     "+1 L@1"},
    {"after the last task's TerminateTask a handler's expiry runs at the interrupt's exit",
     [] {
         StartTimer(Fired<'A'>, 2, "A", 1, 0);
         TerminateTask();
         SimulateInterrupt([] { AdvanceTime(1); });
         Mark("returns");
     },
     "A@1 returns"},
    {"handles and the order of starting stay sound after generations and ranks wrap",
     [] {
         // X, then Z in a lower slot than X's: the renumbering meets them out of order.
         TimerId x = StartTimer(Fired<'X'>, 2, "X", 1, 0);
         while ((x & (MAX_TIMERS - 1)) == 0) {
             StopTimer(x);
             x = StartTimer(Fired<'X'>, 2, "X", 1, 0);
         }
         for (TimerId z = StartTimer(Fired<'Z'>, 2, "Z", 1, 0);
              (z & (MAX_TIMERS - 1)) > (x & (MAX_TIMERS - 1)); z = StartTimer(Fired<'Z'>, 2, "Z", 1, 0)) {
             StopTimer(z);
         }
         for (int i = 0; i < MAX_TIMERS * 256 + 4; ++i) StopTimer(StartTimer(Fired<'A'>, 2, "A", 5, 0));
         const TimerId y = StartTimer(Fired<'Y'>, 2, "Y", 1, 0);
         Advance(1);
         Mark("stop=" + std::to_string(StopTimer(y)));
     },
     "X@1 Z@1 Y@1 +1 stop=0"},
    {"a lower timer task waits for the caller; a higher one runs inside the advance",
     [] {
         StartTimer(Fired<'L'>, 0, "L", 1, 0);
         StartTimer(Fired<'H'>, 2, "H", 1, 0);
         Advance(1);
         TerminateTask();
     },
     "H@1 +1 L@1"},
    {"stopped timers never fire; stopping after the last activation says so",
     [] {
         const TimerId a = StartTimer(Fired<'A'>, 2, "A", 2, 0);
         const TimerId b = StartTimer(Fired<'B'>, 2, "B", 1, 0);
         Advance(1);
         Mark("stopA=" + std::to_string(StopTimer(a)) + " stopB=" + std::to_string(StopTimer(b)));
         Advance(5);
     },
     "B@1 +1 stopA=1 stopB=0 +5"},
    {"from a handler, the timer tasks run at the interrupt's exit, highest first",
     [] {
         StartTimer(Fired<'A'>, 2, "A", 2, 0);
         StartTimer(Fired<'B'>, 3, "B", 2, 0);
         SimulateInterrupt([] {
             AdvanceTime(2);
             Mark("handler");
         });
         Mark("back");
     },
     "handler B@2 A@2 back"},
    {"a slot freed among running timers is found and given out",
     [] {
         TimerId timers[MAX_TIMERS];
         for (int i = 0; i < MAX_TIMERS; ++i) timers[i] = StartTimer(Fired<'A'>, 2, "A", 10, 0);
         StopTimer(timers[3]);
         StartTimer(Fired<'B'>, 2, "B", 1, 0);
         Advance(1);
     },
     "B@1 +1"},
    {"an expiry that finds 16 tasks live is missed, counted, and the timer goes on",
     [] {
         const TimerId a = StartTimer(Fired<'A'>, 2, "A", 1, 1);
         for (int i = 0; i < MAX_TASKS - 1; ++i) ActivateTask([] { TerminateTask(); }, 0, "filler");
         SimulateInterrupt([] { AdvanceTime(2); }); // both activations missed
         Mark("missed=" + std::to_string(TimerMisses(a)));
         SimulateInterrupt([] { AdvanceTime(300); });
         Mark("missed=" + std::to_string(TimerMisses(a)));
     },
     "missed=2 missed=255"},
};

TEST(Timers, DueTimesOrderAndActivations) {
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        static void (*script)();
        script = row.script;
        EXPECT_EQ(RunTrace(
                      [] {
                          script();
                          if (onestack::run_state == onestack::TASK_RUNNING) TerminateTask();
                      },
                      1),
                  row.trace);
    }
}

// The count wraps at 2^32; the longest delay and period work across it.
TEST(Timers, TheLongestDelaysWorkAcrossTheWrap) {
    EXPECT_EQ(RunTrace(
                  [] {
                      for (int i = 0; i < 3; ++i)
                          AdvanceTime(MAX_TIMER_TICKS); // past the horizon, no timer running
                      while (TickCount() < 0xFFFFFFF0u)
                          AdvanceTime(std::min<uint32_t>(MAX_TIMER_TICKS, 0xFFFFFFF0u - TickCount()));
                      const uint32_t start = TickCount();
                      StartTimer(Fired<'A'>, 2, "A", 0x20, 0);
                      StartTimer(Fired<'L'>, 2, "L", MAX_TIMER_TICKS, MAX_TIMER_TICKS);
                      Mark(std::to_string(TicksUntilNextTimer()));
                      AdvanceTime(0x20); // past 2^32
                      Mark(std::to_string(TicksUntilNextTimer() == MAX_TIMER_TICKS - 0x20));
                      AdvanceTime(MAX_TIMER_TICKS - 0x20);
                      AdvanceTime(MAX_TIMER_TICKS);
                      Mark(std::to_string(TickCount() - start == 2 * MAX_TIMER_TICKS));
                      TerminateTask();
                  },
                  1),
              "32 A@16 1 L@2147483631 L@4294967278 1");
}

TEST(Timers, NoTimerMeansNoTimerDueAndAStartOSStopsEveryTimer) {
    EXPECT_EQ(RunTrace(
                  [] {
                      Mark(std::to_string(TicksUntilNextTimer() == NO_TIMER_DUE));
                      StartTimer(Fired<'A'>, 2, "A", 5, 1);
                      TerminateTask();
                  },
                  1),
              "1");
    EXPECT_EQ(RunTrace(
                  [] {
                      Mark(std::to_string(TicksUntilNextTimer() == NO_TIMER_DUE));
                      AdvanceTime(100);
                      TerminateTask();
                  },
                  1),
              "1");
}

TEST(TimersDeathTest, MisusesStop) {
    const struct {
        void (*script)();
        const char *stop;
    } misuses[] = {
        {[] { StartTimer(Fired<'A'>, 2, "A", 0, 0); }, "StartTimer: the delay is 0"},
        {[] { StartTimer(Fired<'A'>, 2, "A", MAX_TIMER_TICKS + 1, 0); }, "StartTimer: the delay is 0"},
        {[] { StartTimer(nullptr, 2, "A", 1, 0); }, "StartTimer: the entry is null"},
        {[] {
             for (int i = 0; i <= MAX_TIMERS; ++i) StartTimer(Fired<'A'>, 2, "A", 5, 0);
         },
         "StartTimer: no free timer \\(8 running\\)"},
        {[] { StartTimer(Fired<'A'>, 2, "A", 1, MAX_TIMER_TICKS + 1); }, "StartTimer: the delay is 0"},
        {[] { StopTimer(3); }, "StopTimer: the handle names no timer"},
        {[] { StopTimer(256 << 3); }, "StopTimer: the handle names no timer"},
        {[] { TimerMisses(-1); }, "TimerMisses: the handle names no timer"},
        {[] {
             const TimerId first = StartTimer(Fired<'A'>, 2, "A", 1, 0);
             AdvanceTime(1);
             for (int i = 0; i < MAX_TIMERS; ++i) StartTimer(Fired<'A'>, 2, "A", 5, 0); // one takes its slot
             StopTimer(first);
         },
         "StopTimer: the handle names no timer: never given out, or its slot has been given to another"},
        {[] {
             StartTimer(Fired<'A'>, 2, "A", 5, 0);
             AdvanceTime(MAX_TIMER_TICKS + 1);
         },
         "AdvanceTime: more than MAX_TIMER_TICKS ticks while a timer runs"},
        {[] {
             StartTimer(Fired<'A'>, 2, "A", 1, 0);
             TerminateTask();
             AdvanceTime(1);
         },
         "AdvanceTime: called after the task's TerminateTask"},
    };
    for (const auto &misuse : misuses) {
        SCOPED_TRACE(misuse.stop);
        EXPECT_DEATH(StartOS(misuse.script, 1, "first"), std::string("^onestack: ") + misuse.stop);
    }
    // Outside a run: from the host program, and from a handler.
    EXPECT_DEATH(StartTimer(Fired<'A'>, 2, "A", 1, 0), "^onestack: StartTimer: no task is running");
    EXPECT_DEATH(
        {
            RunTrace(
                [] {
                    StartTimer(Fired<'A'>, 2, "A", 1, 0);
                    TerminateTask();
                },
                1);
            SimulateInterrupt([] { AdvanceTime(1); });
        },
        "^onestack: AdvanceTime: a timer came due in an interrupt handler outside a run or while "
        "stopping\n$");
    EXPECT_DEATH(SimulateInterrupt([] { StartTimer(Fired<'A'>, 2, "A", 1, 0); }),
                 "^onestack: StartTimer: called in an interrupt handler outside a run or while stopping\n$");
    // While a stop is under way, a handler's call is refused.
    EXPECT_DEATH(StartOS(
                     [] {
                         static TimerId timer;
                         timer = StartTimer(Fired<'A'>, 2, "A", 1, 0);
                         SetStopHandler(
                             [](const char *, const char *) { SimulateInterrupt([] { StopTimer(timer); }); });
                         ReleaseResource(1, 1);
                     },
                     1, "first"),
                 "^onestack: StopTimer: called in an interrupt handler outside a run or while stopping\n$");
}

} // namespace
