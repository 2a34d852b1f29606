// Shows nested preemption: Task1 activates Task2, which activates Task3;
// each activation preempts the caller, so the three runs nest.
#include "tasks.h"

#include "onestack.h"

#include <stdio.h>

int main() {
    fputs("Test!\n", stdout);
    StartOS(Task1, 1, "Task1");
    ShutdownOS();
    return 0;
}
