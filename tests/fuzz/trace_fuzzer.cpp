// Any bytes as a trace dump: the reader refuses or accepts them, and what
// it accepts exports, without reading out of bounds or crashing. The same
// bytes read as a file, and repeated without end as a stream that never
// closes, must give the same answer or stop within bounds; read from a
// source whose reads fail past the bytes, like a directory, they fail.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "schedule.h"
#include "trace_file.h"

namespace {

struct Endless {
    const uint8_t *data;
    size_t size, at;
};

// Like a directory: what reads there are fail, once the bytes run out.
ssize_t ReadThenFail(void *cookie, char *to, size_t count) {
    auto &in = *static_cast<Endless *>(cookie);
    if (in.at >= in.size) {
        errno = EISDIR;
        return -1;
    }
    const size_t n = count < in.size - in.at ? count : in.size - in.at;
    for (size_t i = 0; i < n; ++i) to[i] = static_cast<char>(in.data[in.at++]);
    return static_cast<ssize_t>(n);
}

ssize_t ReadEndless(void *cookie, char *to, size_t count) {
    auto &in = *static_cast<Endless *>(cookie);
    for (size_t i = 0; i < count; ++i) {
        to[i] = static_cast<char>(in.size == 0 ? 0 : in.data[in.at++ % in.size]);
    }
    return static_cast<ssize_t>(count);
}

// An input that never ends is read to a verdict, never for ever: the
// header bounds what follows it. One whose reads fail gets a verdict too.
void ReadFrom(cookie_read_function_t *read, const uint8_t *data, size_t size) {
    Endless in{data, size, 0};
    cookie_io_functions_t functions{read, nullptr, nullptr, nullptr};
    std::FILE *file = fopencookie(&in, "r", functions);
    if (file == nullptr) return;
    trace::Trace recorded;
    std::string error;
    trace::Read(file, recorded, error);
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    trace::Trace recorded;
    std::string error;
    const bool parsed = trace::Parse(bytes, recorded, error);
    std::FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (file != nullptr) {
        trace::Trace streamed;
        std::string why;
        if (trace::Read(file, streamed, why) != parsed) __builtin_trap(); // the two readers disagree
        std::fclose(file);
    }
    // Repeated, the bytes may declare up to a million events: only the
    // inputs that declare few are read endlessly, to keep the runs quick.
    const uint32_t declared = size >= 16 ? uint32_t(data[12]) | uint32_t(data[13]) << 8 |
                                               uint32_t(data[14]) << 16 | uint32_t(data[15]) << 24
                                         : 0;
    if (declared < 10000) ReadFrom(ReadEndless, data, size);
    ReadFrom(ReadThenFail, data, size);
    if (!parsed) return 0;
    for (const bool by_sequence : {false, true}) {
        const trace::Schedule schedule = trace::BuildSchedule(recorded, by_sequence);
        trace::ChromeJson(schedule);
        trace::Vcd(schedule);
        trace::Svg(schedule);
    }
    return 0;
}
