/* Static data that leave the stack no room: the link fails. */
static volatile char buffer[60 * 1024];

int main(void) {
    buffer[0] = 1;
    return buffer[0];
}
