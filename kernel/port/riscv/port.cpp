// The RV32 port, in machine mode: the trap vector, whose interrupt entry
// saves what the calling convention lets a callee clobber, counts the
// nesting in mscratch and calls the board's MachineInterrupt_Handler with
// mcause; and its exit, which runs the dispatch at the outermost handler's
// return. Exceptions go to the board's MachineException_Handler, which
// reports and stops: none returns.
//
// The exit needs no software interrupt. On the Cortex-M the core stacks
// and unstacks the frame itself, so the dispatch must run outside every
// exception: PendSV leaves the handlers and an NMI gets back into the frame
// to return through it. Here the frame is the entry's own, on the one
// stack: once the outermost handler has returned, the exit runs the
// dispatch as a call, in the thread (mscratch 0, MIE set), above that
// frame; then it clears MIE, restores the frame and returns with mret,
// which sets MIE again as it resumes the interrupted instruction. A
// handler that comes during the dispatch has an exit of its own, which
// runs what it activates first.
//
// Floating point, when the target has it: the entry saves the caller-saved
// F registers and fcsr only when mstatus.FS says the interrupted code has
// written them since they were last saved (Dirty), and then marks them
// Clean with fcsr 0; the exit restores them from there. So fcsr is 0
// whenever FS is not Dirty, and an exit over code whose FS was not Dirty
// sets fcsr back to 0 and leaves the registers, which that code has not
// written and does not read. The tasks that the exit dispatches start with
// fcsr 0 too, whatever flags the handlers left. The callee-saved ones are
// every function's to keep. Integer code built for a target without F pays
// nothing; built for one, three instructions at the entry and four at the
// exit, and one more when the exit dispatches. FS is never Off in such a
// program: the board sets it to Initial at reset.
#include "kernel_private.h"

using namespace onestack;

extern "C" char onestack_trap_vector[];

void port::PrepareInterrupts() {
    uintptr_t mtvec;
    __asm__ volatile("csrr %0, mtvec" : "=r"(mtvec));
    constexpr uintptr_t VECTORED = 1;
    if (mtvec != (reinterpret_cast<uintptr_t>(onestack_trap_vector) | VECTORED)) {
        return StopKernel(
            ONESTACK_RULE("StartOS", "mtvec is not the kernel's trap vector, in vectored mode"));
    }
}

void port::StopCallOutsideHandler(const char *operation, const char *) { return StopCaller(operation); }

// The frame: mstatus, mepc, ra, t0-t6, a0-a7, 16-byte aligned. With F, a
// second frame below it: mstatus again (so that the exit finds it at sp
// either way), fcsr, ft0-ft11, fa0-fa7.
#define ONESTACK_STR_(x) #x
#define ONESTACK_STR(x) ONESTACK_STR_(x)
#if defined(__riscv_flen)
#if __riscv_flen == 32
#define ONESTACK_FP_STORE "fsw"
#define ONESTACK_FP_LOAD "flw"
#define ONESTACK_FP_FRAME 96
#define ONESTACK_FP_SIZE "4"
#else
#define ONESTACK_FP_STORE "fsd"
#define ONESTACK_FP_LOAD "fld"
#define ONESTACK_FP_FRAME 176
#define ONESTACK_FP_SIZE "8"
#endif
#endif

