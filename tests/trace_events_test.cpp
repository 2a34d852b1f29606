// The recorder in the traced kernel: each scenario's whole event sequence,
// every kind of event among them, as the dump gives it back; and a ring
// that wraps keeps the story of the tasks whose events it lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <string>
#include <vector>

#include "onestack.h"
#include "schedule.h"
#include "trace_file.h"

namespace {

int Collect(void *context, const void *bytes, uint32_t count) {
    auto &out = *static_cast<std::vector<uint8_t> *>(context);
    out.insert(out.end(), static_cast<const uint8_t *>(bytes), static_cast<const uint8_t *>(bytes) + count);
    return 0;
}

trace::Trace Dumped() {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(DumpTrace(Collect, &bytes), 0);
    trace::Trace t;
    std::string error;
    EXPECT_TRUE(trace::Parse(bytes, t, error)) << error;
    return t;
}

// "kind task a b" per event, the activations with their names.
std::string Events(const trace::Trace &t) {
    static const char *const kinds[] = {"",       "act", "act-by-handler", "enter",   "return", "preempt",
                                        "resume", "end", "acquire",        "release", "exit",   "exit-end",
                                        "timer"};
    std::string text;
    for (const trace::Event &e : t.events) {
        if (!text.empty()) text += ", ";
        text += std::string(kinds[e.kind]) + " " + std::to_string(e.task);
        if (e.a != 0 || e.b != 0) text += " " + std::to_string(e.a);
        if (e.b != 0) text += " " + std::to_string(e.b);
        if (!e.name.empty()) text += " " + e.name;
    }
    return text;
}

void Leaf() { TerminateTask(); }

std::jmp_buf escape;

struct Scenario {
    const char *name;
    TaskEntry first;
    std::string events;
};

// "<kind> 1 Filler, ... <kind> 14 Filler", or for entries "enter 1, end 1, return 1, ...".
std::string Fillers(const char *kind) {
    std::string text;
    for (int i = 1; i <= MAX_TASKS - 2; ++i) {
        const std::string n = std::to_string(i);
        text += (i > 1 ? ", " : "") + (std::string(kind) == "act"
                                           ? "act " + n + " Filler"
                                           : "enter " + n + ", end " + n + ", return " + n);
    }
    return text;
}

const Scenario scenarios[] = {
    {"a higher task preempts, a lower and an equal one wait",
     [] {
         ActivateTask(Leaf, 1, "Lower");
         ActivateTask(Leaf, 2, "Equal");
         ActivateTask(Leaf, 3, "Higher");
         TerminateTask();
     },
     "act 0 2 First, enter 0 2, act 1 1 Lower, act 2 2 Equal, act 3 3 Higher, preempt 0, enter 3 3, end 3, "
     "return 3, resume 0, end 0, return 0, enter 2 2, end 2, return 2, enter 1 1, end 1, return 1"},
    {"nested holds released out of order, with a waiting task run at the release",
     [] {
         AcquireResource(3, 1);
         AcquireResource(5, 2);
         ActivateTask(Leaf, 4, "Waits");
         ReleaseResource(3, 1);
         ReleaseResource(5, 2);
         TerminateTask();
     },
     "act 0 2 First, enter 0 2, acquire 0 3 3, acquire 0 5 5, act 1 4 Waits, release 0 5 3, release 0 2 5, "
     "preempt 0, enter 1 4, end 1, return 1, resume 0, end 0, return 0"},
    {"an interrupt's handler activates a task that runs at the exit",
     [] {
         SimulateInterrupt([] { ActivateTask(Leaf, 5, "Urgent"); });
         TerminateTask();
     },
     "act 0 2 First, enter 0 2, act-by-handler 1 5 Urgent, exit 0, enter 1 5, end 1, return 1, exit-end 0, "
     "end 0, "
     "return 0"},
    {"timers expire from a task's advance, one of them missing for want of a record",
     [] {
         StartTimer(Leaf, 3, "Timed", 2, 0);
         StartTimer(Leaf, 1, "Late", 2, 0);
         for (int i = 0; i < MAX_TASKS - 2; ++i) ActivateTask(Leaf, 0, "Filler");
         AdvanceTime(2);
         TerminateTask();
     },
     "act 0 2 First, enter 0 2, " + Fillers("act") +
         ", timer 15, act-by-handler 15 3 Timed, timer -1 1 1, preempt 0, enter 15 3, end 15, return 15, "
         "resume 0, "
         "end 0, return 0, " +
         Fillers("enter")},
    {"a misuse stops the run: TerminateTask with a hold open",
     [] {
         SetStopHandler([](const char *, const char *) { std::longjmp(escape, 1); });
         AcquireResource(4, 0);
         TerminateTask();
     },
     "act 0 2 First, enter 0 2, acquire 0 4 4"},
};

TEST(TraceEvents, EachScenarioRecordsItsWholeSequence) {
    for (const Scenario &s : scenarios) {
        SCOPED_TRACE(s.name);
        testing::internal::CaptureStdout();
        if (setjmp(escape) == 0) StartOS(s.first, 2, "First");
        testing::internal::GetCapturedStdout();
        SetStopHandler(nullptr);
        EXPECT_EQ(Events(Dumped()), s.events);
    }
}

// Main (1) activates Worker (2) until the ring has wrapped many times over:
// Main's activation and entry are long gone, yet its row is there, begun,
// preempted by each Worker and running between them.
int workers;
void Worker() { TerminateTask(); }
void Main() {
    for (workers = 0; workers < 400; ++workers) ActivateTask(Worker, 2, "Worker");
    TerminateTask();
}

TEST(TraceEvents, AWrappedRingKeepsTheTasksItsLostEventsBegan) {
    testing::internal::CaptureStdout();
    StartOS(Main, 1, "Main");
    testing::internal::GetCapturedStdout();
    const trace::Trace t = Dumped();
    EXPECT_GT(t.dropped, 0u);
    // Main, and the Worker whose activation the oldest kept event follows.
    ASSERT_GE(t.live.size(), 1u);
    ASSERT_LE(t.live.size(), 2u);
    EXPECT_EQ(t.live[0].name, "Main");
    EXPECT_EQ(t.live[0].place, 0);
    EXPECT_EQ(t.live[0].priority, 1);
    if (t.live.size() == 2) {
        EXPECT_EQ(t.live[1].name, "Worker");
    }
    const trace::Schedule s = trace::BuildSchedule(t, true);
    ASSERT_EQ(s.rows.size(), 2u);
    const trace::Row &main_row = s.rows[1];
    EXPECT_EQ(main_row.name, "Main");
    ASSERT_FALSE(main_row.running.empty());
    ASSERT_FALSE(main_row.preempted.empty());
    EXPECT_EQ(std::min(main_row.running.front().start, main_row.preempted.front().start), 0);
    EXPECT_GT(main_row.running.size(), 100u);
    EXPECT_EQ(s.slices.front().row, 1u); // Main's entry, open from the first kept instant
    EXPECT_EQ(s.slices.front().start, 0);
}

} // namespace

namespace {

// An application's clock, counting milliseconds: the dump says how fast it
// counts, and the reader gives nanoseconds.
uint64_t milliseconds;
uint64_t CountMilliseconds() { return ++milliseconds; }

TEST(TraceEvents, AnApplicationsClockStampsTheEvents) {
    SetTraceClock(CountMilliseconds, 1000);
    milliseconds = 0;
    testing::internal::CaptureStdout();
    StartOS(Leaf, 1, "Leaf");
    testing::internal::GetCapturedStdout();
    SetTraceClock(nullptr, 0);
    const trace::Trace t = Dumped();
    EXPECT_TRUE(t.nanoseconds);
    ASSERT_EQ(t.events.size(), 4u); // activated, entered, terminated, returned
    for (size_t n = 0; n < t.events.size(); ++n) EXPECT_EQ(t.events[n].time, (n + 1) * 1000000u);
}

} // namespace
