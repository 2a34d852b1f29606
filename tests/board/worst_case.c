/* A task set that reaches its own stack bound. Four tasks, priorities 1 to
 * 4, and three handlers, levels 2 to 0, each with its deepest point in one
 * function of its own. Each of the three lower tasks, at its deepest,
 * raises the level-2 line, whose handler activates a short task and then
 * the next one at the same priority: the interrupt's exit runs the first
 * above the frame and the next through the dispatch that follows it, its
 * deepest path. The top task, at its deepest, raises the level-2 line
 * again, whose handler at its deepest raises the level-1 line, whose
 * handler at its deepest raises the level-0 line, whose handler ends the
 * run at its deepest. So every term the stack tool adds is on the stack at
 * once, where the bound puts it, the run's end on top; the painted peak
 * must come within a few bytes of the bound. With an FPU each level uses
 * it before it is interrupted, so that every interrupt stacks the
 * floating-point frame too. */
#include <stdint.h>

#include "board.h"
#include "board_output.h"
#include "onestack.h"

/* Level 2 activates the next task, or nests; levels 1 and 0 nest. */
#define LOW_LINE BOARD_RAISABLE_IRQ_2
#define MIDDLE_LINE BOARD_RAISABLE_IRQ_1
#define TOP_LINE 0

enum {
    LEVELS = 7, /* the four tasks, then the three handlers */
    WORDS = 24, /* of each level's deepest frame */
};

static volatile uint32_t reached;  /* the levels that reached their deepest, a bit each */
static volatile int32_t next_task; /* the task that the low line activates, or 0 to nest */

/* The work at a level's deepest point, in the frame of the function that
 * has it: WORDS words, and the FPU in use where there is one. */
static inline __attribute__((always_inline)) void Work(volatile uint32_t *frame, uint32_t level) {
    for (uint32_t i = 0; i < WORDS; ++i) frame[i] = level + i;
#if defined(__ARM_FP) || defined(__riscv_flen)
    volatile float scale = 1.5f;
    scale = scale * (float)level;
    frame[0] = (uint32_t)scale;
#endif
    reached = reached | 1u << level;
}

/* Raises `line` in the caller's frame. On RISC-V BoardPendIrq is a call,
 * whose frame is gone by the time its interrupt comes, though another
 * interrupt could find it there: the store that raises the line is made
 * here instead, and the handler clears the line's condition, which the
 * board clears only for what BoardPendIrq raised. */
static inline __attribute__((always_inline)) void Raise(uint32_t line) {
#if defined(__riscv)
    if (line == 0) {
        BOARD_REGISTER(BOARD_CLINT) = 1; /* MSIP */
    } else {
        BoardRaiseSource(line);
    }
#else
    BoardPendIrq(line);
#endif
}

static inline void Acknowledge(uint32_t line) {
#if defined(__riscv)
    BoardClearSource(line);
#else
    (void)line;
#endif
}

/* A level's deepest point: raises `line` there and stays until the level
 * that it puts above has run. */
__attribute__((noinline)) static void RaiseAtDeepest(uint32_t level, uint32_t line) {
    volatile uint32_t frame[WORDS];
    Work(frame, level);
    Raise(line);
    while ((reached & 1u << (level + 1)) == 0) {
    }
}

/* The top level's deepest point, where the run ends with every level
 * beneath it. BoardExit masks interrupts and reports the painted peak. */
__attribute__((noinline)) static void EndAtDeepest(uint32_t level) {
    volatile uint32_t frame[WORDS];
    Work(frame, level);
    uint32_t levels = 0;
    for (uint32_t bits = reached; bits != 0; bits >>= 1) levels += bits & 1u;
    BoardWrite(BOARD_STDOUT, "worst case: ");
    BoardWriteNumber(BOARD_STDOUT, levels, 0);
    BoardWrite(BOARD_STDOUT,
               levels == LEVELS ? " levels, each above the last: passed\n" : " levels of 7: FAILED\n");
    BoardExit(levels == LEVELS ? 0 : 1);
}

static void RaiseNext(uint32_t level) {
    next_task = (int32_t)level + 2;
    RaiseAtDeepest(level, LOW_LINE);
    TerminateTask();
}

static void Task1(void) { RaiseNext(0); }
static void Task2(void) { RaiseNext(1); }
static void Task3(void) { RaiseNext(2); }

/* Ahead of the next task at its priority, so that the next runs where the
 * interrupt's exit is deepest: from the dispatch after a first task. */
static void Prelude(void) { TerminateTask(); }

static void Task4(void) {
    next_task = 0;
    RaiseAtDeepest(3, LOW_LINE);
    TerminateTask();
}

void BOARD_IRQ_HANDLER(LOW_LINE)(void) {
    static const TaskEntry entries[] = {Task2, Task3, Task4};
    static const char *const names[] = {"Task2", "Task3", "Task4"};
    Acknowledge(LOW_LINE);
    const int32_t task = next_task;
    if (task != 0) {
        ActivateTask(Prelude, task, "Prelude");
        ActivateTask(entries[task - 2], task, names[task - 2]);
    } else {
        RaiseAtDeepest(4, MIDDLE_LINE);
    }
}

void BOARD_IRQ_HANDLER(MIDDLE_LINE)(void) {
    Acknowledge(MIDDLE_LINE);
    RaiseAtDeepest(5, TOP_LINE);
}

void BOARD_IRQ_HANDLER(TOP_LINE)(void) { EndAtDeepest(6); }

int main(void) {
    static const uint32_t lines[] = {LOW_LINE, MIDDLE_LINE, TOP_LINE};
    for (uint32_t i = 0; i < 3; ++i) {
        BoardSetPriority(16 + (int32_t)lines[i], 2 - i);
        BoardEnableIrq(lines[i]);
    }
    StartOS(Task1, 1, "Task1");
    BoardWrite(BOARD_STDOUT, "worst case: the run ended below its top level: FAILED\n");
    return 1;
}
