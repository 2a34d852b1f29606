/* A handler that makes a call only a task may make: the kernel stops the
 * program with a line that names the call, from the handler. */
#include "board.h"
#include "onestack.h"

void IRQ0_Handler(void) { AcquireResource(1, 0); }

static void Task(void) {
    BoardEnableIrq(0);
    BoardPendIrq(0);
    TerminateTask();
}

int main(void) {
    StartOS(Task, 1, "task");
    return 0;
}
