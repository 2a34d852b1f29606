// Kernel-private declarations: the tables, the list heads, the run state,
// the ready-list insertion and the dispatcher. Only kernel sources,
// white-box tests, the test harness and the benchmarks include this header.
#ifndef ONESTACK_KERNEL_PRIVATE_H
#define ONESTACK_KERNEL_PRIVATE_H

#include "onestack.h"

// Hidden: no shared object outside the kernel's own sees these, and under
// position-independent code the tables are then reached directly.
#include "onestack_port.h"
#pragma GCC visibility push(hidden)
#include "trace.h"
namespace onestack {

constexpr int32_t NO_RECORD = -1;

// Placements for InsertReady. Any value other than BEHIND_EQUALS acts as
// AHEAD_OF_EQUALS.
constexpr int32_t AHEAD_OF_EQUALS = 0;
constexpr int32_t BEHIND_EQUALS = 1;

struct TaskRecord {
    TaskId next;              // next record on the ready or free task list
    int32_t base_priority;    // as activated; fixed for the task's life
    int32_t current_priority; // orders the ready list; raised by ceilings
    int32_t top_hold;         // its newest hold; else NO_RECORD, or CONSUMING
    TaskEntry entry;          // called each time the task heads the list
    const char *name;         // the caller's text, never read
    uintptr_t word;           // what it was activated with
};

// A channel's consumer holds its channel, from its activation until it
// finds the channel empty, as it holds a resource: so TerminateTask's one
// check of top_hold refuses a consumer that would strand the items left.
// CONSUMING lies beneath its holds, at the bottom of its stack: what
// top_hold names while it holds none, and the lowest hold's `below`.
constexpr int32_t CONSUMING = -2;

// A task's holds form a stack, newest first, from its top_hold down
// through `below`; `above` leads back up from every hold but the newest.
// Each hold remembers the greater of the base priority and the ceilings of
// the holds beneath it, which the task falls to when that hold, its newest,
// goes back: the usual release takes constant time. The three are
// meaningless in a free record.
struct ResourceRecord {
    TaskId owner;           // holder, or NO_TASK while the record is free
    int32_t ceiling;        // held: the ceiling named; free: next free record
    int32_t key;            // held: the key named, compared only for equality
    int32_t priority_below; // held: what the task falls to when this goes back
    int16_t below;          // held: the holder's next older hold, or NO_RECORD
    int16_t above;          // held, not the newest: the next newer hold
};

// Who may make a kernel call now, in thread mode: only TASK_RUNNING allows
// one. It is the only positive state, and no handler's number is below
// it, so each operation compares the state with the handler number (0 in
// thread mode) and picks the message only when it stops; an ordered
// compare, unlike a test for equality, leaves the optimiser no known value
// to keep in a saved register until the store after an entry returns.
// Handlers never change it: in a handler it is the state of the thread
// that the interrupt found. NO_RUN is zero, the state before any StartOS.
enum RunState : int8_t {
    TASK_RUNNING = 1,        // the entry of the task at ready_head runs
    NO_RUN = 0,              // before the first StartOS, and after one has returned
    TASK_ENDED = -1,         // that entry has called TerminateTask and not yet returned
    STOPPING = -2,           // a stop is under way; only StartOS may follow it
    HOLDING_INTERRUPTS = -3, // the task at the head of the thread holds an interrupt ceiling
};
static_assert(port::LOWEST_HANDLER_NUMBER >= TASK_RUNNING, "a handler could pass for the running task");
// A run is under way: a task runs or has ended and not yet returned, the
// only odd states.
static_assert((TASK_RUNNING & 1) != 0 && (TASK_ENDED & 1) != 0 && (HOLDING_INTERRUPTS & 1) != 0 &&
                  (NO_RUN & 1) == 0 && (STOPPING & 1) == 0,
              "a run is under way in the odd states alone");

// The list heads, the run state and the tables lie in one object, so that
// the hot paths reach them all from one base register; each keeps its own
// name. All of it starts at zero, so it needs no initial image in flash.
struct KernelVariables {
    TaskId ready_head;
    TaskId free_task_head;
    int32_t free_resource_head;
    RunState run_state;
    uint8_t interrupt_holds; // interrupt ceilings held now, in every context
    TaskRecord task_table[MAX_TASKS];
    ResourceRecord resource_table[MAX_RESOURCES];
    uint32_t refused_activations; // since StartOS, saturating
    Channel *used_channels;       // each used since the first StartOS, through next_used
};
extern KernelVariables kernel_variables;
inline TaskId &ready_head = kernel_variables.ready_head;
inline TaskId &free_task_head = kernel_variables.free_task_head;
inline int32_t &free_resource_head = kernel_variables.free_resource_head;
inline RunState &run_state = kernel_variables.run_state;
inline TaskRecord (&task_table)[MAX_TASKS] = kernel_variables.task_table;
inline ResourceRecord (&resource_table)[MAX_RESOURCES] = kernel_variables.resource_table;

// The ready list's head as the thread last saw it, before the first
// handler activation that changed it: the dispatch at interrupt exit runs
// tasks until it heads the list again. NO_DISPATCH while none is pending,
// and so from the start: it lies outside the object above, which starts at
// zero. The board's PendSV handler reads it by the name given here.
constexpr TaskId NO_DISPATCH = -2;
// While the thread's task holds an interrupt ceiling, interrupted_head is
// HELD_BY_THREAD less that task: below NO_DISPATCH, so handlers pend no
// dispatch and every interrupt exit finds none, and the release runs what
// the handlers made ready meanwhile.
constexpr TaskId HELD_BY_THREAD = -3;
extern TaskId interrupted_head __asm__("onestack_interrupted_head");

// The record of a task. Precondition: `i` is an index, not NO_TASK. The
// unsigned index spares the hot paths a sign extension per lookup.
inline TaskRecord &TaskAt(TaskId i) { return task_table[static_cast<uint32_t>(i)]; }

// Empties the ready list and threads both free lists in ascending index
// order, and stops every timer. Touches no priority, entry, name or key.
void ResetTables();

// Stops every timer and starts time again at 0; part of ResetTables. Weak
// here, like ResetChannels: a program that uses no timer links none of
// them, their state included, and has none to reset.
[[gnu::weak]] void ResetTimers();

// Empties every channel used so far, with no consumer ready and no drops
// counted; part of ResetTables.
[[gnu::weak]] void ResetChannels();

// Per interrupt ceiling held, [0, interrupt_holds) of them, oldest first:
// the HandlerNumber() of the handler that took it (0 for a task's), and
// the level that handler runs at. Only programs that take interrupt
// ceilings link it.
constexpr uint32_t MAX_INTERRUPT_HOLDS = 8;
struct InterruptHoldEntries {
    int8_t context[MAX_INTERRUPT_HOLDS];
    uint8_t own_level[MAX_INTERRUPT_HOLDS];
};
extern InterruptHoldEntries interrupt_hold_entries;

// Counts a refused activation. Masked.
inline void CountRefusal() {
    if (kernel_variables.refused_activations != UINT32_MAX) ++kernel_variables.refused_activations;
}

// Precondition: the free task list is not empty, interrupts are masked.
[[gnu::always_inline]] inline TaskId TakeTaskRecord() {
    const TaskId i = free_task_head;
    free_task_head = TaskAt(i).next;
    return i;
}

// The checked build's hooks: every activation and every hold against the
// task set that the program declares. Off, they are empty statements and
// the kernel's machine code is what it is without them.
#ifdef ONESTACK_CHECKED
void CheckActivation(int32_t priority, const char *name);
void CheckHold(const char *name, int32_t ceiling);
#define ONESTACK_CHECK_ACTIVATION(priority, name) ::onestack::CheckActivation(priority, name)
#define ONESTACK_CHECK_HOLD(name, ceiling) ::onestack::CheckHold(name, ceiling)
#else
#define ONESTACK_CHECK_ACTIVATION(priority, name) ((void)0)
#define ONESTACK_CHECK_HOLD(name, ceiling) ((void)0)
#endif

// Fills a record taken from the free list; the caller links it in. Inline
// in the activations, so that the task's own keeps its short frame.
[[gnu::always_inline]] inline TaskId NewTask(TaskEntry entry, int32_t priority, const char *name,
                                             uintptr_t word) {
    const TaskId i = TakeTaskRecord();
    TaskRecord &task = TaskAt(i);
    task.base_priority = priority;
    task.current_priority = priority;
    task.name = name;
    task.entry = entry;
    task.word = word;
    return i;
}

// A handler has put a task at the head of the ready list ahead of `head`.
// The first handler to change the head since the thread last ran names
// what the thread had, and pends the dispatch at the interrupt's exit;
// later ones, nested or chained, only add tasks. Masked.
[[gnu::always_inline]] inline void PendDispatchAtExit(TaskId head) {
    if (interrupted_head == NO_DISPATCH) {
        interrupted_head = head;
        port::PendDispatch();
    }
}

// The text of a stop: the operation and the broken rule, as one literal
// with a zero between them, so that each check passes one pointer.
#define ONESTACK_RULE(operation, rule) operation "\0" rule

// Flushes standard output, hands the operation and the rule to the stop
// handler and aborts if the handler returns: it never returns. It is not
// declared noreturn so that callers can write `return StopKernel(...)`,
// which compiles to a jump: the fast paths then need no stack frame, and
// each check costs a compare and a branch.
[[gnu::cold]] void StopKernel(const char *operation_and_rule);

// The rule of a task's kernel call made while it holds an interrupt
// ceiling. Defined with the ceilings, and weak here: only a program that
// takes them can break it, and only such a program links its text.
[[gnu::weak]] extern const char HOLDING_INTERRUPTS_RULE[];

// The stop for a kernel call made from a handler, or while run_state is not
// TASK_RUNNING; the rule follows from the mode and the state.
[[gnu::cold]] void StopCaller(const char *operation);

// May the running task make a kernel call? Not after its TerminateTask,
// not outside a run, when no task is running, and not from a handler: of
// the states only TASK_RUNNING exceeds 0, the number in thread mode, and
// none exceeds a handler's number.
inline bool IsCallerRunning() { return run_state > port::HandlerNumber(); }

// Precondition: `task` is on no list. Links it into the ready list, which
// stays ordered by current priority, highest first. Out of line: the walk
// is the slow path of activation and release.
[[gnu::noinline]] void InsertReady(TaskId task, int32_t placement);

// Links a task that a timer or a channel has just made ready: ahead of
// every ready task if it outranks the head, else behind its equals. From a
// handler (`handler`, the caller's HandlerNumber(), not 0) a new head pends
// the dispatch at the interrupt's exit; from a task the caller runs it.
// Masked.
[[gnu::always_inline]] inline void LinkActivated(TaskId i, int32_t priority, int32_t handler) {
    const TaskId head = ready_head;
    if (head != NO_TASK && priority <= TaskAt(head).current_priority) {
        return InsertReady(i, BEHIND_EQUALS);
    }
    TaskAt(i).next = head;
    ready_head = i;
    if (handler != 0) PendDispatchAtExit(head);
}

// Precondition: ready_head differs from `awaited`. Runs whichever task heads
// the ready list until `awaited` heads it again (or, for NO_TASK, until the
// list is empty). ActivateTask makes the first pass itself, where the entry
// is at hand, and calls this only when more tasks must run before it returns.
[[gnu::noinline]] void Dispatch(TaskId awaited);

// Precondition: thread mode, with interrupted_head taken from a pending
// dispatch. Runs, as the thread, every task that the handlers have made
// ready ahead of `awaited`, then lets the interrupted code continue as the
// interrupt found it, in the run state it had. The board enters it from
// PendSV by the name given here.
void DispatchAtInterruptExit(TaskId awaited) __asm__("onestack_dispatch_at_interrupt_exit");

// StartOS without its closing message: checks, resets the tables and runs
// the first task and all it activates. For StartOS, the benchmarks and the
// test harness.
void RunTasks(TaskEntry entry, int32_t priority, const char *name);

// Does `task` hold any resource, or its channel? Checked when it terminates.
inline bool HoldsAnyResource(TaskId task) { return TaskAt(task).top_hold != NO_RECORD; }

// Precondition: a task's kernel call has made a task that outranks it ready,
// with interrupts unmasked. Runs it, and all it makes ready above the caller.
[[gnu::noinline]] void StepAsideFor(TaskId caller);

} // namespace onestack
#pragma GCC visibility pop

#endif // ONESTACK_KERNEL_PRIVATE_H
