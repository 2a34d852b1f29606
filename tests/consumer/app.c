#include <stdio.h>

#include <onestack.h>

static void Inner(void) {
    puts("inner");
    TerminateTask();
}

static void Outer(void) {
    ActivateTask(Inner, 2, "inner");
    puts("outer");
    TerminateTask();
}

int main(void) { return StartOS(Outer, 1, "outer"); }
