/*
 * onestack: a task kernel that runs run-to-completion tasks by fixed
 * priority with preemption, on one thread and one stack, with resources
 * under the immediate priority-ceiling rule.
 *
 * This is the only header that tasks and the host program include. It
 * compiles as C11 and as C++17. Every operation below is called from one
 * thread, or ActivateTask from an interrupt handler. Without interrupts a
 * task is preempted only inside its own ActivateTask or ReleaseResource,
 * which run every task that now outranks it to completion before they
 * return; a handler's activation preempts it where the interrupt found it.
 *
 * A broken precondition that the kernel can detect stops the program:
 * standard output is flushed, the stop handler gets the operation and the
 * rule (by default it writes "onestack: <operation>: <rule>" on standard
 * error; on a board, through the board's output routine), then abort() (on
 * a board, BoardExit(134)). No table is touched before the stop.
 */
#ifndef ONESTACK_H
#define ONESTACK_H

#include <stdint.h>

/* The version of this header and of the library built with it. */
#define ONESTACK_VERSION_MAJOR 0
#define ONESTACK_VERSION_MINOR 4
#define ONESTACK_VERSION_PATCH 0
#define ONESTACK_VERSION_STRING "0.4.0"
/* major * 10000 + minor * 100 + patch, for #if comparisons */
#define ONESTACK_VERSION                                                                                     \
    (ONESTACK_VERSION_MAJOR * 10000 + ONESTACK_VERSION_MINOR * 100 + ONESTACK_VERSION_PATCH)

/* The library's interface; everything else in it is hidden from the
 * programs and shared objects that link it. */
#if defined(__GNUC__) || defined(__clang__)
#define ONESTACK_API __attribute__((visibility("default")))
#else
#define ONESTACK_API
#endif

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
 * Each call starts a fresh run, after a stop too. Stops the program if
 * `entry` is null or a run is in progress: called from a task, or after a
 * longjmp or an exception left an entry, which leaves the kernel mid-run. */
ONESTACK_API int32_t StartOS(TaskEntry entry, int32_t priority, const char *name);

/* Writes "Happy end ShutdownOS!\n"; reads no table and checks nothing. */
ONESTACK_API void ShutdownOS(void);

/* ---- Task services (running task) --------------------------------- */

/* Every operation below is for the entry of the running task, before its
 * TerminateTask. Called from the host program outside StartOS, or by an
 * entry after its TerminateTask (when it would act on another task), it
 * stops the program. */

/* Makes a new task ready; it goes behind ready tasks of equal priority.
 * If `priority` exceeds the caller's current priority, the new task (and
 * all it makes ready above the caller) runs before this returns.
 * `name` is stored, never read (but by WriteTrace in a traced build, which
 * needs it alive until then); keep it alive while the task lives.
 * Stops the program if `entry` is null or MAX_TASKS tasks are live. */
ONESTACK_API void ActivateTask(TaskEntry entry, int32_t priority, const char *name);

/* Ends the running task and frees its record. The caller's entry must make
 * no further kernel call and should return; the next ready task runs then.
 * Stops the program if the task still holds a resource, or if this entry
 * has already called it. */
ONESTACK_API void TerminateTask(void);

/* ---- Resources (running task) ------------------------------------- */

/* A resource is named by the pair (ceiling, key); nothing is declared in
 * advance. Taking it raises the caller at once to `ceiling` if it runs
 * below it, so no task at or below the ceiling can preempt it until the
 * release. Holds may nest, the same pair included. A ceiling at or below
 * the caller's base priority is recorded but protects nothing. Stops the
 * program if MAX_RESOURCES holds exist. */
ONESTACK_API void AcquireResource(int32_t ceiling, int32_t key);

/* Gives up one hold of (ceiling, key). The caller falls back to the greater
 * of its base priority and the highest ceiling it still holds, and every
 * ready task that now outranks it runs before this returns; tasks of equal
 * priority wait. Stops the program if the caller holds no such pair.
 * Every hold must be released before TerminateTask. */
ONESTACK_API void ReleaseResource(int32_t ceiling, int32_t key);

/* ---- Data into tasks (task or interrupt handler) -------------------- */

