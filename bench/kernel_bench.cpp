// The cost of each kernel operation, beside a baseline loop that calls a
// no-op task entry through a function pointer.
//
//   kernel_bench                      Google Benchmark run: ns per operation
//   kernel_bench --count OP N         run OP N times and exit (for callgrind)
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../demo/tasks.h"
#include "kernel_private.h"

namespace {

void TerminateOnly() { TerminateTask(); }

void ActivateLowerThenTerminate() {
    ActivateTask(TerminateOnly, 2, "lower");
    TerminateTask();
}

void ActivateEqualThenTerminate() {
    ActivateTask(TerminateOnly, 3, "equal");
    TerminateTask();
}

void NoOp() {}
TaskEntry volatile no_op = NoOp;

// The operations, each run once per iteration by a task of priority 1.
void Baseline() { no_op(); }
void PreemptionRoundTrip() { ActivateTask(TerminateOnly, 2, "higher"); }
// Inside a preemption: the preempting task activates a lower (or equal)
// task, which runs when the preempting one has terminated.
void ActivateLowerAndRun() { ActivateTask(ActivateLowerThenTerminate, 3, "preempting"); }
void ActivateEqualAndRun() { ActivateTask(ActivateEqualThenTerminate, 3, "preempting"); }
void AcquireRelease() {
    AcquireResource(5, 0);
    ReleaseResource(5, 0);
}
// The worst case of a release: with seven holds of eight pairs in place,
// each iteration acquires the eighth and releases the oldest of the eight,
// which the next iteration acquires again.
uint32_t rotation;
void HoldSevenOfEight() {
    rotation = 0;
    for (int32_t pair = 1; pair < 8; ++pair) AcquireResource(2 + pair, 0);
}
void AcquireAndReleaseOldestOfEight() {
    const auto pair = static_cast<int32_t>(rotation % 8);
    AcquireResource(2 + pair, 0);
    ReleaseResource(2 + (pair + 1) % 8, 0);
    ++rotation;
}
// The pair not held is the one the next iteration would acquire.
void ReleaseTheSeven() {
    for (uint32_t pair = 0; pair < 8; ++pair)
        if (pair != rotation % 8) ReleaseResource(2 + static_cast<int32_t>(pair), 0);
}
void AcquireReleaseWithDispatch() {
    AcquireResource(5, 0);
    ActivateTask(TerminateOnly, 3, "waiting");
    ReleaseResource(5, 0);
}

// The ready-list walk: the running task and `ready - 1` others of equal
// priority are ready; a lower task is activated (inserted last) and then
// unlinked again by hand, so the list is the same on every iteration.
TaskId last_ready;
void ActivateLast() {
    ActivateTask(TerminateOnly, 0, "last");
    const TaskId added = onestack::task_table[last_ready].next;
    onestack::task_table[last_ready].next = NO_TASK;
    onestack::task_table[added].next = onestack::free_task_head;
    onestack::free_task_head = added;
}

// Timers: a tick with eight timers running and none due; and, from a
// simulated tick interrupt, a 1-tick periodic timer's activation of a
// higher task, which runs at the interrupt's exit, to set beside the same
// activation made by the handler itself.
void StartEightFarTimers() {
    for (int i = 0; i < MAX_TIMERS; ++i) StartTimer(TerminateOnly, 2, "far", MAX_TIMER_TICKS, 0);
}
void StartEveryTickTimer() { StartTimer(TerminateOnly, 2, "every tick", 1, 1); }
void StopAllTimers() { onestack::ResetTimers(); }
void AdvanceOneTick() { AdvanceTime(1); }
void InterruptThatAdvances() {
    SimulateInterrupt([] { AdvanceTime(1); });
}
void InterruptThatActivates() {
    SimulateInterrupt([] { ActivateTask(TerminateOnly, 2, "by handler"); });
}

// Channels: a send to a channel that holds an item, whose consumer (below
// the loop's task) waits, the item taken back by hand so that each
// iteration finds the channel as the first did (the take-back costs 3
// instructions of the figure); and a simulated interrupt whose handler
// sends to an empty channel, whose consumer runs at the interrupt's exit,
// receives the item, finds the channel empty and terminates.
void Consume() {
    uintptr_t item;
    while (ReceiveChannel(static_cast<Channel *>(reinterpret_cast<void *>(TaskWord())), &item) != 0) {
    }
    TerminateTask();
}
ONESTACK_CHANNEL(waiting_consumer, 4, Consume, 0, "consumer");
ONESTACK_CHANNEL(running_consumer, 4, Consume, 2, "consumer");
void SendFirstItem() { SendChannel(&waiting_consumer, 1); }
void SendAndTakeBack() {
    SendChannel(&waiting_consumer, 2);
    --waiting_consumer.end;
}
void InterruptThatSends() {
    SimulateInterrupt([] { SendChannel(&running_consumer, 3); });
}

struct Operation {
    const char *name;
    void (*once)();
    int ready;                   // tasks ready while it runs, the running one included
    void (*prepare)() = nullptr; // run once before the loop, by the same task
    void (*finish)() = nullptr;  // and once after it
};

const Operation operations[] = {
    {"baseline", Baseline, 1},
    {"preemption_round_trip", PreemptionRoundTrip, 1},
    {"activate_lower_and_run", ActivateLowerAndRun, 1},
    {"activate_equal_and_run", ActivateEqualAndRun, 1},
    {"acquire_release", AcquireRelease, 1},
    {"acquire_release_dispatch", AcquireReleaseWithDispatch, 1},
    {"release_oldest_of_8", AcquireAndReleaseOldestOfEight, 1, HoldSevenOfEight, ReleaseTheSeven},
    {"activate_behind_1", ActivateLast, 1},
    {"activate_behind_8", ActivateLast, 8},
    {"activate_behind_15", ActivateLast, 15},
    {"tick_with_8_timers_none_due", AdvanceOneTick, 1, StartEightFarTimers, StopAllTimers},
    {"interrupt_activation_that_runs", InterruptThatActivates, 1},
    {"interrupt_tick_expiry_that_runs", InterruptThatAdvances, 1, StartEveryTickTimer, StopAllTimers},
    {"channel_send_not_empty", SendAndTakeBack, 1, SendFirstItem},
    {"interrupt_send_to_empty_channel_that_runs", InterruptThatSends, 1},
};

const Operation *current;
benchmark::State *bench_state;
unsigned long count;

void PrepareReadyTasks(int ready) {
    last_ready = onestack::ready_head;
    for (int i = 1; i < ready; ++i) ActivateTask(TerminateOnly, 1, "ready");
    if (ready > 1) last_ready = static_cast<TaskId>(ready - 1);
}

void TimedLoop() {
    PrepareReadyTasks(current->ready);
    if (current->prepare != nullptr) current->prepare();
    void (*const once)() = current->once;
    for (auto _ : *bench_state) once();
    if (current->finish != nullptr) current->finish();
    TerminateTask();
}

void CountedLoop() {
    PrepareReadyTasks(current->ready);
    if (current->prepare != nullptr) current->prepare();
    void (*const once)() = current->once;
    for (unsigned long i = 0; i < count; ++i) once();
    if (current->finish != nullptr) current->finish();
    TerminateTask();
}

// StartOS without its closing message.
void RunInTask(TaskEntry loop) { onestack::RunTasks(loop, 1, "loop"); }

void BM_Operation(benchmark::State &state, const Operation *op) {
    current = op;
    bench_state = &state;
    RunInTask(TimedLoop);
}

// Adds each run's time as a multiple of the baseline's, which runs first.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        std::vector<Run> with_ratio = runs;
        for (Run &run : with_ratio) {
            if (run.run_name.function_name == "baseline") baseline_ns_ = run.GetAdjustedCPUTime();
            if (baseline_ns_ > 0) run.counters["x_baseline"] = run.GetAdjustedCPUTime() / baseline_ns_;
        }
        ConsoleReporter::ReportRuns(with_ratio);
    }

private:
    double baseline_ns_ = 0;
};

// A whole run of the demonstration's three nested tasks, output discarded.
void BM_DemoRun(benchmark::State &state) {
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    for (auto _ : state) StartOS(Task1, 1, "Task1");
    std::fflush(stdout);
    dup2(saved, 1);
    close(null);
    close(saved);
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "--count") == 0) {
        for (const Operation &op : operations) {
            if (std::strcmp(op.name, argv[2]) != 0) continue;
            current = &op;
            count = std::strtoul(argv[3], nullptr, 10);
            RunInTask(CountedLoop);
            return 0;
        }
        std::fprintf(stderr, "unknown operation %s\n", argv[2]);
        return 2;
    }
    for (const Operation &op : operations) benchmark::RegisterBenchmark(op.name, BM_Operation, &op);
    benchmark::RegisterBenchmark("demo_start_os_run", BM_DemoRun);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
