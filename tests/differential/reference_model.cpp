// Tasks that have started form a stack: the top runs, the rest are
// preempted, each below one that outranked it when it started. Activated
// tasks wait in arrival order until one outranks the top. A started task
// is never overtaken by a waiting task of equal priority: it is already
// ahead of every equal. A misuse stops the run before it changes anything.
//
// An interrupt's activations wait like any other. If one of them outranks
// what the ready list held at its head, the interrupt's exit opens a
// dispatch on the stack, above the interrupted task: every waiting task
// that outranks that head starts on it, in turn, and when none is left the
// interrupted task continues, even one that has terminated and not yet
// returned.
//
// Timers: time starts at 0; advancing it by n makes every running timer
// whose due time is at most the new time activate its task, earliest due
// time first, then earliest started; a periodic timer is due again a period
// after its last due time, another stops. The activations are the
// handler's kind, from a task too: all are made before any runs. One that
// finds no free record is missed and counted.
#include "reference_model.h"

#include <algorithm>
#include <cstdint>

namespace harness {

namespace {

struct Started {
    bool dispatch; // an interrupt's exit dispatch, not a task
    int64_t floor; // dispatch: the priority of the head it runs back to
    int32_t body;
    int32_t id; // the task record it is given
    int32_t base;
    std::vector<std::pair<int32_t, int32_t>> holds; // (ceiling, key)
    size_t next_step = 0;
    bool terminated = false;
    int32_t reported; // the priority the trace last showed

    int32_t Priority() const {
        int32_t p = base;
        for (const auto &hold : holds) p = std::max(p, hold.first);
        return p;
    }
};

struct Waiting {
    int32_t body;
    int32_t priority;
    int32_t id;
};

// The first of the highest priority, in arrival order.
size_t Best(const std::vector<Waiting> &waiting) {
    size_t best = 0;
    for (size_t i = 1; i < waiting.size(); ++i)
        if (waiting[i].priority > waiting[best].priority) best = i;
    return best;
}

constexpr int64_t EMPTY_LIST = INT64_MIN;

// The priority at the head of the ready list: the highest task that has
// started and not terminated, or a waiting task above it.
int64_t HeadPriority(const std::vector<Started> &stack, const std::vector<Waiting> &waiting) {
    int64_t head = EMPTY_LIST;
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        if (!it->dispatch && !it->terminated) {
            head = it->Priority();
            break;
        }
    }
    if (!waiting.empty()) head = std::max<int64_t>(head, waiting[Best(waiting)].priority);
    return head;
}

// Does the best waiting task start now, above the top of the stack?
bool StartsNow(const std::vector<Started> &stack, const Waiting &best) {
    if (stack.empty()) return true;
    const Started &top = stack.back();
    if (top.dispatch) return best.priority > top.floor;
    return !top.terminated && best.priority > top.Priority();
}

// The stop that `step` earns from `task`, or -1 if it is a sound step.
int32_t MisuseOf(const Started &task, const Step &step) {
    if (step.op == Op::Mark || step.op == Op::Return || step.op == Op::Interrupt ||
        step.op == Op::AdvanceInInterrupt)
        return -1;
    if (task.terminated) return StopIndex(step.op, Misuse::AfterTerminate);
    if (step.op == Op::Terminate && !task.holds.empty()) return StopIndex(step.op, Misuse::HoldsAtTerminate);
    if (step.op == Op::Release &&
        std::find(task.holds.begin(), task.holds.end(), std::make_pair(step.a, step.b)) == task.holds.end())
        return StopIndex(step.op, Misuse::UnheldRelease);
    return -1;
}

struct Timer {
    bool running = false;
    int32_t priority = 0;
    int64_t due = 0;
    int64_t period = 0;
    int32_t order = 0; // of starting
    int32_t misses = 0;
};

// A timer's task only terminates.
const std::vector<Step> timer_task = {{Op::Terminate, 0, 0}};

const std::vector<Step> &StepsOf(const Program &program, int32_t body) {
    return body >= TIMER_BODY ? timer_task : program.bodies[static_cast<size_t>(body)];
}

} // namespace

