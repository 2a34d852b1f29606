/* The board's services for programs on the Cortex-M3 (QEMU's lm3s6965evb):
 * interrupt priorities and pending, SysTick, the stack's extent. */
#ifndef ONESTACK_BOARD_H
#define ONESTACK_BOARD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    BOARD_IRQS = 44,         /* device interrupts, IRQ0 to IRQ43 */
    BOARD_STACK_GUARD = 256, /* bytes at the stack's low end that fault when touched */
    BOARD_SYSTICK = 15,      /* SysTick's exception number; IRQ n is exception 16 + n */
};

/* Ends the program with `status` after flushing the output. */
void BoardExit(int status);

/* Priority bits that the NVIC implements, measured at start-up. */
uint32_t BoardPriorityBits(void);

/* Gives a configurable exception (4 to 15) or IRQ (16 + n) priority
 * `level`: 0 is the most urgent; levels 0 to 7 are distinct on every
 * Cortex-M3, and a level is shifted into the implemented bits. */
void BoardSetPriority(int32_t exception, uint32_t level);

#define BOARD_REGISTER(address) (*(volatile uint32_t *)(address))

/* Enables IRQ n, and makes it pending as if its device had raised it. */
static inline void BoardEnableIrq(uint32_t n) { BOARD_REGISTER(0xE000E100 + 4 * (n / 32)) = 1u << (n % 32); }
static inline void BoardPendIrq(uint32_t n) { BOARD_REGISTER(0xE000E200 + 4 * (n / 32)) = 1u << (n % 32); }

/* SysTick on the core clock, interrupting every `period` clocks (at most
 * 2^24), or stopped with 0. */
static inline void BoardStartSysTick(uint32_t period) {
    BOARD_REGISTER(0xE000E010) = 0;
    if (period == 0) return;
    BOARD_REGISTER(0xE000E014) = period - 1;
    BOARD_REGISTER(0xE000E018) = 0;
    BOARD_REGISTER(0xE000E010) = 7; /* enabled, interrupt, core clock */
}

static inline void BoardWaitForInterrupt(void) { __asm__ volatile("wfi" : : : "memory"); }

/* The stack region: [_stack_limit, _stack_top), guard at the bottom. */
extern uint32_t _stack_top[], _stack_limit[];

#ifdef __cplusplus
}
#endif

#endif
