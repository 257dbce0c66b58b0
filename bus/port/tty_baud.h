// Any baud rate on a Linux tty, through termios2 and BOTHER. <asm/termbits.h>
// clashes with <termios.h>, so these ioctls live in a file of their own.
//
// Threads: no state; the caller owns the fd.
#pragma once

// 0 on success; -1 with errno set. Input and output take the same rate.
int ttyBaud_set(int fd, unsigned baud);
// The output rate the tty holds; 0 on success, -1 with errno set.
int ttyBaud_get(int fd, unsigned* baud);
