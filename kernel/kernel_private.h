// Kernel-private declarations: the tables, the list heads, the ready-list
// insertion and the dispatcher. Only kernel sources, white-box tests, the
// test harness and the benchmarks include this header.
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
    int32_t hold_count;       // number of resource records it holds
    TaskEntry entry;          // called each time the task heads the list
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

// The record of a task. Precondition: `i` is an index, not NO_TASK. The
// unsigned index spares the hot paths a sign extension per lookup.
inline TaskRecord &TaskAt(TaskId i) { return task_table[static_cast<uint32_t>(i)]; }

// Empties the ready list and threads both free lists in ascending index
// order. Touches no priority, entry, name or key.
void ResetTables();

// Reports a broken precondition on standard error and aborts: it never
// returns. It is not declared noreturn so that callers can write
// `return StopKernel(...)`, which compiles to a jump: the fast paths then
// need no stack frame, and each check costs a compare and a branch.
// The text reads "Operation: the broken rule".
[[gnu::cold]] void StopKernel(const char *operation_and_rule);

// Does a task of `priority` outrank the running task `running` (or is no
// task running)? Then it heads the ready list the moment it is linked in.
inline bool OutranksRunning(int32_t priority, TaskId running) {
    return running == NO_TASK || priority > TaskAt(running).current_priority;
}

// Precondition: `task` is on no list. Links it into the ready list, which
// stays ordered by current priority, highest first. Out of line: the walk
// is the slow path of activation and release.
[[gnu::noinline]] void InsertReady(TaskId task, int32_t placement);

// Precondition: ready_head differs from `awaited`. Runs whichever task heads
// the ready list until `awaited` heads it again (or, for NO_TASK, until the
// list is empty). ActivateTask makes the first pass itself, where the entry
// is at hand, and calls this only when more tasks must run before it returns.
[[gnu::noinline]] void Dispatch(TaskId awaited);

// Does `task` hold any resource? Checked when it terminates.
inline bool HoldsAnyResource(TaskId task) { return TaskAt(task).hold_count != 0; }

} // namespace kernel

#endif // ONESTACK_KERNEL_PRIVATE_H
