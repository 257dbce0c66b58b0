// A pseudo-terminal pair for the tests that play the bus on the master side
// while a driver opens the slave by its path.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

struct PtyPair {
    int master = -1;    // raw: nothing echoed or translated on the bus side
    int slaveFd = -1;   // held, so that the master reads no hang-up between opens
    std::string slave;  // the slave's path; empty when no pair could be made

    PtyPair() {
        char name[128];
        if (openpty(&master, &slaveFd, name, nullptr, nullptr) != 0) return;
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        slave = name;
    }
    ~PtyPair() {
        if (master >= 0) ::close(master);
        if (slaveFd >= 0) ::close(slaveFd);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
};
