// The schedule a trace shows: per task its running, preempted, waiting and
// holding stretches, the nested slices of its entries, the activations and
// the priority the running code had, for the exporters.
#ifndef ONESTACK_TOOLS_SCHEDULE_H
#define ONESTACK_TOOLS_SCHEDULE_H

#include <cstdint>
#include <string>
#include <vector>

#include "trace_file.h"

namespace trace {

struct Stretch {
    double start, end;
};

// While it holds a ceiling: the priority it runs at.
struct Raised {
    double start, end;
    int32_t priority;
};

// A task, by name: every activation of the same name shares its row.
struct Row {
    std::string name;
    int32_t priority; // of its first activation
    std::vector<Stretch> running;
    std::vector<Stretch> preempted; // begun, and something else runs or the kernel does
    std::vector<Stretch> waiting;   // activated, not yet begun
    std::vector<Raised> holding;
    bool acquired = false; // took a ceiling, if only for less than a count of the clock
};

struct Mark {
    double time;
    std::string text;
    int row;                 // the task it concerns, or -1
    bool interrupt;          // an activation by a handler, or the dispatch at an interrupt's exit
    bool activation = false; // a task activated, by a task or a handler
};

// A handler's run, between the marks it made.
struct HandlerRun {
    std::string name;
    double start, end;
};

// One entry's call: slices nest, as calls do on the one stack.
struct Slice {
    size_t row;
    double start, end;
    bool returned = false; // else still open when the trace ends, which closes it
};

// An activation and the start of the entry it led to. `from` is the row
// of the task that activated it, or -1 for a handler.
struct Flow {
    int from;
    size_t row;
    double activated, entered;
};

// The priority of whatever ran, from each time on; -1 while no task did.
struct Level {
    double time;
    int32_t priority;
};

struct Schedule {
    bool nanoseconds;      // time unit; else one step per event, not a time
    double resolution = 0; // nanoseconds of one count of the trace's clock
    double end = 0;
    std::vector<Row> rows; // highest priority first
    std::vector<Slice> slices;
    std::vector<Mark> marks; // activations, holds, interrupt exits, terminations
    std::vector<Flow> flows;
    std::vector<Level> levels;
    std::vector<HandlerRun> handler_runs;
};

// `by_sequence` lays events out one step apart whatever the clock said.
Schedule BuildSchedule(const Trace &trace, bool by_sequence);

std::string ChromeJson(const Schedule &schedule);
std::string Vcd(const Schedule &schedule);
std::string Svg(const Schedule &schedule);
// Per task, the longest execution and response (from its activation to
// its entry's return) and hold that its activations showed, as lines of a
// task set.
std::string Times(const Schedule &schedule);

} // namespace trace

#endif
