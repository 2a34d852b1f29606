// A recorded kernel trace, as WriteTrace writes it, read back and checked.
#ifndef ONESTACK_TOOLS_TRACE_FILE_H
#define ONESTACK_TOOLS_TRACE_FILE_H

#include <cstdint>
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

struct Trace {
    bool nanoseconds = false; // else the time is a sequence number
    uint32_t dropped = 0;     // older events the ring no longer held
    std::vector<Event> events;
};

// Parses `bytes`; on a truncated or corrupt dump returns false and says
// why in `error`. Never reads outside `bytes`.
bool Parse(const std::vector<uint8_t> &bytes, Trace &trace, std::string &error);

} // namespace trace

#endif
