// All kernel state, with static storage for the whole process.
#include "kernel_private.h"

#include <stdio.h>
#include <stdlib.h>

namespace kernel {

// Every record is on exactly one list. Live tasks are on the ready list
// (threaded through `next`, headed by ready_head, ordered by current
// priority, the head being the running task); free records are on the
// free task list (through `next`, headed by free_task_head). -1 (NO_TASK)
// ends both lists.
TaskRecord task_table[MAX_TASKS];

// A record is held (owner is the holder) or free: owner NO_TASK, on the
// free resource list threaded through `ceiling` from free_resource_head,
// ended by -1 (NO_RECORD). Both free lists are stacks.
ResourceRecord resource_table[MAX_RESOURCES];

// The list heads start empty, not zero, so that a kernel call made before
// the first StartOS meets an empty list and stops instead of following
// links through zeroed records.
TaskId ready_head = NO_TASK;
TaskId free_task_head = NO_TASK;
int32_t free_resource_head = NO_RECORD;

void ResetTables() {
    ready_head = NO_TASK;
    free_task_head = 0;
    free_resource_head = 0;
    for (TaskId i = 0; i < MAX_TASKS; ++i) {
        task_table[i].next = i + 1;
        // Free records hold nothing: TerminateTask refuses a task that
        // still holds a resource, so activation need not clear this.
        task_table[i].hold_count = 0;
    }
    task_table[MAX_TASKS - 1].next = NO_TASK;
    for (int32_t r = 0; r < MAX_RESOURCES; ++r) {
        resource_table[r].ceiling = r + 1;
        resource_table[r].owner = NO_TASK;
    }
    resource_table[MAX_RESOURCES - 1].ceiling = NO_RECORD;
}

void StopKernel(const char *operation_and_rule) {
    fprintf(stderr, "onestack: %s\n", operation_and_rule);
    abort();
}

} // namespace kernel
