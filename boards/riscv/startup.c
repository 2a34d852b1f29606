/* Start-up for every RV32 board, in machine mode: the global and thread
 * pointers, the FPU on where the program is built for one, copying
 * initialised data to RAM, zeroing the rest, the kernel's trap vector, the
 * stack guard, calling main, and handing its result to the host as the exit
 * status through semihosting.
 *
 * The interrupts: the port's trap entry calls MachineInterrupt_Handler with
 * mcause; here it runs the handler for the cause at the cause's level, with
 * interrupts enabled for the body, so that only a more urgent one can come
 * in. Every handler is weak, so that a program's own definition takes its
 * place: MachineTimer_Handler (the tick), IRQ0_Handler (the software
 * interrupt) and IRQ1_Handler up to the PLIC's sources. One left undefined
 * reports the interrupt and ends the program; so does every exception,
 * with its cause and mepc. */
#include <stdint.h>

#include "board.h"

extern uint32_t _data_load[], _data_start[], _data_end[], _bss_start[], _bss_end[], __tls_base[];
extern void (*__init_array_start[])(void), (*__init_array_end[])(void);
extern int main(void);

#define CSR_READ(csr, value) __asm__ volatile("csrr %0, " #csr : "=r"(value))
#define CSR_WRITE(csr, value) __asm__ volatile("csrw " #csr ", %0" : : "r"(value) : "memory")
#define CSR_SET(csr, bits) __asm__ volatile("csrs " #csr ", %0" : : "r"(bits) : "memory")
#define CSR_CLEAR(csr, bits) __asm__ volatile("csrc " #csr ", %0" : : "r"(bits) : "memory")

enum {
    MIE_BIT = 1u << 3, /* mstatus */
    MSIE = 1u << 3,    /* mie */
    MTIE = 1u << 7,
    MEIE = 1u << 11,
    CAUSE_SOFTWARE = 3,
    CAUSE_TIMER = 7,
    CAUSE_EXTERNAL = 11,
    THREAD_LEVEL = BOARD_LOWEST_LEVEL + 1, /* below every handler's */
};

#define MSIP BOARD_REGISTER(BOARD_CLINT)
#define MTIMECMP_LOW BOARD_REGISTER(BOARD_CLINT + 0x4000)
#define MTIMECMP_HIGH BOARD_REGISTER(BOARD_CLINT + 0x4004)
#define MTIME_LOW BOARD_REGISTER(BOARD_CLINT + 0xBFF8)
#define MTIME_HIGH BOARD_REGISTER(BOARD_CLINT + 0xBFFC)
#define PLIC_PRIORITY(source) BOARD_REGISTER(BOARD_PLIC + 4 * (source))
#define PLIC_ENABLE(source) BOARD_REGISTER(BOARD_PLIC + 0x2000 + 4 * ((source) / 32)) /* hart 0, M mode */
#define PLIC_THRESHOLD BOARD_REGISTER(BOARD_PLIC + 0x200000)
#define PLIC_CLAIM BOARD_REGISTER(BOARD_PLIC + 0x200004)

/* The three instructions of a semihosting call, uncompressed and within
 * one page: operation in a0, argument in a1, result in a0. */
int32_t BoardSemihosting(uint32_t operation, void *argument);
__asm__(".section .text.BoardSemihosting, \"ax\", @progbits\n"
        ".balign 16\n"
        ".global BoardSemihosting\n"
        "BoardSemihosting:\n"
        ".option push\n"
        ".option norvc\n"
        "slli zero, zero, 0x1f\n"
        "ebreak\n"
        "srai zero, zero, 7\n"
        ".option pop\n"
        "ret\n");

/* The C library's, weak: linked only where the program uses its streams.
 * Its fflush takes a stream, never null. */
struct __file;
extern int fflush(struct __file *stream) __attribute__((weak));
extern struct __file *const stdout __attribute__((weak));
extern struct __file *const stderr __attribute__((weak));

/* What the C library's streams hold goes first, in the order written. */
void BoardFlushOutput(void);
void BoardFlushOutput(void) {
    if (fflush == 0) return;
    if (&stdout != 0) fflush(stdout);
    if (&stderr != 0) fflush(stderr);
}

/* Both standard streams write to the semihosting console, as the C
 * library's do. */
void BoardWrite(int stream, const char *text) {
    enum { SYS_WRITE0 = 0x04 };
    (void)stream;
    BoardFlushOutput();
    BoardSemihosting(SYS_WRITE0, (void *)text);
}

