// The kernel's trace hooks. Built with ONESTACK_TRACE each hook records an
// event in a ring in static storage; without it every hook is an empty
// statement and the kernel's machine code is what it is without them.
#ifndef ONESTACK_KERNEL_TRACE_H
#define ONESTACK_KERNEL_TRACE_H

#include "onestack.h"

#ifdef ONESTACK_TRACE
namespace onestack {
// `a` and `b` as TraceEventKind documents them; `name` for activations.
void RecordEvent(TraceEventKind kind, TaskId task, int32_t a, int32_t b, const char *name);
void ResetTrace();
} // namespace onestack
#define ONESTACK_TRACE_RESET() ::onestack::ResetTrace()
#define ONESTACK_TRACE_EVENT(kind, task, a, b) ::onestack::RecordEvent(kind, task, a, b, nullptr)
#define ONESTACK_TRACE_ACTIVATION(kind, task, priority, name)                                                \
    ::onestack::RecordEvent(kind, task, priority, 0, name)
#else
#define ONESTACK_TRACE_RESET() ((void)0)
#define ONESTACK_TRACE_EVENT(kind, task, a, b) ((void)0)
#define ONESTACK_TRACE_ACTIVATION(kind, task, priority, name) ((void)0)
#endif

#endif // ONESTACK_KERNEL_TRACE_H
