// The checked build: each activation and each hold against the task set
// that the program's description declares (onestack_task_set, which the
// build writes from it). A name at a priority the table lacks, or a
// ceiling the table does not give the running task, stops the program
// with the task's name: the description can no longer drift from the code
// unseen. Built only into the checked kernel.
#include "kernel_private.h"

namespace onestack {
namespace {

bool SameName(const char *declared, const char *name) {
    while (*declared != '\0' && *declared == *name) {
        ++declared;
        ++name;
    }
    return *declared == *name;
}

// "the task set", a zero, then the rule, written into one buffer for
// StopKernel; a name too long for it is cut.
struct Message {
    char text[128] = "the task set";
    uint32_t used = sizeof "the task set";

    // In place: a fresh Message would be built on the stack, which every
    // activation's path would then count.
    void Reset() {
        used = sizeof "the task set";
        text[used] = '\0';
    }
    void Add(const char *part) {
        while (*part != '\0' && used + 1 < sizeof text) text[used++] = *part++;
        text[used] = '\0';
    }
    void Add(int32_t value) {
        char digits[12];
        uint32_t n = 0;
        uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) digits[n++] = '-';
        char one[2] = {0, 0};
        while (n > 0) {
            one[0] = digits[--n];
            Add(one);
        }
    }
};

Message message; // written afresh by each stop, after its unchanging start

} // namespace

// The check's stop: a function of its own, which the stack bound counts as
// a run's end (checked.stack), over its caller's path only, rather than in
// every activation's path. "the task set", then `name`, `rule`, `number`
// and `after`.
[[gnu::noinline, gnu::cold]] void StopUndeclared(const char *name, const char *rule, int32_t number,
                                                 const char *after) {
    message.Reset();
    message.Add(name);
    message.Add(rule);
    message.Add(number);
    message.Add(after);
    StopKernel(message.text);
}

// An unnamed task matches none: the description names every task.
void CheckActivation(int32_t priority, const char *name) {
    for (uint32_t i = 0; i < onestack_task_set_count && name != nullptr; ++i) {
        if (onestack_task_set[i].priority == priority && SameName(onestack_task_set[i].name, name)) return;
    }
    StopUndeclared(name != nullptr ? name : "a task without a name", " at priority ", priority,
                   " is not in its description");
}

// Precondition: `name` is the running task's, which its activation checked,
// so never null.
void CheckHold(const char *name, int32_t ceiling) {
    for (uint32_t i = 0; i < onestack_task_set_count; ++i) {
        const DeclaredTask &task = onestack_task_set[i];
        if (!SameName(task.name, name)) continue;
        for (uint32_t c = 0; c < task.ceiling_count; ++c) {
            if (task.ceilings[c] == ceiling) return;
        }
    }
    StopUndeclared(name, " takes a resource at ceiling ", ceiling,
                   ", which its description does not give it");
}

} // namespace onestack
