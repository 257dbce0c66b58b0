// A pseudo-terminal pair for the tests that play the bus on the master side
// while a driver opens the slave by its path.
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

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

    // What the master reads until want bytes came or a generous deadline passed.
    std::vector<uint8_t> read(size_t want) {
        std::vector<uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (out.size() < want && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            uint8_t buf[256];
            const ssize_t r = ::poll(&p, 1, 100) > 0 ? ::read(master, buf, sizeof buf) : 0;
            if (r > 0) out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
};
