// A test-only representation of an application: task bodies as short lists
// of steps, a generator of random valid programs, and the trace a run leaves.
#ifndef ONESTACK_TESTS_TASK_PROGRAM_H
#define ONESTACK_TESTS_TASK_PROGRAM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace harness {

enum class Op : uint8_t {
    Mark,
    Activate,
    Acquire,
    Release,
    Terminate,
    Return,
    Interrupt,
    InSameHandler,
    StartTimer,
    StopTimer,
    Advance,
    AdvanceInInterrupt,
    Query,
    Send,
    SendInInterrupt,
    SendInWindow,
    HoldInterrupts,
    ReleaseInterrupts
};

// Activate: a = body, b = priority. Acquire, Release: a = ceiling, b = key.
// Mark: a = the mark's number. Interrupt: an interrupt arrives whose handler
// activates body a at priority b, and each InSameHandler step that follows
// it activates one more; the interrupt exit follows the last of them.
// StartTimer: timer a, whose task (a leaf that only terminates, traced as
// body TIMER_BODY + a) has priority b, after c ticks and then every d, or
// once for d = 0. StopTimer: timer a, started before by the same body.
// Advance: the task advances time by a ticks; AdvanceInInterrupt: a
// handler does.
// Activate, Interrupt, InSameHandler: c = the activation's word, d = 1 for
// an activation that may fail (TryActivateTask). StartTimer: e = its word.
// Query: the task asks its word, base and current priority, and the
// refused activations. Send: the task sends item b to channel a;
// SendInInterrupt: a handler does; SendInWindow: a handler does, at the
// next receive that finds a channel empty, between its look and its check.
// HoldInterrupts: the task takes an interrupt ceiling at level a (1 to 7);
// ReleaseInterrupts: it releases its newest; in between it takes only
// marks, interrupts and nested holds. Interrupt: e = its handler's level,
// 0 to 7; one held off runs at the release that lets it in.
struct Step {
    Op op;
    int32_t a;
    int32_t b;
    int32_t c = 0;
    int32_t d = 0;
    int32_t e = 0;
};

// The trace's body number of timer k's task.
constexpr int32_t TIMER_BODY = 100;
constexpr int32_t MAX_PROGRAM_TIMERS = 8;

// Channel k's consumer, traced as body CHANNEL_BODY + k, receives until
// the channel is empty and terminates; after each item it takes the
// channel's steps (marks, queries, sends to channels after k).
constexpr int32_t CHANNEL_BODY = 200;
constexpr int32_t MAX_PROGRAM_CHANNELS = 3;
constexpr int32_t MAX_CHANNEL_CAPACITY = 4;
struct ProgramChannel {
    int32_t capacity;
    int32_t priority;
    std::vector<Step> per_item;
};

// Body 0 is started with first_priority; every other body is activated by
// at most one step of a lower-numbered body, so each runs as one task at most.
// An interrupt may arrive at any step of a body, after its Terminate too.
// A body may end in one misuse that the kernel stops on: a kernel call after
// its Terminate, a Terminate with holds open, or a Release of a pair it
// does not hold.
struct Program {
    int32_t first_priority = 0;
    std::vector<std::vector<Step>> bodies;
    std::vector<ProgramChannel> channels;
};

struct Event {
    enum Kind : uint8_t {
        Enter,
        Mark,
        Priority,
        Terminate,
        Stop,
        TimerStopped,
        TimerMissed,
        Word,     // a timer's task entered with a word, or a query: the word (-1 for a consumer's channel)
        Base,     // a query: the base priority
        Current,  // a query: the current priority
        Refused,  // a query: the refused activations
        Tried,    // a TryActivateTask returned: 1 or 0
        Sent,     // a send returned: 1 or 0
        Received, // a consumer received: the item
        Empty     // a consumer found its channel empty
    } kind;
    int32_t body;
    // The task record entered, the mark's number, the new priority, the
    // stop's index (StopIndex), whether a stopped timer was running, or the
    // activations it had missed.
    int32_t value;
    bool operator==(const Event &o) const { return kind == o.kind && body == o.body && value == o.value; }
};
using Trace = std::vector<Event>;

// NoFreeRecord is no misuse of the program's own but an overload: an
// activation, by a task or a handler, while timers' tasks hold records.
enum class Misuse : uint8_t { AfterTerminate, HoldsAtTerminate, UnheldRelease, NoFreeRecord };

// The kernel's stop for a step of `op` that commits `misuse`, as an index,
// and its texts; FindStop maps the texts back, -1 for an unknown stop.
int32_t StopIndex(Op op, Misuse misuse);
std::string StopText(int32_t index);
int32_t FindStop(const char *operation, const char *rule);

// Returns a choice in [0, n). A seeded PRNG or a fuzzer's input bytes.
using Choose = std::function<uint32_t(uint32_t n)>;

Choose SeededChoices(uint64_t seed);

// At most 16 bodies and 8 acquisitions in all, so no run exceeds the
// kernel's capacities; every hold is released before its task terminates,
// but in one program of four, where one body ends in a misuse.
Program Generate(const Choose &choose);

// True when every body ends with Terminate (and marks and interrupts after
// it), every hold
// released by its own body before, or ends at its first misuse; and each
// body but 0 is activated at most once, by a lower-numbered body, before
// any misuse.
bool IsValid(const Program &program);

// Text form "P<first priority>: steps | steps ...": m<n> mark, a<body>@<p>
// activate, +<c>/<k> acquire, -<c>/<k> release, t terminate, r return,
// i<body>@<p> an interrupt that activates, &<body>@<p> another activation by
// the same handler, s<timer>@<p>/<delay>/<period> start a timer,
// k<timer> stop it, v<ticks> advance time, j<ticks> an interrupt that does;
// an activation's word as =<w> after it, or ?<w> for one that may fail, and
// a timer's as =<w>; q query, ><k>:<item> send, }<k>:<item> a handler's
// send, ~<k>:<item> a handler's send in the next empty receive's window;
// H<level> an interrupt ceiling, U its release, an interrupt's level as
// ^<level> after it;
// each channel after the bodies as "| #<capacity>@<priority> steps".
std::string Format(const Program &program);
Program Parse(const std::string &text);
std::string Format(const Trace &trace);

} // namespace harness

#endif