#include "stack_peak.h"

/* Masked: no handler's task runs over the report and the exit, which
 * hands the host the status whole. */
void BoardExit(int status) {
    enum { SYS_EXIT_EXTENDED = 0x20, ADP_STOPPED_APPLICATION_EXIT = 0x20026 };
    __asm__ volatile("csrci mstatus, 8" : : : "memory");
    ReportStackPeak();
    BoardFlushOutput();
    const uintptr_t block[2] = {ADP_STOPPED_APPLICATION_EXIT, (uintptr_t)status};
    BoardSemihosting(SYS_EXIT_EXTENDED, (void *)block);
    for (;;) {
    }
}

/* Levels: the tick's and each IRQ's, 0 the most urgent. A PLIC source at
 * level l has priority 7 - l, and a handler at level l runs with threshold
 * 7 - l, so that only sources more urgent than it pass; the tick and the
 * software interrupt, which the PLIC does not see, are held off in mie. */
static uint8_t irq_level[BOARD_IRQS];
static uint8_t tick_level = BOARD_LOWEST_LEVEL;

/* What the kernel's interrupt ceilings read: the threshold's register, and
 * per level the mie bits of the tick and the software interrupt when they
 * are at that level or less urgent, which BoardSetPriority keeps. */
#define BOARD_STR_(x) #x
#define BOARD_STR(x) BOARD_STR_(x)
__asm__(".global onestack_plic_threshold\n"
        ".set onestack_plic_threshold, " BOARD_STR(BOARD_PLIC) " + 0x200000");
uint8_t onestack_level_mie[BOARD_LOWEST_LEVEL + 1] = {MTIE | MSIE, MTIE, MTIE, MTIE, MTIE, MTIE, MTIE};
_Static_assert(BOARD_LOWEST_LEVEL == 6, "the kernel's RISC-V port knows levels 0 to 6");

static void KeepLevelMie(void) {
    for (uint32_t at = 0; at <= BOARD_LOWEST_LEVEL; ++at) {
        onestack_level_mie[at] = (uint8_t)((tick_level >= at ? MTIE : 0) | (irq_level[0] >= at ? MSIE : 0));
    }
}

/* Masked, like BoardExit: it ends the run. The report is `before`, then
 * `value` in decimal, or in 8 hexadecimal digits after "0x" for hex_digits
 * 8, then `after`. */
static void StopWith(const char *before, uint32_t value, unsigned hex_digits, const char *after) {
    __asm__ volatile("csrci mstatus, 8" : : : "memory");
    BoardWrite(BOARD_STDERR, before);
    if (hex_digits != 0) BoardWrite(BOARD_STDERR, "0x");
    BoardWriteNumber(BOARD_STDERR, value, hex_digits);
    BoardWrite(BOARD_STDERR, after);
    BoardExit(1);
}

void BoardSetPriority(int32_t exception, uint32_t level) {
    if (level > BOARD_LOWEST_LEVEL) StopWith("BoardSetPriority: level ", level, 0, " is below the lowest\n");
    if (exception == BOARD_TICK) {
        tick_level = (uint8_t)level;
        KeepLevelMie();
        return;
    }
    const uint32_t n = (uint32_t)(exception - 16);
    if (exception < 16 || n >= BOARD_IRQS)
        StopWith("BoardSetPriority: no exception ", (uint32_t)exception, 0, "\n");
    irq_level[n] = (uint8_t)level;
    if (n == 0) KeepLevelMie();
    if (n != 0) PLIC_PRIORITY(n) = THREAD_LEVEL - level;
}

void BoardEnableIrq(uint32_t n) {
    if (n == 0) {
        CSR_SET(mie, MSIE);
        return;
    }
    if (n >= BOARD_IRQS) StopWith("BoardEnableIrq: no IRQ ", n, 0, "\n");
    PLIC_PRIORITY(n) = THREAD_LEVEL - irq_level[n];
    PLIC_ENABLE(n) |= 1u << (n % 32);
    CSR_SET(mie, MEIE);
}

/* The PLIC sources that software raises, and the board clears before their
 * handlers run. */
static const uint32_t raisable[] = {BOARD_RAISABLE_IRQ_1, BOARD_RAISABLE_IRQ_2};
static volatile uint32_t raised;

