// The checked kernel against a task set written here: the activations and
// holds it declares run, and each other one stops the program with the
// task's name and what the description lacks.
#include <gtest/gtest.h>

#include <csetjmp>
#include <string>

#include "onestack.h"

namespace {

const int32_t LOG[] = {3};
// A name longer than a stop's line holds, at a negative priority.
const char LONG_NAME[] = "A_task_whose_name_runs_on_and_on_past_the_end_of_the_line_that_a_stop_writes_"
                         "about_it_and_further_still_to_be_sure";

} // namespace

extern "C" const DeclaredTask onestack_task_set[] = {
    {"Logger", 1, LOG, 1},
    {"Reporter", 2, LOG, 1},
    {"Watchdog", 4, nullptr, 0},
};
extern "C" const uint32_t onestack_task_set_count = 3;

namespace {

std::jmp_buf stopped;
std::string line;

void Catch(const char *operation, const char *rule) {
    line = std::string(operation) + ": " + rule;
    std::longjmp(stopped, 1);
}

// Runs `first` at `priority` under `name`; returns the stop's line, or "".
std::string StopOf(TaskEntry first, int32_t priority, const char *name) {
    line.clear();
    SetStopHandler(Catch);
    testing::internal::CaptureStdout();
    if (setjmp(stopped) == 0) StartOS(first, priority, name);
    testing::internal::GetCapturedStdout();
    SetStopHandler(nullptr);
    return line;
}

void Watchdog() {
    uintptr_t item = 0;
    while (TaskWord() != 0 && ReceiveChannel(reinterpret_cast<Channel *>(TaskWord()), &item) != 0) {
    }
    TerminateTask();
}
ONESTACK_CHANNEL(alarms, 4, Watchdog, 4, "Watchdog");
ONESTACK_CHANNEL(misdeclared, 4, Watchdog, 3, "Watchdog");
void Reporter() {
    AcquireResource(3, 1);
    ReleaseResource(3, 1);
    TerminateTask();
}
void Logger() {
    AcquireResource(3, 1);
    ActivateTask(Reporter, 2, "Reporter");
    ActivateTask(Watchdog, 4, "Watchdog");
    ReleaseResource(3, 1);
    TerminateTask();
}
void FromHandler() { ActivateTask(Watchdog, 4, "Watchdog"); }
// A handler's activation, a timer's and a channel's consumer, as declared.
void Timers() {
    SimulateInterrupt(FromHandler);
    StartTimer(Watchdog, 4, "Watchdog", 1, 0);
    AdvanceTime(1);
    SendChannel(&alarms, 1);
    TerminateTask();
}
// Each way of activating, at a priority the description does not declare.
void FromHandlerAtThree() { ActivateTask(Watchdog, 3, "Watchdog"); }
void HandlerAtThree() {
    SimulateInterrupt(FromHandlerAtThree);
    TerminateTask();
}
void TimerAtThree() {
    StartTimer(Watchdog, 3, "Watchdog", 1, 0);
    AdvanceTime(1);
    TerminateTask();
}
void ChannelAtThree() {
    SendChannel(&misdeclared, 1);
    TerminateTask();
}
void AlarmAtTwo() {
    ActivateTask(Watchdog, 2, "Watchdog");
    TerminateTask();
}
void WatchdogHolds() {
    AcquireResource(3, 1);
    TerminateTask();
}
void LoggerHoldsFive() {
    AcquireResource(5, 1);
    TerminateTask();
}

struct Case {
    TaskEntry first;
    int32_t priority;
    const char *name;
    const char *stop; // "" when it runs to its end; null: the long name, cut
};

const Case CASES[] = {
    {Logger, 1, "Logger", ""},
    {Timers, 1, "Logger", ""},
    {Watchdog, 1, "Nobody", "the task set: Nobody at priority 1 is not in its description"},
    {AlarmAtTwo, 1, "Logger", "the task set: Watchdog at priority 2 is not in its description"},
    {HandlerAtThree, 1, "Logger", "the task set: Watchdog at priority 3 is not in its description"},
    {TimerAtThree, 1, "Logger", "the task set: Watchdog at priority 3 is not in its description"},
    {ChannelAtThree, 1, "Logger", "the task set: Watchdog at priority 3 is not in its description"},
    {Watchdog, 1, nullptr, "the task set: a task without a name at priority 1 is not in its description"},
    {Watchdog, -7, LONG_NAME, nullptr}, // cut at the line's 114 bytes
    {WatchdogHolds, 4, "Watchdog",
     "the task set: Watchdog takes a resource at ceiling 3, which its description does not give it"},
    {LoggerHoldsFive, 1, "Logger",
     "the task set: Logger takes a resource at ceiling 5, which its description does not give it"},
};

TEST(CheckedKernel, StopsAtWhatTheDescriptionLacks) {
    for (const Case &c : CASES) {
        const std::string stop = c.stop != nullptr ? c.stop : "the task set: " + std::string(LONG_NAME, 114);
        EXPECT_EQ(StopOf(c.first, c.priority, c.name), stop);
    }
}

TEST(CheckedKernel, APriorityIsWrittenWithItsSignAndEveryDigit) {
    const std::string stop = StopOf(Watchdog, -17, "Nobody");
    EXPECT_EQ(stop, "the task set: Nobody at priority -17 is not in its description");
}

} // namespace
