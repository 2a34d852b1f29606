// The kernel against an independent model of its scheduling rules, on
// random programs, with its tables checked after every call.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "differential/kernel_driver.h"
#include "differential/reference_model.h"

namespace {

using namespace harness;

bool Agrees(const Program &program) {
    const KernelRun run = RunKernel(program);
    return run.violations.empty() && run.trace == RunModel(program);
}

// Drops steps (an acquisition together with its release, an activation
// with its whole body's effect) while the program stays valid and still
// fails, until no single removal keeps it failing.
Program Shrink(Program program) {
    for (bool smaller = true; smaller;) {
        smaller = false;
        for (size_t b = 0; b < program.bodies.size(); ++b) {
            for (size_t i = 0; i < program.bodies[b].size(); ++i) {
                Program candidate = program;
                std::vector<Step> &steps = candidate.bodies[b];
                const Step removed = steps[i];
                steps.erase(steps.begin() + static_cast<std::ptrdiff_t>(i));
                if (removed.op == Op::Acquire) {
                    for (size_t j = i; j < steps.size(); ++j) {
                        if (steps[j].op == Op::Release && steps[j].a == removed.a &&
                            steps[j].b == removed.b) {
                            steps.erase(steps.begin() + static_cast<std::ptrdiff_t>(j));
                            break;
                        }
                    }
                }
                if (removed.op == Op::Activate) candidate.bodies[size_t(removed.a)] = {{Op::Terminate, 0, 0}};
                if (IsValid(candidate) && !Agrees(candidate)) {
                    program = candidate;
                    smaller = true;
                }
            }
        }
    }
    // Bodies at the end that nothing activates any more are left out.
    const auto activated = [&program](size_t body) {
        for (const std::vector<Step> &steps : program.bodies)
            for (const Step &s : steps)
                if (s.op == Op::Activate && size_t(s.a) == body) return true;
        return false;
    };
    while (program.bodies.size() > 1 && !activated(program.bodies.size() - 1)) program.bodies.pop_back();
    return program;
}

void ExpectAgreement(const Program &program, const std::string &origin) {
    const KernelRun run = RunKernel(program);
    const Trace expected = RunModel(program);
    if (run.violations.empty() && run.trace == expected) return;
    const Program shortest = Shrink(program);
    const KernelRun shortest_run = RunKernel(shortest);
    std::string violations;
    for (const std::string &v : shortest_run.violations) violations += v + "\n";
    ADD_FAILURE() << origin << "\nshortest failing program: " << Format(shortest) << "\n"
                  << violations << "--- model\n"
                  << Format(RunModel(shortest)) << "--- kernel\n"
                  << Format(shortest_run.trace);
}

// A kernel that stops the program (a diagnostic stop, or a runaway caught
// by the driver) still says which seed it was running.
uint64_t running_seed;

void SayWhichSeed(int signal_number) {
    std::fprintf(stderr, "stopped while running seed %llu (replay: ONESTACK_SEEDS=%llu:1)\n",
                 static_cast<unsigned long long>(running_seed),
                 static_cast<unsigned long long>(running_seed));
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Reads "first:count" or "first" (count 100,000): decimal, count at least 1.
bool ParseSeeds(const char *text, uint64_t &first, uint64_t &count) {
    const auto number = [](const char *&p, uint64_t &value) {
        if (*p < '0' || *p > '9') return false;
        errno = 0;
        char *end = nullptr;
        value = std::strtoull(p, &end, 10);
        p = end;
        return errno == 0;
    };
    const char *p = text;
    if (!number(p, first)) return false;
    if (*p == ':') {
        ++p;
        if (!number(p, count) || count == 0) return false;
    }
    return *p == '\0' && first + count >= first;
}

bool Holds(const Program &program, Op op) {
    for (const std::vector<Step> &steps : program.bodies)
        for (const Step &s : steps)
            if (s.op == op) return true;
    return false;
}

// ONESTACK_SEEDS=first:count picks other seeds, for a longer search.
TEST(Differential, KernelAgreesWithTheModelOnRandomPrograms) {
    // By default enough seeds that 100,000 programs hold interrupt steps,
    // 30,000 start timers, 30,000 pass data (words, queries, activations
    // that may fail, channels) and 20,000 take interrupt ceilings.
    uint64_t first = 0, count = 125000;
    const char *seeds = std::getenv("ONESTACK_SEEDS");
    if (seeds != nullptr) {
        ASSERT_TRUE(ParseSeeds(seeds, first, count))
            << "ONESTACK_SEEDS=" << seeds << ": expected first:count or first, in decimal, count at least 1";
    }
    std::printf("seeds %llu to %llu\n", static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(first + count - 1));
    std::signal(SIGABRT, SayWhichSeed);
    int failures = 0;
    uint64_t with_interrupts = 0;
    uint64_t with_timers = 0;
    uint64_t with_data = 0;
    uint64_t with_ceilings = 0;
    for (uint64_t seed = first; seed < first + count && failures < 3; ++seed) {
        running_seed = seed;
        const Program program = Generate(SeededChoices(seed));
        ASSERT_TRUE(IsValid(program)) << Format(program);
        with_interrupts += Holds(program, Op::Interrupt) ? 1 : 0;
        with_timers += Holds(program, Op::StartTimer) ? 1 : 0;
        with_data += program.channels.empty() ? 0 : 1;
        with_ceilings += Holds(program, Op::HoldInterrupts) ? 1 : 0;
        if (!Agrees(program)) {
            ++failures;
            ExpectAgreement(program, "seed " + std::to_string(seed));
        }
    }
    std::signal(SIGABRT, SIG_DFL);
    std::printf("%llu programs with interrupt steps, %llu with timers, %llu passing data, %llu with interrupt"
                " ceilings\n",
                static_cast<unsigned long long>(with_interrupts),
                static_cast<unsigned long long>(with_timers), static_cast<unsigned long long>(with_data),
                static_cast<unsigned long long>(with_ceilings));
    if (seeds == nullptr) {
        EXPECT_GE(with_interrupts, 100000u) << "the generator has stopped making interrupt steps";
        EXPECT_GE(with_timers, 30000u) << "the generator has stopped making timer steps";
        EXPECT_GE(with_data, 30000u) << "the generator has stopped making programs that pass data";
        EXPECT_GE(with_ceilings, 20000u) << "the generator has stopped making interrupt ceilings";
    }
}

// The harness itself: the text form round-trips, and a program that the
// kernel runs differently from the model is reported.
TEST(Differential, TextFormRoundTripsAndReplays) {
    for (uint64_t seed = 0; seed < 200; ++seed) {
        const Program program = Generate(SeededChoices(seed));
        EXPECT_EQ(Format(Parse(Format(program))), Format(program));
    }
    const Program nested = Parse("P1: +5/0 a1@3 a2@6 m0 -5/0 m1 t | m2 t | m3 t");
    ASSERT_TRUE(IsValid(nested));
    EXPECT_EQ(Format(RunModel(nested)), "enter 0 0\nprio 0 5\nenter 2 2\nmark 2 3\nterm 2\nmark 0 0\n"
                                        "enter 1 1\nmark 1 2\nterm 1\nprio 0 1\nmark 0 1\nterm 0\n");
    ExpectAgreement(nested, "hand-written");
    EXPECT_FALSE(IsValid(Parse("P1: a1@2 t | a0@2 t")));
    EXPECT_FALSE(IsValid(Parse("P1: a1@2 a1@2 t | t")));
    EXPECT_FALSE(IsValid(Parse("P1: m0")));
    // A misuse ends the run: nothing may follow it.
    EXPECT_FALSE(IsValid(Parse("P1: t t m0")));
    EXPECT_FALSE(IsValid(Parse("P1: -5/0 t")));
    // Timers: A (1) starts timer 0 at 2 every 3 ticks and timer 1 at 3 once;
    // the advance to 4 activates both tasks, records 1 and 2, before either
    // runs, timer 0's first, and the stop finds timer 0 still running.
    const Program timed = Parse("P1: s0@2/2/3 s1@2/3/0 v4 k0 t");
    ASSERT_TRUE(IsValid(timed));
    EXPECT_EQ(Format(RunModel(timed)), "enter 0 0\nenter 100 1\nterm 100\nenter 101 2\nterm 101\n"
                                       "timer-stopped 0 1\ntimer-missed 0 0\nterm 0\n");
    ExpectAgreement(timed, "hand-written timers");
    // Data: A (1) sends 7 to channel 0, whose consumer (2) preempts it and
    // passes each item to channel 1 (capacity 1, consumer at 1) from a
    // handler. The handler's send that A armed lands in the consumer's empty
    // receive, before its check: the same activation receives it, and its
    // item finds channel 1 full. A's own send returns after all that.
    const Program data = Parse("P1: ~0:8 >0:7 q a1@3?5 t | q t | #1@2 }1:9 | #1@1 m0");
    ASSERT_TRUE(IsValid(data));
    EXPECT_EQ(
        Format(RunModel(data)),
        "enter 0 0\nenter 200 1\nreceived 200 7\nsent 200 1\nsent 0 1\nreceived 200 8\nsent 200 0\n"
        "empty 200\nterm 200\nsent 0 1\nword 0 0\nbase 0 1\ncurrent 0 1\nrefused 0 0\nenter 1 1\nword 1 5\n"
        "base 1 3\ncurrent 1 3\nrefused 1 0\nterm 1\ntried 0 1\nterm 0\nenter 201 2\nreceived 201 9\n"
        "mark 201 0\nempty 201\nterm 201\n");
    ExpectAgreement(data, "hand-written data");
    EXPECT_FALSE(IsValid(Parse("P1: >1:0 t | #1@1"))); // no such channel
    EXPECT_FALSE(IsValid(Parse("P1: t | #1@1 >0:1"))); // a consumer that sends to itself
    EXPECT_FALSE(IsValid(Parse("P1: k0 t")));          // a stop before the start
    EXPECT_FALSE(IsValid(Parse("P1: t v1")));          // a task's advance after its Terminate
    EXPECT_TRUE(IsValid(Parse("P1: s0@2/1/0 t j1")));  // a tick interrupt after it
}

// Each misuse the kernel detects, in the model and in the kernel: the run
// stops at the misuse step, after what came before it.
TEST(Differential, MisuseStopsTheRunInBothAtTheSameStep) {
    const struct {
        const char *program;
        const char *trace_end;
    } cases[] = {
        {"P1: a1@3 m0 t | t t", "term 1\nstop 1 TerminateTask: called after the task's TerminateTask\n"},
        {"P1: a1@3 t | t m0 a1@4", "mark 1 0\nstop 1 ActivateTask: called after the task's TerminateTask\n"},
        {"P1: a1@1 t m0 +3/0 | t",
         "mark 0 0\nstop 0 AcquireResource: called after the task's TerminateTask\n"},
        {"P1: t -3/0", "term 0\nstop 0 ReleaseResource: called after the task's TerminateTask\n"},
        {"P1: +3/0 a1@5 t | m0 t", "term 1\nstop 0 TerminateTask: the task still holds a resource\n"},
        {"P1: +3/0 -3/1", "prio 0 3\nstop 0 ReleaseResource: the running task holds no such resource\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.program);
        const Program program = Parse(c.program);
        ASSERT_TRUE(IsValid(program));
        const std::string model = Format(RunModel(program));
        EXPECT_EQ(model.substr(model.size() - std::min(model.size(), std::strlen(c.trace_end))), c.trace_end);
        ExpectAgreement(program, "misuse");
    }
}

} // namespace
