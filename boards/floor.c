/* A firmware that uses the kernel and nothing else: one task activates
 * another, takes a resource and terminates. Its image is what a firmware
 * pays for the kernel, the start-up code and the C library's little that
 * they use; footprint.sh holds it to 5 KiB at -Os. */
#include "onestack.h"

static void Second(void) { TerminateTask(); }

static void First(void) {
    ActivateTask(Second, 2, "Second");
    AcquireResource(3, 0);
    ReleaseResource(3, 0);
    TerminateTask();
}

int main(void) { return StartOS(First, 1, "First"); }
