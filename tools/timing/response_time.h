// Worst-case response times of a task set on the kernel: fixed priorities,
// tasks run to completion, equal priorities first come first served, a
// resource raises its holder at once to its ceiling, and every interrupt
// handler runs above every task. The fixed-priority recurrence over the
// level-i busy period, with release jitter, blocking by one critical
// section of a lower task, the handlers' interference and deadlines longer
// than the inter-arrival time. Times are in any one unit (nanoseconds
// from the description).
#ifndef ONESTACK_RESPONSE_TIME_H
#define ONESTACK_RESPONSE_TIME_H

#include <cstdint>
#include <string>
#include <vector>

namespace onestack_timing {

// An inter-arrival time of ONCE: the task or handler comes once a run.
constexpr uint64_t ONCE = 0;

struct Hold {
    std::string resource;
    uint64_t longest; // the longest the task holds it
};

struct TimedTask {
    std::string name;
    int32_t priority = 0;
    uint64_t execution = 0;    // the longest, the kernel's costs for one activation included
    uint64_t interarrival = 0; // the period or the shortest time between activations, or ONCE
    uint64_t deadline = 0;     // from the activation; 0: none
    uint64_t jitter = 0;       // the most by which a release follows its activation's time
    std::vector<Hold> holds;
};

struct TimedHandler {
    std::string name;
    uint64_t execution = 0; // the longest, the interrupt's entry and exit included
    uint64_t interarrival = 0;
};

struct Response {
    bool bounded = true;
    uint64_t time = 0;     // the worst response, from the activation's time to the entry's return
    uint64_t blocking = 0; // the longest critical section of a lower task that can delay it
    uint32_t pending = 0;  // the most of its activations live at once
    bool meets = true;     // within its deadline, if it has one
    std::string reason;    // when not bounded
};

struct Analysis {
    std::vector<Response> tasks; // in the order of the task set's
    double utilisation = 0;      // of the tasks and the handlers that recur
    uint32_t live_records = 0;   // the most task records live at once
    bool feasible = true;        // every task bounded and within its deadline
};

// A resource's ceiling: the highest priority of the tasks that hold it.
int32_t Ceiling(const std::vector<TimedTask> &tasks, const std::string &resource);

Analysis Analyse(const std::vector<TimedTask> &tasks, const std::vector<TimedHandler> &handlers);

} // namespace onestack_timing

#endif
