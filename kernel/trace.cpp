// The trace recorder, built with ONESTACK_TRACE: the newest events in a
// ring in static storage, what the older ones left behind, and their
// export to a file or any other sink.
#include <stdio.h>

#include "kernel_private.h"

#ifndef ONESTACK_TRACE_EVENTS
#define ONESTACK_TRACE_EVENTS 1024
#endif

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

constexpr uint32_t TRACE_CAPACITY = ONESTACK_TRACE_EVENTS;
static_assert(TRACE_CAPACITY >= 1 && TRACE_CAPACITY <= (1u << 20), "ONESTACK_TRACE_EVENTS: 1 to 2^20 events");
TraceEvent trace_ring[TRACE_CAPACITY];
uint32_t trace_count; // events recorded since StartOS; the ring holds the newest

// What the kernel knew at the oldest event the ring keeps: the events
// pushed out of it, folded. Per task record: live or not, its name and
// priorities, its holds; and the entries that had begun, in the order
// they lie on the one stack.
struct SnapshotTask {
    const char *name;
    int32_t priority; // as activated
    int32_t current;  // raised by ceilings
    uint8_t live, terminated, holds;
};
struct Snapshot {
    SnapshotTask task[MAX_TASKS];
    int8_t stack[MAX_TASKS]; // records whose entries had begun, outermost first
    uint8_t depth;
};
Snapshot snapshot;

// The application's clock, if it gave one, else the port's: as set, and as
// in force for the run since the last StartOS, whose events it stamps.
TraceClock trace_clock, run_clock;
uint32_t trace_clock_hz = port::TRACE_CLOCK_HZ, run_clock_hz = port::TRACE_CLOCK_HZ;

bool IsRecord(int8_t task) { return task >= 0 && task < MAX_TASKS; }

void Fold(const TraceEvent &e) {
    if (!IsRecord(e.task)) return;
    SnapshotTask &t = snapshot.task[e.task];
    switch (e.kind) {
    case TRACE_ACTIVATED:
    case TRACE_ACTIVATED_BY_HANDLER:
        t = {e.name, e.a, e.a, 1, 0, 0};
        break;
    case TRACE_ENTERED:
        t.current = e.a;
        if (snapshot.depth < MAX_TASKS) snapshot.stack[snapshot.depth++] = e.task;
        break;
    case TRACE_RETURNED:
        if (snapshot.depth > 0 && snapshot.stack[snapshot.depth - 1] == e.task) --snapshot.depth;
        // An entry that returns without TerminateTask is entered again later.
        if (t.terminated != 0) t.live = 0;
        break;
    case TRACE_TERMINATED:
        t.terminated = 1;
        break;
    case TRACE_ACQUIRED:
    case TRACE_RELEASED:
        t.current = e.a;
        t.holds = static_cast<uint8_t>(t.holds + (e.kind == TRACE_ACQUIRED ? 1 : -1));
        break;
    default: // preemptions, resumptions and exit dispatches leave the stack as it is
        break;
    }
}

// Writes through the sink in little-endian order, remembering a failure.
struct Writer {
    TraceSink sink;
    void *context;
    bool failed;
    void Bytes(const void *bytes, uint32_t count) {
        if (!failed && count > 0 && sink(context, bytes, count) != 0) failed = true;
    }
    void Put(uint64_t value, int count) {
        uint8_t bytes[8];
        for (int i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
        Bytes(bytes, static_cast<uint32_t>(count));
    }
    // A name as its length (one byte, so at most 255 bytes) and its bytes.
    void Name(const char *name) {
        uint32_t length = 0;
        while (name != nullptr && length < 255 && name[length] != '\0') ++length;
        Put(length, 1);
        Bytes(name, length);
    }
};

int FileSink(void *context, const void *bytes, uint32_t count) {
    return fwrite(bytes, 1, count, static_cast<FILE *>(context)) == count ? 0 : -1;
}

} // namespace