void BoardPendIrq(uint32_t n) {
    if (n == 0) {
        MSIP = 1;
        return;
    }
    for (uint32_t i = 0; i < sizeof raisable / sizeof raisable[0]; ++i) {
        if (raisable[i] == n) {
            uint32_t was; /* masked: a handler may raise one too */
            __asm__ volatile("csrrci %0, mstatus, 8" : "=r"(was) : : "memory");
            raised |= 1u << n;
            CSR_SET(mstatus, was & MIE_BIT);
            BoardRaiseSource(n);
            return;
        }
    }
    StopWith("BoardPendIrq: IRQ ", n, 0, " cannot be raised by software on this board\n");
}

static uint64_t tick_due, tick_period;

static void SetCompare(uint64_t due) {
    MTIMECMP_HIGH = 0xFFFFFFFFu; /* never early while the halves differ */
    MTIMECMP_LOW = (uint32_t)due;
    MTIMECMP_HIGH = (uint32_t)(due >> 32);
}

static uint64_t Now(void) {
    for (;;) {
        const uint32_t high = MTIME_HIGH, low = MTIME_LOW;
        if (high == MTIME_HIGH) return (uint64_t)high << 32 | low;
    }
}

void BoardStartTick(uint32_t period) {
    tick_period = period;
    if (period == 0) { /* never: a handler's exit that sets MTIE again finds nothing */
        CSR_CLEAR(mie, MTIE);
        SetCompare(UINT64_MAX);
        return;
    }
    tick_due = Now() + period;
    SetCompare(tick_due);
    CSR_SET(mie, MTIE);
}

void BoardAcknowledgeTick(void) {
    if (tick_period == 0) return;
    tick_due += tick_period;
    SetCompare(tick_due);
}

void BoardTickAgain(uint32_t period) {
    tick_period = period;
    tick_due = Now() + period;
    SetCompare(tick_due);
}

static void Unhandled(void) {}

#define WEAK_DEFAULT __attribute__((weak, alias("Unhandled")))
void MachineTimer_Handler(void) WEAK_DEFAULT;
#define IRQ(n) void IRQ##n##_Handler(void) WEAK_DEFAULT;
#define IRQ_ENTRY(n) IRQ##n##_Handler,
// clang-format off
#define IRQS_0_TO_31(X)                                                         \
    X(0)  X(1)  X(2)  X(3)  X(4)  X(5)  X(6)  X(7)  X(8)  X(9)  X(10) X(11)     \
    X(12) X(13) X(14) X(15) X(16) X(17) X(18) X(19) X(20) X(21) X(22) X(23)     \
    X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31)
// clang-format on
IRQS_0_TO_31(IRQ)
_Static_assert(BOARD_IRQS == 32, "the handler table knows 32 IRQs");
static void (*const irq_handlers[BOARD_IRQS])(void) = {IRQS_0_TO_31(IRQ_ENTRY)};

/* Runs `handler` at `level` with interrupts enabled: mie holds off the tick
 * and the software interrupt unless they are more urgent, the threshold the
 * PLIC sources unless they are. The outer level is the threshold as it was.
 * Only the bits held off here are given back, so that a handler may turn
 * its own source off. Entered and left with MIE clear. */
static void RunAtLevel(void (*handler)(void), uint32_t level) {
    const uint32_t outer_threshold = PLIC_THRESHOLD;
    uint32_t held_off;
    CSR_READ(mie, held_off);
    held_off &= (tick_level >= level ? MTIE : 0) | (irq_level[0] >= level ? MSIE : 0);
    PLIC_THRESHOLD = THREAD_LEVEL - level;
    CSR_CLEAR(mie, held_off);
    __asm__ volatile("csrsi mstatus, 8" : : : "memory");
    handler();
    __asm__ volatile("csrci mstatus, 8" : : : "memory");
    CSR_SET(mie, held_off);
    PLIC_THRESHOLD = outer_threshold;
}

static void RunIrq(uint32_t n, uint32_t level) {
    void (*const handler)(void) = irq_handlers[n];
    if (handler == Unhandled) StopWith("unhandled interrupt: IRQ ", n, 0, "\n");
    RunAtLevel(handler, level);
}

