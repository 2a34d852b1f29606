// Task services and the kernel's start and shut-down.
#include "kernel_private.h"

using namespace onestack;

namespace {

void ReturnTaskRecord(TaskId i) {
    TaskAt(i).next = free_task_head;
    free_task_head = i;
}

// A run is left mid-way by a longjmp or an exception out of an entry as by
// a task that calls StartOS: the next StartOS cannot tell the two apart.
constexpr char RUN_IN_PROGRESS[] = ONESTACK_RULE(
    "StartOS", "a run is in progress (called from a task, or an entry was left by longjmp or an exception)");

// Every stop comes before the reset, so a refused start leaves the tables
// as they were. A run abandoned by a stop may be started afresh: the
// reset restores every table.
void CheckStartOS(TaskEntry entry) {
    if (port::HandlerNumber() != 0) {
        return StopKernel(ONESTACK_RULE("StartOS", "called from an interrupt handler"));
    }
    if (entry == nullptr) {
        return StopKernel(ONESTACK_RULE("StartOS", "the entry is null"));
    }
    // A reset under a running task would free records still in use.
    if (run_state != NO_RUN && run_state != STOPPING) {
        return StopKernel(RUN_IN_PROGRESS);
    }
}

// Named, so that each line of the choice between them is a line of code.
constexpr char OUTSIDE_RUN[] =
    ONESTACK_RULE("ActivateTask", "called from an interrupt handler outside StartOS");
constexpr char WHILE_STOPPING[] = ONESTACK_RULE("ActivateTask", "called while the kernel is stopping");
constexpr char FROM_NMI[] =
    ONESTACK_RULE("ActivateTask", "called from NMI or HardFault, which no mask holds off");
// Both activations, from a task and from a handler, check these.
constexpr char NULL_ENTRY[] = ONESTACK_RULE("ActivateTask", "the entry is null");
constexpr char NO_FREE_TASK_RECORD[] = ONESTACK_RULE("ActivateTask", "no free task record (16 tasks live)");

// What an activation does when it finds no free task record: ActivateTask
// and ActivateTaskWith stop the program, TryActivateTask refuses.
enum class Overload : bool { STOP, REFUSE };

// TerminateTask's two refusals of a task that holds something.
constexpr char HOLDS_A_RESOURCE[] = ONESTACK_RULE("TerminateTask", "the task still holds a resource");
constexpr char STRANDS_ITEMS[] =
    ONESTACK_RULE("TerminateTask", "the consumer has not received until its channel was empty");

// A handler's activation outside a run, or while the kernel is stopping.
[[gnu::cold, gnu::noinline]] void StopOutsideRun() {
    return StopKernel(run_state == NO_RUN ? OUTSIDE_RUN : WHILE_STOPPING);
}

// Links a task that does not run at once behind its equals, and ends the
// masking that the activation began. Out of line, so that the caller's
// frame stays small.
[[gnu::noinline]] void LinkWaiting(TaskId i, port::InterruptMask mask) {
    InsertReady(i, BEHIND_EQUALS);
    port::RestoreInterrupts(mask);
}

// Precondition: no free task record, masked by `mask`.
[[gnu::cold, gnu::noinline]] int32_t Refuse(port::InterruptMask mask) {
    CountRefusal();
    port::RestoreInterrupts(mask);
    return 0;
}

// The word an activation carries: the one given, or 0 for ActivateTask's,
// which passes none, so that its path neither sets nor keeps a register
// for it.
template <typename... Word> [[gnu::always_inline]] inline uintptr_t WordOf(Word... word) {
    return (uintptr_t{0} | ... | word);
}

// An activation when no running task calls it: from a handler, which links
// the task and leaves it to the dispatch at interrupt exit, or a misuse.
// A handler's activation counts where the thread stands in a run, after a
// TerminateTask too, and even while the ready list is momentarily empty:
// the dispatch at exit runs it then. One copy per overload and per word or
// none, so that every argument travels in a register.
template <Overload overload, typename... Word>
[[gnu::cold, gnu::noinline]] int32_t ActivateFromHandler(TaskEntry entry, int32_t priority, const char *name,
                                                         Word... word) {
    if (port::HandlerNumber() < port::FIRST_MASKABLE_HANDLER) {
        return port::StopCallOutsideHandler("ActivateTask", FROM_NMI), 0;
    }
    // In a run the state is odd: a task runs, or has ended and not yet returned.
    if ((run_state & 1) == 0) { // there is no run to join
        return StopOutsideRun(), 0;
    }
    if (entry == nullptr) {
        return StopKernel(NULL_ENTRY), 0;
    }
    // Masked even in a handler: a nested one may activate too.
    const port::InterruptMask mask = port::MaskInterrupts();
    if (free_task_head == NO_TASK) {
        if (overload == Overload::REFUSE) {
            return Refuse(mask);
        }
        return StopKernel(NO_FREE_TASK_RECORD), 0;
    }
    const TaskId head = ready_head;
    ONESTACK_CHECK_ACTIVATION(priority, name);
    const TaskId i = NewTask(entry, priority, name, WordOf(word...));
    ONESTACK_TRACE_ACTIVATION(TRACE_ACTIVATED_BY_HANDLER, i, priority, name);
    if (head != NO_TASK && priority <= TaskAt(head).current_priority) {
        LinkWaiting(i, mask); // behind the head, which stays
        return 1;
    }
    // Ahead of every ready task.
    TaskAt(i).next = head;
    ready_head = i;
    PendDispatchAtExit(head);
    port::RestoreInterrupts(mask);
    return 1;
}

// The three activations, each a copy of this, so that ActivateTask's own
// path pays nothing for the others: 1 once the task is ready, 0 if refused.
template <Overload overload, typename... Word>
[[gnu::always_inline]] inline int32_t Activate(TaskEntry entry, int32_t priority, const char *name,
                                               Word... word) {
    // IsCallerRunning, with the address that a handler's call takes alone.
    if (!(*port::AddressAnew(&run_state) > port::HandlerNumber())) {
        return ActivateFromHandler<overload>(entry, priority, name, word...);
    }
    if (entry == nullptr) {
        return StopKernel(NULL_ENTRY), 0;
    }
    // Handlers take records and link tasks too.
    const port::InterruptMask mask = port::MaskInterrupts();
    if (free_task_head == NO_TASK) {
        if (overload == Overload::REFUSE) {
            return Refuse(mask);
        }
        return StopKernel(NO_FREE_TASK_RECORD), 0;
    }
    // A task is running, so the caller heads the list: a handler that puts
    // another task ahead of it has it run before the caller continues.
    const TaskId previous = ready_head;
    ONESTACK_CHECK_ACTIVATION(priority, name);
    const TaskId i = NewTask(entry, priority, name, WordOf(word...));
    ONESTACK_TRACE_ACTIVATION(TRACE_ACTIVATED, i, priority, name);
    if (priority > TaskAt(previous).current_priority) {
        // It heads the list and runs now, and so does all that it makes
        // ready above the caller. The first pass of the dispatcher is made
        // here, where the entry is at hand.
        TaskAt(i).next = previous;
        ready_head = i;
        port::RestoreInterrupts(mask);
        ONESTACK_TRACE_EVENT(TRACE_PREEMPTED, previous, 0, 0);
        ONESTACK_TRACE_EVENT(TRACE_ENTERED, i, priority, 0);
        entry();
        ONESTACK_TRACE_EVENT(TRACE_RETURNED, i, 0, 0);
        run_state = TASK_RUNNING;
        if (ready_head != previous) {
            Dispatch(previous);
        }
        ONESTACK_TRACE_EVENT(TRACE_RESUMED, previous, 0, 0);
        return 1;
    }
    // It waits for the tasks ahead of it, in an enclosing dispatcher loop.
    LinkWaiting(i, mask);
    return 1;
}

// The stop of a query about the running task, made where none runs.
[[gnu::cold]] uintptr_t StopQuery(const char *operation) { return StopCaller(operation), 0; }

} // namespace

