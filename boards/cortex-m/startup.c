/* Start-up for every Cortex-M board: the vector table, the FPU enabled
 * where the program is built for one, copying initialised data to RAM,
 * zeroing the rest, the stack guard, calling main, and handing its result
 * to the host as the exit status through semihosting.
 *
 * What the code depends on is measured here rather than assumed: the
 * NVIC's priority bits, whether the core has an MPU, and an FPU if the
 * program is built for one.
 *
 * Every handler has its CMSIS name and is weak, so that a program's own
 * definition takes its place: Reset_Handler, NMI_Handler, HardFault_Handler,
 * MemManage_Handler, BusFault_Handler, UsageFault_Handler, SVC_Handler,
 * DebugMon_Handler, PendSV_Handler, SysTick_Handler, and IRQ0_Handler up to
 * the board's BOARD_IRQS device interrupts, by number. The kernel defines
 * PendSV_Handler and NMI_Handler (a program's NMI goes to
 * Application_NMI_Handler). A handler left undefined reports the exception
 * and ends the program. */
#include <stdint.h>

#include "board.h"

extern uint32_t _data_load[], _data_start[], _data_end[], _bss_start[], _bss_end[];
extern void (*__init_array_start[])(void), (*__init_array_end[])(void);
/* The C library's, weak: linked only where the program uses its streams. */
extern void initialise_monitor_handles(void) __attribute__((weak));
struct __sFILE;
extern int fflush(struct __sFILE *stream) __attribute__((weak));
extern int main(void);

enum {
    SYS_EXIT_EXTENDED = 0x20,
    ADP_STOPPED_APPLICATION_EXIT = 0x20026,
    ADP_STOPPED_RUN_TIME_ERROR = 0x20023,
};

#define ICSR BOARD_REGISTER(0xE000ED04)
#define SHCSR BOARD_REGISTER(0xE000ED24)
#define CFSR BOARD_REGISTER(0xE000ED28)
#define MMFAR BOARD_REGISTER(0xE000ED34)
#define CPACR BOARD_REGISTER(0xE000ED88)
#define MPU_TYPE BOARD_REGISTER(0xE000ED90)
#define MPU_CTRL BOARD_REGISTER(0xE000ED94)
#define MPU_RNR BOARD_REGISTER(0xE000ED98)
#define MPU_RBAR BOARD_REGISTER(0xE000ED9C)
#define MPU_RASR BOARD_REGISTER(0xE000EDA0)
#define FPCCR BOARD_REGISTER(0xE000EF34)
#define NVIC_IPR(n) BOARD_REGISTER(0xE000E400 + 4 * (n))

#if defined(__ARM_ARCH_8M_MAIN__)
#define GUARD_BY_STACK_LIMIT 1 /* MSPLIM */
#else
#define GUARD_BY_STACK_LIMIT 0 /* the MPU, where there is one */
#endif

static void SemihostingExit(uint32_t reason, uint32_t status) {
    const uint32_t block[2] = {reason, status};
    register uint32_t operation __asm__("r0") = SYS_EXIT_EXTENDED;
    register const uint32_t *argument __asm__("r1") = block;
    __asm__ volatile("bkpt 0xab" : : "r"(operation), "r"(argument) : "memory");
    for (;;) {
    }
}

static int32_t BoardSemihosting(uint32_t operation, void *argument) {
    register uint32_t r0 __asm__("r0") = operation;
    register void *r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return (int32_t)r0;
}

/* Where the C library's standard streams write: the console, opened as
 * the file ":tt" for writing (standard output) or appending (standard
 * error). Each stream's handle is opened at its first write, plus 1. */
enum { SYS_OPEN = 0x01, SYS_WRITE = 0x05, OPEN_WRITE = 4, OPEN_APPEND = 8 };
static int32_t console[3];

/* What the C library's streams hold goes first, in the order written. */
void BoardFlushOutput(void);
void BoardFlushOutput(void) {
    if (fflush != 0) fflush(0);
}

void BoardWrite(int stream, const char *text) {
    BoardFlushOutput();
    if (console[stream] == 0) {
        const uintptr_t open[3] = {(uintptr_t) ":tt", stream == 1 ? OPEN_WRITE : OPEN_APPEND, 3};
        console[stream] = BoardSemihosting(SYS_OPEN, (void *)open) + 1;
    }
    uint32_t length = 0;
    while (text[length] != '\0') ++length;
    const uintptr_t write[3] = {(uintptr_t)(console[stream] - 1), (uintptr_t)text, length};
    BoardSemihosting(SYS_WRITE, (void *)write);
}

