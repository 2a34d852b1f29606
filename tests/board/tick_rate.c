/* The board's tick clock runs at BOARD_TICK_HZ: under QEMU's
 * instruction-counted time, one nanosecond per instruction, a loop of two
 * million instructions lasts 2 ms, BOARD_TICK_HZ / 500 clocks to within
 * 1%. The board's clock, which stamps traces, runs at BOARD_CLOCK_HZ across
 * a fast tick's periods, and never goes back however a read meets a wrap.
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
     * period, the wrap included. RISC-V's clock is the cycle counter, which
     * no tick touches, and its interrupts need the kernel's trap vector. */
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
    const uint64_t clock_start = BoardClock();
    BoardCountdown(1000000);
    const uint64_t clock_clocks = BoardClock() - clock_start;
    BoardStartTick(0);
    const uint64_t stopped = BoardClock();
    int clock_ok = monotonic && WithinOnePercent(clock_clocks, BOARD_CLOCK_HZ / 500u);
#if !defined(__riscv)
    if (ticks < 100 || BoardClock() != stopped) clock_ok = 0; /* it stands still with the tick */
#else
    (void)stopped;
#endif

    const int rounding_ok = BoardTicksFromMs(1) == BOARD_TICK_HZ / 1000u &&
                            BoardTicksFromUs(3) == (3u * BOARD_TICK_HZ + 500000u) / 1000000u &&
                            BoardTicksFromMs(UINT32_MAX) == UINT32_MAX;
    printf("tick clock: %lu clocks in 2 ms, %lu expected: %s; board clock: %s; conversions: %s\n",
           (unsigned long)clocks, (unsigned long)expected, rate_ok ? "right" : "WRONG",
           clock_ok ? "right" : "WRONG", rounding_ok ? "right" : "WRONG");
    return rate_ok && clock_ok && rounding_ok ? 0 : 1;
}
