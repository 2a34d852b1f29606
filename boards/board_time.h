/* Time in the units people use, for every family's board: included by the
 * family's header, given the board's BOARD_TICK_HZ, the rate of the clock
 * that BoardStartTick and BoardTickAgain count (as QEMU models the board;
 * on a chip, its own clock's). */
#ifndef ONESTACK_BOARD_TIME_H
#define ONESTACK_BOARD_TIME_H

/* Tick clocks in a millisecond, rounded down where the rate is not a
 * multiple of 1 kHz; BoardTicksFromMs is exact. */
#define BOARD_TICKS_PER_MS (BOARD_TICK_HZ / 1000u)

/* Tick clocks in `ms` milliseconds and in `us` microseconds, rounded to the
 * nearest clock, half up; UINT32_MAX where they do not fit 32 bits. A tick
 * period must still fit the board's timer: SysTick counts at most 2^24
 * clocks (0.67 s at 25 MHz), the others 2^32. */
static inline uint32_t BoardTicksFromUnits(uint32_t count, uint32_t per_second) {
    const uint64_t clocks = ((uint64_t)count * BOARD_TICK_HZ + per_second / 2) / per_second;
    return clocks > UINT32_MAX ? UINT32_MAX : (uint32_t)clocks;
}
static inline uint32_t BoardTicksFromMs(uint32_t ms) { return BoardTicksFromUnits(ms, 1000u); }
static inline uint32_t BoardTicksFromUs(uint32_t us) { return BoardTicksFromUnits(us, 1000000u); }

#endif
