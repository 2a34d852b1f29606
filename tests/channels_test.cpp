// Data into tasks: activation words, what a task may ask about itself,
// activations that may fail, and channels. The differential model covers
// their orderings at random; these cases pin the rules one by one.
#include <csetjmp>
#include <string>

#include "trace.h"

namespace {

using onestack::port::window_handler;

std::string Word() { return std::to_string(TaskWord()); }

TEST(Words, EveryActivationCarriesItsWord) {
    const std::string trace = RunTrace(
        [] {
            Mark("first:" + Word());
            ActivateTask([] { Leaf(("plain:" + Word()).c_str()); }, 2, "plain");
            ActivateTaskWith([] { Leaf(("with:" + Word()).c_str()); }, 2, "with", 7);
            EXPECT_EQ(TryActivateTask([] { Leaf(("tried:" + Word()).c_str()); }, 2, "tried", 8), 1);
            SimulateInterrupt([] {
                ActivateTaskWith([] { Leaf(("handler:" + Word()).c_str()); }, 2, "handler", 9);
                EXPECT_EQ(TryActivateTask([] { Leaf(("handler-tried:" + Word()).c_str()); }, 2, "t", 10), 1);
            });
            StartTimerWith([] { Leaf(("timer:" + Word()).c_str()); }, 2, "timer", 1, 0, UINTPTR_MAX);
            StartTimer([] { Leaf(("timer0:" + Word()).c_str()); }, 2, "timer0", 1, 0);
            AdvanceTime(1);
            TerminateTask();
        },
        1);
    EXPECT_EQ(trace, "first:0 plain:0 with:7 tried:8 handler:9 handler-tried:10 timer:" +
                         std::to_string(UINTPTR_MAX) + " timer0:0");
}

TEST(Words, ATaskAsksItsPriorityNowAndAtActivation) {
    RunTrace(
        [] {
            AcquireResource(5, 0);
            EXPECT_EQ(TaskPriority(), 5);
            EXPECT_EQ(TaskBasePriority(), 1);
            ReleaseResource(5, 0);
            EXPECT_EQ(TaskPriority(), 1);
            TerminateTask();
        },
        1);
}

void Fill16() {
    for (int i = 0; i < MAX_TASKS - 1; ++i) ActivateTask([] { TerminateTask(); }, 0, "filler");
}

// With 16 tasks live, the activations that may fail are refused and
// counted, from a task, a handler and a timer alike; the count saturates.
TEST(Overload, RefusedActivationsAreCountedAndTheRunGoesOn) {
    RunTrace(
        [] {
            Fill16();
            EXPECT_EQ(TryActivateTask([] { TerminateTask(); }, 9, "refused", 0), 0);
            SimulateInterrupt(
                [] { EXPECT_EQ(TryActivateTask([] { TerminateTask(); }, 9, "refused", 0), 0); });
            const TimerId timer = StartTimer([] { TerminateTask(); }, 9, "missed", 1, 0);
            AdvanceTime(1);
            EXPECT_EQ(TimerMisses(timer), 1u);
            EXPECT_EQ(RefusedActivations(), 3u);
            onestack::kernel_variables.refused_activations = UINT32_MAX;
            EXPECT_EQ(TryActivateTask([] { TerminateTask(); }, 9, "refused", 0), 0);
            EXPECT_EQ(RefusedActivations(), UINT32_MAX);
            TerminateTask();
        },
        1);
    RunTrace([] { TerminateTask(); }, 1);
    EXPECT_EQ(RefusedActivations(), 0u) << "each run counts afresh";
}

// A consumer that marks every item it receives, and its word.
void Consume();
ONESTACK_CHANNEL(numbers, 3, Consume, 2, "consumer");
void Consume() {
    EXPECT_EQ(TaskWord(), reinterpret_cast<uintptr_t>(&numbers));
    Mark("consumer");
    uintptr_t item = 0;
    while (ReceiveChannel(&numbers, &item)) Mark(std::to_string(item));
    TerminateTask();
}

void SendFromHandler(uintptr_t item) {
    static uintptr_t next;
    next = item;
    SimulateInterrupt([] { EXPECT_EQ(SendChannel(&numbers, next), 1); });
}

TEST(Channels, ABurstCostsOneActivationAndArrivesInOrder) {
    const std::string trace = RunTrace(
        [] {
            AcquireResource(2, 0); // the consumer waits for the release
            SendFromHandler(1);
            EXPECT_EQ(SendChannel(&numbers, 2), 1);
            SendFromHandler(3);
            EXPECT_EQ(SendChannel(&numbers, 4), 0) << "full";
            EXPECT_EQ(ChannelDrops(&numbers), 1u);
            EXPECT_EQ(FreeTaskList().size(), 14u) << "one record for the consumer";
            ReleaseResource(2, 0);
            Mark("released");
            EXPECT_EQ(SendChannel(&numbers, 5), 1); // a new activation, which preempts
            Mark("sent");
            TerminateTask();
        },
        1);
    EXPECT_EQ(trace, "consumer 1 2 3 released consumer 5 sent");
    RunTrace([] { TerminateTask(); }, 1);
    EXPECT_EQ(ChannelDrops(&numbers), 0u) << "each run counts afresh";
}

// The consumer that sends to its own channel, and receives while holding
// resources: what it holds lies above the channel it holds.
void Echo();
ONESTACK_CHANNEL(echoes, 4, Echo, 3, "echo");
void Echo() {
    AcquireResource(6, 1);
    AcquireResource(7, 2);
    uintptr_t item = 0;
    while (ReceiveChannel(&echoes, &item)) {
        Mark(std::to_string(item));
        if (item < 3) {
            EXPECT_EQ(SendChannel(&echoes, item + 1), 1);
        }
    }
    ReleaseResource(7, 2);
    ReleaseResource(6, 1);
    TerminateTask();
}

TEST(Channels, AConsumerHoldingResourcesFindsItsChannelEmpty) {
    EXPECT_EQ(RunTrace(
                  [] {
                      SendChannel(&echoes, 1);
                      Mark("back");
                      TerminateTask();
                  },
                  1),
              "1 2 3 back");
    EXPECT_EQ(FreeResourceList(), Range(0, 7));
}

// A send that lands after the consumer found the ring empty, before its
// masked re-check, is received: no wake-up is lost. One that lands after
// the re-check activates the consumer anew.
TEST(Channels, ASendInTheEmptyReceivesWindowIsNotLost) {
    const std::string trace = RunTrace(
        [] {
            window_handler = [] { SendChannel(&numbers, 8); };
            SendChannel(&numbers, 7);
            Mark("back");
            TerminateTask();
        },
        1);
    EXPECT_EQ(trace, "consumer 7 8 back");
    EXPECT_EQ(window_handler, nullptr);
}

// Sixteen live tasks: the consumer cannot be activated, so the item is
// refused and counted both as a drop and as a refused activation.
TEST(Channels, AConsumerThatCannotBeActivatedDropsTheItem) {
    RunTrace(
        [] {
            Fill16();
            SimulateInterrupt([] { EXPECT_EQ(SendChannel(&numbers, 1), 0); });
            EXPECT_EQ(ChannelDrops(&numbers), 1u);
            EXPECT_EQ(RefusedActivations(), 1u);
            numbers.drops = UINT32_MAX;
            EXPECT_EQ(SendChannel(&numbers, 1), 0);
            EXPECT_EQ(ChannelDrops(&numbers), UINT32_MAX) << "saturates";
            TerminateTask();
        },
        1);
}

// Each misuse, and the line it stops with.
struct Misuse {
    const char *what;
    void (*entry)();
    const char *stop;
};
Channel undefined; // never set up: all zero
void Consumer() {}
Channel bad_size = {nullptr, 2, 3, Consumer, 1, "c", nullptr, 0, 0, 0, 0};
void ReceiveTwice();
ONESTACK_CHANNEL(twice, 1, ReceiveTwice, 2, "c");
void ReceiveTwice() {
    uintptr_t item;
    while (ReceiveChannel(&twice, &item)) {
    }
    ReceiveChannel(&twice, &item);
}
ONESTACK_CHANNEL(
    early, 1, [] { TerminateTask(); }, 2, "c");

const Misuse misuses[] = {
    {"a channel not set up", [] { SendChannel(&undefined, 1); },
     "SendChannel: the channel was not defined with ONESTACK_CHANNEL"},
    {"a ring of no power-of-two size",
     [] {
         static uintptr_t items[3];
         bad_size.items = items;
         SendChannel(&bad_size, 1);
     },
     "SendChannel: the channel was not defined with ONESTACK_CHANNEL"},
    {"a receive by another task", [] { ReceiveChannel(&numbers, nullptr); },
     "ReceiveChannel: the caller is not the consumer the channel activated, or has found it empty already"},
    {"a receive from a handler", [] { SimulateInterrupt([] { ReceiveChannel(&numbers, nullptr); }); },
     "ReceiveChannel: called from an interrupt handler"},
    {"a consumer that receives again after the empty receive", [] { SendChannel(&twice, 1); },
     "ReceiveChannel: the caller is not the consumer"},
    {"a consumer that terminates before its channel is empty", [] { SendChannel(&early, 1); },
     "TerminateTask: the consumer has not received until its channel was empty"},
    {"a send after TerminateTask that would activate",
     [] {
         TerminateTask();
         SendChannel(&numbers, 1);
     },
     "SendChannel: called after the task's TerminateTask"},
    {"TaskWord from a handler", [] { SimulateInterrupt([] { TaskWord(); }); },
     "TaskWord: called from an interrupt handler"},
    {"TaskPriority after TerminateTask",
     [] {
         TerminateTask();
         TaskPriority();
     },
     "TaskPriority: called after the task's TerminateTask"},
    {"TaskBasePriority from a handler", [] { SimulateInterrupt([] { TaskBasePriority(); }); },
     "TaskBasePriority: called from an interrupt handler"},
    {"TryActivateTask of a null entry", [] { TryActivateTask(nullptr, 2, "null", 0); },
     "ActivateTask: the entry is null"},
    {"ActivateTaskWith of a null entry", [] { ActivateTaskWith(nullptr, 2, "null", 1); },
     "ActivateTask: the entry is null"},
    {"TryActivateTask of a null entry from a handler",
     [] { SimulateInterrupt([] { TryActivateTask(nullptr, 2, "null", 0); }); },
     "ActivateTask: the entry is null"},
};

// The stop a run of `entry` ends in, which leaves it by longjmp, as
// "operation: rule"; empty if it ends without one.
// The stop that `run` ends in, leaving it by longjmp, as "operation: rule";
// empty if it ends without one.
std::jmp_buf escape;
std::string stop_seen;
std::string StopOf(void (*run)()) {
    stop_seen.clear();
    const StopHandler previous = SetStopHandler([](const char *operation, const char *rule) {
        stop_seen = std::string(operation) + ": " + rule;
        std::longjmp(escape, 1);
    });
    if (setjmp(escape) == 0) run();
    SetStopHandler(previous);
    return stop_seen;
}

const Misuse *misuse;
TEST(Channels, EachMisuseStops) {
    for (const Misuse &m : misuses) {
        SCOPED_TRACE(m.what);
        misuse = &m;
        const std::string stop = StopOf([] {
            testing::internal::CaptureStdout();
            StartOS([] { misuse->entry(); }, 1, "A");
        });
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(stop.rfind(m.stop, 0), 0u) << stop;
    }
    // Outside a run, a handler's activation would never run. Each after a
    // clean run: after a stop the kernel is stopping until the next StartOS.
    const InterruptHandler outside[] = {[] { SendChannel(&numbers, 1); },
                                        [] { TryActivateTask([] {}, 1, "t", 0); }};
    const char *const stops[] = {
        "SendChannel: called from an interrupt handler outside a run or while stopping",
        "ActivateTask: called from an interrupt handler outside StartOS"};
    static InterruptHandler handler;
    for (size_t i = 0; i < 2; ++i) {
        RunTrace([] { TerminateTask(); }, 1);
        handler = outside[i];
        EXPECT_EQ(StopOf([] { SimulateInterrupt(handler); }), stops[i]);
    }
}

} // namespace
