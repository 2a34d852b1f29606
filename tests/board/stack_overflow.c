/* A recursion without end: the stack reaches its guard, and the board
 * stops with a message instead of running on over the heap and the data. */
#include <stdio.h>

static volatile unsigned limit = ~0u;

static unsigned Deeper(unsigned n) {
    volatile unsigned frame[8] = {n};
    return (n < limit ? Deeper(n + 1) : 0) + frame[0];
}

int main(void) {
    puts("recursing");
    return (int)Deeper(0);
}
