/* State shared with interrupt handlers, on any board. Two handlers record
 * events: the tick's (level 2) and the alarm line's (level 1), which the
 * tick raises now and then. A record is two words that change together,
 * the count of events and the sum of their numbers. Whoever writes or
 * reads them from a level less urgent than the alarm's holds an interrupt
 * ceiling at level 1, the most urgent level among the handlers that touch
 * them: the tick's handler and Report, a task. The alarm's handler, at the
 * ceiling's own level, needs none: nothing more urgent touches them. */
#include <stdio.h>

#include "board.h"
#include "onestack.h"
#include "task_set.h"

enum {
    TICKS = 12,
    TICK_MS = 16, /* the tick's period */
    ALARM_IRQ = 0,
    ALARM_LEVEL = 1, /* interrupt levels: 0 is the most urgent */
    TICK_LEVEL = 2,
    EVENTS_CEILING = ALARM_LEVEL,
};

static volatile uint32_t count, sum; /* sum = 1 + 2 + ... + count */
static volatile int ticks, done;

static void Record(void) {
    const uint32_t n = count + 1;
    sum = sum + n;
    count = n;
}

void IRQ0_Handler(void) { Record(); }

/* Priority 1, activated by every fourth tick. */
static void Report(void) {
    const InterruptHold hold = AcquireInterruptCeiling(EVENTS_CEILING);
    const uint32_t seen_count = count, seen_sum = sum;
    ReleaseInterruptCeiling(hold);
    printf("Report: %lu events, their numbers add up to %lu: %s\n", (unsigned long)seen_count,
           (unsigned long)seen_sum, seen_sum == seen_count * (seen_count + 1) / 2 ? "consistent" : "TORN");
    done = ticks == TICKS;
    TerminateTask();
}

/* The alarm raised inside the hold is held off until its release. */
void BOARD_TICK_HANDLER(void) {
    BoardAcknowledgeTick();
    if (++ticks == TICKS) BoardStartTick(0);
    const InterruptHold hold = AcquireInterruptCeiling(EVENTS_CEILING);
    Record();
    if (ticks % 3 == 0) BoardPendIrq(ALARM_IRQ);
    ReleaseInterruptCeiling(hold);
    if (ticks % 4 == 0) ActivateTask(Report, TASK_REPORT_PRIORITY, "Report");
}

static void Idle(void) { /* priority 0 */
    if (BoardWaitUnless(&done)) TerminateTask();
}

static void Start(void) {
    BoardSetPriority(BOARD_TICK, TICK_LEVEL);
    BoardSetPriority(16 + ALARM_IRQ, ALARM_LEVEL);
    BoardEnableIrq(ALARM_IRQ);
    BoardStartTick(BoardTicksFromMs(TICK_MS));
    ActivateTask(Idle, TASK_IDLE_PRIORITY, "Idle");
    TerminateTask();
}

int main(void) {
    StartOS(Start, TASK_START_PRIORITY, "Start");
    return 0;
}
