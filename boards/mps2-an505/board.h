/* Arm's MPS2 with the AN505 image (Cortex-M33, ARMv8-M Mainline, Secure
 * state) as QEMU's mps2-an505 models it: the first 32 of its device
 * interrupts, 2 MiB of RAM, SysTick for the tick, the stack limit register
 * MSPLIM as the stack guard. */
#ifndef ONESTACK_BOARD_H
#define ONESTACK_BOARD_H

#define BOARD_IRQS 32
#define BOARD_RAM_SIZE (2 * 1024 * 1024)
#define BOARD_TICK_HZ 20000000u

#include "cortex_m.h"

#endif
