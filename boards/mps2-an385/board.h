/* Arm's MPS2 with the AN385 image (Cortex-M3, CMSDK peripherals: UART0 at
 * 0x40004000 is IRQ 0 and 1) as QEMU's mps2-an385 models it: 32 device
 * interrupts, 4 MiB of RAM, SysTick for the tick. */
#ifndef ONESTACK_BOARD_H
#define ONESTACK_BOARD_H

#define BOARD_IRQS 32
#define BOARD_RAM_SIZE (4 * 1024 * 1024)
#define BOARD_TICK_HZ 25000000u

#include "cortex_m.h"

#endif
