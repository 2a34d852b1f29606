// The kernel's seam to RV32 in machine mode. Table updates run with
// mstatus.MIE clear; mscratch counts the nesting of interrupt handlers, so
// that it is 0 in the thread; the trap's exit runs the dispatch as the
// thread once the outermost handler has returned (port.cpp).
#ifndef ONESTACK_PORT_H
#define ONESTACK_PORT_H

#include <stdint.h>

// Hidden, like everything of the kernel's but the chief header.
#pragma GCC visibility push(hidden)
namespace onestack::port {

// The address, formed anew where it is used. An operation's first check
// reads the run state, and GCC otherwise keeps the tables' base, which the
// whole operation needs, in a saved register from that check on: it then
// saves registers before it can tell a handler's call, which needs none,
// from a task's. Without a multiple-register store each costs two
// instructions, for 11 of a handler's activation.
template <typename T> inline T *AddressAnew(T *address) {
    __asm__("" : "+r"(address));
    return address;
}

// mstatus as it was before MaskInterrupts.
using InterruptMask = uint32_t;

inline InterruptMask MaskInterrupts() {
    InterruptMask was;
    __asm__ volatile("csrrci %0, mstatus, 8" : "=r"(was) : : "memory");
    return was;
}

// Sets again every bit of mstatus that was set: MIE, if it was, and bits
// that are set still, since no trap comes between the mask and this and
// the kernel writes mstatus nowhere else.
inline void RestoreInterrupts(InterruptMask was) {
    __asm__ volatile("csrs mstatus, %0" : : "r"(was) : "memory");
}

// The nesting depth of interrupt handlers, 0 in the thread. Not volatile:
// within one kernel call it cannot change.
inline int32_t HandlerNumber() {
    uint32_t depth;
    __asm__("csrr %0, mscratch" : "=r"(depth));
    return static_cast<int32_t>(depth);
}
constexpr int32_t LOWEST_HANDLER_NUMBER = 1;

// Every interrupt handler runs with MIE clear until it sets it: all may call.
constexpr int32_t FIRST_MASKABLE_HANDLER = 1;

// A call that a handler may make, made in the thread outside a task.
[[gnu::cold]] void StopCallOutsideHandler(const char *operation, const char *unmaskable);

// Where an interrupt may land between a look at state that handlers change
// and the critical section that acts on what it saw: anywhere, here.
inline void InterruptWindow() {}

// Nothing to raise: the outermost trap's exit finds the pending dispatch.
inline void PendDispatch() {}

// Stops the program unless mtvec names the kernel's trap vector, in
// vectored mode: without it no handler's task would run at its exit.
void PrepareInterrupts();

// A stop keeps every interrupt out from then on.
inline void StopInterrupts() { __asm__ volatile("csrci mstatus, 8" : : : "memory"); }

// The trace's clock: none of the port's own, as on the Cortex-M; the
// application may give one with SetTraceClock.
constexpr uint32_t TRACE_CLOCK_HZ = 0;
inline uint64_t TraceClock() { return 0; }

} // namespace onestack::port
#pragma GCC visibility pop

#endif // ONESTACK_PORT_H
