#include "tests/support/pty.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

PtyPair::PtyPair() {
    char name[128];
    if (openpty(&master, &slaveFd, nullptr, nullptr, nullptr) != 0) return;
    if (ptsname_r(master, name, sizeof name) != 0) return;
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    slave = name;
}

PtyPair::~PtyPair() {
    if (master >= 0) ::close(master);
    if (slaveFd >= 0) ::close(slaveFd);
}

std::vector<uint8_t> PtyPair::read(size_t want) {
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
