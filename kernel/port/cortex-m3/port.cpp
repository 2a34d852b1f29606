// The Cortex-M3's half of the interrupt exit. A handler's activation pends
// PendSV, which runs at the lowest priority, so only once the last nested
// handler has returned. Its handler stacks a made-up exception frame whose
// return address is a thread-mode routine, and returns through it; the
// routine runs the dispatch as the thread and then pends NMI, whose handler
// drops its own frame so that its return restores, from the frame that the
// interrupt left, the interrupted code exactly: registers and flags. The
// thread runs on the main stack, as after reset.
#include "kernel_private.h"

using namespace onestack;

namespace {

volatile uint32_t &Register(uintptr_t address) { return *reinterpret_cast<volatile uint32_t *>(address); }

constexpr uintptr_t SHPR3 = 0xE000ED20; // priorities of PendSV (bits 23:16) and SysTick
constexpr uint32_t PENDSV_LOWEST = 0xFFu << 16;

} // namespace

void port::PrepareInterrupts() { Register(SHPR3) |= PENDSV_LOWEST; }

void port::StopActivationOutsideHandler() {
    if (HandlerNumber() == 0) {
        return StopCaller("ActivateTask");
    }
    return StopKernel(ONESTACK_RULE("ActivateTask", "called from NMI or HardFault, which no mask holds off"));
}

// An NMI that is not the kernel's own return goes to the application.
extern "C" [[gnu::weak]] void Application_NMI_Handler() {
    StopKernel(ONESTACK_RULE("NMI_Handler", "an NMI arrived and no Application_NMI_Handler takes it"));
}

// The frame that PendSV makes up holds the awaited task in r0, the thread
// routine's address as the return address, and an xPSR with only the Thumb
// bit: 32 bytes, so the stack keeps its 8-byte alignment. It needs no mask:
// a handler that comes before the pending dispatch is taken only adds
// tasks ahead of the awaited one, and one that comes after pends another,
// whose PendSV chains after this one and makes its frame below, so that
// its dispatch runs first.
__asm__(R"(
    .syntax unified
    .thumb

    .section .text.PendSV_Handler, "ax", %progbits
    .global PendSV_Handler
    .type PendSV_Handler, %function
    .thumb_func
PendSV_Handler:
    ldr r1, =onestack_interrupted_head
    ldr r0, [r1]
    adds r2, r0, #2             @ NO_DISPATCH is -2: nothing to do
    beq 1f
    mvn r2, #1
    str r2, [r1]
    ldr r1, =onestack_exit_thread
    mov r2, #0x01000000
    sub sp, #32
    str r0, [sp]
    strd r1, r2, [sp, #24]
1:  bx lr
    .ltorg
    .size PendSV_Handler, . - PendSV_Handler

    @ Thread mode, r0 = the awaited task, sp at the interrupt's frame. Not
    @ typed as a function, so that its address has no Thumb bit, as a
    @ stacked return address must not.
onestack_exit_thread:
    bl onestack_dispatch_at_interrupt_exit
    ldr r0, =0xE000ED04
    mov r1, #0x80000000         @ NMIPENDSET
    str r1, [r0]
onestack_exit_return:
    b onestack_exit_return      @ the NMI is taken here
    .ltorg

    .section .text.NMI_Handler, "ax", %progbits
    .global NMI_Handler
    .type NMI_Handler, %function
    .thumb_func
NMI_Handler:
    ldr r0, [sp, #24]           @ where the NMI was taken
    ldr r1, =onestack_exit_return
    cmp r0, r1
    bne Application_NMI_Handler
    add sp, #32                 @ drop the NMI's frame: its return pops the interrupt's
    bx lr
    .ltorg
    .size NMI_Handler, . - NMI_Handler
)");
