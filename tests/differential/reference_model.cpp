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
// Interrupt ceilings: while a task holds one, no task starts above it; a
// handler at the most urgent level held or below waits, and the release
// that lets it in runs it, the most urgent first, then the oldest. The
// tasks the handlers activated meanwhile start once the last hold is gone.
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
#include <deque>
#include <optional>

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
    int32_t word = 0;
    int32_t channel = -1;                 // a consumer's channel
    bool at_receive = true;               // a consumer's next step is a receive
    std::optional<Event> after_call;      // what its kernel call returned, once it continues
    std::vector<int32_t> interrupt_holds; // the levels of its interrupt ceilings, oldest first

    // Handlers at this level and below wait; 8 lets every one in.
    int32_t HeldOffFrom() const {
        int32_t level = 8;
        for (const int32_t held : interrupt_holds) level = std::min(level, held);
        return level;
    }

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
    int32_t word = 0;
};

struct ChannelState {
    std::deque<int32_t> items;
    bool ready = false; // its consumer is activated and has not found it empty
};

// An interrupt's exit dispatch, which runs back to a head of `head`.
Started DispatchFrame(int64_t head) {
    Started frame{};
    frame.dispatch = true;
    frame.floor = head;
    frame.body = -1;
    frame.id = -1;
    return frame;
}

Started TaskFrame(const Waiting &w) {
    Started frame{};
    frame.body = w.body;
    frame.id = w.id;
    frame.base = w.priority;
    frame.reported = w.priority;
    frame.word = w.word;
    frame.channel = w.body >= CHANNEL_BODY ? w.body - CHANNEL_BODY : -1;
    return frame;
}

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
    return !top.terminated && top.interrupt_holds.empty() && best.priority > top.Priority();
}

