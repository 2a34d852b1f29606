/* QEMU's RISC-V virt machine with one RV32IMAC hart: the CLINT at
 * 0x02000000 (mtime at 10 MHz), the PLIC at 0x0C000000 with the 16550 UART
 * (source 10) and the Goldfish real-time clock (source 11), RAM from
 * 0x80000000. */
#ifndef ONESTACK_BOARD_H
#define ONESTACK_BOARD_H

#define BOARD_IRQS 32
#define BOARD_RAM_SIZE (2 * 1024 * 1024)
#define BOARD_TICK_HZ 10000000u /* mtime */
#define BOARD_CLINT 0x02000000u
#define BOARD_PLIC 0x0C000000 /* no suffix: the start-up names a register by it in assembly */
#define BOARD_UART_IRQ 10
#define BOARD_RTC_IRQ 11
/* The UART interrupts while its transmitter is empty and that interrupt is
 * enabled; the clock, at once, for an alarm set in the past. */
#define BOARD_RAISABLE_IRQ_1 BOARD_UART_IRQ
#define BOARD_RAISABLE_IRQ_2 BOARD_RTC_IRQ

#include "riscv.h"

#define RTC(offset) BOARD_REGISTER(0x00101000u + (offset))
enum { RTC_ALARM_LOW = 0x08, RTC_ALARM_HIGH = 0x0C, RTC_IRQ_ENABLED = 0x10, RTC_CLEAR_INTERRUPT = 0x1C };

static inline void BoardRaiseSource(uint32_t n) {
    if (n == BOARD_UART_IRQ) {
        *(volatile uint8_t *)0x10000001u = 2; /* IER: transmitter empty */
    } else {
        RTC(RTC_ALARM_HIGH) = 0;
        RTC(RTC_ALARM_LOW) = 0; /* long past: the alarm goes off at once */
    }
}

static inline void BoardClearSource(uint32_t n) {
    if (n == BOARD_UART_IRQ) {
        *(volatile uint8_t *)0x10000001u = 0;
    } else {
        RTC(RTC_CLEAR_INTERRUPT) = 1;
    }
}

static inline void BoardPrepareDevices(void) { RTC(RTC_IRQ_ENABLED) = 1; }

/* The 16550 UART, for a trace or a log (BoardUartSink has DumpTrace's sink
 * form) and for input: BOARD_UART_IRQ is pending while a received byte
 * waits to be read, once BoardUartStartReceiving has enabled it. A program
 * that receives does not raise BOARD_RAISABLE_IRQ_1 too: both use the
 * UART's interrupt enables. */
#define UART8(offset) (*(volatile uint8_t *)(0x10000000u + (offset)))
enum { UART_DATA = 0, UART_IER = 1, UART_LSR = 5, UART_LSR_READY = 1, UART_LSR_THR_EMPTY = 0x20 };
#define BOARD_UART 1
#define BOARD_UART_RX 1
static inline void BoardUartStart(void) {}
static inline int BoardUartSink(void *context, const void *bytes, uint32_t count) {
    (void)context;
    for (uint32_t i = 0; i < count; ++i) {
        while ((UART8(UART_LSR) & UART_LSR_THR_EMPTY) == 0) {
        }
        UART8(UART_DATA) = ((const uint8_t *)bytes)[i];
    }
    return 0;
}
static inline void BoardUartStartReceiving(void) { UART8(UART_IER) = 1; /* received data available */ }
/* Takes a received byte into `*byte` and returns 1, or returns 0. */
static inline int BoardUartRead(uint8_t *byte) {
    if ((UART8(UART_LSR) & UART_LSR_READY) == 0) return 0;
    *byte = UART8(UART_DATA);
    return 1;
}

#endif
