/* The services every Cortex-M board gives its programs: interrupt
 * priorities and pending, the tick, a free-running counter, the stack's
 * extent. Each board's board.h includes it after defining:
 *   BOARD_IRQS       device interrupts in the vector table, IRQ0 up
 *   BOARD_RAM_SIZE   bytes of RAM, all of it the program's
 *   BOARD_TICK_HZ    the rate of the tick's clock, for board_time.h
 * and, for a board whose tick is not SysTick, BOARD_TICK (the tick's
 * exception number), BOARD_TICK_HANDLER (its handler's name),
 * BOARD_COUNTER_MASK and the five tick and counter functions below. */
#ifndef ONESTACK_CORTEX_M_H
#define ONESTACK_CORTEX_M_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    BOARD_STACK_GUARD = 256, /* bytes at the stack's low end that stop the program when touched */
    BOARD_SYSTICK = 15,      /* SysTick's exception number; IRQ n is exception 16 + n */
};

/* Ends the program with `status` after flushing the output. Semihosting
 * passes only zero or non-zero to the host: print an exact status. */
void BoardExit(int status);

/* Priority bits that preempt, measured at start-up: those the NVIC
 * implements, less the subpriority bit that PRIGROUP 0 leaves where all 8
 * are implemented. */
uint32_t BoardPriorityBits(void);

/* The levels BoardSetPriority accepts, 0 to BoardPriorityLevels() - 1, each
 * of which preempts every less urgent one: 128 on QEMU's ARMv7-M and
 * ARMv8-M machines, 4 on its Cortex-M0 and on ARMv6-M chips, 8 or 16 on
 * most other chips. */
uint32_t BoardPriorityLevels(void);

/* Gives a configurable exception (4 to 15; on ARMv6-M only 11, 14 and 15)
 * or IRQ (16 + n) priority `level`: 0 is the most urgent. The level is
 * shifted into the bits that preempt; levels 0 to 3 are distinct on every
 * Cortex-M (ARMv6-M has 2 bits), 0 to 7 on every ARMv7-M chip of 3 bits or
 * more. */
void BoardSetPriority(int32_t exception, uint32_t level);

#define BOARD_REGISTER(address) (*(volatile uint32_t *)(address))

/* Enables IRQ n, and makes it pending as if its device had raised it. */
static inline void BoardEnableIrq(uint32_t n) { BOARD_REGISTER(0xE000E100 + 4 * (n / 32)) = 1u << (n % 32); }
static inline void BoardPendIrq(uint32_t n) { BOARD_REGISTER(0xE000E200 + 4 * (n / 32)) = 1u << (n % 32); }

static inline void BoardWaitForInterrupt(void) { __asm__ volatile("wfi" : : : "memory"); }

/* Masks every interrupt that may call the kernel, as the kernel does, and
 * returns what BoardRestoreInterrupts gives back. */
static inline uint32_t BoardMaskInterrupts(void) {
    uint32_t was;
    __asm__ volatile("mrs %0, primask\n\tcpsid i" : "=r"(was) : : "memory");
    return was;
}
static inline void BoardRestoreInterrupts(uint32_t was) {
    __asm__ volatile("msr primask, %0" : : "r"(was) : "memory");
}

#include "../board_time.h"
#include "../board_wait.h"

static inline uintptr_t BoardStackPointer(void) {
    uintptr_t sp;
    __asm__ volatile("mov %0, sp" : "=r"(sp));
    return sp;
}

/* For the latency count: the store of %1 to the address in %0 that raises IRQ0. */
#define BOARD_STORE_WORD "str %1, [%0]"
#define BOARD_IRQ0_PEND_REGISTER 0xE000E200u

/* Device interrupts that software raises with BoardPendIrq: every one on
 * the NVIC; these two are the ones the tests use beside IRQ0. */
#define BOARD_RAISABLE_IRQ_1 1
#define BOARD_RAISABLE_IRQ_2 2
#define BOARD_IRQ_HANDLER_(n) IRQ##n##_Handler
#define BOARD_IRQ_HANDLER(n) BOARD_IRQ_HANDLER_(n) /* the handler of IRQ n, n a macro */

/* A loop of exactly two instructions per pass, for calibration. */
static inline void BoardCountdown(uint32_t passes) {
    __asm__ volatile(".syntax unified\n1: subs %0, #1\n bne 1b" : "+r"(passes) : : "cc");
}

/* The board's clock, for stamping a trace (SetTraceClock(BoardClock,
 * BOARD_CLOCK_HZ)): tick clocks since the tick was first started or
 * stopped, counted across the tick's periods; stopped, the tick's timer
 * counts on without interrupting for the clock, which must then be read at
 * least once every 2^24 clocks (0.67 s at 25 MHz). Before that it reads 0.
 * The tick's handler must call BoardAcknowledgeTick first and be the most
 * urgent handler that reads the clock; BoardStartCounter takes the timer
 * from it. */
