/* The board's tick clock runs at BOARD_TICK_HZ: under QEMU's
 * instruction-counted time, one nanosecond per instruction, a loop of two
 * million instructions lasts 2 ms, BOARD_TICK_HZ / 500 clocks to within
 * 1%. And the conversions round as they say. */
#include <stdio.h>

#include "board.h"

int main(void) {
    BoardStartCounter();
    const uint32_t start = BoardCounter();
    BoardCountdown(1000000);
    const uint32_t clocks = (BoardCounter() - start) & BOARD_COUNTER_MASK;
    const uint32_t expected = BOARD_TICK_HZ / 500u;
    const int rate_ok = clocks > expected - expected / 100 && clocks < expected + expected / 100;
    const int rounding_ok = BoardTicksFromMs(1) == BOARD_TICK_HZ / 1000u &&
                            BoardTicksFromUs(3) == (3u * BOARD_TICK_HZ + 500000u) / 1000000u &&
                            BoardTicksFromMs(UINT32_MAX) == UINT32_MAX;
    printf("tick clock: %lu clocks in 2 ms, %lu expected: %s; conversions: %s\n", (unsigned long)clocks,
           (unsigned long)expected, rate_ok ? "right" : "WRONG", rounding_ok ? "right" : "WRONG");
    return rate_ok && rounding_ok ? 0 : 1;
}
