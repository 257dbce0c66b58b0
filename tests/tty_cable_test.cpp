// The cable layer through the serial tty driver on a real pseudo-terminal, chosen
// by KORVANE_PORT as an installer would choose a cable bound to ftdi_sio.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/packet_structures.h"
#include "bus/port/port.h"
#include "tests/support/frames.h"

namespace {

Bytes readFor(int fd, size_t want) {
    Bytes got;
    for (int spins = 0; got.size() < want && spins < 200; ++spins) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        uint8_t buf[600];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.insert(got.end(), buf, buf + n);
    }
    return got;
}

}  // namespace

TEST(TtyCable, FramesCrossAPseudoTerminal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    termios raw;
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);

    setenv("KORVANE_PORT", ptsname(master), 1);
    port_setDriver(nullptr);  // choose again, from the environment
    packet_resetAssembler();
    recorder_install();

    uint8_t frame[PKT_MAX_SIZE];
    packet_fillHeader(frame, 0x00ABCDEF);
    frame[PKT_DATA] = 0x01;
    frame[PKT_LEN] = 1;
    ASSERT_EQ(cable_sendPacket(frame), 20);
    Bytes expected = {0x00};
    const Bytes body = commandFrame(0x00ABCDEF, 0xFFFFFFFF, {0x01});
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_EQ(readFor(master, expected.size()), expected);

    const Bytes answer = commandFrame(0xFFFFFFFF, 0x00ABCDEF, {0x01, 0x09, 0x01, 0x02});
    ASSERT_EQ(::write(master, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    for (int i = 0; i < 200 && recorder_frames().empty(); ++i) {
        cable_response();
        usleep(1000);
    }
    ASSERT_EQ(recorder_frames().size(), 1u);
    EXPECT_EQ(recorder_frames()[0].frame, answer);

    cable_free();
    port_setDriver(nullptr);
    unsetenv("KORVANE_PORT");
    close(master);
}
