// Each task announces itself, activates the next, higher-priority task
// (which preempts it at once), and reports again once it has resumed.
#include "tasks.h"

#include "onestack.h"

#include <stdio.h>

void Task1() {
    fputs("Task1 is begining\n", stdout);
    ActivateTask(Task2, 2, "Task2");
    fputs("Task1\n", stdout);
    TerminateTask();
}

void Task2() {
    fputs("Task2 is begining\n", stdout);
    ActivateTask(Task3, 3, "Task3");
    fputs("Task2\n", stdout);
    TerminateTask();
}

// The innermost task makes no kernel call, so nothing can run between its
// two messages.
void Task3() {
    fputs("Task3 is begining\n", stdout);
    fputs("Task3\n", stdout);
    TerminateTask();
}
