/* Static data that leave the stack no room: the link fails. */
#include "board.h"

static volatile char buffer[BOARD_RAM_SIZE - 4 * 1024];

int main(void) {
    buffer[0] = 1;
    return buffer[0];
}
