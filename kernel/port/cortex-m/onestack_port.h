// The kernel's seam to the Cortex-M family: ARMv6-M (M0, M0+), ARMv7-M (M3,
// M4, M7, with or without an FPU) and ARMv8-M Mainline (M33). Table updates
// run with PRIMASK set, so that no handler runs within them; IPSR tells a
// handler from thread mode; PendSV, at the lowest priority, runs the
// dispatch at interrupt exit once the last nested handler has returned.
// What differs between the architectures is that exit's assembly, one file
// each (exit_armv7m.cpp, exit_armv6m.cpp); this header is the same for all.
#ifndef ONESTACK_PORT_H
#define ONESTACK_PORT_H

#include <stdint.h>

// Hidden, like everything of the kernel's but the chief header.
#pragma GCC visibility push(hidden)
namespace onestack::port {

// The address as given: see the RISC-V port.
template <typename T> inline T *AddressAnew(T *address) { return address; }

// PRIMASK as it was before MaskInterrupts: 1 if the caller had masked them.
using InterruptMask = uint32_t;

inline InterruptMask MaskInterrupts() {
    InterruptMask was;
    __asm__ volatile("mrs %0, primask\n\tcpsid i" : "=r"(was) : : "memory");
    return was;
}

inline void RestoreInterrupts(InterruptMask was) {
    __asm__ volatile("msr primask, %0" : : "r"(was) : "memory");
}

// The active exception's number, 0 in thread mode. Not volatile: within
// one kernel call it cannot change.
inline int32_t HandlerNumber() {
    uint32_t number;
    __asm__("mrs %0, ipsr" : "=r"(number));
    return static_cast<int32_t>(number);
}
// The smallest number that HandlerNumber gives in a handler: NMI's. Reset
// (1) runs in thread mode.
constexpr int32_t LOWEST_HANDLER_NUMBER = 2;

// NMI (2) and HardFault (3) run through PRIMASK: they may not call.
constexpr int32_t FIRST_MASKABLE_HANDLER = 4;

// A call that a handler may make, made below FIRST_MASKABLE_HANDLER: in
// thread mode outside a task, or from NMI or HardFault (`unmaskable`).
[[gnu::cold]] void StopCallOutsideHandler(const char *operation, const char *unmaskable);

// Where an interrupt may land between a look at state that handlers change
// and the critical section that acts on what it saw: anywhere, here.
inline void InterruptWindow() {}

// Pends PendSV, whose handler starts the dispatch at interrupt exit.
inline void PendDispatch() {
    constexpr uintptr_t ICSR = 0xE000ED04;
    constexpr uint32_t PENDSVSET = 1u << 28;
    *reinterpret_cast<volatile uint32_t *>(ICSR) = PENDSVSET;
}

// Gives PendSV the lowest priority, below every interrupt that may call
// the kernel. Built for an FPU, it stops the program if the core would not
// stack the floating-point state of an interrupted task (FPCCR.ASPEN off).
void PrepareInterrupts();

// A stop keeps every maskable interrupt out from then on.
inline void StopInterrupts() { __asm__ volatile("cpsid i" : : : "memory"); }

// The trace's clock: none of the port's own, since SysTick is the
// application's, which may give one with SetTraceClock; without one the
// tools order events by their sequence number.
constexpr uint32_t TRACE_CLOCK_HZ = 0;
inline uint64_t TraceClock() { return 0; }

} // namespace onestack::port
#pragma GCC visibility pop

#endif // ONESTACK_PORT_H
