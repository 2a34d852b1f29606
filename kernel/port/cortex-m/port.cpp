// The Cortex-M port: PendSV's priority, the stops that only a handler's
// activation can meet, the NMI that is not the kernel's, and the interrupt
// exit's assembly for the architecture the compiler targets. They are one
// object, so that linking the kernel links its PendSV and NMI handlers.
#include "kernel_private.h"

#if defined(__ARM_ARCH_6M__)
#include "exit_armv6m.inc"
#elif defined(__ARM_ARCH_7M__) || defined(__ARM_ARCH_7EM__) || defined(__ARM_ARCH_8M_MAIN__)
#include "exit_armv7m.inc"
#else
#error "no interrupt exit for this architecture: ARMv6-M, ARMv7-M and ARMv8-M Mainline have one"
#endif

using namespace onestack;

namespace {

volatile uint32_t &Register(uintptr_t address) { return *reinterpret_cast<volatile uint32_t *>(address); }

// Priorities of PendSV (bits 23:16) and SysTick; word access only, on ARMv6-M.
constexpr uintptr_t SHPR3 = 0xE000ED20;
constexpr uint32_t PENDSV_LOWEST = 0xFFu << 16;

} // namespace

void port::PrepareInterrupts() {
#if defined(__ARM_FP)
    // The exit dispatch relies on the core stacking the FP state of the
    // code an interrupt finds using it; with ASPEN off it never does.
    constexpr uintptr_t FPCCR = 0xE000EF34;
    constexpr uint32_t ASPEN = 1u << 31;
    if ((Register(FPCCR) & ASPEN) == 0) {
        return StopKernel(
            ONESTACK_RULE("StartOS", "FPCCR.ASPEN is off: an interrupt would not save a task's FP state"));
    }
#endif
    Register(SHPR3) |= PENDSV_LOWEST;
}

void port::StopCallOutsideHandler(const char *operation, const char *unmaskable) {
    if (HandlerNumber() == 0) {
        return StopCaller(operation);
    }
    return StopKernel(unmaskable);
}

// An NMI that is not the kernel's own return goes to the application.
extern "C" [[gnu::weak]] void Application_NMI_Handler() {
    StopKernel(ONESTACK_RULE("NMI_Handler", "an NMI arrived and no Application_NMI_Handler takes it"));
}
