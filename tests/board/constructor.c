/* A static constructor, which the start-up code runs before main through
 * the program's table, with a deep frame of its own: the stack's bound
 * must count it, as the painted peak does. */
#include <stdint.h>

#include "onestack.h"

static volatile uint32_t checksum;

__attribute__((constructor)) static void Prepare(void) {
    volatile uint8_t scratch[1500];
    for (uint32_t i = 0; i < sizeof scratch; ++i) scratch[i] = (uint8_t)i;
    checksum = scratch[7] + scratch[1499];
}

static void Main(void) { TerminateTask(); }

int main(void) { return StartOS(Main, 1, "Main") == 0 && checksum == 7u + (1499u & 0xFFu) ? 0 : 1; }
