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

// Interrupt levels are the boards': 0 the most urgent to 6, a PLIC source
// at level l having priority 7 - l, and a handler at level l running with
// the PLIC's threshold at 7 - l. The machine timer and software interrupts,
// which the PLIC does not see, are held off in mie: the board keeps, per
// level, the bits of those at that level or below in onestack_level_mie,
// and names the threshold register onestack_plic_threshold.
extern "C" uint8_t onestack_level_mie[];
extern "C" volatile uint32_t onestack_plic_threshold;
constexpr uint32_t THREAD_LEVEL = 7;
inline uint32_t LowestCeilingLevel() { return THREAD_LEVEL - 1; }

// Precondition: the running handler holds no ceiling of its own.
inline uint32_t HandlerLevel() { return THREAD_LEVEL - onestack_plic_threshold; }

// The threshold the hold found, shifted up 8, and the mie bits it cleared,
// which were set before: its release sets exactly those again. The
// threshold is read back, so that the store has reached the PLIC before the
// hold counts.
// The trap's exit dispatches whatever the mask: the release runs the tasks.
using LevelMask = uint32_t;
constexpr bool CEILINGS_HOLD_OFF_THE_EXIT = false;
[[gnu::always_inline]] inline LevelMask RaiseLevel(uint32_t level, uint32_t) {
    const uint32_t found = onestack_plic_threshold;
    const uint32_t threshold = THREAD_LEVEL - level;
    if (threshold > found) {
        onestack_plic_threshold = threshold;
        (void)onestack_plic_threshold;
    }
    const uint32_t bits = onestack_level_mie[level];
    uint32_t mie;
    __asm__ volatile("csrrc %0, mie, %1" : "=r"(mie) : "r"(bits) : "memory");
    return found << 8 | (mie & bits);
}
// What the hold numbered `depth` found, from what it returned.
inline LevelMask FoundBy(LevelMask found, uint32_t) { return found; }
[[gnu::always_inline]] inline void RestoreLevel(LevelMask found) {
    __asm__ volatile("csrs mie, %0" : : "r"(found & 0xFFu) : "memory");
    onestack_plic_threshold = found >> 8;
}

#include "../output_on_board.h"

// A stop keeps every interrupt out from then on.
inline void StopInterrupts() { __asm__ volatile("csrci mstatus, 8" : : : "memory"); }

// The trace's clock: none of the port's own, as on the Cortex-M; the
// application may give one with SetTraceClock.
constexpr uint32_t TRACE_CLOCK_HZ = 0;
inline uint64_t TraceClock() { return 0; }

} // namespace onestack::port
#pragma GCC visibility pop

#endif // ONESTACK_PORT_H
