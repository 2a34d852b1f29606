/* The LM3S6965 (Cortex-M3) as QEMU's lm3s6965evb models it: 44 device
 * interrupts (IRQ 5 is UART0, for example; the chip's data sheet lists
 * them), 64 KiB of RAM, SysTick for the tick. */
#ifndef ONESTACK_BOARD_H
#define ONESTACK_BOARD_H

#define BOARD_IRQS 44
#define BOARD_RAM_SIZE (64 * 1024)

#include "cortex_m.h"

#endif