/* An activation carries one word, a value or a pointer to something that
 * lives until the task has read it; ActivateTask carries 0. What cannot
 * be had is an activation's record: when MAX_TASKS tasks are live, the
 * activations that may fail (TryActivateTask, a timer's, a channel's) are
 * refused and counted, and the program goes on; ActivateTask and
 * ActivateTaskWith stop it. */

/* ActivateTask, with `word` for the task's TaskWord. */
ONESTACK_API void ActivateTaskWith(TaskEntry entry, int32_t priority, const char *name, uintptr_t word);

/* ActivateTaskWith that may fail: returns 1 once the task is made ready
 * (from a task, after it and all it made ready above the caller have run),
 * or 0 if MAX_TASKS tasks are live, which it counts in RefusedActivations.
 * Stops the program as ActivateTask does for every other misuse. */
ONESTACK_API int32_t TryActivateTask(TaskEntry entry, int32_t priority, const char *name, uintptr_t word);

/* Activations refused since StartOS, by TryActivateTask, timers and
 * channels, saturating at 2^32 - 1. Readable anywhere. */
ONESTACK_API uint32_t RefusedActivations(void);

/* What the running task may ask about itself: the word it was activated
 * with, its priority now (raised by the ceilings it holds) and its base
 * priority. Each stops the program if no task is running or if it is
 * called from a handler or after the task's TerminateTask. */
ONESTACK_API uintptr_t TaskWord(void);
ONESTACK_API int32_t TaskPriority(void);
ONESTACK_API int32_t TaskBasePriority(void);

/* A channel: a FIFO of words from any task or handler to one consumer
 * task. Define it with ONESTACK_CHANNEL, in static storage; the kernel
 * owns every field after `name`. */
typedef struct Channel {
    uintptr_t *items;   /* ONESTACK_CHANNEL_SIZE(capacity) words */
    uint32_t size_mask; /* that size - 1 */
    uint32_t capacity;  /* items held at most, at least 1 */
    TaskEntry consumer;
    int32_t priority;
    const char *name;
    struct Channel *next_used; /* the channels used since the first StartOS; null until then */
    uint32_t first;            /* items received since StartOS, mod 2^32 */
    uint32_t end;              /* items taken since StartOS, mod 2^32 */
    uint32_t drops;            /* items refused since StartOS */
    int32_t reader;            /* 1 + the consumer's task record while it is ready, else 0 */
} Channel;

/* The words a channel of `capacity` items stores: the next power of two,
 * so that an index is a mask; capacities from 1 to 65536. */
#define ONESTACK_CHANNEL_SIZE(capacity)                                                                      \
    ((capacity) <= 1       ? 1u                                                                              \
     : (capacity) <= 2     ? 2u                                                                              \
     : (capacity) <= 4     ? 4u                                                                              \
     : (capacity) <= 8     ? 8u                                                                              \
     : (capacity) <= 16    ? 16u                                                                             \
     : (capacity) <= 32    ? 32u                                                                             \
     : (capacity) <= 64    ? 64u                                                                             \
     : (capacity) <= 128   ? 128u                                                                            \
     : (capacity) <= 256   ? 256u                                                                            \
     : (capacity) <= 512   ? 512u                                                                            \
     : (capacity) <= 1024  ? 1024u                                                                           \
     : (capacity) <= 2048  ? 2048u                                                                           \
     : (capacity) <= 4096  ? 4096u                                                                           \
     : (capacity) <= 8192  ? 8192u                                                                           \
     : (capacity) <= 16384 ? 16384u                                                                          \
     : (capacity) <= 32768 ? 32768u                                                                          \
     : (capacity) <= 65536 ? 65536u                                                                          \
                           : 0u)

/* Defines `channel`, holding at most `capacity` words, whose consumer is
 * the task (entry, priority, name). */
