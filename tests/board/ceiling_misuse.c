/* A handler at level 2 that takes an interrupt ceiling at level 3, less
 * urgent than its own: the kernel stops the program, having read the
 * handler's level where the port keeps it. */
#include "board.h"
#include "onestack.h"

void IRQ0_Handler(void) { ReleaseInterruptCeiling(AcquireInterruptCeiling(3)); }

static void Task(void) {
    BoardSetPriority(16, 2);
    BoardEnableIrq(0);
    BoardPendIrq(0);
    TerminateTask();
}

int main(void) {
    StartOS(Task, 1, "task");
    return 0;
}
