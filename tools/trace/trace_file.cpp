#include "trace_file.h"

#include "onestack.h"

namespace trace {

namespace {

// Reads little-endian fields, refusing to run past the end.
struct Reader {
    const std::vector<uint8_t> &bytes;
    size_t at = 0;
    bool Take(int count, uint64_t &value) {
        if (bytes.size() - at < static_cast<size_t>(count)) return false;
        value = 0;
        for (int i = 0; i < count; ++i)
            value |= static_cast<uint64_t>(bytes[at + static_cast<size_t>(i)]) << (8 * i);
        at += static_cast<size_t>(count);
        return true;
    }
};

} // namespace

bool Parse(const std::vector<uint8_t> &bytes, Trace &trace, std::string &error) {
    static const char magic[] = "OSTRACE1";
    if (bytes.size() < 8 || std::string(bytes.begin(), bytes.begin() + 8) != magic) {
        error = "not a onestack trace (no OSTRACE1 header)";
        return false;
    }
    Reader in{bytes, 8};
    uint64_t clock = 0;
    uint64_t count = 0;
    uint64_t dropped = 0;
    if (!in.Take(4, clock) || !in.Take(4, count) || !in.Take(4, dropped)) {
        error = "truncated header";
        return false;
    }
    if (clock > 1) {
        error = "unknown clock " + std::to_string(clock);
        return false;
    }
    // Each event takes at least 23 bytes: a count beyond that is corrupt.
    if (count > (bytes.size() - in.at) / 23) {
        error = "the header counts " + std::to_string(count) + " events, more than the file holds";
        return false;
    }
    trace.nanoseconds = clock == 1;
    trace.dropped = static_cast<uint32_t>(dropped);
    trace.events.clear();
    for (uint64_t n = 0; n < count; ++n) {
        Event e;
        uint64_t time = 0;
        uint64_t sequence = 0;
        uint64_t kind = 0;
        uint64_t task = 0;
        uint64_t a = 0;
        uint64_t b = 0;
        uint64_t length = 0;
        if (!in.Take(8, time) || !in.Take(4, sequence) || !in.Take(1, kind) || !in.Take(1, task) ||
            !in.Take(4, a) || !in.Take(4, b) || !in.Take(1, length) || bytes.size() - in.at < length) {
            error = "truncated at event " + std::to_string(n);
            return false;
        }
        if (kind < TRACE_ACTIVATED || kind > TRACE_EXIT_DISPATCH_ENDED) {
            error = "event " + std::to_string(n) + " has unknown kind " + std::to_string(kind);
            return false;
        }
        e.time = time;
        e.sequence = static_cast<uint32_t>(sequence);
        e.kind = static_cast<uint8_t>(kind);
        e.task = static_cast<int8_t>(static_cast<uint8_t>(task));
        if (e.task < NO_TASK || e.task >= MAX_TASKS) {
            error = "event " + std::to_string(n) + " names task record " + std::to_string(e.task);
            return false;
        }
        e.a = static_cast<int32_t>(static_cast<uint32_t>(a));
        e.b = static_cast<int32_t>(static_cast<uint32_t>(b));
        e.name.assign(bytes.begin() + static_cast<std::ptrdiff_t>(in.at),
                      bytes.begin() + static_cast<std::ptrdiff_t>(in.at + length));
        in.at += length;
        trace.events.push_back(std::move(e));
    }
    if (in.at != bytes.size()) {
        error = std::to_string(bytes.size() - in.at) + " bytes after the last event";
        return false;
    }
    return true;
}

} // namespace trace
