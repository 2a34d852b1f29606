#include "trace_file.h"

#include "onestack.h"

namespace trace {

namespace {

// Where the bytes come from: a buffer or a file, read a field at a time.
struct Source {
    const std::vector<uint8_t> *bytes = nullptr;
    size_t at = 0;
    std::FILE *file = nullptr;
    bool failed = false; // the file could not be read, as opposed to ending

    bool Read(uint8_t *to, size_t count) {
        if (bytes != nullptr) {
            if (bytes->size() - at < count) return false;
            for (size_t i = 0; i < count; ++i) to[i] = (*bytes)[at + i];
            at += count;
            return true;
        }
        const size_t got = std::fread(to, 1, count, file);
        if (got < count && std::ferror(file) != 0) failed = true;
        return got == count;
    }
    // A little-endian field of `count` bytes.
    bool Take(int count, uint64_t &value) {
        uint8_t field[8];
        if (!Read(field, static_cast<size_t>(count))) return false;
        value = 0;
        for (int i = 0; i < count; ++i) value |= static_cast<uint64_t>(field[i]) << (8 * i);
        return true;
    }
    bool TakeName(std::string &name) {
        uint64_t length = 0;
        uint8_t text[255];
        if (!Take(1, length) || !Read(text, length)) return false;
        name.assign(text, text + length);
        return true;
    }
    // Whatever follows the last event.
    bool AtEnd() {
        uint8_t byte;
        return !Read(&byte, 1) && !failed;
    }
};

bool Fail(Source &in, std::string &error, const std::string &why) {
    error = in.failed ? "cannot read it" : why;
    return false;
}

bool IsRecord(int64_t task) { return task >= 0 && task < MAX_TASKS; }

// Saturates past 2^64 nanoseconds (five centuries). `hz` fits 32 bits, so
// the remainder's product does not overflow.
uint64_t ToNanoseconds(uint64_t ticks, uint64_t hz) {
    constexpr uint64_t NS = 1000000000u;
    const uint64_t seconds = ticks / hz;
    if (seconds > (UINT64_MAX - NS) / NS) return UINT64_MAX;
    return seconds * NS + (ticks % hz) * NS / hz;
}

bool ReadLive(Source &in, Trace &trace, std::string &error) {
    uint64_t count = 0;
    if (!in.Take(1, count)) return Fail(in, error, "truncated snapshot");
    if (count > MAX_TASKS)
        return Fail(in, error, "the snapshot counts " + std::to_string(count) + " live tasks");
    for (uint64_t n = 0; n < count; ++n) {
        uint64_t record = 0;
        uint64_t priority = 0;
        uint64_t current = 0;
        uint64_t place = 0;
        uint64_t terminated = 0;
        uint64_t holds = 0;
        LiveTask t;
        if (!in.Take(1, record) || !in.Take(4, priority) || !in.Take(4, current) || !in.Take(1, place) ||
            !in.Take(1, terminated) || !in.Take(1, holds) || !in.TakeName(t.name)) {
            return Fail(in, error, "truncated snapshot");
        }
        if (!IsRecord(static_cast<int64_t>(record)) || (place != 255 && place >= MAX_TASKS) ||
            terminated > 1 || holds > MAX_RESOURCES) {
            return Fail(in, error, "live task " + std::to_string(n) + " of the snapshot is corrupt");
        }
        t.record = static_cast<int8_t>(record);
        t.priority = static_cast<int32_t>(static_cast<uint32_t>(priority));
        t.current = static_cast<int32_t>(static_cast<uint32_t>(current));
        t.place = place == 255 ? -1 : static_cast<int>(place);
        t.terminated = terminated == 1;
        t.holds = static_cast<int>(holds);
        trace.live.push_back(std::move(t));
    }
    return true;
}

bool ReadEvent(Source &in, uint64_t n, Event &e, std::string &error) {
    uint64_t time = 0;
    uint64_t sequence = 0;
    uint64_t kind = 0;
    uint64_t task = 0;
    uint64_t a = 0;
    uint64_t b = 0;
    if (!in.Take(8, time) || !in.Take(4, sequence) || !in.Take(1, kind) || !in.Take(1, task) ||
        !in.Take(4, a) || !in.Take(4, b) || !in.TakeName(e.name)) {
        return Fail(in, error, "truncated at event " + std::to_string(n));
    }
    if (kind < TRACE_ACTIVATED || kind > TRACE_HANDLER_ENDED) {
        return Fail(in, error, "event " + std::to_string(n) + " has unknown kind " + std::to_string(kind));
    }
    e.time = time;
    e.sequence = static_cast<uint32_t>(sequence);
    e.kind = static_cast<uint8_t>(kind);
    e.task = static_cast<int8_t>(static_cast<uint8_t>(task));
    if (e.task < NO_TASK || e.task >= MAX_TASKS) {
        return Fail(in, error, "event " + std::to_string(n) + " names task record " + std::to_string(e.task));
    }
    e.a = static_cast<int32_t>(static_cast<uint32_t>(a));
    e.b = static_cast<int32_t>(static_cast<uint32_t>(b));
    return true;
}

// Version 1 has no snapshot.
bool ReadFrom(Source &in, Trace &trace, std::string &error) {
    uint8_t magic[8];
    if (!in.Read(magic, 8) || std::string(magic, magic + 7) != "OSTRACE" ||
        (magic[7] != '1' && magic[7] != '2')) {
        return Fail(in, error, "not a onestack trace (no OSTRACE1 or OSTRACE2 header)");
    }
    uint64_t clock = 0;
    uint64_t count = 0;
    uint64_t dropped = 0;
    if (!in.Take(4, clock) || !in.Take(4, count) || !in.Take(4, dropped))
        return Fail(in, error, "truncated header");
    // Version 1's clock is 0 or 1 (nanoseconds); version 2's counts ticks per second.
    const bool version_2 = magic[7] == '2';
    if (!version_2 && clock > 1) return Fail(in, error, "unknown clock " + std::to_string(clock));
    const uint64_t hz = version_2 ? clock : clock * 1000000000u;
    if (count > MAX_EVENTS) {
        return Fail(in, error,
                    "the header counts " + std::to_string(count) + " events, more than any ring holds");
    }
    // Each event takes at least 23 bytes: a count beyond what a buffer holds is corrupt.
    if (in.bytes != nullptr && count > (in.bytes->size() - in.at) / 23) {
        return Fail(in, error,
                    "the header counts " + std::to_string(count) + " events, more than the file holds");
    }
    trace = Trace{};
    trace.nanoseconds = hz != 0;
    trace.resolution = hz != 0 ? 1e9 / static_cast<double>(hz) : 0;
    trace.dropped = static_cast<uint32_t>(dropped);
    if (version_2 && !ReadLive(in, trace, error)) return false;
    for (uint64_t n = 0; n < count; ++n) {
        Event e;
        if (!ReadEvent(in, n, e, error)) return false;
        if (hz != 0 && hz != 1000000000u) e.time = ToNanoseconds(e.time, hz);
        trace.events.push_back(std::move(e));
    }
    if (!in.AtEnd()) return Fail(in, error, "bytes after the last event");
    return true;
}

} // namespace

bool Parse(const std::vector<uint8_t> &bytes, Trace &trace, std::string &error) {
    Source in;
    in.bytes = &bytes;
    return ReadFrom(in, trace, error);
}

bool Read(std::FILE *file, Trace &trace, std::string &error) {
    Source in;
    in.file = file;
    return ReadFrom(in, trace, error);
}

} // namespace trace