// The stop that `step` earns from `task`, or -1 if it is a sound step.
int32_t MisuseOf(const Started &task, const Step &step) {
    if (step.op == Op::Mark || step.op == Op::Return || step.op == Op::Interrupt ||
        step.op == Op::AdvanceInInterrupt || step.op == Op::SendInInterrupt || step.op == Op::SendInWindow ||
        step.op == Op::HoldInterrupts || step.op == Op::ReleaseInterrupts)
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
    int32_t word = 0;
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
    std::vector<ChannelState> channels(program.channels.size());
    std::optional<std::pair<Step, int32_t>>
        window; // a handler's send at the next empty receive, and who armed it
    int32_t refused = 0;
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
                ++refused;
            } else {
                waiting.push_back({TIMER_BODY + k, next->priority, free_ids.back(), next->word});
                free_ids.pop_back();
                highest = std::max<int64_t>(highest, next->priority);
            }
            next->due += next->period;
            next->running = next->period != 0;
        }
    };
    // A send; returns whether the channel took the item, and raises
    // `activated` to the consumer's priority if it activated it.
    const auto send = [&](const Step &step, int64_t &activated) {
        ChannelState &channel = channels[size_t(step.a)];
        const ProgramChannel &defined = program.channels[size_t(step.a)];
        if (channel.items.empty() && !channel.ready) {
            if (free_ids.empty()) {
                ++refused;
                return 0;
            }
            waiting.push_back({CHANNEL_BODY + step.a, defined.priority, free_ids.back()});
            free_ids.pop_back();
            channel.ready = true;
            activated = std::max<int64_t>(activated, defined.priority);
        } else if (channel.items.size() == size_t(defined.capacity)) {
            return 0;
        }
        channel.items.push_back(step.b);
        return 1;
    };
    // A handler's send: its exit runs a consumer that outranks the head.
    const auto send_in_handler = [&](const Step &step, int32_t body) {
        const int64_t head = HeadPriority(stack, waiting);
        int64_t activated = EMPTY_LIST;
        trace.push_back({Event::Sent, body, send(step, activated)});
        if (activated > head) stack.push_back(DispatchFrame(head));
    };
    // The activations of a handler that runs while `top` runs; false if one
    // stops the run. `head_changes` tells whether one outranks the head.
    const int32_t overload = StopIndex(Op::Activate, Misuse::NoFreeRecord);
    const auto run_handler = [&](const std::vector<Step> &handler, const Started &top, bool &head_changes) {
        const int64_t head = HeadPriority(stack, waiting);
        for (const Step &s : handler) {
            if (free_ids.empty() && s.d == 0) {
                trace.push_back({Event::Stop, top.body, overload});
                return false;
            }
            if (free_ids.empty()) {
                ++refused;
                trace.push_back({Event::Tried, top.body, 0});
            } else {
                waiting.push_back({s.a, s.b, free_ids.back(), s.c});
                free_ids.pop_back();
                head_changes = head_changes || s.b > head;
                if (s.d != 0) trace.push_back({Event::Tried, top.body, 1});
            }
        }
        return true;
    };
    // Handlers held off by a ceiling, with their levels, in the order raised.
    std::vector<std::pair<int32_t, std::vector<Step>>> held_off;
    const auto query = [&](const Started &task) {
        trace.push_back({Event::Word, task.body, task.channel >= 0 ? -1 : task.word});
        trace.push_back({Event::Base, task.body, task.base});
        trace.push_back({Event::Current, task.body, task.Priority()});
        trace.push_back({Event::Refused, task.body, refused});
    };
    for (;;) {
        if (!waiting.empty() && StartsNow(stack, waiting[Best(waiting)])) {
            const size_t best = Best(waiting);
            const Waiting w = waiting[best];
            waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(best));
            stack.push_back(TaskFrame(w));
            trace.push_back({Event::Enter, w.body, stack.back().id});
            if (w.body >= TIMER_BODY && w.body < CHANNEL_BODY && w.word != 0)
                trace.push_back({Event::Word, w.body, w.word});
            continue;
        }
        if (stack.empty()) break;
        if (stack.back().dispatch) { // the interrupted code continues
            stack.pop_back();
            continue;
        }
        Started &top = stack.back();
        if (top.after_call) {
            trace.push_back(*top.after_call);
            top.after_call.reset();
        }
        if (top.channel >= 0) { // a consumer
            if (top.terminated) {
                stack.pop_back();
                continue;
            }
            const auto k = size_t(top.channel);
            const ProgramChannel &defined = program.channels[k];
            if (top.at_receive) {
                ChannelState &channel = channels[k];
                if (channel.items.empty() && window) { // a handler sends before the receive's check
                    const auto [sent, armed_by] = *window;
                    window.reset();
                    send_in_handler(sent, armed_by);
                    continue;
                }
                if (channel.items.empty()) {
                    channel.ready = false;
                    trace.push_back({Event::Empty, top.body, 0});
                    top.terminated = true;
                    free_ids.push_back(top.id);
                    trace.push_back({Event::Terminate, top.body, 0});
                    continue;
                }
                trace.push_back({Event::Received, top.body, channel.items.front()});
                channel.items.pop_front();
                top.at_receive = defined.per_item.empty();
                top.next_step = 0;
                continue;
            }
            const Step step = defined.per_item[top.next_step++];
            top.at_receive = top.next_step == defined.per_item.size();
            int64_t activated = EMPTY_LIST;
            if (step.op == Op::Mark) trace.push_back({Event::Mark, top.body, step.a});
            if (step.op == Op::Query) query(top);
            if (step.op == Op::Send) top.after_call = Event{Event::Sent, top.body, send(step, activated)};
            if (step.op == Op::SendInInterrupt) send_in_handler(step, top.body);
            continue;
        }
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
        // An activation that finds no free record stops the run, unless it
        // is one that may fail, which is refused and counted.
        bool stopped = false;
        switch (step.op) {
        case Op::Mark:
            trace.push_back({Event::Mark, top.body, step.a});
            break;
        case Op::Activate:
            if (free_ids.empty()) {
                if (step.d != 0) {
                    ++refused;
                    top.after_call = Event{Event::Tried, top.body, 0};
                    break;
                }
                trace.push_back({Event::Stop, top.body, overload});
                stopped = true;
                break;
            }
            waiting.push_back({step.a, step.b, free_ids.back(), step.c});
            free_ids.pop_back();
            if (step.d != 0) top.after_call = Event{Event::Tried, top.body, 1};
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
            std::vector<Step> handler = {step};
            while (top.next_step < steps.size() && steps[top.next_step].op == Op::InSameHandler)
                handler.push_back(steps[top.next_step++]);
            if (step.e >= top.HeldOffFrom()) {
                held_off.push_back({step.e, handler});
                break;
            }
            const int64_t head = HeadPriority(stack, waiting);
            bool head_changes = false;
            stopped = !run_handler(handler, top, head_changes);
            // Under a ceiling the tasks wait for its release, which is no exit.
            if (head_changes && !stopped && top.interrupt_holds.empty()) stack.push_back(DispatchFrame(head));
            break;
        }
        case Op::HoldInterrupts:
            top.interrupt_holds.push_back(step.a);
            break;
        case Op::ReleaseInterrupts:
            top.interrupt_holds.pop_back();
            for (;;) {
                auto next = held_off.end();
                for (auto it = held_off.begin(); it != held_off.end(); ++it)
                    if (it->first < top.HeldOffFrom() && (next == held_off.end() || it->first < next->first))
                        next = it;
                if (next == held_off.end() || stopped) break;
                const std::vector<Step> handler = next->second;
                held_off.erase(next);
                bool head_changes = false;
                stopped = !run_handler(handler, top, head_changes);
            }
            break;
        case Op::InSameHandler:
            break; // taken with its Interrupt
        case Op::StartTimer:
            timers[size_t(step.a)] = {true, step.b, now + step.c, step.d, starts++, 0, step.e};
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
            if (advance(step.a) > head) stack.push_back(DispatchFrame(head));
            break;
        }
        case Op::Query:
            query(top);
            break;
        case Op::Send: {
            int64_t activated = EMPTY_LIST;
            top.after_call = Event{Event::Sent, top.body, send(step, activated)};
            break;
        }
        case Op::SendInInterrupt:
            send_in_handler(step, top.body);
            break;
        case Op::SendInWindow:
            window = {step, top.body};
            break;
        }
        if (stopped) break;
    }
    return trace;
}

} // namespace harness
