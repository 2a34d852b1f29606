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
ResourceRecord &ResourceAt(int32_t r) { return resource_table[static_cast<uint32_t>(r)]; }

int32_t TakeResourceRecord() {
    const int32_t r = free_resource_head;
    free_resource_head = ResourceAt(r).ceiling;
    return r;
}

void ReturnResourceRecord(int32_t r) {
    ResourceAt(r).ceiling = free_resource_head;
    ResourceAt(r).owner = NO_TASK;
    free_resource_head = r;
}

// Has the release left a ready task above `t`, so that it must step aside?
bool IsOutrankedByNext(TaskId t) {
    const TaskId next = TaskAt(t).next;
    return next != NO_TASK && TaskAt(next).current_priority > TaskAt(t).current_priority;
}

// Precondition: `t` heads the ready list, a task behind it now outranks
// it, and interrupts are masked by `mask`. Ahead of equals, so that a task
// of equal priority does not take over.
void StepAside(TaskId t, port::InterruptMask mask) {
    ready_head = TaskAt(t).next;
    InsertReady(t, AHEAD_OF_EQUALS);
    port::RestoreInterrupts(mask);
    ONESTACK_TRACE_EVENT(TRACE_PREEMPTED, t, 0, 0);
    Dispatch(t);
    ONESTACK_TRACE_EVENT(TRACE_RESUMED, t, 0, 0);
}

} // namespace

extern "C" {

void AcquireResource(int32_t ceiling, int32_t key) {
    if (!IsCallerRunning()) {
        return StopCaller("AcquireResource");
    }
    const TaskId t = ready_head;
    const port::InterruptMask mask = port::MaskInterrupts();
    if (free_resource_head == NO_RECORD) {
        return StopKernel(ONESTACK_RULE("AcquireResource", "no free resource record (8 holds exist)"));
    }
    const int32_t r = TakeResourceRecord();
    ResourceRecord &hold = ResourceAt(r);
    hold.owner = t;
    hold.ceiling = ceiling;
    hold.key = key;
    port::RestoreInterrupts(mask);
    ++TaskAt(t).hold_count;
    // The running task heads the ready list, so raising it keeps the order,
    // seen from a handler before the store or after it.
    if (TaskAt(t).current_priority < ceiling) {
        TaskAt(t).current_priority = ceiling;
    }
    ONESTACK_TRACE_EVENT(TRACE_ACQUIRED, t, TaskAt(t).current_priority, ceiling);
}

// One scan of the caller's holds finds the record of the pair to give back
// and the priority that the other holds demand; a hold of the same pair
// that stays held counts with its ceiling.
//
// If the released ceiling equals the task's priority, that hold may be what
// set it: the last record of the pair goes back, the task falls to what its
// other holds demand, and every task that now outranks it runs; otherwise it
// keeps its place at the head, ahead of its equals. If not, another hold or
// the base priority governs, and only the first record of the pair goes back.
void ReleaseResource(int32_t ceiling, int32_t key) {
    if (!IsCallerRunning()) {
        return StopCaller("ReleaseResource");
    }
    const TaskId t = ready_head;
    TaskRecord &task = TaskAt(t);
    const bool governing = ceiling == task.current_priority;
    int32_t priority = task.base_priority;
    int32_t found = NO_RECORD;
    // hold_count equals the number of records the task owns, so the scan
    // ends on meeting the last of them and never runs past the table.
    for (int32_t r = 0, unseen = task.hold_count; unseen > 0; ++r) {
        const ResourceRecord &hold = ResourceAt(r);
        if (hold.owner != t) {
            continue;
        }
        --unseen;
        if (hold.ceiling == ceiling && hold.key == key) {
            if (found != NO_RECORD && ceiling > priority) {
                priority = ceiling;
            }
            if (governing || found == NO_RECORD) {
                found = r;
            }
        } else if (hold.ceiling > priority) {
            priority = hold.ceiling;
        }
    }
    if (found == NO_RECORD) {
        return StopKernel(ONESTACK_RULE("ReleaseResource", "the running task holds no such resource"));
    }
    // Between the fall and the step aside the list is out of order, and a
    // handler's insertion would go astray.
    const port::InterruptMask mask = port::MaskInterrupts();
    --task.hold_count;
    ReturnResourceRecord(found);
    ONESTACK_TRACE_EVENT(TRACE_RELEASED, t, governing ? priority : task.current_priority, ceiling);
    if (governing) {
        task.current_priority = priority;
        if (IsOutrankedByNext(t)) {
            return StepAside(t, mask);
        }
    }
    port::RestoreInterrupts(mask);
}

} // extern "C"
