/* What every family's board gives an idle task on top of its own masking
 * and WFI: included by the family's header once it has defined
 * BoardMaskInterrupts, BoardRestoreInterrupts and BoardWaitForInterrupt. */
#ifndef ONESTACK_BOARD_WAIT_H
#define ONESTACK_BOARD_WAIT_H

/* An idle task's wait, without the race of a check and then a wait: with
 * interrupts masked, it reads `*done` and, unless it is set, waits for an
 * interrupt (the wait ends for one that comes pending, masked as it is),
 * then lets it run. Returns what it read. An interrupt that sets `*done`
 * just after the check cannot be slept through: it is pending at the wait.
 *
 *   static void Idle(void) { if (BoardWaitUnless(&done)) TerminateTask(); }
 */
static inline int BoardWaitUnless(const volatile int *done) {
    const uint32_t was = BoardMaskInterrupts();
    const int seen = *done;
    if (!seen) BoardWaitForInterrupt();
    BoardRestoreInterrupts(was);
    return seen;
}

#endif
