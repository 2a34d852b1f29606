// Interrupts at many points, on the board under QEMU with instruction-
// counted time: the tick at a random short period and nested, chained,
// software-triggered interrupts activate tasks of random priorities while
// tasks activate, hold and release, on a Cortex-M or a RISC-V board. Every
// check is made here, as it runs: each activation runs exactly once; no
// task starts while a handler's task of higher priority waits, nor while
// the ready list holds anything above it; no task at or below a held
// ceiling starts during the hold; the core registers and flags and, with
// an FPU, its registers and status (s0-s31 and FPSCR, f0-f31 and fcsr)
// survive every interrupt and every preemption, in tasks and in handlers
// alike; on RISC-V, fcsr survives nested handlers; and the tables are clean
// at the end. Every handler and the tasks send items through two channels,
// whose consumers check that each producer's items arrive exactly once and
// in order; every send returns what the channel's state under the mask
// called for, the drops counted are the refusals seen, and the refused
// activations (of consumers, and of tasks that may fail) are counted
// exactly. Tasks and the handlers at levels 1 to 3 add to counters shared
// at each of those levels, each addition a read, a churn and a write that
// an interrupt in between would tear, under interrupt ceilings (nested,
// from tasks and from handlers): every counter comes out exact, no handler
// runs at a level that a ceiling holds off and no task starts while a task
// holds one. It reports the peak stack, from the stack that the board's
// start-up code paints.
#include <stdint.h>
#include <stdio.h>

#include "board.h"
#include "kernel_private.h"

#ifndef STRESS_SEED
#define STRESS_SEED 1
#endif
#ifndef STRESS_LAZY_STACKING // with an FPU: 0 turns lazy FP stacking off
#define STRESS_LAZY_STACKING 1
#endif

