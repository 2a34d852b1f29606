/* The LM3S6965 (Cortex-M3) as QEMU's lm3s6965evb models it: 44 device
 * interrupts (IRQ 5 is UART0, for example; the chip's data sheet lists
 * them), 64 KiB of RAM, SysTick for the tick. */
#ifndef ONESTACK_BOARD_H
#define ONESTACK_BOARD_H

#define BOARD_IRQS 44
#define BOARD_RAM_SIZE (64 * 1024)

#include "cortex_m.h"

/* UART0 (a PL011), for a trace or a log where there is no semihosting:
 * BoardUartSink has DumpTrace's sink form. Under QEMU the bytes go where
 * -serial sends them; on the chip, route the UART's pins and set its baud
 * rate for the board's clock first. */
#define BOARD_UART 1
static inline void BoardUartStart(void) {
    BOARD_REGISTER(0x400FE104) |= 1;    /* RCGC1: clock UART0 */
    BOARD_REGISTER(0x4000C030) = 0x101; /* CR: enabled, transmitting */
}
static inline int BoardUartSink(void *context, const void *bytes, uint32_t count) {
    (void)context;
    for (uint32_t i = 0; i < count; ++i) {
        while ((BOARD_REGISTER(0x4000C018) & (1u << 5)) != 0) { /* FR.TXFF: the FIFO is full */
        }
        BOARD_REGISTER(0x4000C000) = ((const uint8_t *)bytes)[i];
    }
    return 0;
}

#endif
