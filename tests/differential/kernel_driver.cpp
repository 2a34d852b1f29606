#include "kernel_driver.h"

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <utility>

#include "kernel_private.h"

namespace harness {

namespace {

using namespace onestack;

struct BodyState {
    TaskId id = NO_TASK;
    int32_t priority = 0; // as last seen by the body itself
    size_t next_step = 0;
    bool waiting = false; // activated, not yet entered
    bool terminated = false;
    std::vector<InterruptHold> interrupt_holds; // oldest first
};

const Program *program;
KernelRun *run;
std::array<BodyState, MAX_TASKS> bodies;
std::vector<int32_t> started; // bodies entered and not yet returned for good
int32_t calling_body;         // the body whose kernel call is under way
std::jmp_buf stopped;         // where a stop leaves the run

void Violation(std::string what) { run->violations.push_back(std::move(what)); }

int32_t Governing(TaskId t) {
    int32_t p = task_table[t].base_priority;
    for (const ResourceRecord &r : resource_table)
        if (r.owner == t) p = std::max(p, r.ceiling);
    return p;
}

// A live task's holds, newest first from top_hold, are exactly the records
// it owns; each but the newest leads back up to the one above it, and each
// remembers the priority of the holds beneath it.
void CheckHoldStack(TaskId t) {
    std::vector<int32_t> stack;
    for (int32_t r = task_table[t].top_hold; r >= 0 && stack.size() <= MAX_RESOURCES;
         r = resource_table[r].below) {
        if (r < 0 || r >= MAX_RESOURCES) return Violation("hold link out of range");
        stack.push_back(r);
    }
    const auto owned = std::count_if(std::begin(resource_table), std::end(resource_table),
                                     [t](const ResourceRecord &r) { return r.owner == t; });
    if (static_cast<long>(stack.size()) != owned ||
        std::any_of(stack.begin(), stack.end(), [t](int32_t r) { return resource_table[r].owner != t; }))
        return Violation("task record " + std::to_string(t) + " has a hold stack unlike its holds");
    for (size_t i = 1; i < stack.size(); ++i)
        if (resource_table[stack[i]].above != stack[i - 1])
            Violation("hold " + std::to_string(stack[i]) + " does not lead up to the hold above it");
    int32_t priority = task_table[t].base_priority;
    for (auto r = stack.rbegin(); r != stack.rend(); ++r) {
        if (resource_table[*r].priority_below != priority)
            Violation("hold " + std::to_string(*r) + " remembers the wrong priority below it");
        priority = std::max(priority, resource_table[*r].ceiling);
    }
}

// Walks a list of at most `limit` records, counting each visit in `seen`.
template <typename Next> void Walk(int32_t head, size_t limit, std::vector<int> &seen, Next next) {
    for (size_t n = 0; head != -1 && n <= limit; ++n, head = next(head)) {
        if (head < 0 || static_cast<size_t>(head) >= seen.size()) return Violation("link out of range");
        ++seen[static_cast<size_t>(head)];
    }
}

void CheckTables(const char *after) {
    const size_t violations_before = run->violations.size();
    std::vector<int> on_ready(MAX_TASKS), on_free(MAX_TASKS), on_free_resources(MAX_RESOURCES);
    Walk(ready_head, MAX_TASKS, on_ready, [](int32_t i) { return task_table[i].next; });
    Walk(free_task_head, MAX_TASKS, on_free, [](int32_t i) { return task_table[i].next; });
    Walk(free_resource_head, MAX_RESOURCES, on_free_resources,
         [](int32_t r) { return resource_table[r].ceiling; });
    const auto in_range = [](TaskId i) { return i >= 0 && i < MAX_TASKS; };
    for (TaskId i = ready_head; in_range(i) && in_range(task_table[i].next) && on_ready[size_t(i)] == 1;
         i = task_table[i].next)
        if (task_table[i].current_priority < task_table[task_table[i].next].current_priority)
            Violation("ready list out of order");
    for (size_t i = 0; i < MAX_TASKS; ++i) {
        if (on_ready[i] + on_free[i] != 1)
            Violation("task record " + std::to_string(i) + " not on exactly one list");
        if (on_ready[i] == 1 && task_table[i].current_priority != Governing(TaskId(i)))
            Violation("task " + std::to_string(i) + " not at the greater of its base and its ceilings");
        if (on_ready[i] == 1)
            CheckHoldStack(TaskId(i));
        else if (task_table[i].top_hold != NO_RECORD)
            Violation("free task record " + std::to_string(i) + " has a hold or a channel");
    }
    for (size_t r = 0; r < MAX_RESOURCES; ++r) {
        const TaskId owner = resource_table[r].owner;
        const bool held_by_live_task = owner >= 0 && owner < MAX_TASKS && on_ready[size_t(owner)] == 1;
        if (on_free_resources[r] == 1 ? owner != NO_TASK : !held_by_live_task)
            Violation("resource record " + std::to_string(r) + " neither free nor held by a live task");
    }
    // A stop in a handler may leave its dispatch pending; the next run resets
    // it. Under a task's interrupt ceiling, it names the holder instead.
    if (port::HandlerNumber() == 0 && run_state == HOLDING_INTERRUPTS) {
        if (interrupted_head > HELD_BY_THREAD ||
            task_table[HELD_BY_THREAD - interrupted_head].entry == nullptr)
            Violation("a task holds an interrupt ceiling and the dispatch does not name it");
    } else if (port::HandlerNumber() == 0 && interrupted_head != NO_DISPATCH && run_state != STOPPING) {
        Violation("a dispatch at interrupt exit is pending in thread mode");
    }
    if (run->violations.size() > violations_before) Violation(std::string("  after ") + after);
}

// A task that resumes from a kernel call must not be outranked by one that waits.
void CheckResumed(const BodyState &self) {
    for (const BodyState &other : bodies)
        if (other.waiting && other.priority > self.priority)
            Violation("a task resumed while a waiting task outranks it");
}

// The kernel's stop handler while a program runs: the stop must have left
// every table as it was, and it ends the run.
void RecordStop(const char *operation, const char *rule) {
    CheckTables("a stop");
    const int32_t index = FindStop(operation, rule);
    if (index < 0) Violation(std::string("unknown stop: ") + operation + ": " + rule);
    run->trace.push_back({Event::Stop, calling_body, index});
    std::longjmp(stopped, 1);
}

template <int32_t B> void Entry();

constexpr std::array<TaskEntry, MAX_TASKS> entries = {
    Entry<0>, Entry<1>, Entry<2>,  Entry<3>,  Entry<4>,  Entry<5>,  Entry<6>,  Entry<7>,
    Entry<8>, Entry<9>, Entry<10>, Entry<11>, Entry<12>, Entry<13>, Entry<14>, Entry<15>};

// Returns what TryActivateTask returned, or 1.
int32_t Activate(const Step &step, const char *after) {
    BodyState &body = bodies[size_t(step.a)];
    body.waiting = true;
    body.priority = step.b;
    int32_t made_ready = 1;
    if (step.d != 0) {
        made_ready = TryActivateTask(entries[size_t(step.a)], step.b, "body", uintptr_t(step.c));
        if (made_ready == 0) body.waiting = false;
    } else if (step.c != 0) {
        ActivateTaskWith(entries[size_t(step.a)], step.b, "body", uintptr_t(step.c));
    } else {
        ActivateTask(entries[size_t(step.a)], step.b, "body");
    }
    CheckTables(after);
    return made_ready;
}

// The activations of each simulated interrupt raised and not yet run, by
// level: those of a level run in the order raised; and those of the one
// that runs at each level. No vector is local: a stop leaves by longjmp.
std::array<std::deque<std::vector<Step>>, port::SIMULATED_LEVELS> handler_steps;
std::array<std::vector<Step>, port::SIMULATED_LEVELS> running_steps;

template <uint32_t L> void RunHandler() {
    running_steps[L].swap(handler_steps[L].front());
    handler_steps[L].pop_front();
    for (const Step &step : running_steps[L]) {
        const int32_t made_ready = Activate(step, "ActivateTask from a handler");
        if (step.d != 0) run->trace.push_back({Event::Tried, calling_body, made_ready});
    }
}
constexpr std::array<InterruptHandler, port::SIMULATED_LEVELS> handlers = {
    RunHandler<0>, RunHandler<1>, RunHandler<2>, RunHandler<3>,
    RunHandler<4>, RunHandler<5>, RunHandler<6>, RunHandler<7>};

// The program's channels, their capacities and priorities set for each run,
// and the drops each should have counted.
template <int32_t K> void Consumer();
ONESTACK_CHANNEL(channel0, MAX_CHANNEL_CAPACITY, Consumer<0>, 0, "consumer");
ONESTACK_CHANNEL(channel1, MAX_CHANNEL_CAPACITY, Consumer<1>, 0, "consumer");
ONESTACK_CHANNEL(channel2, MAX_CHANNEL_CAPACITY, Consumer<2>, 0, "consumer");
constexpr std::array<Channel *, MAX_PROGRAM_CHANNELS> channels = {&channel0, &channel1, &channel2};
std::array<uint32_t, MAX_PROGRAM_CHANNELS> drops;

void Send(const Step &step, int32_t body) {
    const int32_t taken = SendChannel(channels[size_t(step.a)], uintptr_t(step.b));
    run->trace.push_back({Event::Sent, body, taken});
    drops[size_t(step.a)] += taken == 0 ? 1 : 0;
    if (ChannelDrops(channels[size_t(step.a)]) != drops[size_t(step.a)])
        Violation("channel " + std::to_string(step.a) + " counts drops unlike its refusals");
    CheckTables("SendChannel");
}

// The send of a simulated handler, and of the one that runs in a receive's window.
Step handler_send;
int32_t handler_body;
void RunSendHandler() { Send(handler_send, handler_body); }
Step window_send;
int32_t window_body;
void RunWindowHandler() { Send(window_send, window_body); }

void SendInInterrupt(const Step &step, int32_t body) {
    handler_send = step;
    handler_body = body;
    SimulateInterrupt(RunSendHandler);
    CheckTables("a send from a handler");
}

// What a task asks about itself; a consumer's word is its channel.
void Query(int32_t body, int32_t channel) {
    const uintptr_t word = TaskWord();
    if (channel >= 0 && word != reinterpret_cast<uintptr_t>(channels[size_t(channel)]))
        Violation("a consumer's word is not its channel");
    run->trace.push_back({Event::Word, body, channel >= 0 ? -1 : static_cast<int32_t>(word)});
    run->trace.push_back({Event::Base, body, TaskBasePriority()});
    run->trace.push_back({Event::Current, body, TaskPriority()});
    run->trace.push_back({Event::Refused, body, static_cast<int32_t>(RefusedActivations())});
}

// A consumer receives until its channel is empty, taking its channel's
// steps after each item, then terminates.
template <int32_t K> void Consumer() {
    const int32_t body = CHANNEL_BODY + K;
    run->trace.push_back({Event::Enter, body, ready_head});
    uintptr_t item = 0;
    calling_body = body;
    while (ReceiveChannel(channels[K], &item) != 0) {
        run->trace.push_back({Event::Received, body, static_cast<int32_t>(item)});
        CheckTables("ReceiveChannel");
        for (const Step &step : program->channels[K].per_item) {
            calling_body = body;
            if (step.op == Op::Mark) run->trace.push_back({Event::Mark, body, step.a});
            if (step.op == Op::Query) Query(body, K);
            if (step.op == Op::Send) Send(step, body);
            if (step.op == Op::SendInInterrupt) SendInInterrupt(step, body);
        }
        calling_body = body;
    }
    run->trace.push_back({Event::Empty, body, 0});
    TerminateTask();
    run->trace.push_back({Event::Terminate, body, 0});
    CheckTables("TerminateTask of a consumer");
}

// The handles of the program's timers, and the ticks a simulated tick
// interrupt advances.
std::array<TimerId, MAX_PROGRAM_TIMERS> timer_handles;
uint32_t handler_ticks;

void RunTickHandler() {
    AdvanceTime(handler_ticks);
    CheckTables("AdvanceTime from a handler");
}

// A timer's task, which only terminates. Like a body, it may preempt only a
// task it outranks; nothing ever runs above it.
void RunTimerTask(int32_t timer) {
    const TaskId self = ready_head;
    run->trace.push_back({Event::Enter, TIMER_BODY + timer, self});
    if (TaskWord() != 0)
        run->trace.push_back({Event::Word, TIMER_BODY + timer, static_cast<int32_t>(TaskWord())});
    const BodyState *preempted = started.empty() ? nullptr : &bodies[size_t(started.back())];
    if (preempted != nullptr && !preempted->terminated &&
        task_table[self].current_priority <= task_table[preempted->id].current_priority)
        Violation("timer " + std::to_string(timer) + "'s task preempted a task it does not outrank");
    for (const BodyState &other : bodies)
        if (other.waiting && other.priority > task_table[self].current_priority)
            Violation("a timer's task started while a waiting task outranks it");
    calling_body = TIMER_BODY + timer;
    TerminateTask();
    run->trace.push_back({Event::Terminate, TIMER_BODY + timer, 0});
    CheckTables("TerminateTask of a timer's task");
}

template <int32_t K> void TimerTask() { RunTimerTask(K); }

constexpr std::array<TaskEntry, MAX_PROGRAM_TIMERS> timer_tasks = {TimerTask<0>, TimerTask<1>, TimerTask<2>,
                                                                   TimerTask<3>, TimerTask<4>, TimerTask<5>,
                                                                   TimerTask<6>, TimerTask<7>};

void RunBody(int32_t b) {
    BodyState &self = bodies[size_t(b)];
    const std::vector<Step> &steps = program->bodies[size_t(b)];
    // A kernel that calls an entry whose body has ended would call it
    // forever: stop the run rather than record an endless trace.
    if (self.next_step == steps.size()) {
        std::fprintf(stderr, "the kernel entered body %d after it had ended\n", int(b));
        std::abort();
    }
    run->trace.push_back({Event::Enter, b, ready_head});
    if (self.waiting) {
        self.waiting = false;
        self.id = ready_head;
        self.priority = task_table[self.id].current_priority;
        // Preemption is only by a task that outranks the preempted one.
        const BodyState *preempted = started.empty() ? nullptr : &bodies[size_t(started.back())];
        if (preempted != nullptr && !preempted->terminated &&
            self.priority <= task_table[preempted->id].current_priority)
            Violation("body " + std::to_string(b) + " preempted a task it does not outrank");
        started.push_back(b);
    }
    while (self.next_step < steps.size()) {
        const Step step = steps[self.next_step++];
        calling_body = b;
        switch (step.op) {
        case Op::Mark:
            run->trace.push_back({Event::Mark, b, step.a});
            continue;
        case Op::Return:
            return;
        case Op::Terminate:
            TerminateTask();
            self.terminated = true;
            run->trace.push_back({Event::Terminate, b, 0});
            CheckTables("TerminateTask");
            continue;
        case Op::Activate: {
            const int32_t made_ready = Activate(step, "ActivateTask");
            if (step.d != 0) run->trace.push_back({Event::Tried, b, made_ready});
            break;
        }
        case Op::Query:
            Query(b, -1);
            break;
        case Op::Send:
            Send(step, b);
            break;
        case Op::SendInInterrupt:
            SendInInterrupt(step, b);
            if (self.terminated) continue;
            break;
        case Op::SendInWindow:
            window_send = step;
            window_body = b;
            port::window_handler = RunWindowHandler;
            continue;
        case Op::Interrupt: {
            const auto level = static_cast<uint32_t>(step.e);
            std::vector<Step> &handler = handler_steps[level].emplace_back(1, step);
            while (self.next_step < steps.size() && steps[self.next_step].op == Op::InSameHandler)
                handler.push_back(steps[self.next_step++]);
            // To the interrupted code the exit dispatch is invisible: the
            // head it left is the head it finds; under a ceiling there is
            // no dispatch until the release.
            const TaskId head = ready_head;
            if (level == 0) {
                SimulateInterrupt(handlers[0]);
            } else {
                SimulateInterruptAt(level, handlers[level]);
            }
            if (ready_head != head && self.interrupt_holds.empty())
                Violation("an interrupt left another task at the head");
            CheckTables("an interrupt");
            if (self.terminated) continue; // its record may be another task's now
            break;
        }
        case Op::HoldInterrupts:
            self.interrupt_holds.push_back(AcquireInterruptCeiling(static_cast<uint32_t>(step.a)));
            CheckTables("AcquireInterruptCeiling");
            continue;
        case Op::ReleaseInterrupts:
            ReleaseInterruptCeiling(self.interrupt_holds.back());
            self.interrupt_holds.pop_back();
            CheckTables("ReleaseInterruptCeiling");
            break;
        case Op::InSameHandler:
            Violation("an activation by a handler outside an interrupt");
            continue;
        case Op::StartTimer:
            timer_handles[size_t(step.a)] =
                StartTimerWith(timer_tasks[size_t(step.a)], step.b, "timer", static_cast<uint32_t>(step.c),
                               static_cast<uint32_t>(step.d), uintptr_t(step.e));
            CheckTables("StartTimer");
            break;
        case Op::StopTimer: {
            const TimerId timer = timer_handles[size_t(step.a)];
            run->trace.push_back({Event::TimerStopped, b, StopTimer(timer)});
            run->trace.push_back({Event::TimerMissed, b, static_cast<int32_t>(TimerMisses(timer))});
            CheckTables("StopTimer");
            break;
        }
        case Op::Advance:
            AdvanceTime(static_cast<uint32_t>(step.a));
            CheckTables("AdvanceTime");
            break;
        case Op::AdvanceInInterrupt: {
            handler_ticks = static_cast<uint32_t>(step.a);
            const TaskId head = ready_head;
            SimulateInterrupt(RunTickHandler);
            if (ready_head != head) Violation("a tick interrupt left another task at the head");
            CheckTables("a tick interrupt");
            if (self.terminated) continue;
            break;
        }
        case Op::Acquire:
            AcquireResource(step.a, step.b);
            CheckTables("AcquireResource");
            break;
        case Op::Release:
            ReleaseResource(step.a, step.b);
            CheckTables("ReleaseResource");
            break;
        }
        const int32_t now = task_table[self.id].current_priority;
        if (now != self.priority) {
            self.priority = now;
            run->trace.push_back({Event::Priority, b, now});
        }
        if (self.interrupt_holds.empty()) CheckResumed(self);
    }
    started.pop_back();
}

template <int32_t B> void Entry() { RunBody(B); }

// StartOS without its closing message, left early by a stop. Apart from
// `first_priority` it has no local that the run changes, so none is lost
// to the longjmp.
void RunUntilStop(int32_t first_priority) {
    if (setjmp(stopped) != 0) return;
    RunTasks(Entry<0>, first_priority, "body");
    CheckTables("the run");
}

} // namespace

KernelRun RunKernel(const Program &p) {
    KernelRun result;
    program = &p;
    run = &result;
    bodies = {};
    started.clear();
    for (auto &raised : handler_steps) raised.clear();
    drops = {};
    port::window_handler = nullptr;
    for (size_t k = 0; k < p.channels.size(); ++k) {
        channels[k]->capacity = static_cast<uint32_t>(p.channels[k].capacity);
        channels[k]->priority = p.channels[k].priority;
    }
    bodies[0].waiting = true;
    bodies[0].priority = p.first_priority;
    const StopHandler previous = SetStopHandler(RecordStop);
    RunUntilStop(p.first_priority);
    SetStopHandler(previous);
    return result;
}

} // namespace harness
