// Shows nested preemption: Task1 activates Task2, which activates Task3;
// each activation preempts the caller, so the three runs nest.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "onestack.h"
#include "tasks.h"

// A failed write (a full disk, a closed standard output) must not end in
// exit status 0: the lines did not reach their reader.
static int ReportWriteFailure() {
    errno = 0;
    if (fflush(stdout) == 0 && ferror(stdout) == 0) {
        return 0;
    }
    // An earlier write may have failed and fflush found nothing to write.
    fprintf(stderr, "demo: cannot write standard output: %s\n", errno != 0 ? strerror(errno) : "write error");
    return 1;
}

int main() {
    fputs("Test!\n", stdout);
    StartOS(Task1, 1, "Task1");
    ShutdownOS();
    return ReportWriteFailure();
}
