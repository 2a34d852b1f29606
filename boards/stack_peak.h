/* The stack painted at start-up and, when the semihosting command line
 * holds --stack-peak, its peak printed at exit ("stack peak: N bytes"),
 * for the test that holds it against the stack tool's bound. Included by
 * each family's start-up code, which defines BoardSemihosting first. */
#ifndef ONESTACK_STACK_PEAK_H
#define ONESTACK_STACK_PEAK_H

#include <stdio.h>
#include <string.h>

#include "board.h"

#define BOARD_STACK_PAINT 0xC5C5C5C5u

/* From the guard up to below this function's own frame, out of line so
 * that its callers' frames lie above it. */
__attribute__((noinline)) static void PaintStack(void) {
    volatile uint32_t here = 0;
    uint32_t *const below = (uint32_t *)((uintptr_t)&here - 16);
    for (volatile uint32_t *p = _stack_limit + BOARD_STACK_GUARD / 4; p < below;
         ++p) { /* not memset: see libc_stack.c */
        *p = BOARD_STACK_PAINT;
    }
}

uint32_t BoardStackPeak(void) {
    const uint32_t *p = _stack_limit + BOARD_STACK_GUARD / 4;
    while (*p == BOARD_STACK_PAINT) ++p;
    return (uint32_t)((uintptr_t)_stack_top - (uintptr_t)p);
}

/* The peak, if the command line asks. */
static void ReportStackPeak(void) {
    enum { SYS_GET_CMDLINE = 0x15 };
    char line[128] = "";
    uintptr_t block[2] = {(uintptr_t)line, sizeof line - 1};
    if (BoardSemihosting(SYS_GET_CMDLINE, block) != 0 || strstr(line, "--stack-peak") == NULL) return;
    printf("stack peak: %lu bytes\n", (unsigned long)BoardStackPeak());
}

#endif