#define ONESTACK_CHANNEL(channel, capacity, entry, priority, name)                                           \
    static uintptr_t channel##_items[ONESTACK_CHANNEL_SIZE(capacity)];                                       \
    Channel channel = {channel##_items,                                                                      \
                       ONESTACK_CHANNEL_SIZE(capacity) - 1u,                                                 \
                       (capacity),                                                                           \
                       (entry),                                                                              \
                       (priority),                                                                           \
                       (name),                                                                               \
                       0,                                                                                    \
                       0,                                                                                    \
                       0,                                                                                    \
                       0,                                                                                    \
                       0}

/* Appends `item`; returns 1 if it was taken, or 0 if the channel was full
 * (or its consumer could not be activated): the item is dropped, counted
 * in ChannelDrops, and the program goes on. A send that finds the channel
 * empty and its consumer not yet ready activates the consumer with the
 * channel as its word, exactly as ActivateTask would; the sends that follow
 * before it has emptied the channel activate nothing. Items arrive in the
 * order the sends took effect. Stops the program if the channel was not
 * defined with ONESTACK_CHANNEL, or if the consumer must be activated and
 * ActivateTask could not be called here. */
ONESTACK_API int32_t SendChannel(Channel *channel, uintptr_t item);

/* For the consumer: takes the oldest item into `*item` and returns 1, or
 * returns 0 once the channel is empty, after which the consumer must
 * terminate (its TerminateTask stops the program before then). A send
 * after that activates the consumer anew. Stops the program when the
 * caller is not the consumer that the channel activated (or has already
 * found the channel empty). */
ONESTACK_API int32_t ReceiveChannel(Channel *channel, uintptr_t *item);

/* Items the channel has refused since StartOS, saturating at 2^32 - 1. */
ONESTACK_API uint32_t ChannelDrops(const Channel *channel);

/* ---- Interrupts ---------------------------------------------------- */

/* An interrupt handler may call ActivateTask, ActivateTaskWith,
 * TryActivateTask, SendChannel, RefusedActivations, ChannelDrops, the
 * interrupt ceilings and the timer operations below, and no other
 * operation; from a handler ActivateTask links the task and returns. When
 * the last nested handler has returned, and before the interrupted code
 * continues, every task that the handlers made ready above the task the
 * interrupt found running runs to completion, in thread mode: that task is
 * preempted between two of its instructions. An activation from a handler
 * counts during a whole run, after the running task's TerminateTask too;
 * outside StartOS it stops the program. On the Cortex-M, NMI and HardFault
 * may not call the kernel. */
typedef void (*InterruptHandler)(void);

/* Host builds only: runs `handler` as if an interrupt arrived at this
 * point, then does what the interrupt exit does. It may be called from a
 * task, from the host program, or from a simulated handler (a nested
 * interrupt, whose exit waits for the outermost). */
ONESTACK_API void SimulateInterrupt(InterruptHandler handler);

/* ---- State shared with interrupt handlers (task or handler) ---------- */

/* Interrupt levels are the board's (BoardSetPriority's): 0 is the most
 * urgent, and a handler is interrupted only by a more urgent one. An
 * interrupt ceiling at level L holds off every handler at L and every less
 * urgent one until its release; the more urgent ones still run, and the
 * tasks they make ready wait for the release: no task preempts a task
 * that holds one. Level 0 is never held off: a ceiling names 1 to the
 * lowest level (on the host, 7). The ceiling of state shared with
 * handlers is the most urgent level among them. */
typedef uint32_t InterruptHold;

/* Holds off the handlers at `level` and below; returns the hold, for its
 * release. Holds nest with each other and inside resources' holds; each
 * release restores exactly the mask that its hold found. While a task
 * holds one it may make no kernel call but these two, RefusedActivations,
 * ChannelDrops and a SendChannel that finds its channel not empty. Stops
 * the program for a level out of range, from a handler for a level less
 * urgent than its own, from NMI or HardFault, outside a running task in
 * the thread, and when 8 holds exist. */
ONESTACK_API InterruptHold AcquireInterruptCeiling(uint32_t level);

/* Releases `hold`, which must be the newest interrupt ceiling held, taken
 * by the caller (the same task, or the same handler, which must release
 * every one before it returns). From a task's last hold, the tasks that
 * handlers made ready meanwhile and that outrank it run before this
 * returns. Stops the program for any other hold. */