void MachineInterrupt_Handler(uint32_t mcause);
void MachineInterrupt_Handler(uint32_t mcause) {
    switch (mcause & 0xFF) {
    case CAUSE_SOFTWARE:
        MSIP = 0;
        RunIrq(0, irq_level[0]);
        return;
    case CAUSE_TIMER:
        if (MachineTimer_Handler == Unhandled)
            StopWith("unhandled interrupt: the machine timer (mcause ", mcause, 8, ")\n");
        RunAtLevel(MachineTimer_Handler, tick_level);
        return;
    case CAUSE_EXTERNAL: {
        const uint32_t source = PLIC_CLAIM;
        if (source == 0) return; /* claimed by none, or gone */
        if (raised & (1u << source)) {
            raised &= ~(1u << source);
            BoardClearSource(source);
        }
        RunIrq(source, irq_level[source]);
        PLIC_CLAIM = source;
        return;
    }
    default:
        StopWith("unhandled interrupt: mcause ", mcause, 8, "\n");
    }
}

/* On a fresh stack (MachineException_Handler below): the old one may be
 * spent. An access fault in the guard is the stack's overflow. */
void BoardReportException(uint32_t mcause, uint32_t mepc, uint32_t mtval);
void BoardReportException(uint32_t mcause, uint32_t mepc, uint32_t mtval) {
    const uint32_t guard = (uint32_t)_stack_limit;
    if ((mcause == 5 || mcause == 7) && mtval >= guard && mtval < guard + BOARD_STACK_GUARD) {
        BoardWrite(BOARD_STDERR, "stack overflow: the stack reached its guard\n");
        BoardExit(1);
    }
    BoardWrite(BOARD_STDERR, "exception ");
    BoardWriteNumber(BOARD_STDERR, mcause, 0);
    BoardWrite(BOARD_STDERR, " at mepc 0x");
    BoardWriteNumber(BOARD_STDERR, mepc, 8);
    BoardWrite(BOARD_STDERR, ", mtval 0x");
    BoardWriteNumber(BOARD_STDERR, mtval, 8);
    BoardWrite(BOARD_STDERR, "\n");
    BoardExit(1);
}

__attribute__((naked, aligned(4))) void MachineException_Handler(void) {
    __asm__("la sp, _stack_top\n\t"
            "csrr a0, mcause\n\t"
            "csrr a1, mepc\n\t"
            "csrr a2, mtval\n\t"
            "tail BoardReportException");
}

/* No access, from machine mode too (the region is locked), to the lowest
 * BOARD_STACK_GUARD bytes of the stack region: a stack that grows into them
 * stops the program. A NAPOT region: its base is aligned to its size. */
static void GuardTheStack(void) {
    enum { LOCKED = 0x80, NAPOT = 0x18 };
    const uint32_t napot = ((uint32_t)_stack_limit >> 2) | (BOARD_STACK_GUARD / 8 - 1);
    CSR_WRITE(pmpaddr0, napot);
    CSR_WRITE(pmpcfg0, LOCKED | NAPOT); /* no R, W or X */
}

/* Without the kernel linked, exceptions still report. */
extern char onestack_trap_vector[] __attribute__((weak));

void BoardStart(void);
void BoardStart(void) {
    PaintStack();
    for (uint32_t *from = _data_load, *to = _data_start; to < _data_end;) *to++ = *from++;
    for (uint32_t *to = _bss_start; to < _bss_end;) *to++ = 0;
    const uintptr_t vector = (uintptr_t)onestack_trap_vector;
    CSR_WRITE(mtvec, vector != 0 ? vector | 1 : (uintptr_t)MachineException_Handler);
    GuardTheStack();
    BoardPrepareDevices();
    CSR_SET(mstatus, MIE_BIT); /* as on a Cortex-M after reset: each source still needs enabling */
    for (void (**constructor)(void) = __init_array_start; constructor < __init_array_end; ++constructor) {
        (*constructor)();
    }
    BoardExit(main());
}

/* The global and thread pointers, the stack and, built for F, the FPU in
 * the Initial state with fcsr 0, before the first C instruction. */
__attribute__((naked, section(".text.start"))) void _start(void) {
    __asm__(".option push\n\t"
            ".option norelax\n\t"
            "la gp, __global_pointer$\n\t"
            ".option pop\n\t"
            "la tp, __tls_base\n\t"
            "la sp, _stack_top\n\t"
            "csrw mscratch, zero\n\t"
            "csrw mie, zero\n\t"
#if defined(__riscv_flen)
            "lui t0, 2\n\t" /* mstatus.FS: Initial */
            "csrs mstatus, t0\n\t"
            "csrw fcsr, zero\n\t" /* which makes it Dirty */
            "lui t0, 4\n\t"
            "csrc mstatus, t0\n\t" /* Initial again */
#endif
            "tail BoardStart");
}
