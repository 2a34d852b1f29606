// Stack bytes per level of preemption: 16 tasks, each preempting the one
// before, record where their frames lie.
#include <stdint.h>
#include <stdio.h>

#include "onestack.h"

namespace {

uintptr_t frame_of_level[MAX_TASKS];
int32_t level;

void Level() {
    frame_of_level[level] = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (++level < MAX_TASKS) ActivateTask(Level, level, "level");
    TerminateTask();
}

} // namespace

int main() {
    StartOS(Level, 0, "level");
    const uintptr_t total = frame_of_level[0] - frame_of_level[MAX_TASKS - 1];
    printf("stack per level of preemption: %lu bytes (%lu bytes over %d levels)\n",
           static_cast<unsigned long>(total / (MAX_TASKS - 1)), static_cast<unsigned long>(total),
           MAX_TASKS - 1);
    return 0;
}