ONESTACK_API void ReleaseInterruptCeiling(InterruptHold hold);

/* Host builds only: SimulateInterrupt for a handler at `level` (0 to 7).
 * It runs at once if its level is more urgent than the running handler's
 * and than every ceiling held; else it waits, and runs when they let it
 * in, the most urgent first. SimulateInterrupt's handler runs at once, at
 * level 0, always. */
ONESTACK_API void SimulateInterruptAt(uint32_t level, InterruptHandler handler);

/* ---- Timers (task or interrupt handler) ----------------------------- */

/* A timer activates a task (entry, priority, name) when its time comes,
 * once or periodically. Time is the application's tick count, advanced by
 * AdvanceTime from its tick handler or a task; it starts at 0 at each
 * StartOS, which stops every timer, and wraps at 2^32. */
typedef int32_t TimerId;

enum {
    MAX_TIMERS = 8 /* most timers running at one time */
};
#define NO_TIMER_DUE 0xFFFFFFFFu    /* TicksUntilNextTimer when no timer runs */
#define MAX_TIMER_TICKS 0x7FFFFFFFu /* the longest delay, period, and advance while a timer runs */

/* Starts a timer that activates the task `delay` ticks from now and then,
 * unless `period` is 0, every `period` ticks, at start + delay + k * period
 * however late the ticks that reach those times arrive. Returns its
 * handle. Stops the program if `entry` is null, `delay` is 0 or either
 * exceeds MAX_TIMER_TICKS, MAX_TIMERS are running, or it is called outside
 * a run or after the caller's TerminateTask. */
ONESTACK_API TimerId StartTimer(TaskEntry entry, int32_t priority, const char *name, uint32_t delay,
                                uint32_t period);

/* StartTimer whose activations carry `word`; StartTimer's carry 0. */
ONESTACK_API TimerId StartTimerWith(TaskEntry entry, int32_t priority, const char *name, uint32_t delay,
                                    uint32_t period, uintptr_t word);

/* Stops the timer; returns 1 if it was running and 0 if it had already made
 * its last activation, an ordinary race that is harmless. Stops the
 * program for a handle the kernel never gave out, or one whose slot has
 * since been given to another timer, and when called outside a run or after
 * the caller's TerminateTask. A handle's generation is 8 bits: after 255
 * more starts of its slot (2,040 starts in all) an old handle names the
 * timer there then. */
ONESTACK_API int32_t StopTimer(TimerId timer);

/* Advances time by `ticks`: every timer whose time has come activates its
 * task exactly as a handler's ActivateTask does, in the order of their due
 * times, then of their starting; a task that outranks the caller of
 * AdvanceTime runs before it returns (from a handler: at the interrupt's
 * exit). An activation that finds MAX_TASKS tasks live is missed and
 * counted (TimerMisses, RefusedActivations), and the timer goes on. Stops the program if a timer is running
 * and `ticks` exceeds MAX_TIMER_TICKS, or if a timer comes due outside a
 * run or after the calling task's TerminateTask. */
ONESTACK_API void AdvanceTime(uint32_t ticks);

/* The ticks until the next timer is due (at least 1), or NO_TIMER_DUE:
 * what a tickless idle task may sleep for. */
ONESTACK_API uint32_t TicksUntilNextTimer(void);

/* The tick count: the ticks advanced since StartOS, mod 2^32. */
ONESTACK_API uint32_t TickCount(void);

/* The activations the timer has missed for want of a free task record,
 * saturating at 255; the timer may have stopped since. Stops the program
 * for a handle that StopTimer would refuse. */
ONESTACK_API uint32_t TimerMisses(TimerId timer);

/* ---- Tracing (a kernel built with -DONESTACK_TRACE=ON) ---------------- */

/* What the kernel records, with the meaning of an event's task and of its
 * values a and b. Tasks are task records, reused once a task has ended. */
