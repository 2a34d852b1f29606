/* Instructions per kernel operation on a board, counted under
 * QEMU with -icount shift=0, where virtual time advances one nanosecond per
 * instruction: the board's counter (SysTick, a timer, mtime) measures each
 * loop, and a loop of known length converts its ticks into instructions.
 * Each figure is beyond a baseline loop that calls a no-op task entry
 * through a pointer. */
#include <stdint.h>
#include <stdio.h>

#include "board.h"
#include "onestack.h"

enum { ITERATIONS = 20000 };

static uint32_t Elapsed(uint32_t since) { return (BoardCounter() - since) & BOARD_COUNTER_MASK; }

static void NoOp(void) {}
static void (*volatile no_op)(void) = NoOp;
static void TerminateOnly(void) { TerminateTask(); }

static void Baseline(void) { no_op(); }
static void RoundTrip(void) { ActivateTask(TerminateOnly, 2, "higher"); }
static void AcquireRelease(void) {
    AcquireResource(5, 0);
    ReleaseResource(5, 0);
}
static void InterruptCeiling(void) { ReleaseInterruptCeiling(AcquireInterruptCeiling(1)); }

/* Timers: a tick with eight timers running and none due; and, from a
 * software-raised interrupt, one and then two 1-tick periodic timers'
 * activations of higher tasks, which run at the interrupt's exit, beside
 * the same activations made by the handler itself. */
static void AdvanceOneTick(void) { AdvanceTime(1); }
static void ActivateInHandler(void) { ActivateTask(TerminateOnly, 2, "by handler"); }
static void ActivateTwiceInHandler(void) {
    ActivateTask(TerminateOnly, 2, "by handler");
    ActivateTask(TerminateOnly, 2, "by handler");
}
static void (*volatile irq0_work)(void) = ActivateInHandler;
void IRQ0_Handler(void) { irq0_work(); }
static void RaiseIrq0(void) { BoardPendIrq(0); }

static uint32_t LoopTicks(void (*once)(void)) {
    const uint32_t start = BoardCounter();
    for (int i = 0; i < ITERATIONS; ++i) once();
    return Elapsed(start);
}

/* Channels: ROUNDS times, the measuring task takes a resource above the
 * consumer, sends one item (which activates it) and then CHANNEL_ITEMS
 * sends to the channel that holds it, timed; at the release the consumer
 * receives one item and then CHANNEL_ITEMS, timed. A small channel, so
 * that the kernel's tables stay where a program of this size has them. */
enum { CHANNEL_ITEMS = 100, ROUNDS = 10 };
static uint32_t channel_send, channel_receive;
static void Consume(void);
ONESTACK_CHANNEL(counted, CHANNEL_ITEMS + 1, Consume, 3, "consumer");
static void Consume(void) {
    uintptr_t item;
    ReceiveChannel(&counted, &item);
    const uint32_t start = BoardCounter();
    for (int i = 0; i < CHANNEL_ITEMS; ++i) ReceiveChannel(&counted, &item);
    channel_receive += Elapsed(start);
    while (ReceiveChannel(&counted, &item)) {
    }
    TerminateTask();
}
static void SendOne(void) { SendChannel(&counted, 7); }
static void SendRounds(void) {
    for (int round = 0; round < ROUNDS; ++round) {
        AcquireResource(3, 0);
        SendChannel(&counted, 7); /* activates the consumer, which waits */
        const uint32_t start = BoardCounter();
        for (int i = 0; i < CHANNEL_ITEMS; ++i) SendOne();
        channel_send += Elapsed(start);
        ReleaseResource(3, 0);
    }
}

static uint32_t baseline, round_trip, acquire_release, interrupt_ceiling, tick, interrupt_activation,
    interrupt_expiry, interrupt_expiry2, interrupt_activation2;

static void Measure(void) {
    baseline = LoopTicks(Baseline);
    round_trip = LoopTicks(RoundTrip);
    acquire_release = LoopTicks(AcquireRelease);
    interrupt_ceiling = LoopTicks(InterruptCeiling);
    TimerId far[MAX_TIMERS];
    for (int i = 0; i < MAX_TIMERS; ++i) far[i] = StartTimer(TerminateOnly, 2, "far", MAX_TIMER_TICKS, 0);
    tick = LoopTicks(AdvanceOneTick);
    for (int i = 0; i < MAX_TIMERS; ++i) StopTimer(far[i]);
    BoardEnableIrq(0);
    interrupt_activation = LoopTicks(RaiseIrq0);
    irq0_work = AdvanceOneTick;
    StartTimer(TerminateOnly, 2, "every tick", 1, 1);
    interrupt_expiry = LoopTicks(RaiseIrq0);
    const TimerId second = StartTimer(TerminateOnly, 2, "every tick", 1, 1);
    interrupt_expiry2 = LoopTicks(RaiseIrq0);
    StopTimer(second);
    irq0_work = ActivateTwiceInHandler;
    interrupt_activation2 = LoopTicks(RaiseIrq0);
    SendRounds();
    TerminateTask();
}

/* BoardCountdown makes exactly two instructions per pass. */
static uint32_t CalibrationTicks(uint32_t passes) {
    const uint32_t start = BoardCounter();
    BoardCountdown(passes);
    return Elapsed(start);
}

static void ReportOf(const char *what, uint32_t ticks, uint32_t iterations, double instructions_per_tick) {
    const double loop = (double)baseline * iterations / ITERATIONS;
    const double per_op = ((double)ticks - loop) * instructions_per_tick / iterations;
    printf("%-24s %6.1f\n", what, per_op);
}

/* The channels' loops are timed in rounds of 100, each to within a tick of
 * the counter: their figures are whole instructions, rounded. */
static void ReportRounded(const char *what, uint32_t ticks, uint32_t iterations,
                          double instructions_per_tick) {
    const double loop = (double)baseline * iterations / ITERATIONS;
    printf("%-24s %6.0f\n", what, ((double)ticks - loop) * instructions_per_tick / iterations);
}

static void Report(const char *what, uint32_t ticks, double instructions_per_tick) {
    ReportOf(what, ticks, ITERATIONS, instructions_per_tick);
}

int main(void) {
    BoardStartCounter();
    StartOS(Measure, 1, "measure");
    const uint32_t calibration_passes = 1000000;
    const double instructions_per_tick = 2.0 * calibration_passes / CalibrationTicks(calibration_passes);
    printf("instructions beyond the baseline loop (%.1f instructions per counter tick)\n",
           instructions_per_tick);
    Report("preemption round trip", round_trip, instructions_per_tick);
    Report("acquire + release", acquire_release, instructions_per_tick);
    Report("interrupt ceiling", interrupt_ceiling, instructions_per_tick);
    Report("tick, eight timers none due", tick, instructions_per_tick);
    Report("interrupt: activation", interrupt_activation, instructions_per_tick);
    Report("interrupt: timer expiry", interrupt_expiry, instructions_per_tick);
    Report("interrupt: two expiries", interrupt_expiry2, instructions_per_tick);
    Report("interrupt: two activations", interrupt_activation2, instructions_per_tick);
    ReportRounded("channel: send, not empty", channel_send, CHANNEL_ITEMS * ROUNDS, instructions_per_tick);
    ReportRounded("channel: receive", channel_receive, CHANNEL_ITEMS * ROUNDS, instructions_per_tick);
    return 0;
}
