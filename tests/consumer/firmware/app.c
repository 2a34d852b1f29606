/* One task that activates another, takes a resource and terminates. */
#include <stdio.h>

#include "board.h"
#include "onestack.h"

static void Second(void) {
    puts("Second: runs once the resource is released");
    TerminateTask();
}

static void First(void) {
    AcquireResource(2, 0);
    ActivateTask(Second, 2, "Second");
    puts("First: holds the resource");
    ReleaseResource(2, 0);
    puts("First: ends");
    TerminateTask();
}

int main(void) {
    StartOS(First, 1, "First");
    return 0;
}
