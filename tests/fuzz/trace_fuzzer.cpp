// Any bytes as a trace dump: the reader refuses or accepts them, and what
// it accepts exports, without reading out of bounds or crashing.
#include <cstdint>
#include <vector>

#include "schedule.h"
#include "trace_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    trace::Trace recorded;
    std::string error;
    if (!trace::Parse(bytes, recorded, error)) return 0;
    for (const bool by_sequence : {false, true}) {
        const trace::Schedule schedule = trace::BuildSchedule(recorded, by_sequence);
        trace::ChromeJson(schedule);
        trace::Vcd(schedule);
        trace::Svg(schedule);
    }
    return 0;
}
