/* Start-up for the Cortex-M3 (the LM3S6965 as QEMU's lm3s6965evb models it):
 * the vector table, copying initialised data to RAM, zeroing the rest, the
 * stack guard, calling main, and handing its result to the host as the exit
 * status through semihosting.
 *
 * Every handler has its CMSIS name and is weak, so that a program's own
 * definition takes its place: Reset_Handler, NMI_Handler, HardFault_Handler,
 * MemManage_Handler, BusFault_Handler, UsageFault_Handler, SVC_Handler,
 * DebugMon_Handler, PendSV_Handler, SysTick_Handler, and IRQ0_Handler to
 * IRQ43_Handler for the chip's 44 device interrupts, by number. The kernel
 * defines PendSV_Handler and NMI_Handler (a program's NMI goes to
 * Application_NMI_Handler). A handler left undefined reports the exception
 * and ends the program. */
#include <stdint.h>
#include <stdio.h>

#include "board.h"

extern uint32_t _stack_top[], _stack_limit[], _data_load[], _data_start[], _data_end[], _bss_start[],
    _bss_end[];
extern void (*__init_array_start[])(void), (*__init_array_end[])(void);
extern void initialise_monitor_handles(void);
extern int main(void);

enum {
    SYS_EXIT_EXTENDED = 0x20,
    ADP_STOPPED_APPLICATION_EXIT = 0x20026,
    ADP_STOPPED_RUN_TIME_ERROR = 0x20023,
};

#define REGISTER(address) (*(volatile uint32_t *)(address))
#define ICSR REGISTER(0xE000ED04)
#define SHCSR REGISTER(0xE000ED24)
#define MMFSR (*(volatile uint8_t *)0xE000ED28)
#define MMFAR REGISTER(0xE000ED34)
#define MPU_CTRL REGISTER(0xE000ED94)
#define MPU_RNR REGISTER(0xE000ED98)
#define MPU_RBAR REGISTER(0xE000ED9C)
#define MPU_RASR REGISTER(0xE000EDA0)
#define NVIC_IPR0 (*(volatile uint8_t *)0xE000E400)

static void SemihostingExit(uint32_t reason, uint32_t status) {
    const uint32_t block[2] = {reason, status};
    register uint32_t operation __asm__("r0") = SYS_EXIT_EXTENDED;
    register const uint32_t *argument __asm__("r1") = block;
    __asm__ volatile("bkpt 0xab" : : "r"(operation), "r"(argument) : "memory");
    for (;;) {
    }
}

void BoardExit(int status) {
    fflush(stdout);
    fflush(stderr);
    SemihostingExit(status == 0 ? ADP_STOPPED_APPLICATION_EXIT : ADP_STOPPED_RUN_TIME_ERROR,
                    (uint32_t)status);
}

/* How far the priority levels are shifted into the NVIC's priority bytes:
 * only the top bits are implemented (8 under QEMU 7.2, 3 on the chip), and
 * a write to the others is lost. Measured at start-up. */
static uint32_t priority_shift;

static void MeasurePriorityBits(void) {
    NVIC_IPR0 = 0xFF;
    const uint32_t implemented = NVIC_IPR0;
    NVIC_IPR0 = 0;
    priority_shift = 0;
    while (priority_shift < 8 && (implemented & (1u << priority_shift)) == 0) ++priority_shift;
}

uint32_t BoardPriorityBits(void) { return 8 - priority_shift; }

void BoardSetPriority(int32_t exception, uint32_t level) {
    volatile uint8_t *priority = exception >= 16 ? (volatile uint8_t *)0xE000E400 + (exception - 16)
                                                 : (volatile uint8_t *)0xE000ED18 + (exception - 4);
    *priority = (uint8_t)(level << priority_shift);
}

/* No access to the lowest BOARD_STACK_GUARD bytes of the stack region: a
 * stack that grows into them takes a MemManage fault. The MPU's default
 * map stays in force everywhere else, and fault handlers run without it. */
