/* Nested preemption drawn as a timeline. Each task records the steps at
 * which it starts, works and ends; the chart shows one row per task, highest
 * priority on top, and one column per step: a letter where the task runs, a
 * dot where it has started but waits preempted. */
#include <stdio.h>

#include "onestack.h"
#include "task_set.h"

enum { STEPS = 32, TASKS = 5 };

static const char names[TASKS] = {'D', 'C', 'B', 'A', 'E'};
static const int priorities[TASKS] = {4, 3, 2, 1, 1};
static char running[STEPS]; /* the task that ran at each step */
static int started[TASKS], ended[TASKS];
static int now;

static int IndexOf(char name) {
    int i = 0;
    while (names[i] != name) ++i;
    return i;
}

static void Begin(char name) {
    started[IndexOf(name)] = now;
    running[now++] = name;
}
static void Work(char name) { running[now++] = name; }
static void End(char name) {
    ended[IndexOf(name)] = now;
    running[now++] = name;
    TerminateTask();
}

static void D(void) {
    Begin('D');
    Work('D');
    End('D');
}
static void E(void) {
    Begin('E');
    Work('E');
    End('E');
}
static void B(void) {
    Begin('B');
    ActivateTask(D, TASK_D_PRIORITY, "D");
    Work('B');
    End('B');
}
static void C(void) {
    Begin('C');
    ActivateTask(B, TASK_B_PRIORITY, "B");
    Work('C');
    End('C');
}
static void A(void) {
    Begin('A');
    ActivateTask(C, TASK_C_PRIORITY, "C"); /* preempts A; C makes B ready, which runs before A resumes */
    Work('A');
    ActivateTask(E, TASK_E_PRIORITY, "E"); /* equal priority: waits until A has ended */
    End('A');
}

int main(void) {
    StartOS(A, TASK_A_PRIORITY, "A");
    puts("One column per step: a letter where the task runs, a dot where it waits preempted.");
    for (int t = 0; t < TASKS; ++t) {
        printf("%c (priority %d) |", names[t], priorities[t]);
        for (int step = 0; step < now; ++step) {
            const int waiting = step > started[t] && step < ended[t];
            putchar(running[step] == names[t] ? names[t] : waiting ? '.' : ' ');
        }
        puts("|");
    }
    return 0;
}
