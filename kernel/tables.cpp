// All kernel state, with static storage for the whole process, and the
// stop that ends a run whose precondition was broken.
#include "kernel_private.h"

namespace onestack {

// Every task record is on exactly one list. Live tasks are on the ready
// list (threaded through `next`, headed by ready_head, ordered by current
// priority, the head being the running task); free records are on the
// free task list (through `next`, headed by free_task_head). -1 (NO_TASK)
// ends both lists.
//
// A resource record is held (owner is the holder, and it is on the
// holder's stack of holds) or free: owner NO_TASK, on the free resource
// list threaded through `ceiling` from free_resource_head, ended by -1
// (NO_RECORD). Both free lists are stacks.
//
// The tables and the list heads are zero, with run_state NO_RUN, until the
// first StartOS resets them; no kernel call reaches them before it, since
// run_state refuses every one. run_state is TASK_RUNNING exactly while an
// entry of the task at ready_head may make a kernel call: so then
// ready_head is a live task.
KernelVariables kernel_variables;

// Set by a handler's activation and taken by the dispatch at interrupt exit.
TaskId interrupted_head = NO_DISPATCH;

namespace {

// "onestack: <operation>: <rule>"
void WriteStopLine(const char *operation, const char *rule) {
    port::Write(port::STANDARD_ERROR, "onestack: ");
    port::Write(port::STANDARD_ERROR, operation);
    port::Write(port::STANDARD_ERROR, ": ");
    port::Write(port::STANDARD_ERROR, rule);
    port::Write(port::STANDARD_ERROR, "\n");
}

StopHandler stop_handler = WriteStopLine;

[[noreturn]] void Stop(const char *operation, const char *rule) {
    // No handler may touch the tables that the stop reports on.
    port::StopInterrupts();
    // Whatever the tasks wrote is not lost when the handler resets or aborts.
    port::FlushOutput();
    // A kernel call from the handler itself stops again: it gets the
    // default line, not the handler, which would recurse.
    const StopHandler handler = run_state == STOPPING ? WriteStopLine : stop_handler;
    run_state = STOPPING;
    handler(operation, rule);
    port::Abort();
}

} // namespace

void ResetTables() {
    ready_head = NO_TASK;
    interrupted_head = NO_DISPATCH;
    free_task_head = 0;
    free_resource_head = 0;
    for (TaskId i = 0; i < MAX_TASKS; ++i) {
        task_table[i].next = i + 1;
        // Free records hold nothing: TerminateTask refuses a task that
        // still holds a resource, so activation need not clear this.
        task_table[i].top_hold = NO_RECORD;
    }
    task_table[MAX_TASKS - 1].next = NO_TASK;
    for (int32_t r = 0; r < MAX_RESOURCES; ++r) {
        resource_table[r].ceiling = r + 1;
        resource_table[r].owner = NO_TASK;
    }
    resource_table[MAX_RESOURCES - 1].ceiling = NO_RECORD;
    kernel_variables.refused_activations = 0;
    if (ResetTimers != nullptr) ResetTimers();
    if (ResetChannels != nullptr) ResetChannels();
}

void StopKernel(const char *operation_and_rule) {
    const char *rule = operation_and_rule;
    while (*rule++ != '\0') {
    }
    Stop(operation_and_rule, rule);
}

void StopCaller(const char *operation) {
    static const char *const rules[] = {
        "", // TASK_RUNNING: never stops
        "no task is running (called outside StartOS)",
        "called after the task's TerminateTask",
        "called while the kernel is stopping",
        HOLDING_INTERRUPTS_RULE,
    };
    Stop(operation,
         port::HandlerNumber() != 0 ? "called from an interrupt handler" : rules[TASK_RUNNING - run_state]);
}

} // namespace onestack

extern "C" StopHandler SetStopHandler(StopHandler handler) {
    using onestack::stop_handler;
    const StopHandler previous = stop_handler;
    stop_handler = handler != nullptr ? handler : onestack::WriteStopLine;
    return previous;
}
