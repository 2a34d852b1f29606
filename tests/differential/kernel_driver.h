// Runs a task program on the real kernel, recording the trace and checking
// the kernel's tables and the stack resource policy after every call.
#ifndef ONESTACK_TESTS_KERNEL_DRIVER_H
#define ONESTACK_TESTS_KERNEL_DRIVER_H

#include "task_program.h"

namespace harness {

struct KernelRun {
    Trace trace;
    std::vector<std::string> violations; // empty when every check held
};

KernelRun RunKernel(const Program &program);

} // namespace harness

#endif