Trace RunModel(const Program &program) {
    Trace trace;
    std::vector<Started> stack;
    // A task is given its record when it is activated, from a stack: the
    // last record given back is the first handed out.
    std::vector<int32_t> free_ids;
    for (int32_t id = 15; id > 0; --id) free_ids.push_back(id);
    std::vector<Waiting> waiting = {{0, program.first_priority, 0}};
    std::vector<Timer> timers(MAX_PROGRAM_TIMERS);
    int64_t now = 0;
    int32_t starts = 0;
    // Advances time; returns the highest priority activated, or EMPTY_LIST.
    const auto advance = [&](int64_t ticks) {
        int64_t highest = EMPTY_LIST;
        now += ticks;
        for (;;) {
            Timer *next = nullptr;
            for (Timer &t : timers) {
                if (t.running && t.due <= now &&
                    (next == nullptr || t.due < next->due || (t.due == next->due && t.order < next->order)))
                    next = &t;
            }
            if (next == nullptr) return highest;
            const auto k = static_cast<int32_t>(next - timers.data());
            if (free_ids.empty()) {
                ++next->misses;
            } else {
                waiting.push_back({TIMER_BODY + k, next->priority, free_ids.back()});
                free_ids.pop_back();
                highest = std::max<int64_t>(highest, next->priority);
            }
            next->due += next->period;
            next->running = next->period != 0;
        }
    };
    for (;;) {
        if (!waiting.empty() && StartsNow(stack, waiting[Best(waiting)])) {
            const size_t best = Best(waiting);
            const Waiting w = waiting[best];
            waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(best));
            stack.push_back({false, 0, w.body, w.id, w.priority, {}, 0, false, w.priority});
            trace.push_back({Event::Enter, w.body, stack.back().id});
            continue;
        }
        if (stack.empty()) break;
        if (stack.back().dispatch) { // the interrupted code continues
            stack.pop_back();
            continue;
        }
        Started &top = stack.back();
        const std::vector<Step> &steps = StepsOf(program, top.body);
        if (top.next_step == steps.size()) { // the entry returns after terminating
            stack.pop_back();
            continue;
        }
        if (top.Priority() != top.reported) {
            top.reported = top.Priority();
            trace.push_back({Event::Priority, top.body, top.reported});
        }
        const Step step = steps[top.next_step++];
        if (const int32_t stop = MisuseOf(top, step); stop >= 0) {
            trace.push_back({Event::Stop, top.body, stop});
            break;
        }
        // An activation that finds no free record, when timers' tasks hold
        // them, stops the run.
        const int32_t overload = StopIndex(Op::Activate, Misuse::NoFreeRecord);
        bool stopped = false;
        switch (step.op) {
        case Op::Mark:
            trace.push_back({Event::Mark, top.body, step.a});
            break;
        case Op::Activate:
            if (free_ids.empty()) {
                trace.push_back({Event::Stop, top.body, overload});
                stopped = true;
                break;
            }
            waiting.push_back({step.a, step.b, free_ids.back()});
            free_ids.pop_back();
            break;
        case Op::Acquire:
            top.holds.push_back({step.a, step.b});
            break;
        case Op::Release:
            top.holds.erase(std::find(top.holds.begin(), top.holds.end(), std::make_pair(step.a, step.b)));
            break;
        case Op::Terminate:
            top.terminated = true;
            free_ids.push_back(top.id);
            trace.push_back({Event::Terminate, top.body, 0});
            break;
        case Op::Return:
            trace.push_back({Event::Enter, top.body, top.id});
            break; // entered again
        case Op::Interrupt: {
            const int64_t head = HeadPriority(stack, waiting);
            bool head_changes = false;
            for (Step s = step;;) {
                if (free_ids.empty()) {
                    trace.push_back({Event::Stop, top.body, overload});
                    stopped = true;
                    break;
                }
                waiting.push_back({s.a, s.b, free_ids.back()});
                free_ids.pop_back();
                head_changes = head_changes || s.b > head;
                if (top.next_step == steps.size() || steps[top.next_step].op != Op::InSameHandler) break;
                s = steps[top.next_step++];
            }
            if (head_changes && !stopped) stack.push_back({true, head, -1, -1, 0, {}, 0, false, 0});
            break;
        }
        case Op::InSameHandler:
            break; // taken with its Interrupt
        case Op::StartTimer:
            timers[size_t(step.a)] = {true, step.b, now + step.c, step.d, starts++, 0};
            break;
        case Op::StopTimer: {
            Timer &t = timers[size_t(step.a)];
            trace.push_back({Event::TimerStopped, top.body, t.running ? 1 : 0});
            trace.push_back({Event::TimerMissed, top.body, t.misses});
            t.running = false;
            break;
        }
        case Op::Advance:
            advance(step.a);
            break;
        case Op::AdvanceInInterrupt: {
            const int64_t head = HeadPriority(stack, waiting);
            if (advance(step.a) > head) stack.push_back({true, head, -1, -1, 0, {}, 0, false, 0});
            break;
        }
        }
        if (stopped) break;
    }
    return trace;
}

} // namespace harness