void onestack::StepAsideFor(TaskId caller) {
    ONESTACK_TRACE_EVENT(TRACE_PREEMPTED, caller, 0, 0);
    Dispatch(caller);
    ONESTACK_TRACE_EVENT(TRACE_RESUMED, caller, 0, 0);
}

// Walks past every ready task of higher priority and, behind equals, past
// every one of equal priority too.
void onestack::InsertReady(TaskId task, int32_t placement) {
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

// The awaited task stays on the list: it is suspended below us, or, at an
// interrupt's exit, it may wait unstarted; only its own entry could end it,
// and that does not run until it heads the list, which ends the loop. So
// the list cannot run empty unless `awaited` is NO_TASK.
void onestack::Dispatch(TaskId awaited) {
    do {
        // Looked up afresh on every pass: each runs whichever task heads the list.
        const TaskId i = ready_head;
        ONESTACK_TRACE_EVENT(TRACE_ENTERED, i, TaskAt(i).current_priority, 0);
        TaskAt(i).entry();
        ONESTACK_TRACE_EVENT(TRACE_RETURNED, i, 0, 0);
        run_state = TASK_RUNNING;
    } while (ready_head != awaited);
}

// Handlers refuse to activate until run_state says a run is in progress,
// and the mask keeps that store behind the tables it announces. Once it
// is back at NO_RUN they refuse again; one that comes before that runs its
// tasks at its exit, as the list is empty.
void onestack::RunTasks(TaskEntry entry, int32_t priority, const char *name) {
    CheckStartOS(entry);
    port::PrepareInterrupts();
    const port::InterruptMask mask = port::MaskInterrupts();
    ResetTables();
    ONESTACK_TRACE_RESET();
    ready_head = NewTask(entry, priority, name, 0);
    ONESTACK_TRACE_ACTIVATION(TRACE_ACTIVATED, ready_head, priority, name);
    TaskAt(ready_head).next = NO_TASK;
    // No interrupt ceiling is held, after a run that a stop left too: one
    // store with the run state's, beside it.
    run_state = TASK_RUNNING;
    kernel_variables.interrupt_holds = 0;
    // Checked once the run is on: a stop then reaches the program's handler.
    ONESTACK_CHECK_ACTIVATION(priority, name);
    port::RestoreInterrupts(mask);
    Dispatch(NO_TASK);
    run_state = NO_RUN;
}

// The dispatch ends with `awaited` at the head again: to the interrupted
// code the handlers' tasks came and went between two of its instructions.
// The first pass is made here, as in ActivateTask: it spares the interrupt's
// latency a call.
void onestack::DispatchAtInterruptExit(TaskId awaited) {
    const RunState interrupted = run_state;
    run_state = TASK_RUNNING;
    ONESTACK_TRACE_EVENT(TRACE_EXIT_DISPATCH, awaited, 0, 0);
    const TaskId i = ready_head;
    ONESTACK_TRACE_EVENT(TRACE_ENTERED, i, TaskAt(i).current_priority, 0);
    TaskAt(i).entry();
    ONESTACK_TRACE_EVENT(TRACE_RETURNED, i, 0, 0);
    run_state = TASK_RUNNING;
    if (ready_head != awaited) {
        Dispatch(awaited);
    }
    ONESTACK_TRACE_EVENT(TRACE_EXIT_DISPATCH_ENDED, awaited, 0, 0);
    run_state = interrupted;
}

extern "C" {

void ActivateTask(TaskEntry entry, int32_t priority, const char *name) {
    Activate<Overload::STOP>(entry, priority, name);
}

void ActivateTaskWith(TaskEntry entry, int32_t priority, const char *name, uintptr_t word) {
    Activate<Overload::STOP>(entry, priority, name, word);
}

int32_t TryActivateTask(TaskEntry entry, int32_t priority, const char *name, uintptr_t word) {
    return Activate<Overload::REFUSE>(entry, priority, name, word);
}

uint32_t RefusedActivations(void) { return kernel_variables.refused_activations; }

uintptr_t TaskWord(void) {
    if (!IsCallerRunning()) {
        return StopQuery("TaskWord");
    }
    return TaskAt(ready_head).word;
}

int32_t TaskPriority(void) {
    if (!IsCallerRunning()) {
        return static_cast<int32_t>(StopQuery("TaskPriority"));
    }
    return TaskAt(ready_head).current_priority;
}

int32_t TaskBasePriority(void) {
    if (!IsCallerRunning()) {
        return static_cast<int32_t>(StopQuery("TaskBasePriority"));
    }
    return TaskAt(ready_head).base_priority;
}

void TerminateTask(void) {
    if (!IsCallerRunning()) {
        return StopCaller("TerminateTask");
    }
    const TaskId i = ready_head;
    // A hold left behind would pass to the next task given this record; a
    // consumer that ends before its channel is empty strands the items left.
    if (HoldsAnyResource(i)) {
        return StopKernel(TaskAt(i).top_hold >= 0 ? HOLDS_A_RESOURCE : STRANDS_ITEMS);
    }
    // Until the entry returns, a kernel call would act on the next task.
    run_state = TASK_ENDED;
    const port::InterruptMask mask = port::MaskInterrupts();
    ready_head = TaskAt(i).next;
    ReturnTaskRecord(i);
    port::RestoreInterrupts(mask);
    ONESTACK_TRACE_EVENT(TRACE_TERMINATED, i, 0, 0);
}

int32_t StartOS(TaskEntry entry, int32_t priority, const char *name) {
    RunTasks(entry, priority, name);
    port::Write(port::STANDARD_OUTPUT, "Happy end of StartOS!\n");
    return 0;
}

void ShutdownOS(void) { port::Write(port::STANDARD_OUTPUT, "Happy end ShutdownOS!\n"); }

} // extern "C"
