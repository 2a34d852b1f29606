// Resources under the immediate priority-ceiling rule. A hold is one held
// record; a task's current priority is the greater of its base priority
// and the ceilings of its holds.
#include "kernel_private.h"

using namespace kernel;

namespace {

int32_t TakeResourceRecord() {
    const int32_t r = free_resource_head;
    free_resource_head = resource_table[r].ceiling;
    return r;
}

void ReturnResourceRecord(int32_t r) {
    resource_table[r].ceiling = free_resource_head;
    resource_table[r].owner = NO_TASK;
    free_resource_head = r;
}

bool IsHold(const ResourceRecord &r, TaskId owner, int32_t ceiling, int32_t key) {
    return r.owner == owner && r.ceiling == ceiling && r.key == key;
}

[[noreturn]] void StopReleaseOfUnheldPair() {
    StopKernel("ReleaseResource", "the running task holds no such resource");
}

// The released hold may be what sets the task's priority: recompute it from
// the other holds, give back the last matching record, and let every task
// that now outranks the task run.
void ReleaseGoverningHold(TaskId t, int32_t ceiling, int32_t key) {
    int32_t priority = task_table[t].base_priority;
    int32_t found = NO_RECORD;
    for (int32_t r = 0; r < MAX_RESOURCES; ++r) {
        const ResourceRecord &hold = resource_table[r];
        if (IsHold(hold, t, ceiling, key)) {
            // An earlier hold of the same pair stays held, and so does its ceiling.
            if (found != NO_RECORD && ceiling > priority) {
                priority = ceiling;
            }
            found = r;
        } else if (hold.owner == t && hold.ceiling > priority) {
            priority = hold.ceiling;
        }
    }
    if (found == NO_RECORD) {
        StopReleaseOfUnheldPair();
    }
    task_table[t].current_priority = priority;
    ready_head = task_table[t].next;
    // Ahead of equals: a task of the same priority does not take over.
    InsertReady(t, AHEAD_OF_EQUALS);
    ReturnResourceRecord(found);
    if (ready_head != t) {
        Dispatch(t);
    }
}

// Another hold or the base priority governs the task's priority, so
// nothing changes but the record, the first matching one.
void ReleaseOtherHold(TaskId t, int32_t ceiling, int32_t key) {
    for (int32_t r = 0; r < MAX_RESOURCES; ++r) {
        if (IsHold(resource_table[r], t, ceiling, key)) {
            ReturnResourceRecord(r);
            return;
        }
    }
    StopReleaseOfUnheldPair();
}

} // namespace

extern "C" {

void AcquireResource(int32_t ceiling, int32_t key) {
    const TaskId t = ready_head;
    if (t == NO_TASK) {
        StopKernel("AcquireResource", "no task is running");
    }
    if (free_resource_head == NO_RECORD) {
        StopKernel("AcquireResource", "no free resource record (8 holds exist)");
    }
    const int32_t r = TakeResourceRecord();
    resource_table[r].ceiling = ceiling;
    resource_table[r].owner = t;
    resource_table[r].key = key;
    // The running task heads the ready list, so raising it keeps the order.
    if (task_table[t].current_priority < ceiling) {
        task_table[t].current_priority = ceiling;
    }
}

void ReleaseResource(int32_t ceiling, int32_t key) {
    const TaskId t = ready_head;
    if (t == NO_TASK) {
        StopKernel("ReleaseResource", "no task is running");
    }
    if (ceiling == task_table[t].current_priority) {
        ReleaseGoverningHold(t, ceiling, key);
    } else {
        ReleaseOtherHold(t, ceiling, key);
    }
}

} // extern "C"
