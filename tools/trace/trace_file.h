// A recorded kernel trace, as WriteTrace and DumpTrace write it, read back
// and checked.
#ifndef ONESTACK_TOOLS_TRACE_FILE_H
#define ONESTACK_TOOLS_TRACE_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace trace {

struct Event {
    uint64_t time;
    uint32_t sequence;
    uint8_t kind; // a TraceEventKind
    int8_t task;
    int32_t a;
    int32_t b;
    std::string name;
};

// A task live at the oldest kept event, as the events before it left it.
struct LiveTask {
    int8_t record;
    int32_t priority; // as activated
    int32_t current;  // raised by the ceilings it holds
    int place;        // its entry's place on the stack from the bottom, or -1 if not begun
    bool terminated;
    int holds;
    std::string name;
};

struct Trace {
    bool nanoseconds = false; // the times in nanoseconds, else no clock's and the sequence orders them
    double resolution = 0;    // nanoseconds of one count of the clock that stamped them
    uint32_t dropped = 0;     // older events the ring no longer held
    std::vector<LiveTask> live;
    std::vector<Event> events;
};

// The most events a dump may hold: the largest ring the kernel builds.
constexpr uint32_t MAX_EVENTS = 1u << 20;

// Parses `bytes`; on a truncated or corrupt dump returns false and says
// why in `error`. Never reads outside `bytes`.
bool Parse(const std::vector<uint8_t> &bytes, Trace &trace, std::string &error);

// Reads a dump from `file` in bounded steps: the header is checked before
// anything else is read, no more events than it counts are read, and one
// byte more tells trailing bytes; what it keeps in memory is bounded by
// MAX_EVENTS whatever the input. On failure says why in `error`.
bool Read(std::FILE *file, Trace &trace, std::string &error);

} // namespace trace

#endif