// clang-format off
__asm__(R"(
    .section .text.onestack_trap_vector, "ax", @progbits
    .balign 64
    .global onestack_trap_vector
    .option push
    .option norvc               # each entry is one 4-byte jump
onestack_trap_vector:
    j MachineException_Handler  # mcause 0 and every exception
    .rept 15
    j onestack_interrupt_entry  # interrupts 1 to 15
    .endr
    .option pop

    .section .text.onestack_interrupt_entry, "ax", @progbits
    .type onestack_interrupt_entry, @function
onestack_interrupt_entry:
    addi sp, sp, -80
    sw ra, 8(sp)
    sw t0, 12(sp)
    sw t1, 16(sp)
    sw t2, 20(sp)
    sw t3, 24(sp)
    sw t4, 28(sp)
    sw t5, 32(sp)
    sw t6, 36(sp)
    sw a0, 40(sp)
    sw a1, 44(sp)
    sw a2, 48(sp)
    sw a3, 52(sp)
    sw a4, 56(sp)
    sw a5, 60(sp)
    sw a6, 64(sp)
    sw a7, 68(sp)
    csrr t0, mstatus
    csrr t1, mepc
    sw t0, 0(sp)
    sw t1, 4(sp)
)"
#if defined(__riscv_flen)
        R"(
    lui t1, 6                   # mstatus.FS, 0x6000
    and t2, t0, t1
    bne t2, t1, 1f              # not Dirty: nothing of the interrupted code's to save
    addi sp, sp, -)" ONESTACK_STR(ONESTACK_FP_FRAME) R"(
    sw t0, 0(sp)
    .set onestack_fp_slot, 8
    .irp r, ft0,ft1,ft2,ft3,ft4,ft5,ft6,ft7,ft8,ft9,ft10,ft11,fa0,fa1,fa2,fa3,fa4,fa5,fa6,fa7
    )" ONESTACK_FP_STORE R"( \r, onestack_fp_slot(sp)
    .set onestack_fp_slot, onestack_fp_slot + )" ONESTACK_FP_SIZE R"(
    .endr
    frcsr t2
    sw t2, 4(sp)
    fscsr zero
    lui t1, 2                   # Dirty to Clean
    csrc mstatus, t1
1:
)"
#endif
        R"(
    csrr t0, mscratch
    addi t0, t0, 1
    csrw mscratch, t0
    csrr a0, mcause
    call MachineInterrupt_Handler   # returns with MIE clear
    csrr t0, mscratch
    addi t0, t0, -1
    csrw mscratch, t0
    bnez t0, 2f                 # a nested handler's exit
    lui t0, %hi(onestack_interrupted_head)
    lw a0, %lo(onestack_interrupted_head)(t0)
    li t1, -2                   # NO_DISPATCH, and below it a task's interrupt ceiling
    bge t1, a0, 2f
    sw t1, %lo(onestack_interrupted_head)(t0)
)"
#if defined(__riscv_flen)
        R"(
    fscsr zero                  # the dispatch's tasks start with fcsr 0, not the handler's flags
)"
#endif
        R"(
    csrsi mstatus, 8
    call onestack_dispatch_at_interrupt_exit
    csrci mstatus, 8
2:  lw t0, 0(sp)
)"
#if defined(__riscv_flen)
        R"(
    lui t1, 6
    and t2, t0, t1
    bne t2, t1, 3f
    .set onestack_fp_slot, 8
    .irp r, ft0,ft1,ft2,ft3,ft4,ft5,ft6,ft7,ft8,ft9,ft10,ft11,fa0,fa1,fa2,fa3,fa4,fa5,fa6,fa7
    )" ONESTACK_FP_LOAD R"( \r, onestack_fp_slot(sp)
    .set onestack_fp_slot, onestack_fp_slot + )" ONESTACK_FP_SIZE R"(
    .endr
    lw t2, 4(sp)
    fscsr t2
    addi sp, sp, )" ONESTACK_STR(ONESTACK_FP_FRAME) R"(
    j 4f
3:  fscsr zero
4:
)"
#endif
        R"(
    lw t1, 4(sp)
    csrw mstatus, t0
    csrw mepc, t1
    lw ra, 8(sp)
    lw t0, 12(sp)
    lw t1, 16(sp)
    lw t2, 20(sp)
    lw t3, 24(sp)
    lw t4, 28(sp)
    lw t5, 32(sp)
    lw t6, 36(sp)
    lw a0, 40(sp)
    lw a1, 44(sp)
    lw a2, 48(sp)
    lw a3, 52(sp)
    lw a4, 56(sp)
    lw a5, 60(sp)
    lw a6, 64(sp)
    lw a7, 68(sp)
    addi sp, sp, 80
    mret
    .size onestack_interrupt_entry, . - onestack_interrupt_entry
)");
// clang-format on
