// The scheduling rules written a second time, for clarity, sharing nothing
// with the kernel.
#ifndef ONESTACK_TESTS_REFERENCE_MODEL_H
#define ONESTACK_TESTS_REFERENCE_MODEL_H

#include "task_program.h"

namespace harness {

Trace RunModel(const Program &program);

} // namespace harness

#endif