typedef enum {
    TRACE_ACTIVATED = 1,        /* by a task: a = priority; the name is kept */
    TRACE_ACTIVATED_BY_HANDLER, /* by an interrupt handler: a = priority */
    TRACE_ENTERED,              /* its entry is called: a = its priority */
    TRACE_RETURNED,             /* its entry has returned */
    TRACE_PREEMPTED,            /* another task runs above it */
    TRACE_RESUMED,              /* it continues after a preemption */
    TRACE_TERMINATED,           /* it called TerminateTask */
    TRACE_ACQUIRED,             /* a = the priority that results, b = the ceiling */
    TRACE_RELEASED,             /* a = the priority that results, b = the ceiling */
    TRACE_EXIT_DISPATCH,        /* the dispatch at interrupt exit begins; task = the head it awaits */
    TRACE_EXIT_DISPATCH_ENDED,  /* and ends */
    TRACE_TIMER_EXPIRED,        /* a timer activates its task: a = the timer's slot, b = 1 if it missed */
    TRACE_HANDLER_BEGAN,        /* a handler's run, as it marks it: the name is kept */
    TRACE_HANDLER_ENDED         /* and its end */
} TraceEventKind;

/* Writes the events recorded since StartOS to the file `path`, in the
 * format that tools/trace reads: the newest ONESTACK_TRACE_EVENTS (1024
 * unless the build sets it) and, if there were more, what the older ones
 * left (the live tasks, their priorities, holds and places on the stack).
 * Returns 0, or -1 if the file cannot be written. Call it after StartOS
 * returns, or where no handler records meanwhile: it reads the ring
 * unmasked. */
ONESTACK_API int32_t WriteTrace(const char *path);

/* A clock for the trace's timestamps: a free-running count, such as a
 * cycle counter. */
typedef uint64_t (*TraceClock)(void);

/* Stamps the events of every run from the next StartOS on with `clock`,
 * which counts `ticks_per_second`; null returns to the port's clock (the
 * host's monotonic nanoseconds; on a board none, and the tools order the
 * events by sequence and say so). The clock is called with interrupts
 * masked. */
ONESTACK_API void SetTraceClock(TraceClock clock, uint32_t ticks_per_second);

/* Receives `count` bytes of a trace dump; returns 0, or non-zero to give up. */
typedef int (*TraceSink)(void *context, const void *bytes, uint32_t count);

/* WriteTrace's bytes through `sink`, for a board without a file system: a
 * UART, a debug channel, a buffer a debugger reads. Returns 0, or -1 if
 * the sink gave up. */
ONESTACK_API int32_t DumpTrace(TraceSink sink, void *context);

/* Mark an interrupt handler's run in the trace, for its execution time:
 * TraceHandlerBegin(name) first in the handler, TraceHandlerEnd() last. The
 * interrupt's entry before the first and its exit after the last are the
 * kernel's, not the handler's. `name` must outlive the run. */
ONESTACK_API void TraceHandlerBegin(const char *name);
ONESTACK_API void TraceHandlerEnd(void);

/* ---- When a precondition is broken --------------------------------- */

/* Receives the operation that stopped and the rule it found broken, after
 * standard output has been flushed. It must not return into the kernel: it
 * may log and reset the board, exit, or longjmp out of the run, after which
 * only StartOS may be called (it starts afresh). If it returns, the kernel
 * calls abort() (on a board, BoardExit(134)). A kernel call from within it
 * gets the default line. */
typedef void (*StopHandler)(const char *operation, const char *rule);

/* Installs `handler` for every later stop and returns the one it replaces;
 * null restores the default, which writes one line on standard error. */
ONESTACK_API StopHandler SetStopHandler(StopHandler handler);

/* ---- A build checked against its task set ------------------------- */

/* A task that the program's description declares: its name (its entry's),
 * its priority, and the ceilings of the resources it takes. The build
 * writes the table, onestack_task_set, from the description; a program
 * linked with the checked kernel (onestack_kernel_checked) stops at an
 * activation of a name at a priority the table lacks, and at a hold of a
 * ceiling that the table does not give the running task. */
typedef struct {
    const char *name;
    int32_t priority;
    const int32_t *ceilings;
    uint32_t ceiling_count;
} DeclaredTask;

extern const DeclaredTask onestack_task_set[];
extern const uint32_t onestack_task_set_count;

#ifdef __cplusplus
}
#endif

#endif /* ONESTACK_H */
