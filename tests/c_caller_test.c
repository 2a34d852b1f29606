/* The kernel called from C: preemption and a resource through the real
 * kernel, checked by the output it leaves. */
#include <stdio.h>

#include "onestack.h"

static void High(void) {
    puts("High preempts Low, above the ceiling");
    TerminateTask();
}

static void Middle(void) {
    puts("Middle runs at the release");
    TerminateTask();
}

static void Low(void) {
    puts("Low takes (2, 7)");
    AcquireResource(2, 7);
    ActivateTask(Middle, 2, "Middle"); /* at the ceiling: waits */
    ActivateTask(High, 3, "High");
    puts("Low releases (2, 7)");
    ReleaseResource(2, 7);
    puts("Low ends");
    TerminateTask();
}

int main(void) {
    const int32_t result = StartOS(Low, 1, "Low");
    printf("StartOS returned %d\n", (int)result);
    ShutdownOS();
    return 0;
}
