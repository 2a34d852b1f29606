// The response-time analysis against the kernel itself: random task sets
// run on the host with a simulated clock that advances one unit per step
// of a task's body, each release made by a simulated interrupt at its time.
// The analysis is never below a response the kernel gives, and equals the
// worst one where the theory says it is exact: release at once, distinct
// priorities, no blocking, no jitter, every response within its period.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

#include "onestack.h"
#include "response_time.h"

namespace {

using onestack_timing::Analyse;
using onestack_timing::Analysis;
using onestack_timing::ONCE;
using onestack_timing::TimedHandler;
using onestack_timing::TimedTask;

// Textbook sets, worked by hand.
struct Case {
    const char *name;
    std::vector<TimedTask> tasks;
    std::vector<TimedHandler> handlers;
    std::vector<uint64_t> responses; // 0: unbounded
};

TimedTask Task(int32_t priority, uint64_t execution, uint64_t interarrival, uint64_t deadline = 0) {
    TimedTask t;
    t.name = "t" + std::to_string(priority);
    t.priority = priority;
    t.execution = execution;
    t.interarrival = interarrival;
    t.deadline = deadline;
    return t;
}

TimedTask Holding(TimedTask t, const char *resource, uint64_t longest) {
    t.holds.push_back({resource, longest});
    return t;
}

TimedTask Jittered(TimedTask t, uint64_t jitter) {
    t.jitter = jitter;
    return t;
}

const Case CASES[] = {
    // 3 over 1 and 2: the lowest's 3 units take two releases of the top.
    {"preemption", {Task(3, 1, 4), Task(2, 2, 6), Task(1, 3, 12)}, {}, {1, 3, 10}},
    // Equal priorities: the later one waits for the whole of the other,
    // which it never preempts.
    {"equal priorities first come first served", {Task(1, 2, 10), Task(1, 3, 10)}, {}, {5, 5}},
    // The lowest's 4-unit hold at the shared ceiling 3 delays the top.
    {"blocking by a lower task's critical section",
     {Task(3, 1, 10), Task(2, 1, 10), Holding(Task(1, 5, 20), "r", 4), Holding(Task(3, 1, 10), "r", 1)},
     {},
     {1 + 4 + 1, 1 + 4 + 1 + 1, 5 + 2 + 1, 1 + 4 + 1}},
    // A handler above every task: 1 unit every 5.
    {"a handler's interference", {Task(1, 4, 20)}, {{"irq", 1, 5}}, {5}},
    // Jitter: released up to 2 late, the top comes twice within the
    // lower's 7.
    {"release jitter", {Jittered(Task(2, 2, 5), 2), Task(1, 3, 20)}, {}, {4, 7}},
    // A deadline past the period: the low task's first activation ends at
    // 8, past its next at 7, which the busy period holds too (7 from it).
    {"an arbitrary deadline", {Task(2, 2, 5), Task(1, 4, 7, 20)}, {}, {2, 8}},
    {"overload is unbounded", {Task(2, 3, 4), Task(1, 2, 4)}, {}, {3, 0}},
    {"a task that comes once", {Task(2, 1, 3), Task(1, 5, ONCE)}, {}, {1, 8}},
};

class TimingCase : public testing::TestWithParam<Case> {};

TEST_P(TimingCase, Responds) {
    const Case &c = GetParam();
    const Analysis a = Analyse(c.tasks, c.handlers);
    ASSERT_EQ(a.tasks.size(), c.responses.size());
    for (size_t i = 0; i < c.responses.size(); ++i) {
        EXPECT_EQ(a.tasks[i].bounded, c.responses[i] != 0) << "task " << i << ": " << a.tasks[i].reason;
        if (c.responses[i] != 0) {
            EXPECT_EQ(a.tasks[i].time, c.responses[i]) << "task " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TimingCase, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case> &param) {
                             std::string name = param.param.name;
                             for (char &ch : name)
                                 ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

// ---- The kernel as the simulator ----------------------------------------

struct Random {
    uint32_t state;
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
};

// One simulated run: each task's releases, its critical section, and the
// worst response the kernel gave it.
struct Run {
    std::vector<TimedTask> set;
    std::vector<std::vector<std::pair<uint64_t, uint64_t>>> releases; // (release, arrival), in time order
    std::vector<size_t> next;                                         // the next release of each task
    std::vector<uint64_t> section_start, section_length;              // in units of its body
    std::vector<int32_t> ceiling;
    std::vector<uint64_t> worst;
    uint64_t now = 0, horizon = 0;
    bool refused = false;
} run;

void Job();

// A simulated interrupt at each unit: the releases due now, in task order.
void Release() {
    for (size_t i = 0; i < run.set.size(); ++i) {
        while (run.next[i] < run.releases[i].size() && run.releases[i][run.next[i]].first <= run.now) {
            const uintptr_t word = (static_cast<uintptr_t>(run.releases[i][run.next[i]++].second) << 8) | i;
            if (TryActivateTask(Job, run.set[i].priority, "job", word) == 0) run.refused = true;
        }
    }
}

void Step() {
    ++run.now;
    SimulateInterrupt(Release);
}

void Job() {
    const uintptr_t word = TaskWord();
    const size_t i = word & 0xFF;
    const uint64_t arrival = word >> 8;
    for (uint64_t unit = 0; unit < run.set[i].execution; ++unit) {
        const bool holds = run.section_length[i] != 0;
        if (holds && unit == run.section_start[i]) AcquireResource(run.ceiling[i], 1);
        // The last unit ends the job, before what its step releases runs.
        if (unit + 1 == run.set[i].execution) run.worst[i] = std::max(run.worst[i], run.now + 1 - arrival);
        Step();
        if (holds && unit + 1 == run.section_start[i] + run.section_length[i])
            ReleaseResource(run.ceiling[i], 1);
    }
    TerminateTask();
}

void Idle() {
    SimulateInterrupt(Release);
    while (run.now < run.horizon) Step();
    TerminateTask();
}

// A random set: 2 to 5 tasks, periods that divide 120, load below 90%;
// with `exact`, the conditions under which the analysis is exact.
std::vector<TimedTask> RandomSet(Random &random, bool exact) {
    static const uint64_t PERIODS[] = {6, 8, 10, 12, 15, 20, 24, 30, 40, 60};
    for (;;) {
        std::vector<TimedTask> set;
        const size_t n = 2 + random.Below(4);
        double load = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint64_t period = PERIODS[random.Below(10)];
            TimedTask t =
                Task(exact ? static_cast<int32_t>(n - i) : 1 + static_cast<int32_t>(random.Below(4)),
                     1 + random.Below(static_cast<uint32_t>(period / 3)), period);
            t.deadline = exact || random.Below(2) == 0 ? period : period * (1 + random.Below(3));
            if (!exact && random.Below(4) == 0) t.jitter = random.Below(static_cast<uint32_t>(period / 2));
            if (!exact && random.Below(2) == 0) {
                t.holds.push_back({"r", 1 + random.Below(static_cast<uint32_t>(t.execution))});
            }
            load += static_cast<double>(t.execution) / static_cast<double>(period);
            set.push_back(t);
        }
        if (load < 0.9) return set;
    }
}

// Runs `set` on the kernel over four hyperperiods, its releases at once
// (or with `offsets`, each task's first one late by a random amount), each
// with a random jitter within the task's. Returns false if the kernel
// refused an activation: more than its records were live.
bool Simulate(const std::vector<TimedTask> &set, Random &random, bool offsets) {
    run = Run{};
    run.set = set;
    uint64_t hyperperiod = 1;
    for (const TimedTask &t : set) hyperperiod = std::lcm(hyperperiod, t.interarrival);
    run.horizon = 4 * hyperperiod;
    for (size_t i = 0; i < set.size(); ++i) {
        const TimedTask &t = set[i];
        std::vector<std::pair<uint64_t, uint64_t>> releases;
        for (uint64_t arrival = offsets ? random.Below(static_cast<uint32_t>(t.interarrival)) : 0;
             arrival < run.horizon; arrival += t.interarrival) {
            const uint64_t jitter = t.jitter == 0 ? 0 : random.Below(static_cast<uint32_t>(t.jitter + 1));
            releases.emplace_back(arrival + jitter, arrival);
        }
        std::sort(releases.begin(), releases.end());
        run.releases.push_back(releases);
        const uint64_t length = t.holds.empty() ? 0 : t.holds[0].longest;
        run.section_length.push_back(length);
        run.section_start.push_back(
            length == 0 ? 0 : random.Below(static_cast<uint32_t>(t.execution - length + 1)));
        run.ceiling.push_back(t.holds.empty() ? t.priority
                                              : onestack_timing::Ceiling(set, t.holds[0].resource));
    }
    run.next.assign(set.size(), 0);
    run.worst.assign(set.size(), 0);
    testing::internal::CaptureStdout();
    StartOS(Idle, INT32_MIN, "idle");
    testing::internal::GetCapturedStdout();
    return !run.refused;
}

// Never below what the kernel does, with blocking, jitter, equal
// priorities, offsets and deadlines past the period.
TEST(TimingAgainstTheKernel, NeverBelowAResponseItGives) {
    Random random{2026};
    int runs = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const std::vector<TimedTask> set = RandomSet(random, false);
        const Analysis a = Analyse(set, {});
        if (!Simulate(set, random, trial % 2 == 1)) continue;
        ++runs;
        for (size_t i = 0; i < set.size(); ++i) {
            if (a.tasks[i].bounded) {
                ASSERT_LE(run.worst[i], a.tasks[i].time) << "trial " << trial << ", task " << i;
            }
        }
    }
    EXPECT_GT(runs, 1900); // few sets outgrow the kernel's records
}

TEST(TimingAgainstTheKernel, ExactWhereTheTheoryIsExact) {
    Random random{7};
    int exact = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const std::vector<TimedTask> set = RandomSet(random, true);
        const Analysis a = Analyse(set, {});
        bool within = true;
        for (size_t i = 0; i < set.size(); ++i) within = within && a.tasks[i].time <= set[i].interarrival;
        if (!within || !Simulate(set, random, false)) continue;
        ++exact;
        for (size_t i = 0; i < set.size(); ++i) ASSERT_EQ(run.worst[i], a.tasks[i].time) << "trial " << trial;
    }
    EXPECT_GT(exact, 1000);
}

} // namespace
