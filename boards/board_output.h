/* The start-up code's own output: its reports, the stack's peak, and, for
 * the kernel, its closing lines and a stop's line, written through
 * BoardWrite, which each family's start-up code defines over semihosting.
 * None of it needs the C library's formatted output, so that a firmware
 * that prints nothing of its own pays for none. Included by the start-up
 * code once BoardWrite is declared. */
#ifndef ONESTACK_BOARD_OUTPUT_H
#define ONESTACK_BOARD_OUTPUT_H

#include <stdint.h>

enum { BOARD_STDOUT = 1, BOARD_STDERR = 2 };

/* Writes `text` to standard output (1) or standard error (2), after what
 * the C library's standard streams still hold, if the program uses them.
 * The kernel's port calls it too. */
void BoardWrite(int stream, const char *text);

/* Writes `value` in decimal, or in hexadecimal with at least `hex_digits`
 * digits (lowercase, no prefix) when that is not 0. */
static void BoardWriteNumber(int stream, uint32_t value, unsigned hex_digits) {
    char digits[12];
    char *p = digits + sizeof digits - 1;
    *p = '\0';
    const uint32_t base = hex_digits != 0 ? 16 : 10;
    unsigned count = 0;
    do {
        *--p = "0123456789abcdef"[value % base];
        value /= base;
        ++count;
    } while (value != 0 || count < hex_digits);
    BoardWrite(stream, p);
}

#endif
