/* The stack each C library function that the board programs call takes,
 * with every function it calls, measured: the library comes without call
 * graphs, so the stack tool takes these figures as declared bounds (each
 * family's board.stack). Each call runs over a painted stack, with
 * arguments that take the long paths (conversions, padding, a flush). */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "board.h"

#define PAINT 0xA5A5A5A5u

static volatile double number = 3.0;
/* The conversions' longest paths: the largest double in full, and the
 * smallest subnormal. */
static volatile double huge = 1.7976931348623157e308, tiny = 4.9406564584124654e-324;
static char text[96];

/* The formatted outputs three times, the longest path of each kept: with
 * the integer and string conversions, with the floating-point ones, whose
 * path is deeper in every C library here, and with the extreme values
 * and precisions, deeper still in some. */
static void Printf(void) {
    printf("%d %5s %lu %08x %c %p %-4d|%%\n", -42, "ab", 7ul, 0xbeefu, 'c', (void *)text, 3);
}
static void PrintfFloat(void) { printf("%f %e %g %.3a\n", number, number * 1e10, -number, number); }
static void PrintfExtreme(void) { printf("%.17g %f %.3f %e\n", huge, huge, tiny, tiny); }
static void Fprintf(void) { fprintf(stderr, "%s %ld\n", "stop", -1l); }
static void FprintfFloat(void) { fprintf(stderr, "%f %e\n", number, number / 1e10); }
static void FprintfExtreme(void) { fprintf(stderr, "%.17g %f %.3f %e\n", huge, huge, tiny, tiny); }
static void Snprintf(void) { snprintf(text, sizeof text, "%lu %s %d", 123456789ul, "x", -5); }
static void SnprintfFloat(void) { snprintf(text, sizeof text, "%g %f", number * 1e-9, number); }
/* Cut short, as a small buffer would. */
static volatile size_t small = 16;
static void SnprintfExtreme(void) {
    snprintf(text, small, "%.3f %.17g %f %e", number / 7.0, huge, huge, tiny);
}
static void Puts(void) { puts("a line"); }
static void Fputs(void) { fputs("a line\n", stdout); }
static void Fputc(void) { fputc('x', stdout); }
static void Putchar(void) { putchar('\n'); }
static void Errno(void) { errno = 0; }
static void Fwrite(void) { fwrite("bytes\n", 1, 6, stdout); }
static void Fflush(void) { fflush(stdout); }
static void Ferror(void) { (void)ferror(stdout); }
static void Strerror(void) { (void)strerror(EINVAL); }
static void Strlen(void) { (void)strlen(text); }
static void Strstr(void) { (void)strstr(text, "x"); }
static void Memcpy(void) { memcpy(text, text + 32, 32); }
static void Memset(void) { memset(text, 1, 64); }
static void Float(void) { number = number * (double)(uint32_t)text[0] / 7.0; } /* the soft-float helpers */
#if defined(__arm__)
extern void initialise_monitor_handles(void);
static void Monitor(void) { initialise_monitor_handles(); } /* newlib's semihosting set-up, again */
#endif
static volatile int32_t dividend = -1000, divisor = 7;
static void Divide(void) {
    dividend =
        dividend / divisor + dividend % divisor + (int32_t)((uint32_t)dividend / (uint32_t)divisor % 5u);
}

/* The bytes below the stack pointer at the call that `call` wrote. */
__attribute__((noinline)) static uint32_t Depth(void (*call)(void)) {
    uint32_t *const sp = (uint32_t *)BoardStackPointer();
    for (volatile uint32_t *p = _stack_limit + BOARD_STACK_GUARD / 4; p < sp; ++p)
        *p = PAINT; /* not memset, whose frame lies there */
    call();
    const uint32_t *p = _stack_limit + BOARD_STACK_GUARD / 4;
    while (*p == PAINT) ++p;
    return (uint32_t)((uintptr_t)sp - (uintptr_t)p);
}

int main(void) {
    static const struct {
        const char *name;
        void (*call)(void);
    } calls[] = {
        {"printf", Printf},
        {"printf", PrintfFloat},
        {"printf", PrintfExtreme},
        {"fprintf", Fprintf},
        {"fprintf", FprintfFloat},
        {"fprintf", FprintfExtreme},
        {"snprintf", Snprintf},
        {"snprintf", SnprintfFloat},
        {"snprintf", SnprintfExtreme},
        {"puts", Puts},
        {"fputs", Fputs},
        {"fputc", Fputc},
        {"putchar", Putchar},
        {"__errno", Errno},
        {"fwrite", Fwrite},
        {"fflush", Fflush},
        {"ferror", Ferror},
        {"strerror", Strerror},
        {"strlen", Strlen},
        {"strstr", Strstr},
        {"memcpy", Memcpy},
        {"memset", Memset},
        {"the soft-float helpers", Float},
        {"the division helpers", Divide},
#if defined(__arm__)
        {"initialise_monitor_handles", Monitor},
#endif
    };
    uint32_t depth[sizeof calls / sizeof calls[0]];
    for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i) depth[i] = Depth(calls[i].call);
    /* One line per function: the deepest of its calls, which follow one another. */
    const size_t count = sizeof calls / sizeof calls[0];
    for (size_t i = 0; i < count; ++i) {
        if (i + 1 < count && strcmp(calls[i].name, calls[i + 1].name) == 0) {
            if (depth[i] > depth[i + 1]) depth[i + 1] = depth[i];
            continue;
        }
        printf("bound %s %lu\n", calls[i].name, (unsigned long)depth[i]);
    }
    return 0;
}
