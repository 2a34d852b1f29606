/* Tickless idle on a Cortex-M board: three timers (A every 7 ticks, B every
 * 11, C once at 30) and an idle task that, between activations, programs
 * the board's tick for the next due time and sleeps with WFI, instead of
 * taking an interrupt every tick. The tick's handler advances time by the
 * ticks it was programmed for. The program counts the tick interrupts,
 * which equal the due times met, not the ticks elapsed, and checks that no
 * activation came late. */
#include <stdio.h>

#include "board.h"
#include "onestack.h"
#include "task_set.h"

enum {
    TICK_US = 800, /* one tick of time */
    END = 100,     /* ticks of time to run */
};

static volatile uint32_t programmed; /* ticks the tick's next interrupt stands for */
static volatile int interrupts, activations, late, due_instants;
static uint32_t last_instant;
static TimerId a, b, c;

/* A timer's task: at a multiple of its period, or late. */
static void Run(char name, uint32_t period, uint32_t first) {
    const uint32_t now = TickCount();
    if (now < first || (now - first) % period != 0) ++late;
    ++activations;
    if (now != last_instant) ++due_instants;
    last_instant = now;
    printf("%c at tick %lu\n", name, (unsigned long)now);
    TerminateTask();
}

static void A(void) { Run('A', 7, 7); }
static void B(void) { Run('B', 11, 11); }
static void C(void) { Run('C', 1, 30); }

void BOARD_TICK_HANDLER(void) {
    BoardAcknowledgeTick();
    BoardStartTick(0);
    ++interrupts;
    AdvanceTime(programmed);
}

/* Sleeps until the next due time, or the end, whichever comes first. The
 * reading of the time, the tick's programming and the wait are made with
 * interrupts masked: a tick that comes between them is pending at the
 * wait, which it ends, and runs after it. */
static void Idle(void) { /* priority 0 */
    const uint32_t was = BoardMaskInterrupts();
    const uint32_t now = TickCount();
    if (now >= END) {
        BoardRestoreInterrupts(was);
        StopTimer(a);
        StopTimer(b);
        StopTimer(c);
        TerminateTask();
        return;
    }
    uint32_t ticks = TicksUntilNextTimer();
    if (ticks > END - now) ticks = END - now;
    programmed = ticks;
    BoardStartTick(ticks * BoardTicksFromUs(TICK_US));
    BoardWaitForInterrupt();
    BoardRestoreInterrupts(was);
}

static void Start(void) {
    a = StartTimer(A, TASK_A_PRIORITY, "A", 7, 7);
    b = StartTimer(B, TASK_B_PRIORITY, "B", 11, 11);
    c = StartTimer(C, TASK_C_PRIORITY, "C", 30, 0);
    BoardSetPriority(BOARD_TICK, 0);
    ActivateTask(Idle, TASK_IDLE_PRIORITY, "Idle");
    TerminateTask();
}

int main(void) {
    StartOS(Start, TASK_START_PRIORITY, "Start");
    printf("%d ticks of time, %d tick interrupts: %d at due times, %d at the end; %d activations, %d late\n",
           END, interrupts, due_instants, interrupts - due_instants, activations, late);
    return 0;
}