static void GuardTheStack(void) {
    enum { ENABLE = 1, PRIVDEFENA = 4, REGION_ENABLE = 1, XN = 1u << 28, MEMFAULTENA = 1u << 16 };
    uint32_t size_field = 0;
    while ((2u << size_field) < BOARD_STACK_GUARD) ++size_field;
    MPU_RNR = 0;
    MPU_RBAR = (uint32_t)_stack_limit;
    MPU_RASR = XN | (size_field << 1) | REGION_ENABLE; /* AP 0: no access */
    MPU_CTRL = ENABLE | PRIVDEFENA;
    SHCSR |= MEMFAULTENA;
    __asm__ volatile("dsb\n\tisb" : : : "memory");
}

void Reset_Handler(void) {
    for (uint32_t *from = _data_load, *to = _data_start; to < _data_end;) *to++ = *from++;
    for (uint32_t *to = _bss_start; to < _bss_end;) *to++ = 0;
    MeasurePriorityBits();
    GuardTheStack();
    initialise_monitor_handles();
    for (void (**constructor)(void) = __init_array_start; constructor < __init_array_end; ++constructor) {
        (*constructor)();
    }
    BoardExit(main());
}

/* An exception that nothing handles is a crash: report it as a run-time
 * error. */
void Default_Handler(void) {
    fprintf(stderr, "unhandled exception %u\n", (unsigned)(ICSR & 0x1FF));
    BoardExit(1);
}

void BoardReportMemoryFault(void) {
    const uint32_t address = MMFAR;
    const int in_guard = (MMFSR & 0x80) != 0 && address >= (uint32_t)_stack_limit &&
                         address < (uint32_t)_stack_limit + BOARD_STACK_GUARD;
    if (in_guard || (MMFSR & 0x10) != 0) { /* MSTKERR: the fault was in stacking */
        fputs("stack overflow: the stack reached its guard\n", stderr);
    } else {
        fprintf(stderr, "memory management fault (MMFSR 0x%02x)\n", (unsigned)MMFSR);
    }
    BoardExit(1);
}

void BoardReportMemoryFault(void);

/* The stack is spent: the report runs on a fresh one from the top. */
__attribute__((naked, weak)) void MemManage_Handler(void) {
    __asm__("ldr r0, =_stack_top\n\t"
            "mov sp, r0\n\t"
            "b BoardReportMemoryFault\n\t"
            ".ltorg");
}

#define WEAK_DEFAULT __attribute__((weak, alias("Default_Handler")))
void NMI_Handler(void) WEAK_DEFAULT;
void HardFault_Handler(void) WEAK_DEFAULT;
void BusFault_Handler(void) WEAK_DEFAULT;
void UsageFault_Handler(void) WEAK_DEFAULT;
void SVC_Handler(void) WEAK_DEFAULT;
void DebugMon_Handler(void) WEAK_DEFAULT;
void PendSV_Handler(void) WEAK_DEFAULT;
void SysTick_Handler(void) WEAK_DEFAULT;
#define IRQ(n) void IRQ##n##_Handler(void) WEAK_DEFAULT;
// clang-format off
#define IRQS(X)                                                                 \
    X(0)  X(1)  X(2)  X(3)  X(4)  X(5)  X(6)  X(7)  X(8)  X(9)  X(10) X(11)     \
    X(12) X(13) X(14) X(15) X(16) X(17) X(18) X(19) X(20) X(21) X(22) X(23)     \
    X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31) X(32) X(33) X(34) X(35)     \
    X(36) X(37) X(38) X(39) X(40) X(41) X(42) X(43)
// clang-format on
IRQS(IRQ)
#undef IRQ

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
     0, 0, 0, 0, SVC_Handler, DebugMon_Handler, 0, PendSV_Handler, SysTick_Handler, IRQS(IRQ_ENTRY)},
};
