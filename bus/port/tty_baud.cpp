#include "bus/port/tty_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int ttyBaud_set(int fd, unsigned baud) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return -1;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0 ? 0 : -1;
}

int ttyBaud_get(int fd, unsigned* baud) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return -1;
    *baud = t.c_ospeed;
    return 0;
}
