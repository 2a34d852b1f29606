// Timers: tasks activated after a delay and periodically, from the
// application's tick. The running timers form a list sorted by due time,
// then by the order they were started, so advancing time looks only at the
// list's head, and the common tick, with nothing due, is a subtraction.
#include "kernel_private.h"

using namespace onestack;

namespace {

constexpr uint8_t END = 0xFF;     // the end of the due list
constexpr uint8_t STOPPED = 0xFF; // the rank of a timer that is not running
constexpr uint8_t TOP_RANK = 0xFE;
constexpr int32_t SLOT_BITS = 3; // a handle is its generation above its slot
constexpr int32_t SLOT_MASK = (1 << SLOT_BITS) - 1;
static_assert(MAX_TIMERS == 1 << SLOT_BITS, "a handle's slot field holds every timer");

// 28 bytes on a 32-bit target.
struct TimerRecord {
    TaskEntry entry;
    const char *name;
    int32_t priority;
    uintptr_t word;     // each activation's
    uint32_t due;       // the tick of its next activation
    uint32_t period;    // 0 for a timer that activates once
    uint8_t next;       // running: the next timer on the due list, or END
    uint8_t rank;       // running: higher for a timer started later; else STOPPED
    uint8_t generation; // of the last handle given out for this slot; 0 before the first
    uint8_t misses;     // activations missed for want of a task record, saturating
};

// The time is the deadline less the ticks still to go to it: the head's due
// time, or, with no timer running, a horizon as far off as the count goes.
// The common tick then needs one compare and one subtraction.
struct TimerVariables {
    TimerRecord timer[MAX_TIMERS];
    uint32_t deadline;
    uint32_t ticks_to_deadline;
    uint8_t due_head;  // the first running timer to come due, or END
    uint8_t running;   // timers running
    uint8_t next_slot; // where the search for a free slot begins: slots are reused last
    uint8_t last_rank; // the rank of the timer started last, while it may still run
};
TimerVariables timers = {{}, NO_TIMER_DUE, NO_TIMER_DUE, END, 0, 0, 0}; // at tick 0

[[gnu::always_inline]] inline TimerRecord &TimerAt(uint32_t slot) { return timers.timer[slot]; }

[[gnu::always_inline]] inline uint32_t Now() { return timers.deadline - timers.ticks_to_deadline; }

// Does `a` come due before `b`? By due time, then by start. Every due time
// lies less than 2^32 ticks after `origin`, a time no running timer's due
// time precedes, so the wrapped differences from it order them.
[[gnu::always_inline]] inline bool ComesBefore(const TimerRecord &a, const TimerRecord &b, uint32_t origin) {
    const uint32_t in_a = a.due - origin;
    const uint32_t in_b = b.due - origin;
    return in_a != in_b ? in_a < in_b : a.rank < b.rank;
}

// The deadline becomes the head's due time, or the horizon.
void Rearm(uint32_t now) {
    timers.ticks_to_deadline = timers.due_head == END ? NO_TIMER_DUE : TimerAt(timers.due_head).due - now;
    timers.deadline = now + timers.ticks_to_deadline;
}

// Links `slot` behind every timer that comes due before it.
[[gnu::noinline]] void InsertDue(uint8_t slot, uint32_t origin) {
    uint8_t *link = &timers.due_head;
    while (*link != END && ComesBefore(TimerAt(*link), TimerAt(slot), origin)) link = &TimerAt(*link).next;
    TimerAt(slot).next = *link;
    *link = slot;
}

void Unlink(uint8_t slot) {
    uint8_t *link = &timers.due_head;
    while (*link != slot) link = &TimerAt(*link).next;
    *link = TimerAt(slot).next;
}

// Ranks grow with each start; when they would run out, the running timers
// are given 0, 1, 2 ... in the order they already have.
uint8_t NextRank() {
    if (timers.last_rank < TOP_RANK) return ++timers.last_rank;
    uint8_t given = 0;
    for (uint8_t lowest = 0; given < timers.running; ++given) {
        // The lowest rank not yet given anew; STOPPED, the highest value, is never below it.
        TimerRecord *first = nullptr;
        uint8_t rank = STOPPED;
        for (TimerRecord &t : timers.timer) {
            if (t.rank >= lowest && t.rank < rank) {
                rank = t.rank;
                first = &t;
            }
        }
        first->rank = given;
        lowest = static_cast<uint8_t>(given + 1);
    }
    return timers.last_rank = given;
}

// The stops of a call made where timers may not be used.
struct CallerRules {
    const char *operation;
    const char *outside_run; // from a handler before StartOS, after it, or while stopping
    const char *unmaskable;  // from NMI or HardFault
};
#define ONESTACK_CALLER_RULES(operation, what)                                                               \
    {                                                                                                        \
        operation,                                                                                           \
            ONESTACK_RULE(operation, what " in an interrupt handler outside a run or while stopping"),       \
            ONESTACK_RULE(operation, what " in NMI or HardFault, which no mask holds off")                   \
    }
constexpr CallerRules START_RULES = ONESTACK_CALLER_RULES("StartTimer", "called");
constexpr CallerRules STOP_RULES = ONESTACK_CALLER_RULES("StopTimer", "called");
constexpr CallerRules ADVANCE_RULES = ONESTACK_CALLER_RULES("AdvanceTime", "a timer came due");

// A task may use timers while it runs, a maskable handler during a run.
[[gnu::always_inline]] inline bool MayUseTimers(int32_t handler) {
    return handler >= port::FIRST_MASKABLE_HANDLER ? (run_state & 1) != 0 : run_state > handler;
}

// Precondition: !MayUseTimers(the handler number).
[[gnu::cold]] void StopTimerCaller(const CallerRules &rules) {
    if (port::HandlerNumber() < port::FIRST_MASKABLE_HANDLER) {
        return port::StopCallOutsideHandler(rules.operation, rules.unmaskable);
    }
    return StopKernel(rules.outside_run);
}

void CheckCaller(const CallerRules &rules) {
    if (!MayUseTimers(port::HandlerNumber())) return StopTimerCaller(rules);
}

#define ONESTACK_BAD_HANDLE(operation)                                                                       \
    ONESTACK_RULE(operation,                                                                                 \
                  "the handle names no timer: never given out, or its slot has been given to another")

// The slot of a handle the kernel gave out for the timer there now.
uint32_t SlotOf(TimerId timer, const char *bad_handle) {
    const auto slot = static_cast<uint32_t>(timer & SLOT_MASK);
    const int32_t generation = timer >> SLOT_BITS;
    if (timer < 0 || generation == 0 || generation > 0xFF || TimerAt(slot).generation != generation) {
        StopKernel(bad_handle);
    }
    return slot;
}

// Links the timer's task as a handler's activation does: ahead of every
// ready task if it outranks the head, else behind its equals. From a
// handler, a new head pends the dispatch at the interrupt's exit. Masked.
[[gnu::noinline]] void Activate(TimerRecord &t, [[maybe_unused]] uint32_t slot) {
    if (free_task_head == NO_TASK) {
        if (t.misses < 0xFF) ++t.misses;
        CountRefusal();
        ONESTACK_TRACE_EVENT(TRACE_TIMER_EXPIRED, NO_TASK, static_cast<int32_t>(slot), 1);
        return;
    }
    ONESTACK_CHECK_ACTIVATION(t.priority, t.name);
    const TaskId i = NewTask(t.entry, t.priority, t.name, t.word);
    ONESTACK_TRACE_EVENT(TRACE_TIMER_EXPIRED, i, static_cast<int32_t>(slot), 0);
    ONESTACK_TRACE_ACTIVATION(TRACE_ACTIVATED_BY_HANDLER, i, t.priority, t.name);
    LinkActivated(i, t.priority, port::HandlerNumber());
}

constexpr char TOO_MANY_TICKS[] =
    ONESTACK_RULE("AdvanceTime", "more than MAX_TIMER_TICKS ticks while a timer runs");

[[gnu::cold]] void StopAdvance(uint32_t ticks) {
    if (ticks > MAX_TIMER_TICKS) {
        return StopKernel(TOO_MANY_TICKS);
    }
    return StopTimerCaller(ADVANCE_RULES);
}

// AdvanceTime when the deadline is reached: with no timer running, only
// the horizon moves; else every timer due by then activates, in order,
// `origin` being the time before the advance, which no due time precedes.
// A task's call then lets every task that now outranks it run.
[[gnu::noinline]] void AdvanceToDeadline(uint32_t ticks, port::InterruptMask mask) {
    const uint32_t origin = Now();
    const int32_t handler = port::HandlerNumber();
    const TaskId caller = ready_head;
    uint32_t head = timers.due_head;
    uint32_t due_in = 0; // the head's due time, from origin
    if (head != END) {
        if (ticks > MAX_TIMER_TICKS || !MayUseTimers(handler)) {
            return StopAdvance(ticks);
        }
        // A periodic timer comes due again `period` after its last due
        // time, however late this is, and goes back in its place; most
        // often it stays at the head. One that activates once stops.
        for (;;) {
            TimerRecord &t = TimerAt(head);
            Activate(t, head);
            if (t.period != 0) {
                t.due += t.period;
                if (t.next == END || ComesBefore(t, TimerAt(t.next), origin)) {
                    due_in = t.due - origin;
                    if (due_in > ticks) break;
                    continue;
                }
                timers.due_head = t.next;
                InsertDue(static_cast<uint8_t>(head), origin);
            } else {
                timers.due_head = t.next;
                t.rank = STOPPED;
                --timers.running;
            }
            head = timers.due_head;
            if (head == END) break;
            due_in = TimerAt(head).due - origin;
            if (due_in > ticks) break;
        }
    }
    timers.ticks_to_deadline = head == END ? NO_TIMER_DUE : due_in - ticks;
    timers.deadline = origin + ticks + timers.ticks_to_deadline;
    port::RestoreInterrupts(mask);
    if (handler == 0 && ready_head != caller) {
        return StepAsideFor(caller);
    }
}

} // namespace

