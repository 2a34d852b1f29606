/* On RISC-V, a program whose mtvec is not the kernel's trap vector would
 * never run a handler's task: StartOS stops it. */
#include "board.h"
#include "onestack.h"

static void Task(void) { TerminateTask(); }

int main(void) {
    __asm__ volatile("csrw mtvec, %0" : : "r"(MachineException_Handler));
    StartOS(Task, 1, "task");
    return 0;
}
