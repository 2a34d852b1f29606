/* The stack painted at start-up and, when the semihosting command line
 * holds --stack-peak, its peak printed at exit ("stack peak: N bytes", the
 * last such line the one that counts), for the test that holds it against
 * the stack tool's bound. Included by
 * each family's start-up code, which defines BoardSemihosting and
 * BoardWrite first. */
#ifndef ONESTACK_STACK_PEAK_H
#define ONESTACK_STACK_PEAK_H

#include "board.h"
#include "board_output.h"

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

static void WriteStackPeak(uint32_t peak) {
    BoardWrite(BOARD_STDOUT, "stack peak: ");
    BoardWriteNumber(BOARD_STDOUT, peak, 0);
    BoardWrite(BOARD_STDOUT, " bytes\n");
}

/* The peak, if the command line asks. */
static void ReportStackPeak(void) {
    enum { SYS_GET_CMDLINE = 0x15 };
    char line[128];
    line[0] = '\0';
    uintptr_t block[2];
    block[0] = (uintptr_t)line;
    block[1] = sizeof line - 1;
    if (BoardSemihosting(SYS_GET_CMDLINE, block) != 0) return;
    static const char asked[] = "--stack-peak";
    for (const char *at = line; *at != '\0'; ++at) {
        unsigned n = 0;
        while (asked[n] != '\0' && at[n] == asked[n]) ++n;
        if (asked[n] == '\0') {
            /* The report's own writing comes after its measure: measured
             * again, a deeper peak is reported on a second line, so that
             * the last one counts a run's end that this report closes. */
            const uint32_t peak = BoardStackPeak();
            WriteStackPeak(peak);
            const uint32_t after = BoardStackPeak();
            if (after > peak) WriteStackPeak(after);
            return;
        }
    }
}

#endif
