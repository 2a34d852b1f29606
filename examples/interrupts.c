/* Events from the hardware, on a Cortex-M board. The tick's handler activates
 * Sample (priority 2) at each of six ticks; every third sample raises the
 * alarm line, a software-triggered interrupt whose handler activates Alarm
 * (3), which preempts Sample where the interrupt found it, and Log (1),
 * which waits for Sample to end. Between events the lowest task, Idle,
 * waits for an interrupt and returns without terminating, so it is entered
 * again; it terminates once the last sample has been logged. */
#include <stdio.h>

#include "board.h"
#include "onestack.h"
#include "task_set.h"

enum {
    SAMPLES = 6,
    TICK_MS = 16, /* the tick's period */
    ALARM_IRQ = 0,
    ALARM_LEVEL = 1, /* interrupt priority levels: 0 is the most urgent */
    TICK_LEVEL = 2,
};

static volatile int ticks, samples, logged, all_logged;

static void Log(void) { /* priority 1 */
    ++logged;
    all_logged = logged == SAMPLES / 3;
    printf("Log: alarm after sample %d recorded, once Sample had ended\n", samples);
    TerminateTask();
}

static void Alarm(void) { /* priority 3 */
    printf("Alarm: runs at once, above Sample\n");
    TerminateTask();
}

static void Sample(void) { /* priority 2 */
    ++samples;
    printf("Sample %d\n", samples);
    if (samples % 3 == 0) {
        puts("Sample raises the alarm line");
        BoardPendIrq(ALARM_IRQ);
        puts("Sample continues after the alarm");
    }
    TerminateTask();
}

void BOARD_TICK_HANDLER(void) {
    BoardAcknowledgeTick();
    if (++ticks == SAMPLES) BoardStartTick(0);
    ActivateTask(Sample, TASK_SAMPLE_PRIORITY, "Sample");
}

void IRQ0_Handler(void) {
    ActivateTask(Log, TASK_LOG_PRIORITY, "Log");
    ActivateTask(Alarm, TASK_ALARM_PRIORITY, "Alarm");
}

/* Waits with the check and the wait under one mask, so that the last Log,
 * run at an interrupt's exit just after a check, is not slept through. */
static void Idle(void) { /* priority 0 */
    if (BoardWaitUnless(&all_logged)) {
        puts("Idle: every sample taken and logged; Idle ends");
        TerminateTask();
    }
}

static void Start(void) {
    puts("Start: the tick and the alarm line enabled; Idle waits");
    BoardSetPriority(BOARD_TICK, TICK_LEVEL);
    BoardSetPriority(16 + ALARM_IRQ, ALARM_LEVEL);
    BoardEnableIrq(ALARM_IRQ);
    BoardStartTick(BoardTicksFromMs(TICK_MS));
    ActivateTask(Idle, TASK_IDLE_PRIORITY, "Idle");
    TerminateTask();
}

int main(void) {
    StartOS(Start, TASK_START_PRIORITY, "Start");
#ifdef ONESTACK_TRACE
    /* A traced build writes the run to the host through semihosting, and
     * where the board has a UART, the same bytes through it too. */
    if (WriteTrace("interrupts.trace") != 0) return 1;
#ifdef BOARD_UART
    BoardUartStart();
    if (DumpTrace(BoardUartSink, 0) != 0) return 1;
#endif
#endif
    return 0;
}
