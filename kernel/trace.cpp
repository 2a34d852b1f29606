// The trace recorder, built with ONESTACK_TRACE: the newest events in a
// ring in static storage, and their export to a file.
#include <stdio.h>

#include "kernel_private.h"

namespace onestack {

namespace {

struct TraceEvent {
    uint64_t time;     // from the port's clock
    uint32_t sequence; // events recorded before it since StartOS
    uint8_t kind;      // a TraceEventKind
    int8_t task;
    int32_t a;
    int32_t b;
    const char *name; // activations: the caller's text, read when the trace is written
};

constexpr uint32_t TRACE_CAPACITY = 1024;
TraceEvent trace_ring[TRACE_CAPACITY];
uint32_t trace_count; // events recorded since StartOS; the ring holds the newest

void Put(FILE *file, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) fputc(static_cast<int>((value >> (8 * i)) & 0xFF), file);
}

} // namespace

// Masked: handlers record too.
void RecordEvent(TraceEventKind kind, TaskId task, int32_t a, int32_t b, const char *name) {
    const port::InterruptMask mask = port::MaskInterrupts();
    trace_ring[trace_count % TRACE_CAPACITY] = {
        port::TraceClock(), trace_count, static_cast<uint8_t>(kind), static_cast<int8_t>(task), a, b, name};
    ++trace_count;
    port::RestoreInterrupts(mask);
}

void ResetTrace() { trace_count = 0; }

} // namespace onestack

// The format, little-endian: "OSTRACE1", the clock (0: a sequence number,
// 1: nanoseconds), the events that follow and the older ones dropped (u32
// each); then per event its time (u64), sequence (u32), kind (u8), task
// (i8), a and b (i32), and the name's length (u8, 0 for none) and bytes.
extern "C" int32_t WriteTrace(const char *path) {
    using namespace onestack;
    FILE *file = fopen(path, "wb");
    if (file == nullptr) return -1;
    const uint32_t kept = trace_count < TRACE_CAPACITY ? trace_count : TRACE_CAPACITY;
    fwrite("OSTRACE1", 1, 8, file);
    Put(file, port::TRACE_CLOCK_KIND, 4);
    Put(file, kept, 4);
    Put(file, trace_count - kept, 4);
    for (uint32_t n = trace_count - kept; n < trace_count; ++n) {
        const TraceEvent &e = trace_ring[n % TRACE_CAPACITY];
        Put(file, e.time, 8);
        Put(file, e.sequence, 4);
        Put(file, e.kind, 1);
        Put(file, static_cast<uint8_t>(e.task), 1);
        Put(file, static_cast<uint32_t>(e.a), 4);
        Put(file, static_cast<uint32_t>(e.b), 4);
        size_t length = 0; // at most 255: the length is one byte
        while (e.name != nullptr && length < 255 && e.name[length] != '\0') ++length;
        Put(file, length, 1);
        fwrite(e.name != nullptr ? e.name : "", 1, length, file);
    }
    const bool written = ferror(file) == 0;
    return fclose(file) == 0 && written ? 0 : -1;
}
