// The demonstration program's run, traced: writes the trace to the file
// named by its argument.
#include <stdio.h>

#include "../../demo/tasks.h"
#include "onestack.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: record_demo TRACE\n", stderr);
        return 2;
    }
    StartOS(Task1, 1, "Task1");
    if (WriteTrace(argv[1]) != 0) {
        fprintf(stderr, "record_demo: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
