/* Rate-monotonic periodic tasks from timers, on a Cortex-M board: Fast
 * every tick (priority 3), Medium every 2 (2), Slow every 5 (1), all
 * sharing one log under its ceiling (3). The board's tick advances time by
 * one; each task writes down the tick it ran at. At the end the program
 * prints, tick by tick, who ran, in order, and checks that no activation
 * ran late or was missed. The priorities, periods, tick and ceiling come
 * from the task set's description, periodic.stack, through task_set.h,
 * which the build writes from it. */
#include <stdio.h>

#include "board.h"
#include "onestack.h"
#include "task_set.h"

#if defined(PERIODIC_TICKS)
enum { TICKS = PERIODIC_TICKS };
#elif defined(ONESTACK_TRACE)
enum { TICKS = 10 }; /* a traced run: short enough for the ring */
#else
enum { TICKS = 1000 };
#endif

/* Who ran at each tick, in order: two bits a run, the first run highest. */
static const char names[] = "?FMS";
static uint8_t ran[TICKS + 1];
static volatile int runs, late;
static volatile int done;

/* Each run is at a multiple of its period: a late one is counted. */
static void Record(uint8_t task, uint32_t period) {
    AcquireResource(RESOURCE_LOG_CEILING, RESOURCE_LOG_KEY);
    const uint32_t now = TickCount();
    if (now % period != 0 || now > TICKS) {
        ++late;
    } else {
        ran[now] = (uint8_t)(ran[now] << 2 | task);
    }
    ++runs;
    ReleaseResource(RESOURCE_LOG_CEILING, RESOURCE_LOG_KEY);
    TerminateTask();
}

static void Fast(void) { Record(1, TASK_FAST_PERIOD_TICKS); }
static void Medium(void) { Record(2, TASK_MEDIUM_PERIOD_TICKS); }
static void Slow(void) { Record(3, TASK_SLOW_PERIOD_TICKS); }

void BOARD_TICK_HANDLER(void) {
    BoardAcknowledgeTick();
#ifdef ONESTACK_TRACE
    TraceHandlerBegin("SysTick_Handler"); /* its run, by its description's name, for the timing */
#endif
    AdvanceTime(1);
    if (TickCount() == TICKS) {
        BoardStartTick(0);
        done = 1;
    }
#ifdef ONESTACK_TRACE
    TraceHandlerEnd();
#endif
}

static TimerId timers[3];

static void Idle(void) { /* the lowest priority */
    if (BoardWaitUnless(&done)) {
        for (int i = 0; i < 3; ++i) StopTimer(timers[i]);
        TerminateTask();
    }
}

static void Start(void) {
    timers[0] = StartTimer(Fast, TASK_FAST_PRIORITY, "Fast", TASK_FAST_PERIOD_TICKS, TASK_FAST_PERIOD_TICKS);
    timers[1] = StartTimer(Medium, TASK_MEDIUM_PRIORITY, "Medium", TASK_MEDIUM_PERIOD_TICKS,
                           TASK_MEDIUM_PERIOD_TICKS);
    timers[2] = StartTimer(Slow, TASK_SLOW_PRIORITY, "Slow", TASK_SLOW_PERIOD_TICKS, TASK_SLOW_PERIOD_TICKS);
    BoardSetPriority(BOARD_TICK, 0);
    BoardStartTick(BoardTicksFromUs(TASK_SET_TICK_US));
    ActivateTask(Idle, TASK_IDLE_PRIORITY, "Idle");
    TerminateTask();
}

int main(void) {
#ifdef ONESTACK_TRACE
    SetTraceClock(BoardClock, BOARD_CLOCK_HZ);
#endif
    StartOS(Start, TASK_START_PRIORITY, "Start");
    for (int tick = 1; tick <= TICKS; ++tick) {
        printf("tick %4d:", tick);
        int shift = 6;
        while (shift > 0 && (ran[tick] >> shift) == 0) shift -= 2;
        for (; shift >= 0; shift -= 2) printf(" %c", names[(ran[tick] >> shift) & 3]);
        putchar('\n');
    }
    uint32_t missed = 0;
    for (int i = 0; i < 3; ++i) missed += TimerMisses(timers[i]);
    printf("%d ticks, %d runs, %d late, %lu missed\n", TICKS, runs, late, (unsigned long)missed);
#ifdef ONESTACK_TRACE
    if (WriteTrace("periodic.trace") != 0) return 1;
#endif
    return 0;
}