#include "stack_peak.h"

/* Masked: no handler's task runs over the report and the exit. */
void BoardExit(int status) {
    __asm__ volatile("cpsid i" : : : "memory");
    ReportStackPeak();
    BoardFlushOutput();
    SemihostingExit(status == 0 ? ADP_STOPPED_APPLICATION_EXIT : ADP_STOPPED_RUN_TIME_ERROR,
                    (uint32_t)status);
}

/* A report from a fault handler may find a lazy FP save pending into a
 * frame on the spent stack: the C library's first FP instruction would
 * make it there. The report does not return, so the save is dropped. */
static void CancelLazyFloatingPointSave(void) {
#if defined(__ARM_FP)
    FPCCR &= ~1u; /* LSPACT */
#endif
}

/* How far the priority levels are shifted into the NVIC's priority bytes:
 * only the top bits are implemented (8 under QEMU 7.2 but 2 on its
 * Cortex-M0; 2 on ARMv6-M chips, 3 or 4 on most others), and a write to
 * the others is lost. Measured at start-up, with word accesses, the only
 * ones ARMv6-M allows. On ARMv7-M and ARMv8-M Mainline AIRCR.PRIGROUP
 * resets to 0, which makes bit 0 a subpriority: two levels that differ
 * there alone would not preempt each other, so levels start at bit 1. */
static uint32_t priority_shift;

/* What the kernel's interrupt ceilings read: the shift, and on ARMv6-M
 * the IRQs at each level or less urgent (bit n for IRQ n), which
 * BoardSetPriority keeps. After reset every IRQ is at level 0. */
uint8_t onestack_priority_shift;
#if defined(__ARM_ARCH_6M__)
uint32_t onestack_irqs_at_or_below[4] = {0xFFFFFFFFu, 0, 0, 0};
_Static_assert(BOARD_IRQS <= 32, "ARMv6-M has at most 32 IRQs");
#endif

static void MeasurePriorityBits(void) {
    NVIC_IPR(0) = 0xFF;
    const uint32_t implemented = NVIC_IPR(0) & 0xFF;
    NVIC_IPR(0) = 0;
    priority_shift = 0;
    while (priority_shift < 8 && (implemented & (1u << priority_shift)) == 0) ++priority_shift;
#if !defined(__ARM_ARCH_6M__)
    if (priority_shift == 0) priority_shift = 1;
#endif
    onestack_priority_shift = (uint8_t)priority_shift;
}

uint32_t BoardPriorityBits(void) { return 8 - priority_shift; }

uint32_t BoardPriorityLevels(void) { return 1u << (8 - priority_shift); }

void BoardSetPriority(int32_t exception, uint32_t level) {
    const uint32_t n = exception >= 16 ? (uint32_t)(exception - 16) : (uint32_t)(exception - 4);
    volatile uint32_t *word = exception >= 16 ? &NVIC_IPR(n / 4) : &BOARD_REGISTER(0xE000ED18 + (n & ~3u));
    const uint32_t shift = 8 * (n % 4);
    *word = (*word & ~(0xFFu << shift)) | ((level << priority_shift) & 0xFFu) << shift;
#if defined(__ARM_ARCH_6M__)
    if (exception >= 16) {
        for (uint32_t at = 0; at < 4; ++at) {
            if (level >= at) {
                onestack_irqs_at_or_below[at] |= 1u << n;
            } else {
                onestack_irqs_at_or_below[at] &= ~(1u << n);
            }
        }
    }
#endif
}

/* Built for an FPU, the program needs one: CP10 and CP11 full access, set
 * before any C code runs, since the C library and GCC's 64-bit copies use
 * FP registers. A core without one reads the access bits back as zero. */
static int HasTheFloatingPointUnitItIsBuiltFor(void) {
#if defined(__ARM_FP)
    return (CPACR & (0xFu << 20)) == (0xFu << 20);
#else
    return 1;
#endif
}

