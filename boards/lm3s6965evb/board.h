/* The LM3S6965 (Cortex-M3) as QEMU's lm3s6965evb models it: 44 device
 * interrupts (IRQ 5 is UART0, for example; the chip's data sheet lists
 * them), 64 KiB of RAM, SysTick for the tick. */
#ifndef ONESTACK_BOARD_H
#define ONESTACK_BOARD_H

#define BOARD_IRQS 44
#define BOARD_RAM_SIZE (64 * 1024)
#define BOARD_TICK_HZ 12500000u /* the system clock QEMU gives it at reset */

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

/* Receiving too: BOARD_UART_IRQ is pending while a received byte waits to
 * be read (the FIFOs are off, so each byte interrupts). QEMU's model
 * raises it as the chip does. */
#define BOARD_UART_RX 1
#define BOARD_UART_IRQ 5
static inline void BoardUartStartReceiving(void) {
    BoardUartStart();
    BOARD_REGISTER(0x4000C030) = 0x301;   /* CR: enabled, transmitting, receiving */
    BOARD_REGISTER(0x4000C038) = 1u << 4; /* IM: the receive interrupt */
}
/* Takes a received byte into `*byte` and returns 1, or returns 0. */
static inline int BoardUartRead(uint8_t *byte) {
    if ((BOARD_REGISTER(0x4000C018) & (1u << 4)) != 0) return 0; /* FR.RXFE: nothing received */
    *byte = (uint8_t)BOARD_REGISTER(0x4000C000);
    return 1;
}

#endif
