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

// Interrupt levels are the board's: 0 the most urgent, shifted left by
// onestack_priority_shift into the priority bytes, which the board measures
// at reset. A ceiling at a level holds off that level and every less
// urgent one: BASEPRI where there is one; on ARMv6-M, which has none, the
// NVIC's enable bits of exactly the IRQs at that level or below (the board
// keeps them in onestack_irqs_at_or_below, one set per level).
extern "C" uint8_t onestack_priority_shift;
#if defined(__ARM_ARCH_6M__)
extern "C" uint32_t onestack_irqs_at_or_below[4];
#endif

// Precondition: the hold's level is checked against this first.
inline uint32_t LowestCeilingLevel() { return 0xFFu >> onestack_priority_shift; }

// The level of the running handler, from its own priority: IRQs' in the
// NVIC, the system handlers' in the SHPR words (word access, for ARMv6-M).
// Precondition: a handler other than NMI and HardFault.
inline uint32_t HandlerLevel() {
    const auto n = static_cast<uint32_t>(HandlerNumber());
    const uintptr_t word = n >= 16 ? 0xE000E400 + ((n - 16) & ~3u) : 0xE000ED18 + ((n - 4) & ~3u);
    const uint32_t priority = *reinterpret_cast<volatile uint32_t *>(word) >> (8 * (n % 4)) & 0xFFu;
    return priority >> onestack_priority_shift;
}

#if defined(__ARM_ARCH_6M__)
// The IRQs that a hold disabled, which were enabled before it, kept per
// hold (too many for the hold itself): its release enables exactly these,
// so that a nested release leaves the outer hold's disabled. Masked, so
// that no handler enables or disables one in between; the barriers make
// the disable take effect before the mask ends. PendSV is no IRQ: the
// release runs the tasks.
using LevelMask = uint32_t;
constexpr bool CEILINGS_HOLD_OFF_THE_EXIT = false;
inline uint32_t disabled_by_hold[8]; // emitted only where ceilings are taken
[[gnu::always_inline]] inline LevelMask RaiseLevel(uint32_t level, uint32_t depth) {
    volatile uint32_t &iser = *reinterpret_cast<volatile uint32_t *>(0xE000E100);
    volatile uint32_t &icer = *reinterpret_cast<volatile uint32_t *>(0xE000E180);
    const InterruptMask was = MaskInterrupts();
    const uint32_t disabled = iser & onestack_irqs_at_or_below[level];
    icer = disabled;
    __asm__ volatile("dsb\n\tisb" : : : "memory");
    RestoreInterrupts(was);
    disabled_by_hold[depth] = disabled;
    return 0;
}
inline LevelMask FoundBy(LevelMask, uint32_t depth) { return disabled_by_hold[depth]; }
[[gnu::always_inline]] inline void RestoreLevel(LevelMask disabled) {
    *reinterpret_cast<volatile uint32_t *>(0xE000E100) = disabled;
}
#else
// BASEPRI as the hold found it: BASEPRI_MAX only ever raises it, so that a
// hold inside a more urgent one keeps the more urgent mask. It holds off
// PendSV too, so the tasks that handlers make ready run at the release.
using LevelMask = uint32_t;
constexpr bool CEILINGS_HOLD_OFF_THE_EXIT = true;
[[gnu::always_inline]] inline LevelMask RaiseLevel(uint32_t level, uint32_t) {
    LevelMask found;
    __asm__ volatile("mrs %0, basepri\n\tmsr basepri_max, %1"
                     : "=&r"(found)
                     : "r"(level << onestack_priority_shift)
                     : "memory");
    return found;
}
inline LevelMask FoundBy(LevelMask found, uint32_t) { return found; }
[[gnu::always_inline]] inline void RestoreLevel(LevelMask found) {
    __asm__ volatile("msr basepri, %0" : : "r"(found) : "memory");
}
#endif

#include "../output_on_board.h"

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