/* No access to the lowest BOARD_STACK_GUARD bytes of the stack region: a
 * stack that grows into them stops the program. ARMv8-M Mainline has a
 * stack limit register for it; elsewhere the MPU guards a region, its
 * default map staying in force everywhere else (fault handlers run without
 * it). A core with neither (the nRF51's M0) is left unguarded. */
static void GuardTheStack(void) {
#if GUARD_BY_STACK_LIMIT
    enum { USGFAULTENA = 1u << 18 };
    __asm__ volatile("msr msplim, %0" : : "r"((uint32_t)_stack_limit + BOARD_STACK_GUARD));
    SHCSR |= USGFAULTENA;
#else
    enum { ENABLE = 1, PRIVDEFENA = 4, REGION_ENABLE = 1, XN = 1u << 28, MEMFAULTENA = 1u << 16 };
    if (((MPU_TYPE >> 8) & 0xFF) == 0) return; /* no MPU regions */
    uint32_t size_field = 0;
    while ((2u << size_field) < BOARD_STACK_GUARD) ++size_field;
    MPU_RNR = 0;
    MPU_RBAR = (uint32_t)_stack_limit;
    MPU_RASR = XN | (size_field << 1) | REGION_ENABLE; /* AP 0: no access */
    MPU_CTRL = ENABLE | PRIVDEFENA;
#if !defined(__ARM_ARCH_6M__) /* there MPU faults are HardFaults */
    SHCSR |= MEMFAULTENA;
#endif
#endif
    __asm__ volatile("dsb\n\tisb" : : : "memory");
}

uint64_t board_clock_base;
uint32_t board_clock_period;
uint8_t board_clock_free, board_clock_counted;

/* SysTick is optional on ARMv6-M, and absent from some chips: its reload
 * register then reads zero whatever is written. */
static int HasTheSysTickItTicksWith(void) {
#if defined(BOARD_TICK_IS_SYSTICK)
    BOARD_REGISTER(0xE000E014) = 0xFFFFFF;
    const int present = BOARD_REGISTER(0xE000E014) != 0;
    BOARD_REGISTER(0xE000E014) = 0;
    return present;
#else
    return 1;
#endif
}

void BoardStart(void) {
    PaintStack();
    for (uint32_t *from = _data_load, *to = _data_start; to < _data_end;) *to++ = *from++;
    for (uint32_t *to = _bss_start; to < _bss_end;) *to++ = 0;
    MeasurePriorityBits();
    GuardTheStack();
    if (initialise_monitor_handles != 0) initialise_monitor_handles();
    if (!HasTheFloatingPointUnitItIsBuiltFor()) {
        BoardWrite(BOARD_STDERR, "start-up: the program is built for an FPU that this core lacks\n");
        BoardExit(1);
    }
    if (!HasTheSysTickItTicksWith()) {
        BoardWrite(BOARD_STDERR, "start-up: the board ticks with SysTick, which this core lacks\n");
        BoardExit(1);
    }
    for (void (**constructor)(void) = __init_array_start; constructor < __init_array_end; ++constructor) {
        (*constructor)();
    }
    BoardExit(main());
}

/* The FPU is enabled before the first C instruction. */
__attribute__((naked, weak)) void Reset_Handler(void) {
#if defined(__ARM_FP)
    __asm__("ldr r0, =0xE000ED88\n\t"
            "ldr r1, [r0]\n\t"
            "orr r1, r1, #(0xF << 20)\n\t"
            "str r1, [r0]\n\t"
            "dsb\n\t"
            "isb\n\t"
            "b BoardStart\n\t"
            ".ltorg");
#else
    __asm__("b BoardStart");
#endif
}

/* An exception that nothing handles is a crash: report it as a run-time
 * error. */
void Default_Handler(void) {
    CancelLazyFloatingPointSave();
    BoardWrite(BOARD_STDERR, "unhandled exception ");
    BoardWriteNumber(BOARD_STDERR, ICSR & 0x1FF, 0);
    BoardWrite(BOARD_STDERR, "\n");
    BoardExit(1);
}

static void ReportStackOverflow(void) {
    BoardWrite(BOARD_STDERR, "stack overflow: the stack reached its guard\n");
    BoardExit(1);
}

/* Each report below runs on a fresh stack from the top: the old one may be
 * spent. `sp` is where the fault found the stack. */
