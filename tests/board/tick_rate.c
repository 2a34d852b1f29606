/* The board's tick clock runs at BOARD_TICK_HZ: under QEMU's
 * instruction-counted time, one nanosecond per instruction, a loop of two
 * million instructions lasts 2 ms, BOARD_TICK_HZ / 500 clocks to within
 * 1%. The board's clock, which stamps traces, runs at BOARD_CLOCK_HZ across
 * a fast tick's periods, a restart and a stop, and never goes back
 * however a read meets a wrap.
 * And the conversions round as they say. */
#include <stdio.h>

#include "board.h"

static volatile uint32_t ticks;

void BOARD_TICK_HANDLER(void) {
    BoardAcknowledgeTick();
    ++ticks;
}

static int WithinOnePercent(uint64_t measured, uint64_t expected) {
    return measured > expected - expected / 100 && measured < expected + expected / 100;
}

int main(void) {
    BoardStartCounter();
    const uint32_t start = BoardCounter();
    BoardCountdown(1000000);
    const uint32_t clocks = (BoardCounter() - start) & BOARD_COUNTER_MASK;
    const uint32_t expected = BOARD_TICK_HZ / 500u;
    const int rate_ok = WithinOnePercent(clocks, expected);

    /* Ticks of 20 us, with reads in between that land everywhere in the
     * period, the wrap included; then the clock over 2 ms across those
     * ticks, across a restart of the tick made while a tick was pending
     * (whose period counts once), and with the tick stopped. The clock
     * counts each period in the tick's handler: it needs interrupts masked
     * for less than a period, as the tick does. RISC-V's clock
     * is the cycle counter, which no tick touches, and its interrupts need
     * the kernel's trap vector. */
#if !defined(__riscv)
    BoardStartTick(BoardTicksFromUs(20));
#endif
    int monotonic = 1;
    uint64_t last = BoardClock();
    for (int i = 0; i < 20000; ++i) {
        const uint64_t now = BoardClock();
        if (now < last) monotonic = 0;
        last = now;
    }
    const uint64_t two_ms = BOARD_CLOCK_HZ / 500u;
    uint64_t start_clock = BoardClock();
    BoardCountdown(1000000);
    const int across_ticks = WithinOnePercent(BoardClock() - start_clock, two_ms);

    /* Ticks of 200 us; just after one, masked for 300 us, so that the next
     * is pending when the tick restarts, and unmasked before another. */
#if !defined(__riscv)
    BoardStartTick(BoardTicksFromUs(200));
    for (const uint32_t seen = ticks; ticks == seen;) {
    }
#endif
    start_clock = BoardClock();
    const uint32_t was = BoardMaskInterrupts();
    BoardCountdown(150000);
#if !defined(__riscv)
    BoardStartTick(BoardTicksFromUs(200));
#endif
    BoardCountdown(25000);
    BoardRestoreInterrupts(was);
    BoardCountdown(825000);
    const int across_restart = WithinOnePercent(BoardClock() - start_clock, two_ms);

    BoardStartTick(0);
    start_clock = BoardClock();
    BoardCountdown(1000000);
    const int stopped = WithinOnePercent(BoardClock() - start_clock, two_ms);
#if !defined(__riscv)
    const int ticked = ticks > 100;
#else
    const int ticked = 1;
#endif
    const int clock_ok = monotonic && across_ticks && across_restart && stopped && ticked;
    printf("board clock: monotonic %d, across ticks %d, across a restart %d, stopped %d\n", monotonic,
           across_ticks, across_restart, stopped);

    const int rounding_ok = BoardTicksFromMs(1) == BOARD_TICK_HZ / 1000u &&
                            BoardTicksFromUs(3) == (3u * BOARD_TICK_HZ + 500000u) / 1000000u &&
                            BoardTicksFromMs(UINT32_MAX) == UINT32_MAX;
    printf("tick clock: %lu clocks in 2 ms, %lu expected: %s; board clock: %s; conversions: %s\n",
           (unsigned long)clocks, (unsigned long)expected, rate_ok ? "right" : "WRONG",
           clock_ok ? "right" : "WRONG", rounding_ok ? "right" : "WRONG");
    return rate_ok && clock_ok && rounding_ok ? 0 : 1;
}
