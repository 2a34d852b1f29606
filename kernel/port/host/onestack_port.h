// The kernel's seam to the host: one thread, no interrupts but the simulated
// ones, which run only where SimulateInterrupt is called. Masking compiles
// to nothing.
#ifndef ONESTACK_PORT_H
#define ONESTACK_PORT_H

#include <stdint.h>
#include <time.h>

// Hidden, like everything of the kernel's but the chief header.
#pragma GCC visibility push(hidden)
namespace onestack::port {

// The address as given: see the RISC-V port.
template <typename T> inline T *AddressAnew(T *address) { return address; }

using InterruptMask = int;

inline InterruptMask MaskInterrupts() { return 0; }
inline void RestoreInterrupts(InterruptMask) {}

// The exception number of the simulated interrupt that runs, 0 in thread
// mode: the number that the first device interrupt has on the board.
extern int8_t simulated_handler;
constexpr int8_t SIMULATED_HANDLER = 16;
inline int32_t HandlerNumber() { return simulated_handler; }
// The smallest number that HandlerNumber gives in a handler.
constexpr int32_t LOWEST_HANDLER_NUMBER = SIMULATED_HANDLER;

// Every simulated handler may call ActivateTask.
constexpr int32_t FIRST_MASKABLE_HANDLER = 1;

// A call that a handler may make, made below FIRST_MASKABLE_HANDLER: in
// thread mode, outside a task. `unmaskable` is the board's rule for NMI.
void StopCallOutsideHandler(const char *operation, const char *unmaskable);

// SimulateInterrupt runs the pending dispatch when its handler returns.
inline void PendDispatch() {}
// A run starts with no level held off and no handler waiting.
void PrepareInterrupts();

// Where an interrupt may land between a look at state that handlers change
// and the critical section that acts on what it saw. On the host, a test
// may name a handler (one plain function) to run at the next such point.
extern void (*window_handler)();
void RunWindowHandler();
inline void InterruptWindow() {
    if (window_handler != nullptr) RunWindowHandler();
}

// Interrupt levels, 0 the most urgent: a simulated handler runs at the
// level it was raised at (SimulateInterrupt's at 0), the thread below them
// all. A ceiling at a level holds off the handlers raised at it or below
// until its release; they run then, most urgent first.
using LevelMask = uint32_t;
constexpr uint32_t SIMULATED_LEVELS = 8;
extern uint32_t running_level; // SIMULATED_LEVELS in the thread
extern uint32_t held_off_from; // the most urgent level held off; SIMULATED_LEVELS for none
inline uint32_t LowestCeilingLevel() { return SIMULATED_LEVELS - 1; }
inline uint32_t HandlerLevel() { return running_level; }
// The release runs what handlers made ready: no mask holds the exit off.
constexpr bool CEILINGS_HOLD_OFF_THE_EXIT = false;
inline LevelMask RaiseLevel(uint32_t level, uint32_t) {
    const LevelMask found = held_off_from;
    if (level < found) held_off_from = level;
    return found;
}
// What the hold numbered `depth` found, from what it returned.
inline LevelMask FoundBy(LevelMask found, uint32_t) { return found; }
void RestoreLevel(LevelMask found);

// What the kernel writes: its closing lines to standard output (1), a
// stop's line to standard error (2), through the C library's streams;
// before a stop, what the tasks wrote; and the end of a stop whose handler
// returned, abort().
constexpr int STANDARD_OUTPUT = 1;
constexpr int STANDARD_ERROR = 2;
void Write(int stream, const char *text);
void FlushOutput();
[[noreturn]] void Abort();

// A stop leaves the simulated handlers that were running, and those
// waiting: its handler longjmps out of them or ends the program.
void StopInterrupts();

// The trace's clock: nanoseconds of the monotonic clock.
constexpr uint32_t TRACE_CLOCK_HZ = 1000000000; // nanoseconds
inline uint64_t TraceClock() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

} // namespace onestack::port
#pragma GCC visibility pop

#endif // ONESTACK_PORT_H