#define BOARD_CLOCK_HZ BOARD_TICK_HZ
extern uint64_t board_clock_base;   /* clocks before the running period */
extern uint32_t board_clock_period; /* clocks of the running period; 0 before the tick's first start */
extern uint8_t board_clock_free;    /* the tick is stopped: its timer only counts */
extern uint8_t board_clock_counted; /* a period that ended before a restart, counted there */

#ifndef BOARD_TICK
/* The tick is SysTick on the core clock. */
#define BOARD_TICK_IS_SYSTICK 1
#define BOARD_TICK BOARD_SYSTICK
#define BOARD_TICK_HANDLER SysTick_Handler

#define BOARD_SYSTICK_WRAPPED() (BOARD_REGISTER(0xE000ED04) & (1u << 26)) /* ICSR.PENDSTSET */
#define BOARD_SYSTICK_COUNTED() (BOARD_REGISTER(0xE000E010) & (1u << 16)) /* COUNTFLAG, cleared as read */

/* A period ends as the count reaches 0, which pends the tick (and sets
 * COUNTFLAG); the next clock reloads it. So a count c is period - c clocks
 * into a period, and 0 is its first clock. */
static inline uint64_t BoardClock(void) {
    const uint32_t was = BoardMaskInterrupts();
    uint64_t clocks = board_clock_base;
    uint32_t period = board_clock_period;
    if (period != 0) {
        uint32_t count = BOARD_REGISTER(0xE000E018);
        if (board_clock_free) {
            /* No handler counts the periods: this read does, if it is
             * made at least once a period. */
            if (BOARD_SYSTICK_COUNTED()) {
                count = BOARD_REGISTER(0xE000E018);
                board_clock_base += period;
                clocks += period;
            }
        } else {
            const uint32_t wrapped = BOARD_SYSTICK_WRAPPED();
            count = BOARD_REGISTER(0xE000E018);
            if (BOARD_SYSTICK_WRAPPED() != wrapped || wrapped != 0) {
                /* The period ended before this read and the handler has
                 * not yet counted it: the next runs from the reload. */
                count = BOARD_REGISTER(0xE000E018);
                if (!board_clock_counted) clocks += period;
                period = BOARD_REGISTER(0xE000E014) + 1;
            }
        }
        if (count != 0) clocks += period - count;
    }
    BoardRestoreInterrupts(was);
    return clocks;
}

/* Interrupts every `period` tick clocks (at most 2^24), or stops with 0. */
static inline void BoardStartTick(uint32_t period) {
    const uint32_t was = BoardMaskInterrupts();
    board_clock_base = BoardClock();
    /* A tick still pending has had its period counted just now. */
    if (!BOARD_SYSTICK_WRAPPED()) {
        board_clock_counted = 0;
    } else if (!board_clock_free) {
        board_clock_counted = 1;
    }
    board_clock_free = period == 0;
    board_clock_period = period != 0 ? period : 1u << 24;
    BOARD_REGISTER(0xE000E010) = 0;
    BOARD_REGISTER(0xE000E014) = board_clock_period - 1;
    BOARD_REGISTER(0xE000E018) = 0;
    BOARD_REGISTER(0xE000E010) = period != 0 ? 7 : 5; /* enabled, core clock; the interrupt when ticking */
    BoardRestoreInterrupts(was);
}

/* From the tick's handler: the next tick comes `period` clocks after this one. */
static inline void BoardTickAgain(uint32_t period) { BOARD_REGISTER(0xE000E014) = period - 1; }

/* From the tick's handler, first: SysTick needs no acknowledgement; the
 * clock counts the period that has ended and the one the reload began. */
static inline void BoardAcknowledgeTick(void) {
    if (board_clock_counted) {
        board_clock_counted = 0;
    } else {
        board_clock_base += board_clock_period;
    }
    board_clock_period = BOARD_REGISTER(0xE000E014) + 1;
}

/* A counter of tick clocks that runs without interrupting; it wraps
 * within BOARD_COUNTER_MASK. It takes the tick's timer. */
#define BOARD_COUNTER_MASK 0xFFFFFFu
static inline void BoardStartCounter(void) {
    BOARD_REGISTER(0xE000E014) = BOARD_COUNTER_MASK;
    BOARD_REGISTER(0xE000E018) = 0;
    BOARD_REGISTER(0xE000E010) = 5; /* enabled, core clock, no interrupt */
}
static inline uint32_t BoardCounter(void) { return ~BOARD_REGISTER(0xE000E018) & BOARD_COUNTER_MASK; }
#endif

/* The most of the stack used since start-up, which painted it, in bytes. */
uint32_t BoardStackPeak(void);

/* The stack region: [_stack_limit, _stack_top), guard at the bottom. */
extern uint32_t _stack_top[], _stack_limit[];

#ifdef __cplusplus
}
#endif

#endif
