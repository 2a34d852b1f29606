// Task services and the kernel's start and shut-down.
#include "kernel_private.h"

#include <stdio.h>

using namespace kernel;

namespace {

TaskId TakeTaskRecord() {
    const TaskId i = free_task_head;
    free_task_head = TaskAt(i).next;
    return i;
}

void ReturnTaskRecord(TaskId i) {
    TaskAt(i).next = free_task_head;
    free_task_head = i;
}

// Both stops come before the reset, so a refused start leaves the tables
// as they were.
void CheckStartOS(TaskEntry entry) {
    if (entry == nullptr) {
        return StopKernel("StartOS: the entry is null");
    }
    // A reset under a running task would free records still in use.
    if (ready_head != NO_TASK) {
        return StopKernel("StartOS: called while a task is running");
    }
}

} // namespace

// Walks past every ready task of higher priority and, behind equals, past
// every one of equal priority too.
void kernel::InsertReady(TaskId task, int32_t placement) {
    const int32_t priority = TaskAt(task).current_priority;
    TaskId *link = &ready_head; // the link that will name `task`
    while (*link != NO_TASK && TaskAt(*link).current_priority > priority) {
        link = &TaskAt(*link).next;
    }
    if (placement == BEHIND_EQUALS) {
        while (*link != NO_TASK && TaskAt(*link).current_priority == priority) {
            link = &TaskAt(*link).next;
        }
    }
    TaskAt(task).next = *link;
    *link = task;
}

void kernel::Dispatch(TaskId awaited) {
    do {
        // The awaited task is suspended below us and cannot have left the
        // list unless a task made a kernel call after its TerminateTask.
        if (ready_head == NO_TASK) {
            return StopKernel("Dispatch: a kernel call after TerminateTask ended the preempted task");
        }
        // Looked up afresh on every pass: each runs whichever task heads the list.
        TaskAt(ready_head).entry();
    } while (ready_head != awaited);
}

extern "C" {

void ActivateTask(TaskEntry entry, int32_t priority, const char *name) {
    if (entry == nullptr) {
        return StopKernel("ActivateTask: the entry is null");
    }
    if (free_task_head == NO_TASK) {
        return StopKernel("ActivateTask: no free task record (16 tasks live, or called before StartOS)");
    }
    const TaskId previous = ready_head;
    const TaskId i = TakeTaskRecord();
    TaskRecord &task = TaskAt(i);
    task.base_priority = priority;
    task.current_priority = priority;
    task.name = name;
    task.entry = entry;
    if (OutranksRunning(priority, previous)) {
        // It heads the list and runs now, and so does all that it makes
        // ready above the caller. The first pass of the dispatcher is made
        // here, where the entry is at hand.
        task.next = previous;
        ready_head = i;
        entry();
        if (ready_head != previous) {
            Dispatch(previous);
        }
    } else {
        // It waits for the tasks ahead of it, in an enclosing dispatcher loop.
        InsertReady(i, BEHIND_EQUALS);
    }
}

void TerminateTask(void) {
    const TaskId i = ready_head;
    if (i == NO_TASK) {
        return StopKernel("TerminateTask: no task is running");
    }
    // A hold left behind would pass to the next task given this record.
    if (HoldsAnyResource(i)) {
        return StopKernel("TerminateTask: the task still holds a resource");
    }
    ready_head = TaskAt(i).next;
    ReturnTaskRecord(i);
}

int32_t StartOS(TaskEntry entry, int32_t priority, const char *name) {
    CheckStartOS(entry);
    ResetTables();
    ActivateTask(entry, priority, name);
    puts("Happy end of StartOS!"); // puts adds the newline
    return 0;
}

void ShutdownOS(void) { puts("Happy end ShutdownOS!"); }

} // extern "C"
