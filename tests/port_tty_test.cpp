// The tty driver on a pseudo-terminal pair: the driver holds the slave, the
// test plays the bus on the master.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "bus/port/port.h"
#include "bus/port/tty_baud.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct PtyPair {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string slave;

    PtyPair() {
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = ptsname(master);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);  // nothing echoed or translated on the bus side
        tcsetattr(master, TCSANOW, &t);
    }
    ~PtyPair() {
        if (master >= 0) ::close(master);
    }
    Bytes read(size_t want) {  // until want bytes came or a generous deadline passed
        Bytes out;
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

std::unique_ptr<PortDriver> tty(const std::string& path) {
    return std::unique_ptr<PortDriver>(port_newTtyDriver(path.c_str()));
}

// Opens the first listed serial, as the ftdi module does.
int openListed(PortDriver& d, PortHandle* h) {
    char serial[PORT_SERIAL_SIZE] = {};
    char* buffers[1] = {serial};
    uint32_t count = 0;
    if (int st = d.listSerials(buffers, 1, &count)) return st;
    return count == 1 ? d.openBySerial(serial, h) : PORT_DEVICE_NOT_FOUND;
}

}  // namespace

TEST(TtyDriver, ListsOnePathThatOpensAndRefusesWhatIsNoSerialLine) {
    PtyPair pty;
    ASSERT_FALSE(pty.slave.empty());
    const std::string dir = testing::TempDir() + "korvane-tty-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directory(dir));

    auto d = tty(pty.slave);
    uint32_t count = 0, rx = 0;
    ASSERT_EQ(d->deviceCount(&count), PORT_OK);
    EXPECT_EQ(count, 1u);
    PortDeviceInfo info;
    ASSERT_EQ(d->deviceDetails(0, &info), PORT_OK);
    EXPECT_EQ(std::string(info.description), pty.slave);
    EXPECT_NE(d->deviceDetails(1, &info), PORT_OK);

    PortHandle h = nullptr;
    ASSERT_EQ(openListed(*d, &h), PORT_OK);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(d->close(h), PORT_OK);
    EXPECT_EQ(d->getStatus(h, &rx, nullptr), PORT_INVALID_HANDLE);
    EXPECT_EQ(d->close(h), PORT_INVALID_HANDLE);
    EXPECT_NE(d->openBySerial("/dev/pts/x", &h), PORT_OK);  // only its own path

    // A path longer than a serial buffer: the listed cut form still opens it.
    const std::string longName = dir + "/" + std::string(70, 'p');
    ASSERT_EQ(::symlink(pty.slave.c_str(), longName.c_str()), 0);
    auto longDriver = tty(longName);
    ASSERT_EQ(openListed(*longDriver, &h), PORT_OK);
    EXPECT_EQ(longDriver->close(h), PORT_OK);

    const std::string plain = dir + "/plain";
    ASSERT_TRUE(std::ofstream(plain) << "x");
    const std::string missing = dir + "/missing";
    for (const std::string& path : {missing, plain, dir, std::string("/dev/null")}) {
        auto refusing = tty(path);
        h = reinterpret_cast<PortHandle>(1);
        const int st = openListed(*refusing, &h);
        EXPECT_NE(st, PORT_OK) << path;
        if (path == missing) { EXPECT_EQ(st, PORT_DEVICE_NOT_FOUND); }
        EXPECT_EQ(h, nullptr) << path;
    }
    std::filesystem::remove_all(dir);
}

TEST(TtyDriver, ExchangesBytesWithTheLineIn8N2) {
    PtyPair pty;
    ASSERT_FALSE(pty.slave.empty());
    auto d = tty(pty.slave);
    PortHandle h = nullptr;
    ASSERT_EQ(openListed(*d, &h), PORT_OK);
    EXPECT_EQ(d->reset(h), PORT_OK);  // the ftdi module's open sequence
    EXPECT_EQ(d->setTimeouts(h, 1, 0), PORT_OK);
    d->setBaudRate(h, 250000);
    EXPECT_EQ(d->setDataCharacteristics(h, 8, 2, 0), PORT_OK);

    const int probe = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | CLOCAL | CREAD), tcflag_t{CS8 | CSTOPB | CLOCAL | CREAD});
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    unsigned baud = 0;
    ASSERT_EQ(ttyBaud_get(probe, &baud), 0);
    EXPECT_EQ(baud, 250000u);
    ::close(probe);

    uint8_t buf[50];
    uint32_t got = 99, rx = 99, tx = 99, written = 0;
    ASSERT_EQ(d->getStatus(h, &rx, nullptr), PORT_OK);
    EXPECT_EQ(rx, 0u);
    ASSERT_EQ(d->read(h, buf, sizeof buf, &got), PORT_OK);
    EXPECT_EQ(got, 0u);

    // The break byte, then a frame of bytes a terminal would translate or act on;
    // each write returns drained.
    Bytes frame = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0xFF, 0x7F, 0x00};
    while (frame.size() < 22) frame.push_back(static_cast<uint8_t>(frame.size() * 37));
    for (const auto& [from, n, baud] : {std::tuple{0, 1, 15625}, std::tuple{1, 21, 250000}}) {
        d->setBaudRate(h, baud);
        tx = 99;
        ASSERT_EQ(d->write(h, &frame[from], n, &written), PORT_OK);
        EXPECT_EQ(written, uint32_t(n));
        ASSERT_EQ(d->getStatus(h, &rx, &tx), PORT_OK);
        EXPECT_EQ(tx, 0u);
    }
    EXPECT_EQ(pty.read(frame.size()), frame);
    pollfd quiet{pty.master, POLLIN, 0};
    EXPECT_EQ(::poll(&quiet, 1, 50), 0);

    const uint8_t answer[] = {0x0D, 0x0A, 0x03, 0x11, 0x13, 0xA5, 0x00};
    ASSERT_EQ(::write(pty.master, answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (rx = 0; rx < sizeof answer && std::chrono::steady_clock::now() < deadline;)
        ASSERT_EQ(d->getStatus(h, &rx, nullptr), PORT_OK);
    ASSERT_EQ(rx, sizeof answer);
    ASSERT_EQ(d->read(h, buf, sizeof buf, &got), PORT_OK);
    EXPECT_EQ(Bytes(buf, buf + got), Bytes(answer, answer + sizeof answer));
    ASSERT_EQ(d->read(h, buf, sizeof buf, &got), PORT_OK);
    EXPECT_EQ(got, 0u);

    // The far end gone (a pulled cable): errors, not an idle line.
    ::close(pty.master);
    pty.master = -1;
    EXPECT_NE(d->read(h, buf, sizeof buf, &got), PORT_OK);
    EXPECT_NE(d->write(h, answer, sizeof answer, &written), PORT_OK);
    EXPECT_EQ(d->close(h), PORT_OK);
}
