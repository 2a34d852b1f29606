/* Every level that BoardSetPriority accepts preempts every less urgent one:
 * for each pair of adjacent levels, the handler at the less urgent one
 * raises an interrupt at the more urgent one, which must run before that
 * handler goes on. On QEMU's ARMv7-M machines, which implement all 8
 * priority bits, levels written unshifted into the NVIC would fail here
 * for every even level: PRIGROUP 0 makes bit 0 a subpriority. */
#include <stdio.h>

#include "board.h"
#include "onestack.h"

enum { LOW = BOARD_RAISABLE_IRQ_1, HIGH = BOARD_RAISABLE_IRQ_2 };

static volatile int high_ran, low_done, failures;
static volatile uint32_t level;

void BOARD_IRQ_HANDLER(BOARD_RAISABLE_IRQ_2)(void) { high_ran = 1; }

void BOARD_IRQ_HANDLER(BOARD_RAISABLE_IRQ_1)(void) {
    high_ran = 0;
    BoardPendIrq(HIGH);
    /* A few instructions for the interrupt to be taken. */
    for (volatile int i = 0; i < 8; ++i) {
    }
    if (!high_ran) {
        printf("levels: %lu does not preempt %lu\n", (unsigned long)level, (unsigned long)level + 1);
        ++failures;
    }
    low_done = 1;
}

/* In a task, where the board's interrupts are the kernel's. */
static void Run(void) {
    const uint32_t levels = BoardPriorityLevels();
    BoardEnableIrq(LOW);
    BoardEnableIrq(HIGH);
    for (level = 0; level + 1 < levels; ++level) {
        BoardSetPriority(16 + HIGH, level);
        BoardSetPriority(16 + LOW, level + 1);
        low_done = 0;
        BoardPendIrq(LOW);
        while (!low_done) {
        }
    }
    printf("levels: %lu levels, every one preempts the next: %s\n", (unsigned long)levels,
           failures == 0 ? "passed" : "FAILED");
    TerminateTask();
}

int main(void) {
    StartOS(Run, 1, "levels");
    return failures == 0 ? 0 : 1;
}
