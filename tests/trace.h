// What the test tasks did, in order, as one space-separated string.
#ifndef ONESTACK_TESTS_TRACE_H
#define ONESTACK_TESTS_TRACE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel_private.h"

inline std::string &TraceText() {
    static std::string text;
    return text;
}

inline void Mark(const std::string &what) {
    std::string &text = TraceText();
    if (!text.empty()) text += ' ';
    text += what;
}

// The whole body of a task that only leaves its mark.
inline void Leaf(const char *mark) {
    Mark(mark);
    TerminateTask();
}

// Runs the kernel from `entry` with StartOS's closing message swallowed;
// returns the trace the tasks left.
inline std::string RunTrace(TaskEntry entry, int32_t priority) {
    TraceText().clear();
    testing::internal::CaptureStdout();
    StartOS(entry, priority, "first");
    testing::internal::GetCapturedStdout();
    return TraceText();
}

inline std::vector<int> FreeTaskList() {
    std::vector<int> list;
    for (TaskId i = onestack::free_task_head; i != NO_TASK && list.size() <= MAX_TASKS;
         i = onestack::task_table[i].next) {
        list.push_back(i);
    }
    return list;
}

inline std::vector<int> FreeResourceList() {
    std::vector<int> list;
    for (int32_t r = onestack::free_resource_head; r != onestack::NO_RECORD && list.size() <= MAX_RESOURCES;
         r = onestack::resource_table[r].ceiling) {
        list.push_back(r);
    }
    return list;
}

inline std::vector<int> Range(int from, int to_inclusive) {
    std::vector<int> v;
    for (int i = from; i <= to_inclusive; ++i) v.push_back(i);
    return v;
}

#endif