void BoardReportMemoryFault(uint32_t sp);
void BoardReportMemoryFault(uint32_t sp) {
    CancelLazyFloatingPointSave();
    const uint32_t mmfsr = CFSR & 0xFF;
    const uint32_t guard = (uint32_t)_stack_limit;
    const int in_guard = (mmfsr & 0x80) != 0 && MMFAR >= guard && MMFAR < guard + BOARD_STACK_GUARD;
    if (in_guard || (mmfsr & 0x10) != 0 || sp < guard + BOARD_STACK_GUARD) { /* 0x10: in stacking */
        ReportStackOverflow();
    }
    BoardWrite(BOARD_STDERR, "memory management fault (MMFSR 0x");
    BoardWriteNumber(BOARD_STDERR, mmfsr, 2);
    BoardWrite(BOARD_STDERR, ")\n");
    BoardExit(1);
}

/* ARMv8-M's stack limit raises a UsageFault (STKOF); ARMv6-M raises every
 * fault as a HardFault. */
void BoardReportFault(uint32_t sp);
void BoardReportFault(uint32_t sp) {
    CancelLazyFloatingPointSave();
    enum { STKOF = 1u << 20 };
    if ((CFSR & STKOF) != 0 ||
        (GUARD_BY_STACK_LIMIT == 0 && sp < (uint32_t)_stack_limit + BOARD_STACK_GUARD)) {
        ReportStackOverflow();
    }
    Default_Handler();
}

#define ON_A_FRESH_STACK(report)                                                                             \
    __asm__("mov r0, sp\n\t"                                                                                 \
            "ldr r1, =_stack_top\n\t"                                                                        \
            "mov sp, r1\n\t"                                                                                 \
            "ldr r1, =" #report "\n\t"                                                                       \
            "bx r1\n\t"                                                                                      \
            ".ltorg")

__attribute__((naked, weak)) void MemManage_Handler(void) { ON_A_FRESH_STACK(BoardReportMemoryFault); }
__attribute__((naked, weak)) void UsageFault_Handler(void) { ON_A_FRESH_STACK(BoardReportFault); }
__attribute__((naked, weak)) void HardFault_Handler(void) { ON_A_FRESH_STACK(BoardReportFault); }

#define WEAK_DEFAULT __attribute__((weak, alias("Default_Handler")))
void NMI_Handler(void) WEAK_DEFAULT;
void BusFault_Handler(void) WEAK_DEFAULT;
void SVC_Handler(void) WEAK_DEFAULT;
void DebugMon_Handler(void) WEAK_DEFAULT;
void PendSV_Handler(void) WEAK_DEFAULT;
void SysTick_Handler(void) WEAK_DEFAULT;
#define IRQ(n) void IRQ##n##_Handler(void) WEAK_DEFAULT;
// clang-format off
#define IRQS_0_TO_31(X)                                                         \
    X(0)  X(1)  X(2)  X(3)  X(4)  X(5)  X(6)  X(7)  X(8)  X(9)  X(10) X(11)     \
    X(12) X(13) X(14) X(15) X(16) X(17) X(18) X(19) X(20) X(21) X(22) X(23)     \
    X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31)
#define IRQS_32_TO_43(X)                                                        \
    X(32) X(33) X(34) X(35) X(36) X(37) X(38) X(39) X(40) X(41) X(42) X(43)
// clang-format on
IRQS_0_TO_31(IRQ)
#if BOARD_IRQS > 32
IRQS_32_TO_43(IRQ)
#endif
#undef IRQ
_Static_assert(BOARD_IRQS == 32 || BOARD_IRQS == 44, "the vector table knows 32 or 44 device interrupts");

/* The initial stack pointer, then the reset, exception and interrupt
 * handlers. */
struct VectorTable {
    uint32_t *initial_stack;
    void (*handlers[15 + BOARD_IRQS])(void);
};

#define IRQ_ENTRY(n) IRQ##n##_Handler,
__attribute__((section(".vectors"), used)) static const struct VectorTable vectors = {
    _stack_top,
    {Reset_Handler, NMI_Handler, HardFault_Handler, MemManage_Handler, BusFault_Handler, UsageFault_Handler,
     0, 0, 0, 0, SVC_Handler, DebugMon_Handler, 0, PendSV_Handler, SysTick_Handler,
     IRQS_0_TO_31(IRQ_ENTRY)
#if BOARD_IRQS > 32
         IRQS_32_TO_43(IRQ_ENTRY)
#endif
    },
};
