#include "response_time.h"

#include <algorithm>

namespace onestack_timing {
namespace {

// Past this, a busy period is taken never to end.
constexpr uint64_t HORIZON = uint64_t{1} << 50;

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Activations that can come within a window of `t` that starts with one
// (released at most `jitter` late).
uint64_t Arrivals(uint64_t t, uint64_t interarrival, uint64_t jitter) {
    return interarrival == ONCE ? 1 : CeilDiv(t + jitter, interarrival);
}

struct Load {
    const std::vector<TimedTask> &tasks;
    const std::vector<TimedHandler> &handlers;

    // What the handlers and the tasks above `priority` (and at it, with
    // `equal`) ask within a window of `t`.
    uint64_t Within(uint64_t t, int32_t priority, bool equal) const {
        uint64_t sum = 0;
        for (const TimedHandler &h : handlers) sum += Arrivals(t, h.interarrival, 0) * h.execution;
        for (const TimedTask &task : tasks) {
            if (task.priority > priority || (equal && task.priority == priority)) {
                sum += Arrivals(t, task.interarrival, task.jitter) * task.execution;
            }
        }
        return sum;
    }
};

// The least fixed point of t = base + load(t), or HORIZON.
template <typename F> uint64_t Settle(uint64_t base, F load) {
    uint64_t t = std::max<uint64_t>(base, 1);
    for (;;) {
        const uint64_t next = base + load(t);
        if (next == t) return t;
        if (next >= HORIZON) return HORIZON;
        t = next;
    }
}

uint64_t Blocking(const std::vector<TimedTask> &tasks, const TimedTask &task) {
    uint64_t longest = 0;
    for (const TimedTask &lower : tasks) {
        if (lower.priority >= task.priority) continue;
        for (const Hold &hold : lower.holds) {
            if (Ceiling(tasks, hold.resource) >= task.priority) longest = std::max(longest, hold.longest);
        }
    }
    return longest;
}

Response Respond(const std::vector<TimedTask> &tasks, const Load &load, size_t index) {
    const TimedTask &task = tasks[index];
    Response r;
    r.blocking = Blocking(tasks, task);
    // The level busy period: it starts with every task at or above the
    // priority and every handler released at once, and a lower task just
    // inside its longest critical section.
    const uint64_t busy = Settle(r.blocking, [&](uint64_t t) { return load.Within(t, task.priority, true); });
    if (busy == HORIZON) {
        r.bounded = false;
        r.reason = "the handlers and the tasks at and above priority " + std::to_string(task.priority) +
                   " ask for all the time there is";
        return r;
    }
    const uint64_t jobs = task.interarrival == ONCE ? 1 : CeilDiv(busy + task.jitter, task.interarrival);
    for (uint64_t q = 0; q < jobs; ++q) {
        // The q-th activation in the busy period waits for its own earlier
        // ones and for those of its priority released no later than it.
        uint64_t base = r.blocking + (q + 1) * task.execution;
        for (size_t j = 0; j < tasks.size(); ++j) {
            const TimedTask &other = tasks[j];
            if (j == index || other.priority != task.priority) continue;
            const uint64_t ahead =
                other.interarrival == ONCE
                    ? 1
                    : (q * task.interarrival + task.jitter + other.jitter) / other.interarrival + 1;
            base += ahead * other.execution;
        }
        const uint64_t done = Settle(base, [&](uint64_t t) { return load.Within(t, task.priority, false); });
        if (done == HORIZON) { // the busy period ends, so this cannot be reached
            r.bounded = false;
            r.reason = "no end to its activation's wait";
            return r;
        }
        const uint64_t response = done + task.jitter - q * task.interarrival;
        r.time = std::max(r.time, response);
    }
    r.pending = task.interarrival == ONCE
                    ? 1
                    : static_cast<uint32_t>(CeilDiv(r.time + task.jitter, task.interarrival));
    r.meets = task.deadline == 0 || r.time <= task.deadline;
    return r;
}

} // namespace

int32_t Ceiling(const std::vector<TimedTask> &tasks, const std::string &resource) {
    int32_t ceiling = INT32_MIN;
    for (const TimedTask &task : tasks) {
        for (const Hold &hold : task.holds) {
            if (hold.resource == resource) ceiling = std::max(ceiling, task.priority);
        }
    }
    return ceiling;
}

Analysis Analyse(const std::vector<TimedTask> &tasks, const std::vector<TimedHandler> &handlers) {
    Analysis a;
    const Load load{tasks, handlers};
    for (const TimedHandler &h : handlers) {
        if (h.interarrival != ONCE)
            a.utilisation += static_cast<double>(h.execution) / static_cast<double>(h.interarrival);
    }
    for (size_t i = 0; i < tasks.size(); ++i) {
        const TimedTask &task = tasks[i];
        if (task.interarrival != ONCE)
            a.utilisation += static_cast<double>(task.execution) / static_cast<double>(task.interarrival);
        a.tasks.push_back(Respond(tasks, load, i));
        a.live_records += a.tasks.back().pending;
        a.feasible = a.feasible && a.tasks.back().bounded && a.tasks.back().meets;
    }
    return a;
}

} // namespace onestack_timing