// Masked: handlers record too. Once the ring is full, the event that the
// new one replaces is folded into the snapshot first.
void RecordEvent(TraceEventKind kind, TaskId task, int32_t a, int32_t b, const char *name) {
    const port::InterruptMask mask = port::MaskInterrupts();
    TraceEvent &slot = trace_ring[trace_count % TRACE_CAPACITY];
    if (trace_count >= TRACE_CAPACITY) Fold(slot);
    const uint64_t now = run_clock != nullptr ? run_clock() : port::TraceClock();
    slot = {now, trace_count, static_cast<uint8_t>(kind), static_cast<int8_t>(task), a, b, name};
    ++trace_count;
    port::RestoreInterrupts(mask);
}

void ResetTrace() {
    trace_count = 0;
    snapshot = Snapshot{};
    run_clock = trace_clock;
    run_clock_hz = trace_clock_hz;
}

} // namespace onestack

// The format, little-endian: "OSTRACE2", the clock's ticks per second (0:
// the time is no clock's, the sequence orders the events), the events that follow and the older ones dropped
// (u32 each); the snapshot of the tasks live at the oldest kept event: their count (u8), then per task its
// record (u8), priority as activated and current priority (i32), its entry's place on the stack from the
// bottom (u8, 255 if the entry had not begun), whether it had terminated and its holds (u8 each), and its
// name; then per event its time (u64), sequence (u32), kind (u8), task (i8), a and b (i32), and its name. A
// name is its length (u8, 0 for none) and its bytes.
extern "C" int32_t DumpTrace(TraceSink sink, void *context) {
    using namespace onestack;
    Writer out{sink, context, false};
    const uint32_t kept = trace_count < TRACE_CAPACITY ? trace_count : TRACE_CAPACITY;
    out.Bytes("OSTRACE2", 8);
    out.Put(run_clock_hz, 4);
    out.Put(kept, 4);
    out.Put(trace_count - kept, 4);
    uint8_t place[MAX_TASKS];
    uint8_t live = 0;
    for (int i = 0; i < MAX_TASKS; ++i) {
        place[i] = 255;
        live = static_cast<uint8_t>(live + snapshot.task[i].live);
    }
    for (uint8_t d = 0; d < snapshot.depth; ++d) place[snapshot.stack[d]] = d;
    out.Put(live, 1);
    for (int i = 0; i < MAX_TASKS; ++i) {
        const SnapshotTask &t = snapshot.task[i];
        if (t.live == 0) continue;
        out.Put(static_cast<uint64_t>(i), 1);
        out.Put(static_cast<uint32_t>(t.priority), 4);
        out.Put(static_cast<uint32_t>(t.current), 4);
        out.Put(place[i], 1);
        out.Put(t.terminated, 1);
        out.Put(t.holds, 1);
        out.Name(t.name);
    }
    for (uint32_t n = trace_count - kept; n < trace_count; ++n) {
        const TraceEvent &e = trace_ring[n % TRACE_CAPACITY];
        out.Put(e.time, 8);
        out.Put(e.sequence, 4);
        out.Put(e.kind, 1);
        out.Put(static_cast<uint8_t>(e.task), 1);
        out.Put(static_cast<uint32_t>(e.a), 4);
        out.Put(static_cast<uint32_t>(e.b), 4);
        out.Name(e.name);
    }
    return out.failed ? -1 : 0;
}

extern "C" void TraceHandlerBegin(const char *name) {
    onestack::RecordEvent(TRACE_HANDLER_BEGAN, NO_TASK, 0, 0, name);
}

extern "C" void TraceHandlerEnd(void) { onestack::RecordEvent(TRACE_HANDLER_ENDED, NO_TASK, 0, 0, nullptr); }

extern "C" void SetTraceClock(TraceClock clock, uint32_t ticks_per_second) {
    onestack::trace_clock = clock;
    onestack::trace_clock_hz = clock != nullptr ? ticks_per_second : onestack::port::TRACE_CLOCK_HZ;
}

extern "C" int32_t WriteTrace(const char *path) {
    FILE *file = fopen(path, "wb");
    if (file == nullptr) return -1;
    const int32_t dumped = DumpTrace(onestack::FileSink, file);
    const bool written = dumped == 0 && ferror(file) == 0;
    return fclose(file) == 0 && written ? 0 : -1;
}
