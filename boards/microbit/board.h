/* The BBC micro:bit's nRF51822 (Cortex-M0) as QEMU's microbit models it:
 * 32 device interrupts, 16 KiB of RAM. The nRF51's core has no SysTick and
 * no MPU: the tick is TIMER0 (IRQ 8) at 16 MHz, which also serves as the
 * counter, and the stack is unguarded. */
#ifndef ONESTACK_BOARD_H
#define ONESTACK_BOARD_H

#define BOARD_IRQS 32
#define BOARD_RAM_SIZE (16 * 1024)
#define BOARD_TICK_HZ 16000000u /* TIMER0 at prescaler 0 */

#define BOARD_TIMER0_IRQ 8
#define BOARD_TICK (16 + BOARD_TIMER0_IRQ)
#define BOARD_TICK_HANDLER IRQ8_Handler
#define BOARD_COUNTER_MASK 0xFFFFFFFFu

#include "cortex_m.h"

#define TIMER0(offset) BOARD_REGISTER(0x40008000 + (offset))
enum {
    TIMER_START = 0x000,
    TIMER_STOP = 0x004,
    TIMER_CLEAR = 0x00C,
    TIMER_CAPTURE1 = 0x044,
    TIMER_COMPARE0 = 0x140,
    TIMER_SHORTS = 0x200, /* bit 0: COMPARE0 clears the count */
    TIMER_INTENSET = 0x304,
    TIMER_INTENCLR = 0x308,
    TIMER_BITMODE = 0x508,
    TIMER_PRESCALER = 0x510,
    TIMER_CC0 = 0x540,
    TIMER_CC1 = 0x544,
};

static inline void BoardConfigureTimer(void) {
    TIMER0(TIMER_STOP) = 1;
    TIMER0(TIMER_INTENCLR) = ~0u;
    TIMER0(TIMER_BITMODE) = 3; /* 32 bits */
    TIMER0(TIMER_PRESCALER) = 0;
    TIMER0(TIMER_CLEAR) = 1;
}

static inline uint32_t BoardCounter(void) {
    TIMER0(TIMER_CAPTURE1) = 1; /* into CC1: CC0 holds the tick's compare */
    return TIMER0(TIMER_CC1);
}

/* The board's clock (cortex_m.h): the compare clears the count at each tick,
 * so the clock adds the periods that ended to the count. Stopped, the
 * timer counts on, 2^32 clocks (268 s) before it wraps. */
static inline uint64_t BoardClock(void) {
    const uint32_t was = BoardMaskInterrupts();
    const uint32_t wrapped = TIMER0(TIMER_COMPARE0);
    uint32_t count = BoardCounter();
    uint64_t clocks = board_clock_base;
    if (TIMER0(TIMER_COMPARE0) != wrapped || wrapped != 0) {
        count = BoardCounter(); /* after the compare, which the handler has not yet counted */
        clocks += board_clock_period;
    }
    BoardRestoreInterrupts(was);
    return clocks + count;
}

/* Interrupts every `period` timer clocks, or stops with 0. */
static inline void BoardStartTick(uint32_t period) {
    const uint32_t was = BoardMaskInterrupts();
    board_clock_base = BoardClock();
    TIMER0(TIMER_COMPARE0) = 0; /* a compare still pending is counted: not again by the handler */
    board_clock_period = period;
    BoardConfigureTimer();
    TIMER0(TIMER_SHORTS) = 0;
    if (period != 0) {
        TIMER0(TIMER_CC0) = period;
        TIMER0(TIMER_SHORTS) = 1;
        TIMER0(TIMER_INTENSET) = 1u << 16; /* COMPARE0 */
        BoardEnableIrq(BOARD_TIMER0_IRQ);
    }
    TIMER0(TIMER_START) = 1;
    BoardRestoreInterrupts(was);
}

/* From the tick's handler: the next tick comes `period` clocks from now,
 * counted afresh, so that it is never already behind the count. */
static inline void BoardTickAgain(uint32_t period) {
    const uint32_t was = BoardMaskInterrupts();
    board_clock_base += BoardCounter();
    TIMER0(TIMER_CLEAR) = 1;
    TIMER0(TIMER_CC0) = period;
    board_clock_period = period;
    BoardRestoreInterrupts(was);
}

/* From the tick's handler, first: the compare event stays raised, and its
 * interrupt pending, until cleared. */
static inline void BoardAcknowledgeTick(void) {
    if (TIMER0(TIMER_COMPARE0) != 0) board_clock_base += board_clock_period;
    TIMER0(TIMER_COMPARE0) = 0;
    (void)TIMER0(TIMER_COMPARE0); /* the write reaches the timer before the handler returns */
}

static inline void BoardStartCounter(void) {
    BoardConfigureTimer();
    TIMER0(TIMER_START) = 1;
}

#endif
