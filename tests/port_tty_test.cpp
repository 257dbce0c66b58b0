// The tty driver on a pseudo-terminal pair: the driver holds the slave, the
// test plays the bus on the master. What is no serial line is refused in
// PortChoice.* (port_choice_test.cpp), through KORVANE_PORT as a user sets it.
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bus/cable.h"
#include "bus/ftdi.h"
#include "bus/packet_structures.h"
#include "bus/port/port.h"
#include "tests/support/bounded.h"
#include "tests/support/frames.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

TEST(TtyDriver, ListsItsPathAndHoldsOnePort) {
    PtyPair pty;
    ASSERT_FALSE(pty.slave.empty());
    auto d = port_newTtyDriver(pty.slave.c_str());
    PortDeviceInfo listed[2];
    uint32_t count = 0, n = 0;
    ASSERT_EQ(d->list(listed, 2, &count), PORT_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(std::string(listed[0].description), pty.slave);

    ASSERT_EQ(d->open(listed[0].serial), PORT_OK);
    EXPECT_NE(d->open(listed[0].serial), PORT_OK);  // one port at a time
    // And one program per port: the lock refuses a second opener
    // (PortChoice.APortInUseIsRefusedSayingSo), TIOCEXCL every one but root (as
    // whom the tests may run); both go with the port (the long path below
    // opens it again).
    int exclusive = 0;
    EXPECT_EQ(ioctl(pty.slaveFd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    // A line that takes nothing (nobody reads the far end): the write gives up
    // part way at its time-out, and says so.
    std::vector<uint8_t> flood(1 << 20);
    uint32_t written = 0;
    EXPECT_EQ(d->write(flood.data(), static_cast<uint32_t>(flood.size()), &written), PORT_IO_ERROR);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, flood.size());
    EXPECT_EQ(d->close(), PORT_OK);
    EXPECT_EQ(ioctl(pty.slaveFd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(d->bytesWaiting(&n), PORT_NOT_OPEN);
    EXPECT_EQ(d->close(), PORT_NOT_OPEN);
    EXPECT_EQ(d->open("/dev/pts/x"), PORT_DEVICE_NOT_FOUND);  // only its own path

    // A path longer than a serial number holds: the listed cut form still opens it.
    TempDir dir;
    const std::string longName = dir.file(std::string(70, 'p'));
    ASSERT_EQ(::symlink(pty.slave.c_str(), longName.c_str()), 0);
    auto longDriver = port_newTtyDriver(longName.c_str());
    ASSERT_EQ(longDriver->list(listed, 1, &count), PORT_OK);
    EXPECT_EQ(std::strlen(listed[0].serial), size_t{PORT_SERIAL_SIZE - 1});
    EXPECT_EQ(longDriver->open(listed[0].serial), PORT_OK);
    EXPECT_EQ(longDriver->close(), PORT_OK);
}

// Chosen by KORVANE_PORT as an installer chooses a cable bound to ftdi_sio, and
// driven by the cable layer: the break and a frame go out raw in 8N2 at 250000
// baud, each write drained, and nothing a panel sends back is translated.
// Answers read through this driver in real time: PtyEndToEnd.
TEST(TtyDriver, FramesCrossAPseudoTerminalRawIn8N2) {
    PtyPair pty;
    ASSERT_FALSE(pty.slave.empty());
    setenv("KORVANE_PORT", pty.slave.c_str(), 1);
    port_setDriver(nullptr);  // choose again, from the environment

    // Data bytes a terminal would translate or act on.
    const Bytes data = {0x01, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0xFF, 0x7F, 0x00};
    Bytes frame = commandFrame(0x00ABCDEF, UID_ALL, data);
    Bytes expected = frame;
    expected.insert(expected.begin(), 0x00);  // the break, as a pseudo-terminal passes it on
    ASSERT_EQ(cable_sendPacket(frame.data()), static_cast<int32_t>(frame.size()));
    Bytes heard;
    waitFor("the break and the frame on the bus side", [&] {
        pollfd p{pty.master, POLLIN, 0};
        uint8_t buf[256];
        const ssize_t r = ::poll(&p, 1, 10) > 0 ? ::read(pty.master, buf, sizeof buf) : 0;
        if (r > 0) heard.insert(heard.end(), buf, buf + r);
        return heard.size() >= expected.size();
    });
    EXPECT_EQ(heard, expected);
    pollfd quiet{pty.master, POLLIN, 0};
    EXPECT_EQ(::poll(&quiet, 1, 50), 0);

    const int probe = pty.slaveFd;  // the port is the driver's alone: no second open
    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | CLOCAL | CREAD), tcflag_t{CS8 | CSTOPB | CLOCAL | CREAD});
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);

    // The far end gone (a pulled cable): errors, not an idle line; the port is let go.
    ::close(pty.master);
    pty.master = -1;
    uint8_t buf[8];
    uint32_t got = 0;
    EXPECT_NE(port_driver()->read(buf, sizeof buf, &got), PORT_OK);
    EXPECT_EQ(cable_sendPacket(frame.data()), -1);
    EXPECT_EQ(getOpenDevice(), -1);

    cable_free();
    unsetenv("KORVANE_PORT");
    port_setDriver(nullptr);
}
