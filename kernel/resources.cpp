// Resources under the immediate priority-ceiling rule. A hold is one held
// record; a task's current priority is the greater of its base priority
// and the ceilings of its holds.
//
// Between any two instructions of a task, an interrupt's exit may run
// other tasks to completion, and they may take and give back records in
// any order: so the free list is only ever changed with interrupts masked.
// The caller's own records and priority are its alone.
#include "kernel_private.h"

using namespace onestack;

namespace {

// Precondition: `r` is an index, not NO_RECORD.
[[gnu::always_inline]] inline ResourceRecord &ResourceAt(int32_t r) {
    return resource_table[static_cast<uint32_t>(r)];
}

[[gnu::always_inline]] inline int32_t TakeResourceRecord() {
    const int32_t r = free_resource_head;
    free_resource_head = ResourceAt(r).ceiling;
    return r;
}

[[gnu::always_inline]] inline void ReturnResourceRecord(int32_t r) {
    ResourceAt(r).ceiling = free_resource_head;
    ResourceAt(r).owner = NO_TASK;
    free_resource_head = r;
}

// Has the release left a ready task, `next`, above the running task, now at
// `priority`, so that it must step aside?
[[gnu::always_inline]] inline bool IsOutrankedBy(TaskId next, int32_t priority) {
    return next != NO_TASK && TaskAt(next).current_priority > priority;
}

// Precondition: `t` heads the ready list, a task behind it now outranks
// it, and interrupts are masked by `mask`. Ahead of equals, so that a task
// of equal priority does not take over. Out of line, so that a release
// that dispatches nothing needs no stack frame.
[[gnu::noinline]] void StepAside(TaskId t, port::InterruptMask mask) {
    ready_head = TaskAt(t).next;
    InsertReady(t, AHEAD_OF_EQUALS);
    port::RestoreInterrupts(mask);
    ONESTACK_TRACE_EVENT(TRACE_PREEMPTED, t, 0, 0);
    Dispatch(t);
    ONESTACK_TRACE_EVENT(TRACE_RESUMED, t, 0, 0);
}

// Precondition: `r` is off the stack of `t`, the running task, and
// `priority` is what its remaining holds and its base priority demand. The
// task falls to it, and every task that now outranks it runs; otherwise it
// keeps its place at the head, ahead of its equals. Between the fall and
// the step aside the list is out of order, and a handler's insertion would
// go astray.
[[gnu::always_inline]] inline void GiveBack(TaskId t, int32_t r, int32_t priority) {
    const port::InterruptMask mask = port::MaskInterrupts();
    TaskAt(t).current_priority = priority;
    const TaskId next = TaskAt(t).next;
    ONESTACK_TRACE_EVENT(TRACE_RELEASED, t, priority, ResourceAt(r).ceiling);
    ReturnResourceRecord(r);
    if (IsOutrankedBy(next, priority)) {
        return StepAside(t, mask);
    }
    port::RestoreInterrupts(mask);
}

[[gnu::always_inline]] inline bool IsPair(const ResourceRecord &hold, int32_t ceiling, int32_t key) {
    return hold.ceiling == ceiling && hold.key == key;
}

// A release of a hold that is not the newest, or of none. A scan of the
// table finds it sooner than a walk down the stack. The holds above the
// released one were taken while it counted: what they remember is put right
// from the lowest up, and stops at the first that stays the same, since all
// above it then stay the same too.
[[gnu::noinline]] void ReleaseOlderHold(int32_t ceiling, int32_t key, TaskId t) {
    int32_t r = 0;
    while (r < MAX_RESOURCES && !(ResourceAt(r).owner == t && IsPair(ResourceAt(r), ceiling, key))) {
        ++r;
    }
    if (r == MAX_RESOURCES) {
        return StopKernel(ONESTACK_RULE("ReleaseResource", "the running task holds no such resource"));
    }
    TaskRecord &task = TaskAt(t);
    // The newest hold is not the pair, so the one found has a hold above it.
    const ResourceRecord &released = ResourceAt(r);
    int32_t h = released.above;
    ResourceAt(h).below = released.below;
    if (released.below >= 0) { // not the lowest hold
        ResourceAt(released.below).above = static_cast<int16_t>(h);
    }
    int32_t priority = released.priority_below;
    for (;;) {
        ResourceRecord &hold = ResourceAt(h);
        if (hold.priority_below == priority) {
            priority = task.current_priority;
            break;
        }
        hold.priority_below = priority;
        if (hold.ceiling > priority) {
            priority = hold.ceiling;
        }
        if (h == task.top_hold) {
            break;
        }
        h = hold.above;
    }
    GiveBack(t, r, priority);
}

} // namespace

extern "C" {

void AcquireResource(int32_t ceiling, int32_t key) {
    if (!IsCallerRunning()) {
        return StopCaller("AcquireResource");
    }
    const TaskId t = ready_head;
    TaskRecord &task = TaskAt(t);
    ONESTACK_CHECK_HOLD(task.name, ceiling);
    const port::InterruptMask mask = port::MaskInterrupts();
    if (free_resource_head == NO_RECORD) {
        return StopKernel(ONESTACK_RULE("AcquireResource", "no free resource record (8 holds exist)"));
    }
    const int32_t r = TakeResourceRecord();
    port::RestoreInterrupts(mask);
    // The task's fields first: the compiler cannot tell them apart from the
    // hold's, and would read them again after each store to the hold.
    const int32_t priority = task.current_priority;
    const int32_t below = task.top_hold;
    task.top_hold = r;
    // The running task heads the ready list, so raising it keeps the order,
    // seen from a handler before the store or after it.
    if (priority < ceiling) {
        task.current_priority = ceiling;
    }
    ResourceRecord &hold = ResourceAt(r);
    hold.owner = t;
    hold.ceiling = ceiling;
    hold.key = key;
    hold.priority_below = priority;
    hold.below = static_cast<int16_t>(below);
    if (below >= 0) { // a hold, not NO_RECORD or CONSUMING
        ResourceAt(below).above = static_cast<int16_t>(r);
    }
    ONESTACK_TRACE_EVENT(TRACE_ACQUIRED, t, task.current_priority, ceiling);
}

// The newest hold of the pair goes back. Usually it is the task's newest
// hold of all, and the task falls to what that hold remembers.
void ReleaseResource(int32_t ceiling, int32_t key) {
    if (!IsCallerRunning()) {
        return StopCaller("ReleaseResource");
    }
    const TaskId t = ready_head;
    TaskRecord &task = TaskAt(t);
    const int32_t r = task.top_hold;
    if (r < 0 || !IsPair(ResourceAt(r), ceiling, key)) {
        return ReleaseOlderHold(ceiling, key, t);
    }
    task.top_hold = ResourceAt(r).below;
    GiveBack(t, r, ResourceAt(r).priority_below);
}

} // extern "C"
