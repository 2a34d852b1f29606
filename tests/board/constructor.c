/* A static constructor, which the start-up code runs before main through
 * the program's table, with a deep frame of its own and, at its deepest,
 * the C library's formatting of a floating-point number, its deepest
 * conversion: the stack's bound must count both, as the painted peak
 * does. */
#include <stdint.h>
#include <stdio.h>

#include "onestack.h"

static volatile uint32_t checksum;
static char text[16];
static volatile int length; /* used after the call, so that the call is no tail call */

__attribute__((constructor)) static void Prepare(void) {
    volatile uint8_t scratch[1500];
    for (uint32_t i = 0; i < sizeof scratch; ++i) scratch[i] = (uint8_t)i;
    checksum = scratch[7] + scratch[1499];
    length = snprintf(text, sizeof text, "%.3f", (double)checksum / 7.0);
}

static void Main(void) { TerminateTask(); }

/* "32.286": 226 / 7. */
int main(void) {
    const int ran = StartOS(Main, 1, "Main") == 0;
    return ran && checksum == 7u + (1499u & 0xFFu) && length == 6 && text[0] == '3' && text[2] == '.' ? 0 : 1;
}
