// Task services and the kernel's start and shut-down.
#include "kernel_private.h"

#include <stdio.h>

using namespace kernel;

namespace {

TaskId TakeTaskRecord() {
    const TaskId i = free_task_head;
    free_task_head = task_table[i].next;
    return i;
}

void ReturnTaskRecord(TaskId i) {
    task_table[i].next = free_task_head;
    free_task_head = i;
}

} // namespace

extern "C" {

void ActivateTask(TaskEntry entry, int32_t priority, const char *name) {
    if (entry == nullptr) {
        StopKernel("ActivateTask", "the entry is null");
    }
    if (free_task_head == NO_TASK) {
        StopKernel("ActivateTask", "no free task record (16 tasks live, or called before StartOS)");
    }
    const TaskId previous = ready_head;
    const TaskId i = TakeTaskRecord();
    TaskRecord &task = task_table[i];
    task.base_priority = priority;
    task.current_priority = priority;
    task.name = name;
    task.entry = entry;
    InsertReady(i, BEHIND_EQUALS);
    // The head changes exactly when the new task outranks the caller (or
    // nothing was ready): it and all it makes ready above the caller run now.
    if (ready_head != previous) {
        Dispatch(previous);
    }
}

void TerminateTask(void) {
    const TaskId i = ready_head;
    if (i == NO_TASK) {
        StopKernel("TerminateTask", "no task is running");
    }
    // A hold left behind would pass to the next task given this record.
    if (HoldsAnyResource(i)) {
        StopKernel("TerminateTask", "the task still holds a resource");
    }
    ready_head = task_table[i].next;
    ReturnTaskRecord(i);
}

int32_t StartOS(TaskEntry entry, int32_t priority, const char *name) {
    // Checked before the reset so that a refused start leaves the tables
    // as they were.
    if (entry == nullptr) {
        StopKernel("StartOS", "the entry is null");
    }
    // A reset under a running task would free records still in use.
    if (ready_head != NO_TASK) {
        StopKernel("StartOS", "called while a task is running");
    }
    ResetTables();
    ActivateTask(entry, priority, name);
    fputs("Happy end of StartOS!\n", stdout);
    return 0;
}

void ShutdownOS(void) { fputs("Happy end ShutdownOS!\n", stdout); }

} // extern "C"