// Time starts again at 0. Generations carry on, so that a handle from an
// earlier run names no timer of this one.
void onestack::ResetTimers() {
    for (TimerRecord &t : timers.timer) t.rank = STOPPED;
    timers.due_head = END;
    timers.running = 0;
    timers.last_rank = 0;
    Rearm(0);
}

extern "C" {

// Masked: a handler's advance may come between a task's compare and store.
void AdvanceTime(uint32_t ticks) {
    const port::InterruptMask mask = port::MaskInterrupts();
    if (ticks < timers.ticks_to_deadline) {
        timers.ticks_to_deadline -= ticks;
        return port::RestoreInterrupts(mask);
    }
    return AdvanceToDeadline(ticks, mask);
}

TimerId StartTimer(TaskEntry entry, int32_t priority, const char *name, uint32_t delay, uint32_t period) {
    return StartTimerWith(entry, priority, name, delay, period, 0);
}

TimerId StartTimerWith(TaskEntry entry, int32_t priority, const char *name, uint32_t delay, uint32_t period,
                       uintptr_t word) {
    CheckCaller(START_RULES);
    if (entry == nullptr) {
        StopKernel(ONESTACK_RULE("StartTimer", "the entry is null"));
    }
    if (delay == 0 || delay > MAX_TIMER_TICKS || period > MAX_TIMER_TICKS) {
        StopKernel(
            ONESTACK_RULE("StartTimer", "the delay is 0, or it or the period exceeds MAX_TIMER_TICKS"));
    }
    const port::InterruptMask mask = port::MaskInterrupts();
    if (timers.running == MAX_TIMERS) {
        StopKernel(ONESTACK_RULE("StartTimer", "no free timer (8 running)"));
    }
    uint32_t slot = timers.next_slot;
    while (TimerAt(slot).rank != STOPPED) slot = (slot + 1) & SLOT_MASK;
    timers.next_slot = static_cast<uint8_t>((slot + 1) & SLOT_MASK);
    TimerRecord &t = TimerAt(slot);
    const uint32_t now = Now();
    t.entry = entry;
    t.name = name;
    t.priority = priority;
    t.word = word;
    t.due = now + delay;
    t.period = period;
    t.rank = NextRank();
    ++timers.running;
    t.misses = 0;
    t.generation = static_cast<uint8_t>(t.generation == 0xFF ? 1 : t.generation + 1);
    InsertDue(static_cast<uint8_t>(slot), now);
    Rearm(now);
    port::RestoreInterrupts(mask);
    return t.generation << SLOT_BITS | static_cast<int32_t>(slot);
}

int32_t StopTimer(TimerId timer) {
    CheckCaller(STOP_RULES);
    const uint32_t slot = SlotOf(timer, ONESTACK_BAD_HANDLE("StopTimer"));
    const port::InterruptMask mask = port::MaskInterrupts();
    const bool running = TimerAt(slot).rank != STOPPED;
    if (running) {
        const uint32_t now = Now();
        Unlink(static_cast<uint8_t>(slot));
        TimerAt(slot).rank = STOPPED;
        --timers.running;
        Rearm(now);
    }
    port::RestoreInterrupts(mask);
    return running ? 1 : 0;
}

uint32_t TicksUntilNextTimer(void) {
    const port::InterruptMask mask = port::MaskInterrupts();
    const uint32_t ticks = timers.due_head == END ? NO_TIMER_DUE : timers.ticks_to_deadline;
    port::RestoreInterrupts(mask);
    return ticks;
}

uint32_t TickCount(void) {
    const port::InterruptMask mask = port::MaskInterrupts();
    const uint32_t now = Now();
    port::RestoreInterrupts(mask);
    return now;
}

uint32_t TimerMisses(TimerId timer) {
    return TimerAt(SlotOf(timer, ONESTACK_BAD_HANDLE("TimerMisses"))).misses;
}

} // extern "C"
