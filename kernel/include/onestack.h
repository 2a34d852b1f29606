/*
 * onestack: a task kernel that runs run-to-completion tasks by fixed
 * priority with preemption, on one thread and one stack, with resources
 * under the immediate priority-ceiling rule.
 *
 * This is the only header that tasks and the host program include. It
 * compiles as C11 and as C++17. Every operation below is called from one
 * thread; a task is preempted only inside its own ActivateTask or
 * ReleaseResource, which run every task that now outranks it to completion
 * before they return.
 *
 * A broken precondition that the kernel can detect stops the program: one
 * line on standard error naming the operation and the rule, then abort().
 * No table is touched before the stop.
 */
#ifndef ONESTACK_H
#define ONESTACK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Index of a live task's record; reused once the task has terminated. */
typedef int32_t TaskId;

/* The body of a task. The kernel calls it with no arguments each time the
 * task heads the ready list; it should end with TerminateTask(). In C++ it
 * must not let an exception escape: the kernel is built without them. */
typedef void (*TaskEntry)(void);

enum {
    MAX_TASKS = 16,    /* most tasks live at one time */
    MAX_RESOURCES = 8, /* most resource holds at one time, over all tasks */
    NO_TASK = -1
};

/* Priorities are signed 32-bit; a larger number is a higher priority. */

/* ---- Start and shut-down (host program) ---------------------------- */

/* Resets the kernel's tables, activates the first task and runs until no
 * task is ready, then writes "Happy end of StartOS!\n" and returns 0.
 * Stops the program if `entry` is null or a task is running. Each call
 * starts a fresh run. */
int32_t StartOS(TaskEntry entry, int32_t priority, const char *name);

/* Writes "Happy end ShutdownOS!\n"; touches no table. */
void ShutdownOS(void);

/* ---- Task services (running task) --------------------------------- */

/* Makes a new task ready; it goes behind ready tasks of equal priority.
 * If `priority` exceeds the caller's current priority, the new task (and
 * all it makes ready above the caller) runs before this returns.
 * `name` is stored, never read; keep it alive while the task lives.
 * Stops the program if `entry` is null or MAX_TASKS tasks are live
 * (or if called before StartOS). */
void ActivateTask(TaskEntry entry, int32_t priority, const char *name);

/* Ends the running task and frees its record. The caller's entry must make
 * no further kernel call and should return; the next ready task runs then.
 * Stops the program if no task is running or the task still holds a
 * resource. */
void TerminateTask(void);

/* ---- Resources (running task) ------------------------------------- */

/* A resource is named by the pair (ceiling, key); nothing is declared in
 * advance. Taking it raises the caller at once to `ceiling` if it runs
 * below it, so no task at or below the ceiling can preempt it until the
 * release. Holds may nest, the same pair included. Stops the program if no
 * task is running or MAX_RESOURCES holds exist. */
void AcquireResource(int32_t ceiling, int32_t key);

/* Gives up one hold of (ceiling, key). The caller falls back to the greater
 * of its base priority and the highest ceiling it still holds, and every
 * ready task that now outranks it runs before this returns; tasks of equal
 * priority wait. Stops the program if no task is running or the caller
 * holds no such pair. Every hold must be released before TerminateTask. */
void ReleaseResource(int32_t ceiling, int32_t key);

#ifdef __cplusplus
}
#endif

#endif /* ONESTACK_H */
