/* With the FPU's automatic state saving off (FPCCR.ASPEN), an interrupt
 * would not save the floating-point registers of the task it finds:
 * StartOS refuses to run. */
#include "board.h"
#include "onestack.h"

static void Task(void) { TerminateTask(); }

int main(void) {
    BOARD_REGISTER(0xE000EF34) &= ~(1u << 31);
    return StartOS(Task, 1, "task");
}
