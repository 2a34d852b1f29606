/* A task set run at its critical instant, for the response-time analysis
 * to be checked against on the board. Blocker (priority 1) takes the
 * shared resource, whose ceiling is Urgent's 4, and at once raises a line
 * whose handler releases Urgent, Middle (3) and Lesser (2) together: each
 * waits for the whole of Blocker's section and for every task above it,
 * the worst case that the analysis bounds. Each runs a fixed count of
 * instructions; the run is traced, stamped by the board's clock, and the
 * test compares what the trace shows with the analysis of
 * critical_instant.stack. */
#include <stdio.h>

#include "board.h"
#include "onestack.h"
#include "task_set.h"

#define LINE BOARD_RAISABLE_IRQ_1

enum { PASSES = 50000 }; /* of a two-instruction loop: 100 us under -icount shift=0 */

static void Urgent(void) {
    BoardCountdown(PASSES);
    AcquireResource(RESOURCE_SHARED_CEILING, RESOURCE_SHARED_KEY);
    BoardCountdown(PASSES / 10);
    ReleaseResource(RESOURCE_SHARED_CEILING, RESOURCE_SHARED_KEY);
    TerminateTask();
}

static void Middle(void) {
    BoardCountdown(2 * PASSES);
    TerminateTask();
}

static void Lesser(void) {
    BoardCountdown(3 * PASSES);
    TerminateTask();
}

void BOARD_IRQ_HANDLER(LINE)(void) {
    TraceHandlerBegin("IRQ1_Handler"); /* by its description's name */
    ActivateTask(Lesser, TASK_LESSER_PRIORITY, "Lesser");
    ActivateTask(Middle, TASK_MIDDLE_PRIORITY, "Middle");
    ActivateTask(Urgent, TASK_URGENT_PRIORITY, "Urgent");
    TraceHandlerEnd();
}

static void Blocker(void) {
    AcquireResource(RESOURCE_SHARED_CEILING, RESOURCE_SHARED_KEY);
    BoardPendIrq(LINE); /* its handler runs at once: the three are released inside the section */
    BoardCountdown(2 * PASSES);
    ReleaseResource(RESOURCE_SHARED_CEILING, RESOURCE_SHARED_KEY);
    TerminateTask();
}

static void Start(void) {
    BoardSetPriority(16 + LINE, 1);
    BoardEnableIrq(LINE);
    ActivateTask(Blocker, TASK_BLOCKER_PRIORITY, "Blocker");
    TerminateTask();
}

int main(void) {
    BoardStartTick(0); /* no tick: its timer counts for the clock */
    SetTraceClock(BoardClock, BOARD_CLOCK_HZ);
    StartOS(Start, TASK_START_PRIORITY, "Start");
    if (WriteTrace("critical_instant.trace") != 0) {
        printf("critical instant: the trace could not be written\n");
        return 1;
    }
    printf("critical instant: traced\n");
    return 0;
}
