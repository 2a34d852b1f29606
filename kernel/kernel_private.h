// Kernel-private declarations: the tables, the list heads, the ready-list
// insertion and the dispatcher. Only kernel sources and white-box tests
// include this header.
#ifndef ONESTACK_KERNEL_PRIVATE_H
#define ONESTACK_KERNEL_PRIVATE_H

#include "onestack.h"

namespace kernel {

constexpr int32_t NO_RECORD = -1;

// Placements for InsertReady. Any value other than BEHIND_EQUALS acts as
// AHEAD_OF_EQUALS.
constexpr int32_t AHEAD_OF_EQUALS = 0;
constexpr int32_t BEHIND_EQUALS = 1;

struct TaskRecord {
    TaskId next;              // next record on the ready or free task list
    int32_t base_priority;    // as activated; fixed for the task's life
    int32_t current_priority; // orders the ready list; raised by ceilings
    TaskEntry entry;
    const char *name;         // the caller's text, never read
};

struct ResourceRecord {
    TaskId owner;    // holder, or NO_TASK while the record is free
    int32_t ceiling; // held: the ceiling named; free: next free record
    int32_t key;     // held: the key named, compared only for equality
};

extern TaskRecord task_table[MAX_TASKS];
extern ResourceRecord resource_table[MAX_RESOURCES];
extern TaskId ready_head;
extern TaskId free_task_head;
extern int32_t free_resource_head;

// Empties the ready list and threads both free lists in ascending index
// order. Touches no priority, entry, name or key.
void ResetTables();

// Reports a broken precondition on standard error and aborts.
[[noreturn]] void StopKernel(const char *operation, const char *broken_rule);

// Precondition: `task` is on no list. Links it into the ready list, which
// stays ordered by current priority, highest first.
inline void InsertReady(TaskId task, int32_t placement) {
    const int32_t priority = task_table[task].current_priority;
    TaskId before = NO_TASK;
    TaskId current = ready_head;
    while (current != NO_TASK && task_table[current].current_priority > priority) {
        before = current;
        current = task_table[current].next;
    }
    if (placement == BEHIND_EQUALS) {
        while (current != NO_TASK && task_table[current].current_priority == priority) {
            before = current;
            current = task_table[current].next;
        }
    }
    task_table[task].next = current;
    if (before == NO_TASK) {
        ready_head = task;
    } else {
        task_table[before].next = task;
    }
}

inline bool HoldsAnyResource(TaskId task) {
    bool holds = false;
    for (const ResourceRecord &r : resource_table) {
        holds |= r.owner == task;
    }
    return holds;
}

// Entered only when ready_head differs from `awaited`: runs whichever task
// heads the ready list until `awaited` heads it again (or, for NO_TASK,
// until the list is empty). The entry is looked up afresh on every pass.
inline void Dispatch(TaskId awaited) {
    do {
        task_table[ready_head].entry();
        // The awaited task is suspended below us and cannot have left the
        // list unless a task made a kernel call after its TerminateTask.
        if (ready_head == NO_TASK && awaited != NO_TASK) {
            StopKernel("Dispatch", "the preempted task has left the ready list "
                                   "(a kernel call after TerminateTask?)");
        }
    } while (ready_head != awaited);
}

} // namespace kernel

#endif // ONESTACK_KERNEL_PRIVATE_H
