/* Start-up for the Cortex-M3: the vector table, copying initialised data to
 * RAM, zeroing the rest, calling main, and handing its result to the host
 * as the exit status through semihosting. */
#include <stdint.h>
#include <stdio.h>

extern uint32_t _stack_top[], _data_load[], _data_start[], _data_end[], _bss_start[], _bss_end[];
extern void (*__init_array_start[])(void), (*__init_array_end[])(void);
extern void initialise_monitor_handles(void);
extern int main(void);

enum {
    SYS_EXIT_EXTENDED = 0x20,
    ADP_STOPPED_APPLICATION_EXIT = 0x20026,
    ADP_STOPPED_RUN_TIME_ERROR = 0x20023,
};

static void SemihostingExit(uint32_t reason, uint32_t status) {
    const uint32_t block[2] = {reason, status};
    register uint32_t operation __asm__("r0") = SYS_EXIT_EXTENDED;
    register const uint32_t *argument __asm__("r1") = block;
    __asm__ volatile("bkpt 0xab" : : "r"(operation), "r"(argument) : "memory");
    for (;;) {
    }
}

void ResetHandler(void) {
    for (uint32_t *from = _data_load, *to = _data_start; to < _data_end;) *to++ = *from++;
    for (uint32_t *to = _bss_start; to < _bss_end;) *to++ = 0;
    initialise_monitor_handles();
    for (void (**constructor)(void) = __init_array_start; constructor < __init_array_end; ++constructor) {
        (*constructor)();
    }
    const int status = main();
    fflush(stdout);
    fflush(stderr);
    SemihostingExit(ADP_STOPPED_APPLICATION_EXIT, (uint32_t)status);
}

/* A fault is a crash: report it as a run-time error. */
static void FaultHandler(void) {
    fputs("fault\n", stderr);
    SemihostingExit(ADP_STOPPED_RUN_TIME_ERROR, 1);
}

/* The initial stack pointer, then the reset and exception handlers. */
struct VectorTable {
    uint32_t *initial_stack;
    void (*handlers[15])(void);
};

__attribute__((section(".vectors"), used)) static const struct VectorTable vectors = {
    _stack_top,
    {ResetHandler, FaultHandler, FaultHandler, FaultHandler, FaultHandler, FaultHandler, 0, 0, 0, 0,
     FaultHandler, FaultHandler, 0, FaultHandler, FaultHandler},
};