namespace {

using onestack::task_table;

constexpr uint32_t TARGET_INTERRUPTS = 100000;
constexpr int LEVELS = 8;                // task priorities 0 (the background) to 7
constexpr int MAX_LIVE = MAX_TASKS;      // live tasks, consumers included, and records reserved for them
constexpr int TASK_LIVE = MAX_TASKS - 2; // of them, the tasks': the consumers may take the rest

// Interrupt sources that software raises, and their levels (0 most urgent).
enum : uint32_t { IRQ_NEST = 0, IRQ_DEEP = BOARD_RAISABLE_IRQ_1, IRQ_CHAIN = BOARD_RAISABLE_IRQ_2 };
// Levels 0 to 3, distinct on every Cortex-M, ARMv6-M's 2 bits included.
enum : uint32_t { LEVEL_DEEP = 0, LEVEL_NEST = 1, LEVEL_TICK = 2, LEVEL_CHAIN = 3 };

struct Random {
    uint32_t state;
    uint32_t Next() { // xorshift32
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
};

// One generator per priority level and per handler: no context ever
// interrupts another that uses the same one.
Random task_random[LEVELS];
Random tick_random, nest_random, deep_random, chain_random;
// The tick's periods have a generator of their own, so that what the
// handlers draw does not shape them.
Random period_random;

volatile uint32_t interrupts, ticks, nested, deep, chained;
volatile uint32_t handler_activated[LEVELS], handler_ran[LEVELS];
volatile uint32_t task_activated[LEVELS], task_ran[LEVELS];
volatile int live = 1; // counted before each activation, uncounted after each TerminateTask
volatile int held[LEVELS + 1], held_count;
volatile uint32_t churns, fp_churns;
volatile bool stopping;
volatile uint32_t try_refused; // TryActivateTask calls that returned 0

// Counters shared with handlers: shared[L] by the tasks and the handlers
// at level L or less urgent, so under a ceiling at L from anything less
// urgent than L. Each addition is also counted in added[L], under the full
// mask, which no ceiling's fault can reach. held_level is the most urgent
// level held off now (NO_LEVEL for none), as the holders say: no handler
// at it or below, and no task, may start.
constexpr int32_t NO_LEVEL = 99;
constexpr int32_t LEAST_SHARED = LEVEL_CHAIN; // the least urgent level with a counter
volatile uint32_t shared[LEAST_SHARED + 1], added[LEAST_SHARED + 1];
volatile int32_t held_level = NO_LEVEL;
volatile uint32_t interrupt_holds;

uint32_t Mask() { return onestack::port::MaskInterrupts(); }
void Unmask(uint32_t was) { onestack::port::RestoreInterrupts(was); }

[[noreturn]] void Fail(const char *what, int level) {
    Mask();
    printf("stress: FAILED: %s (level %d, after %lu interrupts)\n", what, level, (unsigned long)interrupts);
    BoardExit(1);
    for (;;) {
    }
}

// Uses every core register but sp, gp and tp (r0 to r12 and the carry flag
// on the Cortex-M), and returns a checksum of them all: an interrupt
// anywhere in it that lost a register or a flag changes it.
extern "C" uint32_t ChurnRegisters(uint32_t seed, uint32_t rounds);
#if defined(__riscv)
// a0 is the checksum and a1 counts the rounds; a2 is a scratch while the
// others are filled from the seed, and then churned like them.
__asm__(R"(
    .section .text.ChurnRegisters, "ax", @progbits
    .global ChurnRegisters
    .type ChurnRegisters, @function
ChurnRegisters:
    addi sp, sp, -64
    .set churn_slot, 0
    .irp r, ra,s0,s1,s2,s3,s4,s5,s6,s7,s8,s9,s10,s11
    sw \r, churn_slot(sp)
    .set churn_slot, churn_slot + 4
    .endr
    .irp r, ra,t0,t1,t2,t3,t4,t5,t6,a3,a4,a5,a6,a7,s0,s1,s2,s3,s4,s5,s6,s7,s8,s9,s10,s11
    slli a2, a0, 13
    xor a0, a0, a2
    srli a2, a0, 17
    xor a0, a0, a2
    slli a2, a0, 5
    xor a0, a0, a2
    mv \r, a0
    .endr
1:  .irp r, ra,t0,t1,t2,t3,t4,t5,t6,a2,a3,a4,a5,a6,a7,s0,s1,s2,s3,s4,s5,s6,s7,s8,s9,s10,s11
    add \r, \r, a0
    xor a0, a0, \r
    .endr
    srli a0, a0, 1
    addi a1, a1, -1
    bnez a1, 1b
    .irp r, ra,t0,t1,t2,t3,t4,t5,t6,a2,a3,a4,a5,a6,a7,s0,s1,s2,s3,s4,s5,s6,s7,s8,s9,s10,s11
    xor a0, a0, \r
    .endr
    .set churn_slot, 0
    .irp r, ra,s0,s1,s2,s3,s4,s5,s6,s7,s8,s9,s10,s11
    lw \r, churn_slot(sp)
    .set churn_slot, churn_slot + 4
    .endr
    addi sp, sp, 64
    ret
    .size ChurnRegisters, . - ChurnRegisters
)");
#elif defined(__ARM_ARCH_6M__)
// Thumb-1: r0-r6 carry the flag from one adcs to the next, across the
// adds of the high registers, which set no flags.
__asm__(R"(
    .syntax unified
    .thumb
    .section .text.ChurnRegisters, "ax", %progbits
    .global ChurnRegisters
    .type ChurnRegisters, %function
    .thumb_func
ChurnRegisters:
    push {r4-r7, lr}
    mov r2, r8
    mov r3, r9
    mov r4, r10
    mov r5, r11
    push {r2-r5}
    mov r7, r1
    ldr r1, =0x9E3779B9
    eors r1, r0
    mov r8, r1
    ldr r1, =0x7F4A7C15
    adds r1, r0
    mov r9, r1
    ldr r1, =0x94D049BB
    eors r1, r0
    mov r10, r1
    ldr r1, =0x3C6EF372
    adds r1, r0
    mov r11, r1
    ldr r1, =0xDAA66D2B
    eors r1, r0
    mov r12, r1
    ldr r1, =0x5A000000
    eors r1, r0
    ldr r2, =0x00003100
    adds r2, r0
    ldr r3, =0xA5A5A5A5
    eors r3, r0
    ldr r4, =0x11000000
    adds r4, r0
    ldr r5, =0x00003C00
    eors r5, r0
    ldr r6, =0x00000077
    adds r6, r0
1:  adds r0, r0, r1
    adcs r1, r2
    adcs r2, r3
    adcs r3, r4
    adcs r4, r5
    adcs r5, r6
    adcs r6, r0
    add r8, r1
    add r9, r2
    add r10, r3
    add r11, r4
    add r12, r5
    add r0, r8
    add r1, r9
    add r2, r10
    add r3, r11
    add r4, r12
    adcs r5, r5
    subs r7, #1
    bne 1b
    eors r0, r1
    eors r0, r2
    eors r0, r3
    eors r0, r4
    eors r0, r5
    eors r0, r6
    mov r1, r8
    eors r0, r1
    mov r1, r9
    eors r0, r1
    mov r1, r10
    eors r0, r1
    mov r1, r11
    eors r0, r1
    mov r1, r12
    eors r0, r1
    pop {r2-r5}
    mov r8, r2
    mov r9, r3
    mov r10, r4
    mov r11, r5
    pop {r4-r7, pc}
    .ltorg
    .size ChurnRegisters, . - ChurnRegisters
)");
#else
__asm__(R"(
    .syntax unified
    .thumb
    .section .text.ChurnRegisters, "ax", %progbits
    .global ChurnRegisters
    .type ChurnRegisters, %function
    .thumb_func
ChurnRegisters:
    push {r4-r11, lr}
    mov r12, r1
    eor r1, r0, #0x5A000000
    add r2, r0, #0x3100
    eor r3, r0, r0, ror #3
    add r4, r0, r0, lsl #5
    eor r5, r0, #0xA5
    add r6, r0, #0x11000000
    eor r7, r0, r0, ror #11
    add r8, r0, r0, lsl #9
    eor r9, r0, #0x3C00
    add r10, r0, #0x77
    eor r11, r0, r0, ror #19
1:  adds r0, r0, r1
    adcs r1, r1, r2
    adcs r2, r2, r3
    adcs r3, r3, r4
    adcs r4, r4, r5
    adcs r5, r5, r6
    adcs r6, r6, r7
    adcs r7, r7, r8
    adcs r8, r8, r9
    adcs r9, r9, r10
    adcs r10, r10, r11
    adcs r11, r11, r0
    eor r0, r0, r11, ror #7
    subs r12, r12, #1
    bne 1b
    eor r0, r0, r1
    eor r0, r0, r2
    eor r0, r0, r3
    eor r0, r0, r4
    eor r0, r0, r5
    eor r0, r0, r6
    eor r0, r0, r7
    eor r0, r0, r8
    eor r0, r0, r9
    eor r0, r0, r10
    eor r0, r0, r11
    pop {r4-r11, pc}
    .size ChurnRegisters, . - ChurnRegisters
)");
#endif

#if defined(__riscv_flen)
#define STRESS_FP 1
// Sets fcsr's rounding mode (one of the four directed and nearest) and
// flags from the seed, fills f0-f31 with finite values from it, adds and
// subtracts them round after round in that mode, and returns a checksum of
// all 32 registers and fcsr: an interrupt anywhere in it that lost an F
// register or fcsr changes it.
extern "C" uint32_t ChurnFloatingPoint(uint32_t seed, uint32_t rounds);
__asm__(R"(
    .section .text.ChurnFloatingPoint, "ax", @progbits
    .global ChurnFloatingPoint
    .type ChurnFloatingPoint, @function
ChurnFloatingPoint:
    addi sp, sp, -64
    .set churn_slot, 0
    .irp r, fs0,fs1,fs2,fs3,fs4,fs5,fs6,fs7,fs8,fs9,fs10,fs11
    fsw \r, churn_slot(sp)
    .set churn_slot, churn_slot + 4
    .endr
    frcsr a5
    sw a5, 48(sp)
    andi a2, a0, 0x7F           # frm 0 to 3, and the flags
    fscsr a2
    mv a2, a0
    .irp n, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
    slli a3, a2, 13
    xor a2, a2, a3
    srli a3, a2, 17
    xor a2, a2, a3
    slli a3, a2, 5
    xor a2, a2, a3
    lui a4, 0x40000
    not a4, a4
    and a3, a2, a4              # an exponent below 128: finite, and at times subnormal
    fmv.w.x f\n, a3
    .endr
1:
    fadd.s f0, f0, f1
    fsub.s f1, f1, f2
    fadd.s f2, f2, f3
    fsub.s f3, f3, f4
    fadd.s f4, f4, f5
    fsub.s f5, f5, f6
    fadd.s f6, f6, f7
    fsub.s f7, f7, f8
    fadd.s f8, f8, f9
    fsub.s f9, f9, f10
    fadd.s f10, f10, f11
    fsub.s f11, f11, f12
    fadd.s f12, f12, f13
    fsub.s f13, f13, f14
    fadd.s f14, f14, f15
    fsub.s f15, f15, f16
    fadd.s f16, f16, f17
    fsub.s f17, f17, f18
    fadd.s f18, f18, f19
    fsub.s f19, f19, f20
    fadd.s f20, f20, f21
    fsub.s f21, f21, f22
    fadd.s f22, f22, f23
    fsub.s f23, f23, f24
    fadd.s f24, f24, f25
    fsub.s f25, f25, f26
    fadd.s f26, f26, f27
    fsub.s f27, f27, f28
    fadd.s f28, f28, f29
    fsub.s f29, f29, f30
    fadd.s f30, f30, f31
    fsub.s f31, f31, f0
    addi a1, a1, -1
    bnez a1, 1b
    frcsr a0
    .irp n, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
    fmv.x.w a2, f\n
    slli a3, a0, 25
    srli a0, a0, 7
    or a0, a0, a3
    xor a0, a0, a2
    .endr
    lw a5, 48(sp)
    fscsr a5
    .set churn_slot, 0
    .irp r, fs0,fs1,fs2,fs3,fs4,fs5,fs6,fs7,fs8,fs9,fs10,fs11
    flw \r, churn_slot(sp)
    .set churn_slot, churn_slot + 4
    .endr
    addi sp, sp, 64
    ret
    .size ChurnFloatingPoint, . - ChurnFloatingPoint
)");
#elif defined(__ARM_FP)
#define STRESS_FP 1
// Sets FPSCR's control bits and flags from the seed, fills s0-s31 with
// finite values from it, adds and subtracts them round after round in that
// rounding mode, and returns a checksum of all 32 registers and FPSCR: an
// interrupt anywhere in it that lost an FP register or FPSCR changes it.
extern "C" uint32_t ChurnFloatingPoint(uint32_t seed, uint32_t rounds);
__asm__(R"(
    .syntax unified
    .thumb
    .section .text.ChurnFloatingPoint, "ax", %progbits
    .global ChurnFloatingPoint
    .type ChurnFloatingPoint, %function
    .thumb_func
ChurnFloatingPoint:
    push {r4, lr}
    vpush {s16-s31}
    vmrs r4, fpscr
    ldr r2, =0x07C0009F         @ AHP, DN, FZ, RMode; IDC and the cumulative flags
    and r2, r0, r2
    vmsr fpscr, r2
    mov r2, r0
    .irp n, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
    eor r2, r2, r2, lsl #13
    eor r2, r2, r2, lsr #17
    eor r2, r2, r2, lsl #5
    bic r3, r2, #0x40000000     @ an exponent below 128: finite, and at times subnormal
    vmov s\n, r3
    .endr
1:  vadd.f32 s0, s0, s1
    vsub.f32 s1, s1, s2
    vadd.f32 s2, s2, s3
    vsub.f32 s3, s3, s4
    vadd.f32 s4, s4, s5
    vsub.f32 s5, s5, s6
    vadd.f32 s6, s6, s7
    vsub.f32 s7, s7, s8
    vadd.f32 s8, s8, s9
    vsub.f32 s9, s9, s10
    vadd.f32 s10, s10, s11
    vsub.f32 s11, s11, s12
    vadd.f32 s12, s12, s13
    vsub.f32 s13, s13, s14
    vadd.f32 s14, s14, s15
    vsub.f32 s15, s15, s16
    vadd.f32 s16, s16, s17
    vsub.f32 s17, s17, s18
    vadd.f32 s18, s18, s19
    vsub.f32 s19, s19, s20
    vadd.f32 s20, s20, s21
    vsub.f32 s21, s21, s22
    vadd.f32 s22, s22, s23
    vsub.f32 s23, s23, s24
    vadd.f32 s24, s24, s25
    vsub.f32 s25, s25, s26
    vadd.f32 s26, s26, s27
    vsub.f32 s27, s27, s28
    vadd.f32 s28, s28, s29
    vsub.f32 s29, s29, s30
    vadd.f32 s30, s30, s31
    vsub.f32 s31, s31, s0
    subs r1, r1, #1
    bne 1b
    vmrs r0, fpscr
    .irp n, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
    vmov r2, s\n
    eor r0, r2, r0, ror #7
    .endr
    vmsr fpscr, r4
    vpop {s16-s31}
    pop {r4, pc}
    .ltorg
    .size ChurnFloatingPoint, . - ChurnFloatingPoint
)");
#endif
// The same churn with interrupts masked gives the value to expect. Up to
// `most` rounds of the core registers' churn and, with an FPU, the FP
// registers'.
void Churn(Random &random, int level, uint32_t most = 40) {
    const uint32_t seed = random.Next();
    const uint32_t rounds = 1 + random.Below(most);
    uint32_t was = Mask();
    const uint32_t expected = ChurnRegisters(seed, rounds);
    churns = churns + 1;
    Unmask(was);
    if (ChurnRegisters(seed, rounds) != expected)
        Fail("a register or a flag changed across an interrupt", level);
#if defined(STRESS_FP)
    const uint32_t fp_rounds = 1 + rounds / 4; // each is about three of the core registers' rounds
    was = Mask();
    const uint32_t expected_fp = ChurnFloatingPoint(seed, fp_rounds);
    fp_churns = fp_churns + 1;
    Unmask(was);
    if (ChurnFloatingPoint(seed, fp_rounds) != expected_fp)
        Fail("an FP register or FPSCR changed across an interrupt", level);
#endif
}

void CheckFcsrAtStart(int level);

// At a task's start, interrupts masked.
void CheckStart(int level, TaskEntry entry) {
    CheckFcsrAtStart(level);
    for (int q = level + 1; q < LEVELS; ++q) {
        if (handler_activated[q] != handler_ran[q])
            Fail("a task started while a handler's higher task waited", level);
    }
    for (int h = 0; h < held_count; ++h) {
        if (held[h] >= level) Fail("a task at or below a held ceiling started during the hold", level);
    }
    if (held_level != NO_LEVEL) Fail("a task started while an interrupt ceiling was held", level);
    const TaskId head = onestack::ready_head;
    if (head == NO_TASK || task_table[head].entry != entry || task_table[head].current_priority != level) {
        Fail("the task that started does not head the ready list", level);
    }
    int count = 0;
    for (TaskId i = head; task_table[i].next != NO_TASK; i = task_table[i].next) {
        if (++count > MAX_TASKS) Fail("the ready list has a cycle", level);
        if (task_table[task_table[i].next].current_priority > task_table[i].current_priority) {
            Fail("the ready list is out of order", level);
        }
    }
}

bool TakeRecord() {
    const uint32_t was = Mask();
    const bool room = live < TASK_LIVE;
    live = live + (room ? 1 : 0);
    Unmask(was);
    return room;
}

template <int P> void TaskActivatedByTask();

constexpr TaskEntry by_task[LEVELS] = {
    TaskActivatedByTask<0>, TaskActivatedByTask<1>, TaskActivatedByTask<2>, TaskActivatedByTask<3>,
    TaskActivatedByTask<4>, TaskActivatedByTask<5>, TaskActivatedByTask<6>, TaskActivatedByTask<7>,
};

// From a task: counted before the call, since one that outranks the
// caller runs inside it.
void ActivateFromTask(Random &random) {
    if (!TakeRecord()) return;
    const int level = 1 + static_cast<int>(random.Below(LEVELS - 1));
    const uint32_t was = Mask();
    task_activated[level] = task_activated[level] + 1;
    Unmask(was);
    ActivateTask(by_task[level], level, "by task");
}

void HoldAndRelease(Random &random, int level) {
    const int ceiling = 1 + static_cast<int>(random.Below(LEVELS - 1));
    AcquireResource(ceiling, 0);
    uint32_t was = Mask();
    held[held_count] = ceiling;
    held_count = held_count + 1;
    Unmask(was);
    Churn(random, level);
    if (random.Below(2) == 0) ActivateFromTask(random);
    was = Mask();
    held_count = held_count - 1;
    Unmask(was);
    ReleaseResource(ceiling, 0);
}

// Adds one to shared[level], slowly: an interrupt between the read and
// the write that adds too would lose an addition.
void AddShared(Random &random, int32_t level) {
    const uint32_t value = shared[level];
    ChurnRegisters(random.Next(), 1 + random.Below(4));
    shared[level] = value + 1;
    const uint32_t was = Mask();
    added[level] = added[level] + 1;
    Unmask(was);
}

// Holds a ceiling at `level` while it adds to the counters from that level
// to the caller's (a task's is LEAST_SHARED), and now and then, inside, a
// hold at a random level no less urgent than the caller's, nested.
template <int DEPTH> void AddUnderCeiling(Random &random, int32_t level, int32_t caller_level) {
    const InterruptHold hold = AcquireInterruptCeiling(static_cast<uint32_t>(level));
    const int32_t outer = held_level;
    held_level = level < outer ? level : outer;
    const uint32_t was = Mask();
    interrupt_holds = interrupt_holds + 1;
    Unmask(was);
    for (int32_t at = level; at <= caller_level; ++at) AddShared(random, at);
    if constexpr (DEPTH == 0) {
        if (random.Below(3) == 0) {
            AddUnderCeiling<1>(random,
                               1 + static_cast<int32_t>(random.Below(static_cast<uint32_t>(caller_level))),
                               caller_level);
        }
    }
    held_level = outer;
    ReleaseInterruptCeiling(hold);
}

void ShareFromTask(Random &random) {
    AddUnderCeiling<0>(random, 1 + static_cast<int32_t>(random.Below(LEAST_SHARED)), LEAST_SHARED);
}

// A handler at `own` first checks that no ceiling holds its level off;
// then it adds to its own level's counter unheld, or to the counters from
// a more urgent level to its own under that level's ceiling.
void ShareFromHandler(Random &random, int32_t own) {
    if (own >= held_level) Fail("a handler ran at a level that an interrupt ceiling held off", own);
    if (own == 0 || random.Below(2) != 0) return;
    if (random.Below(2) == 0) {
        AddShared(random, own);
    } else {
        AddUnderCeiling<0>(random, 1 + static_cast<int32_t>(random.Below(static_cast<uint32_t>(own))), own);
    }
}

void Terminate() {
    TerminateTask();
    const uint32_t was = Mask();
    live = live - 1;
    Unmask(was);
}

void SendFromTask(Random &random, int level);

// One thing a task does: hold a resource, activate a task, raise an
// interrupt, send, share with handlers, or check its registers.
void RandomStep(Random &random, int level) {
    switch (random.Below(6)) {
    case 0:
        HoldAndRelease(random, level);
        break;
    case 1:
        ActivateFromTask(random);
        break;
    case 2:
        BoardPendIrq(random.Below(2) == 0 ? IRQ_NEST : IRQ_CHAIN);
        break;
    case 3:
        SendFromTask(random, level);
        break;
    case 4:
        ShareFromTask(random);
        break;
    default:
        Churn(random, level);
        break;
    }
}

void TaskBody(Random &random, int level) {
    for (uint32_t steps = random.Below(4); steps > 0; --steps) RandomStep(random, level);
    Terminate();
}

// A task's start, counted and checked under the mask, then its body.
void Run(volatile uint32_t *ran, const volatile uint32_t *activated, int level, TaskEntry entry,
         const char *ran_twice) {
    const uint32_t was = Mask();
    ran[level] = ran[level] + 1;
    if (ran[level] > activated[level]) Fail(ran_twice, level);
    CheckStart(level, entry);
    Unmask(was);
    TaskBody(task_random[level], level);
}

template <int P> void TaskActivatedByTask() {
    Run(task_ran, task_activated, P, by_task[P], "a task activated by a task ran twice");
}

template <int P> void TaskActivatedByHandler();

constexpr TaskEntry by_handler[LEVELS] = {
    TaskActivatedByHandler<0>, TaskActivatedByHandler<1>, TaskActivatedByHandler<2>,
    TaskActivatedByHandler<3>, TaskActivatedByHandler<4>, TaskActivatedByHandler<5>,
    TaskActivatedByHandler<6>, TaskActivatedByHandler<7>,
};

template <int P> void TaskActivatedByHandler() {
    Run(handler_ran, handler_activated, P, by_handler[P], "a task activated by a handler ran twice");
}

// From a handler: counted with the activation under one mask, since a
// nested handler may do the same. Now and then it is an activation that
// may fail: with no record reserved it must be refused, when every record
// is taken (a record may be free but reserved by a task's activation).
void ActivateFromHandler(Random &random) {
    const bool may_fail = random.Below(4) == 0;
    const int level = 1 + static_cast<int>(random.Below(LEVELS - 1));
    if (!TakeRecord()) {
        const uint32_t was = Mask();
        if (may_fail && onestack::free_task_head == NO_TASK) {
            if (TryActivateTask(by_handler[level], level, "refused", 0) != 0)
                Fail("an activation that may fail was not refused with every record taken", level);
            try_refused = try_refused + 1;
        }
        Unmask(was);
        return;
    }
    const uint32_t was = Mask();
    handler_activated[level] = handler_activated[level] + 1;
    if (may_fail) {
        if (TryActivateTask(by_handler[level], level, "by handler", 0) != 1)
            Fail("an activation that may fail was refused with a record free", level);
    } else {
        ActivateTask(by_handler[level], level, "by handler");
    }
    Unmask(was);
}

// Two channels: A, whose consumer runs at 2, from every handler and from
// tasks at 2 or above; B, whose consumer runs at 6, from every handler and
// from tasks at 6 or above (a task sends only where the consumer cannot
// preempt it, since it sends with interrupts masked). An item is its
// producer above the count of its items the channel has taken.
constexpr int CHANNELS = 2;
constexpr int PRODUCERS = 4 + LEVELS; // the four handlers, then the task levels
constexpr int32_t CONSUMER_LEVEL[CHANNELS] = {2, 6};
template <int C> void Consume();
ONESTACK_CHANNEL(channel_a, 4, Consume<0>, CONSUMER_LEVEL[0], "consumer A");
ONESTACK_CHANNEL(channel_b, 3, Consume<1>, CONSUMER_LEVEL[1], "consumer B");
Channel *const channels[CHANNELS] = {&channel_a, &channel_b};
uint32_t taken[CHANNELS][PRODUCERS];    // by each producer alone
uint32_t received[CHANNELS][PRODUCERS]; // by the channel's consumer alone
volatile uint32_t refusals[CHANNELS], consumer_refused;
Random consumer_random[CHANNELS];

// A send, with interrupts masked so that what it returns is known from the
// channel and the records: refused when full, or when it must activate the
// consumer and every record is taken; a record is reserved for the consumer
// it activates.
void Send(int c, int producer) {
    Channel &channel = *channels[c];
    const uint32_t was = Mask();
    const uint32_t items = channel.end - channel.first;
    int32_t expected = items < channel.capacity ? 1 : 0;
    if (items == 0 && channel.reader == 0) {
        if (onestack::free_task_head == NO_TASK) {
            expected = 0;
            consumer_refused = consumer_refused + 1;
        } else if (live < MAX_LIVE) {
            live = live + 1;
        } else { // the free record is reserved
            Unmask(was);
            return;
        }
    }
    const auto item = static_cast<uintptr_t>(producer) << 24 | taken[c][producer];
    const int32_t result = SendChannel(&channel, item);
    if (result != expected) Fail("a send returned what the channel's state did not call for", producer);
    if (result != 0) {
        ++taken[c][producer];
    } else {
        refusals[c] = refusals[c] + 1;
    }
    Unmask(was);
}

// One item, a time in four: more would leave the thread of the slowest
// core, the Cortex-M0, too little time between ticks.
void SendFromHandler(Random &random, int handler) {
    if (random.Below(4) == 0) Send(static_cast<int>(random.Below(CHANNELS)), handler);
}

void SendFromTask(Random &random, int level) {
    const int c = static_cast<int>(random.Below(CHANNELS));
    if (TaskPriority() >= CONSUMER_LEVEL[c]) {
        for (uint32_t n = 1 + random.Below(3); n > 0; --n) Send(c, 4 + level);
    }
}

// A consumer, checked at its start like a task; every item it receives is
// the next of its producer's. It churns now and then, so that interrupts
// land between its receives, and in its empty receive's window too.
template <int C> void Consume() {
    uint32_t was = Mask();
    CheckStart(CONSUMER_LEVEL[C], Consume<C>);
    if (TaskWord() != reinterpret_cast<uintptr_t>(channels[C]))
        Fail("a consumer's word is not its channel", C);
    Unmask(was);
    uintptr_t item = 0;
    while (ReceiveChannel(channels[C], &item) != 0) {
        const auto producer = static_cast<uint32_t>(item >> 24);
        if (producer >= PRODUCERS || (item & 0xFFFFFF) != received[C][producer])
            Fail("an item arrived out of its producer's order, twice, or from nowhere", CONSUMER_LEVEL[C]);
        ++received[C][producer];
        if (consumer_random[C].Below(8) == 0) Churn(consumer_random[C], CONSUMER_LEVEL[C], 8);
    }
    Terminate();
}

void CountInterrupt() {
    const uint32_t was = Mask();
    interrupts = interrupts + 1;
    Unmask(was);
}

// A short tick, of 3 to 18 tick clocks (40 to 100 instructions each under
// QEMU, by board), so that the next interrupt lands somewhere else in the
// code. The Cortex-M0, whose handlers take the most instructions for the
// same work, ticks half as often: else its handlers would leave its tasks
// almost no time at all.
#if defined(__ARM_ARCH_6M__)
constexpr uint32_t TICK_SCALE = 2;
#else
constexpr uint32_t TICK_SCALE = 1;
#endif
void ScheduleTick() { BoardTickAgain(TICK_SCALE * (3 + period_random.Below(16))); }

// Handlers churn too, more briefly: the nested ones check that what
// interrupts them leaves their registers alone, the FP ones included.
constexpr int IN_HANDLER = -2;
void ChurnInHandler(Random &random) {
    if (random.Below(4) == 0) Churn(random, IN_HANDLER, 4);
}

#if defined(__riscv_flen)
// A handler starts with fcsr 0 until it writes FP state of its own, and a
// nested handler that leaves its flags raised does not change that; each
// handler checks it before its churn and then leaves the inexact flag set.
void CheckFcsrUntouched() {
    uint32_t fcsr;
    __asm__ volatile("frcsr %0" : "=r"(fcsr));
    if (fcsr != 0) Fail("fcsr changed across a nested handler", IN_HANDLER);
}
void LeaveInexactRaised() {
    volatile float third = 1.0f;
    third = third / 3.0f;
}
// Tasks keep fcsr at 0 (the churn restores it), so every task starts with
// 0: one run at an interrupt's exit too, whatever flags its handler left.
void CheckFcsrAtStart(int level) {
    uint32_t fcsr;
    __asm__ volatile("frcsr %0" : "=r"(fcsr));
    if (fcsr != 0) Fail("a task started with the fcsr of a handler", level);
}
#else
void CheckFcsrUntouched() {}
void LeaveInexactRaised() {}
void CheckFcsrAtStart(int) {}
#endif

} // namespace

extern "C" void BOARD_TICK_HANDLER() {
    BoardAcknowledgeTick();
    CountInterrupt();
    ticks = ticks + 1;
    if (interrupts >= TARGET_INTERRUPTS) { // the tasks above the background may keep it out
        stopping = true;
        BoardStartTick(0);
        return;
    }
    ScheduleTick();
    CheckFcsrUntouched();
    for (uint32_t n = tick_random.Below(3); n > 0; --n) ActivateFromHandler(tick_random);
    SendFromHandler(tick_random, 0);
    ShareFromHandler(tick_random, LEVEL_TICK);
    CheckFcsrUntouched();
    ChurnInHandler(tick_random);
    LeaveInexactRaised();
    if (tick_random.Below(4) == 0) BoardPendIrq(IRQ_NEST);  // nests at once
    if (tick_random.Below(8) == 0) BoardPendIrq(IRQ_CHAIN); // chains after this handler
}

extern "C" void IRQ0_Handler() {
    CountInterrupt();
    nested = nested + 1;
    if (stopping) return;
    CheckFcsrUntouched();
    ActivateFromHandler(nest_random);
    SendFromHandler(nest_random, 1);
    ShareFromHandler(nest_random, LEVEL_NEST);
    CheckFcsrUntouched();
    ChurnInHandler(nest_random);
    LeaveInexactRaised();
    if (nest_random.Below(3) == 0) BoardPendIrq(IRQ_DEEP);
}

extern "C" void BOARD_IRQ_HANDLER(BOARD_RAISABLE_IRQ_1)() {
    CountInterrupt();
    deep = deep + 1;
    if (stopping) return;
    CheckFcsrUntouched();
    ActivateFromHandler(deep_random);
    SendFromHandler(deep_random, 2);
    ShareFromHandler(deep_random, LEVEL_DEEP);
    CheckFcsrUntouched();
    ChurnInHandler(deep_random);
    LeaveInexactRaised();
}

extern "C" void BOARD_IRQ_HANDLER(BOARD_RAISABLE_IRQ_2)() {
    CountInterrupt();
    chained = chained + 1;
    if (stopping) return;
    CheckFcsrUntouched();
    ActivateFromHandler(chain_random);
    SendFromHandler(chain_random, 3);
    ShareFromHandler(chain_random, LEVEL_CHAIN);
    CheckFcsrUntouched();
    ChurnInHandler(chain_random);
    LeaveInexactRaised();
}

namespace {

// Runs until enough interrupts have been taken; returns now and then
// without terminating, to be entered again. The tasks above it may keep it
// from running for long stretches.
void Background() {
    const uint32_t was = Mask();
    CheckStart(0, Background);
    Unmask(was);
    Random &random = task_random[0];
    for (uint32_t steps = 1 + random.Below(50); steps > 0; --steps) {
        if (stopping) {
            Terminate();
            return;
        }
        RandomStep(random, 0);
    }
}

void CheckTablesClean() {
    int free_records = 0;
    for (TaskId i = onestack::free_task_head; i != NO_TASK && free_records <= MAX_TASKS;
         i = task_table[i].next) {
        ++free_records;
    }
    int free_holds = 0;
    for (int32_t r = onestack::free_resource_head; r != onestack::NO_RECORD && free_holds <= MAX_RESOURCES;
         r = onestack::resource_table[r].ceiling) {
        ++free_holds;
    }
    if (free_records != MAX_TASKS || free_holds != MAX_RESOURCES || onestack::ready_head != NO_TASK ||
        onestack::interrupted_head != onestack::NO_DISPATCH) {
        Fail("the tables are not clean at the end", -1);
    }
    for (int p = 0; p < LEVELS; ++p) {
        if (handler_ran[p] != handler_activated[p] || task_ran[p] != task_activated[p]) {
            Fail("an activation never ran", p);
        }
    }
    for (int c = 0; c < CHANNELS; ++c) {
        for (int p = 0; p < PRODUCERS; ++p) {
            if (received[c][p] != taken[c][p]) Fail("an item taken was never received: a lost wake-up", p);
        }
        if (ChannelDrops(channels[c]) != refusals[c]) Fail("a channel's drops are not the refusals seen", c);
    }
    if (RefusedActivations() != try_refused + consumer_refused)
        Fail("the refused activations are not those that were refused", -1);
    for (int32_t level = 1; level <= LEAST_SHARED; ++level) {
        if (shared[level] != added[level]) Fail("an addition under an interrupt ceiling was lost", level);
    }
    if (onestack::kernel_variables.interrupt_holds != 0) Fail("an interrupt ceiling is still held", -1);
}

// With an FPU, lazy stacking is on after reset; STRESS_LAZY_STACKING=0
// turns it off (FPCCR.LSPEN), so that each interrupt saves the FP state
// that it finds in use at once.
void SetLazyStacking() {
#if defined(__ARM_FP) && STRESS_LAZY_STACKING == 0
    BOARD_REGISTER(0xE000EF34) &= ~(1u << 30);
#endif
}

// ", N of them of the FP registers, stacked lazily", or nothing without an FPU.
const char *FloatingPointChecks() {
    static char text[64];
#if defined(__riscv_flen)
    snprintf(text, sizeof text, ", %lu of them of the F registers and fcsr", (unsigned long)fp_churns);
#elif defined(__ARM_FP)
    snprintf(text, sizeof text, ", %lu of them of the FP registers, stacked %s", (unsigned long)fp_churns,
             STRESS_LAZY_STACKING ? "lazily" : "at once");
#endif
    return text;
}

} // namespace

int main() {
    for (int p = 0; p < LEVELS; ++p)
        task_random[p].state = STRESS_SEED * 2654435761u + static_cast<uint32_t>(p) + 1;
    tick_random.state = STRESS_SEED * 40503u + 11;
    period_random.state = STRESS_SEED * 1664525u + 29;
    nest_random.state = STRESS_SEED * 69069u + 13;
    deep_random.state = STRESS_SEED * 1103515245u + 17;
    chain_random.state = STRESS_SEED * 134775813u + 19;
    for (int c = 0; c < CHANNELS; ++c)
        consumer_random[c].state = STRESS_SEED * 22695477u + 23 + static_cast<uint32_t>(c);
    SetLazyStacking();
    BoardSetPriority(BOARD_TICK, LEVEL_TICK);
    BoardSetPriority(16 + IRQ_NEST, LEVEL_NEST);
    BoardSetPriority(16 + IRQ_DEEP, LEVEL_DEEP);
    BoardSetPriority(16 + IRQ_CHAIN, LEVEL_CHAIN);
    BoardEnableIrq(IRQ_NEST);
    BoardEnableIrq(IRQ_DEEP);
    BoardEnableIrq(IRQ_CHAIN);
    BoardStartTick(8);
    onestack::RunTasks(Background, 0, "background");
    CheckTablesClean();
    uint32_t activations = 0;
    for (int p = 0; p < LEVELS; ++p) activations += handler_ran[p] + task_ran[p];
    uint32_t items = 0;
    for (int c = 0; c < CHANNELS; ++c)
        for (int p = 0; p < PRODUCERS; ++p) items += received[c][p];
    printf(
        "stress: seed %d: %lu interrupts (tick %lu, nested %lu, deeper %lu, chained %lu), %lu activations"
        " (%lu refused), %lu items through channels (%lu dropped), %lu interrupt ceilings held, %lu register"
        " checks%s, peak stack %lu bytes: passed\n",
        STRESS_SEED, (unsigned long)interrupts, (unsigned long)ticks, (unsigned long)nested,
        (unsigned long)deep, (unsigned long)chained, (unsigned long)activations,
        (unsigned long)RefusedActivations(), (unsigned long)items, (unsigned long)(refusals[0] + refusals[1]),
        (unsigned long)interrupt_holds, (unsigned long)churns, FloatingPointChecks(),
        (unsigned long)BoardStackPeak());
    return 0;
}
