/* The services every RV32 board gives its programs, under the names the
 * Cortex-M boards give them, so that the same programs run on both: the
 * tick (the machine timer), a free-running counter (mtime), interrupt
 * levels, interrupts that software can raise, the stack's extent.
 *
 * Interrupts are numbered as on the Cortex-M boards: BOARD_TICK is the
 * machine timer, and IRQ n is exception 16 + n. IRQ0 is the machine
 * software interrupt (the PLIC has no source 0); IRQ n, from 1 up, is the
 * PLIC's source n, claimed and completed around IRQn_Handler. Levels go
 * from 0, the most urgent, to BOARD_LOWEST_LEVEL; a handler is interrupted
 * only by a more urgent one, as on the NVIC. Each board's board.h includes
 * this after defining:
 *   BOARD_IRQS       IRQ0 and the PLIC sources 1 to BOARD_IRQS - 1
 *   BOARD_RAM_SIZE   bytes of RAM, all of it the program's
 *   BOARD_TICK_HZ    mtime's rate, for board_time.h
 *   BOARD_CLINT, BOARD_PLIC   where the CLINT and the PLIC lie
 *   BOARD_RAISABLE_IRQ_1, BOARD_RAISABLE_IRQ_2   PLIC sources that software
 *                    can make interrupt (see BoardPendIrq)
 * and defines BoardRaiseSource, BoardClearSource and BoardPrepareDevices,
 * which raise and clear those two and ready their devices at start-up. */
#ifndef ONESTACK_RISCV_H
#define ONESTACK_RISCV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    BOARD_STACK_GUARD = 256, /* bytes at the stack's low end that stop the program when touched */
    BOARD_TICK = 7,          /* the machine timer, by its mcause code */
    BOARD_LOWEST_LEVEL = 6,  /* levels 0 to 6: PLIC priorities 7 to 1 */
};
#define BOARD_TICK_HANDLER MachineTimer_Handler

/* Ends the program with `status` after flushing the output; semihosting
 * passes the status to the host whole. */
void BoardExit(int status);

/* Gives BOARD_TICK or IRQ n (16 + n) the level `level`, 0 the most urgent. */
void BoardSetPriority(int32_t exception, uint32_t level);

/* The levels BoardSetPriority accepts, each of which preempts every less
 * urgent one. */
static inline uint32_t BoardPriorityLevels(void) { return BOARD_LOWEST_LEVEL + 1; }

#define BOARD_REGISTER(address) (*(volatile uint32_t *)(address))
#define BOARD_IRQ_HANDLER_(n) IRQ##n##_Handler
#define BOARD_IRQ_HANDLER(n) BOARD_IRQ_HANDLER_(n) /* the handler of IRQ n, n a macro */

/* Enables IRQ n: the software interrupt in mie, a source at the PLIC. */
void BoardEnableIrq(uint32_t n);

/* Makes IRQ n pending as if its device had raised it: IRQ0, and the PLIC
 * sources whose devices software can make interrupt, which the board
 * names BOARD_RAISABLE_IRQ_1 and _2; the board clears their condition
 * before calling the handler, as the NVIC clears a pended interrupt. */
void BoardPendIrq(uint32_t n);

static inline void BoardWaitForInterrupt(void) { __asm__ volatile("wfi" : : : "memory"); }

/* Masks every interrupt that may call the kernel, as the kernel does, and
 * returns what BoardRestoreInterrupts gives back. */
static inline uint32_t BoardMaskInterrupts(void) {
    uint32_t was;
    __asm__ volatile("csrrci %0, mstatus, 8" : "=r"(was) : : "memory");
    return was;
}
static inline void BoardRestoreInterrupts(uint32_t was) {
    __asm__ volatile("csrs mstatus, %0" : : "r"(was & 8u) : "memory");
}

#include "../board_time.h"
#include "../board_wait.h"

static inline uintptr_t BoardStackPointer(void) {
    uintptr_t sp;
    __asm__ volatile("mv %0, sp" : "=r"(sp));
    return sp;
}

/* For the latency count: the store of %1 to the address in %0 that raises IRQ0. */
#define BOARD_STORE_WORD "sw %1, 0(%0)"
#define BOARD_IRQ0_PEND_REGISTER BOARD_CLINT

/* The tick is the machine timer, on mtime's clock. Interrupts every `period` timer clocks, or stops with 0.
 */
void BoardStartTick(uint32_t period);
/* From the tick's handler, first: moves mtimecmp one period on, which is
 * what clears the machine timer's interrupt. */
void BoardAcknowledgeTick(void);
/* From the tick's handler: the next tick comes `period` clocks from now,
 * counted afresh, so that it is never already behind the count. */
void BoardTickAgain(uint32_t period);

/* mtime's low word: a counter of timer clocks that runs without
 * interrupting, apart from the tick. */
#define BOARD_COUNTER_MASK 0xFFFFFFFFu
static inline void BoardStartCounter(void) {}
static inline uint32_t BoardCounter(void) { return BOARD_REGISTER(BOARD_CLINT + 0xBFF8); }

/* The board's clock, for stamping a trace (SetTraceClock(BoardClock,
 * BOARD_CLOCK_HZ)): the cycle counter, which QEMU advances one count per
 * instruction under -icount shift=0, one nanosecond each; on a chip it
 * counts the core's cycles, and BOARD_CLOCK_HZ is the core's clock. */
#define BOARD_CLOCK_HZ 1000000000u
static inline uint64_t BoardClock(void) {
    uint32_t high, low, again;
    do {
        __asm__ volatile("csrr %0, mcycleh\n\tcsrr %1, mcycle\n\tcsrr %2, mcycleh"
                         : "=r"(high), "=r"(low), "=r"(again));
    } while (high != again);
    return (uint64_t)high << 32 | low;
}

/* A loop of exactly two instructions per pass, for calibration. */
static inline void BoardCountdown(uint32_t passes) {
    __asm__ volatile("1: addi %0, %0, -1\n\tbnez %0, 1b" : "+r"(passes) : : "memory");
}

/* Where every exception goes: it reports and ends the program. */
void MachineException_Handler(void);

/* The most of the stack used since start-up, which painted it, in bytes. */
uint32_t BoardStackPeak(void);

/* The stack region: [_stack_limit, _stack_top), guard at the bottom. */
extern uint32_t _stack_top[], _stack_limit[];

#ifdef __cplusplus
}
#endif

#endif
