// The schedule a trace shows: per task its running, preempted and holding
// stretches, and the nested slices of its entries, for the exporters.
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

// A task, by name: every activation of the same name shares its row.
struct Row {
    std::string name;
    int32_t priority; // of its first activation
    std::vector<Stretch> running, preempted, holding;
};

struct Mark {
    double time;
    std::string text;
};

// One entry's call: slices nest, as calls do on the one stack.
struct Slice {
    size_t row;
    double start, end;
};

struct Schedule {
    bool nanoseconds; // time unit; else one unit per event
    double end = 0;
    std::vector<Row> rows; // highest priority first
    std::vector<Slice> slices;
    std::vector<Mark> marks; // activations, holds, interrupt exits
};

// `by_sequence` lays events out one unit apart whatever the clock said.
Schedule BuildSchedule(const Trace &trace, bool by_sequence);

std::string ChromeJson(const Schedule &schedule);
std::string Vcd(const Schedule &schedule);
std::string Svg(const Schedule &schedule);

} // namespace trace

#endif
