/* The idle task's race: the last interrupt lands just after the idle task
 * has checked that there is work to wait for, and before its wait. Here the
 * check itself raises it, right after reading the flag, so that it lands
 * there on every run. Waited for as a check and then a WFI with interrupts
 * open, the handler runs before the WFI, which then sleeps until a
 * watchdog tick; with BoardWaitUnless the interrupt is pending at the WFI,
 * which it ends at once, and it runs after the wait. */
#include <stdio.h>

#include "board.h"
#include "onestack.h"

enum { LAST = BOARD_RAISABLE_IRQ_1, WATCHDOG_CLOCKS = 200000 };

static volatile int done, watchdog;

void BOARD_IRQ_HANDLER(BOARD_RAISABLE_IRQ_1)(void) { done = 1; }

void BOARD_TICK_HANDLER(void) {
    BoardAcknowledgeTick();
    BoardStartTick(0);
    watchdog = 1;
}

/* The check, with the last interrupt raised right after it. */
static int CheckedThenRaised(const volatile int *flag) {
    const int seen = *flag;
    BoardPendIrq(LAST);
    return seen;
}

/* Which ended the wait: the last interrupt, or only the watchdog. */
static const char *Woken(void) {
    return watchdog ? "only the watchdog woke it" : "the last interrupt ended it";
}

static void Arm(void) {
    done = 0;
    watchdog = 0;
    BoardStartTick(WATCHDOG_CLOCKS);
}

static void Run(void) {
    BoardEnableIrq(LAST);
    BoardSetPriority(16 + LAST, 1);
    BoardSetPriority(BOARD_TICK, 2);

    Arm();
    if (!CheckedThenRaised(&done)) BoardWaitForInterrupt(); /* the race */
    while (!watchdog && !done) {
    }
    const char *open = Woken();

    Arm();
    const uint32_t was = BoardMaskInterrupts(); /* BoardWaitUnless, with the raise in its check */
    if (!CheckedThenRaised(&done)) BoardWaitForInterrupt();
    BoardRestoreInterrupts(was);
    const char *masked = Woken();
    BoardStartTick(0);

    printf("idle race: check then wait: %s; BoardWaitUnless: %s\n", open, masked);
    TerminateTask();
}

int main(void) {
    StartOS(Run, 1, "idle race");
    return 0;
}
