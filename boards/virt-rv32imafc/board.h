/* QEMU's RISC-V virt machine with one RV32IMAFC hart (single-precision F):
 * the machine of virt-rv32imac, whose board.h this is too. */
#include "../virt-rv32imac/board.h"
