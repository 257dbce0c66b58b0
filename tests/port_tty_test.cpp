// The tty driver on a real pseudo-terminal pair: the driver holds the slave,
// the test plays the bus on the master.
#include "bus/port/port.h"
#include "bus/port/tty_baud.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct PtyPair {
    int master = -1;
    std::string slave;

    PtyPair() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = ptsname(master);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);  // nothing echoed or translated on the bus side
        tcsetattr(master, TCSANOW, &t);
    }
    ~PtyPair() { closeMaster(); }
    void closeMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    bool ok() const { return master >= 0 && !slave.empty(); }

    // Reads from the master until `want` bytes came or a generous deadline passed.
    std::vector<uint8_t> readMaster(size_t want) {
        std::vector<uint8_t> out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (out.size() < want && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            uint8_t buf[256];
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0) out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

    // True when nothing more arrives at the master within a short look.
    bool masterQuiet() {
        pollfd p{master, POLLIN, 0};
        return ::poll(&p, 1, 50) == 0;
    }
};

std::unique_ptr<PortDriver> ttyDriver(const std::string& path) {
    return std::unique_ptr<PortDriver>(port_newTtyDriver(path.c_str()));
}

// Opens the first listed serial, the way the ftdi module does.
int openListed(PortDriver& d, PortHandle* h) {
    char serial[PORT_SERIAL_SIZE] = {};
    char* buffers[1] = {serial};
    uint32_t count = 0;
    int st = d.listSerials(buffers, 1, &count);
    if (st != PORT_OK) return st;
    if (count != 1) return PORT_DEVICE_NOT_FOUND;
    return d.openBySerial(serial, h);
}

int expectRefused(const std::string& path) {
    auto d = ttyDriver(path);
    PortHandle h = reinterpret_cast<PortHandle>(1);
    int st = openListed(*d, &h);
    EXPECT_EQ(h, nullptr) << path;
    return st;
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/korvane-tty-XXXXXX";
        if (mkdtemp(tmpl)) path_ = tmpl;
    }
    ~TempDir() {
        for (const std::string& f : files_) ::unlink(f.c_str());
        if (!path_.empty()) ::rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

}  // namespace

TEST(TtyDriver, ListsOnePathThatOpensAndRefusesWhatIsNoSerialLine) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());

    auto d = ttyDriver(pty.slave);
    uint32_t count = 0;
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
    // A closed handle is refused, not used.
    uint32_t rx = 0;
    EXPECT_EQ(d->getStatus(h, &rx, nullptr), PORT_INVALID_HANDLE);
    EXPECT_EQ(d->close(h), PORT_INVALID_HANDLE);
    // Only the driver's own path opens.
    EXPECT_NE(d->openBySerial("/dev/pts/x", &h), PORT_OK);

    // A path longer than a serial buffer: the listed cut form still opens it.
    std::string longName = dir.file(std::string(70, 'p'));
    ASSERT_EQ(::symlink(pty.slave.c_str(), longName.c_str()), 0);
    auto longDriver = ttyDriver(longName);
    ASSERT_EQ(openListed(*longDriver, &h), PORT_OK);
    EXPECT_EQ(longDriver->close(h), PORT_OK);

    EXPECT_EQ(expectRefused(dir.path() + "/missing"), PORT_DEVICE_NOT_FOUND);
    std::string plain = dir.file("plain");
    FILE* f = std::fopen(plain.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_NE(expectRefused(plain), PORT_OK);
    EXPECT_NE(expectRefused(dir.path()), PORT_OK);
    EXPECT_NE(expectRefused("/dev/null"), PORT_OK);
}

TEST(TtyDriver, BreakByteThenFrameReachTheLineIn8N2) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto d = ttyDriver(pty.slave);
    PortHandle h = nullptr;
    ASSERT_EQ(openListed(*d, &h), PORT_OK);

    // The ftdi module's line settings, then its break and one frame.
    EXPECT_EQ(d->reset(h), PORT_OK);
    EXPECT_EQ(d->setTimeouts(h, 1, 0), PORT_OK);
    d->setBaudRate(h, 250000);
    EXPECT_EQ(d->setDataCharacteristics(h, 8, 2, 0), PORT_OK);

    int probe = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_iflag & (ICRNL | IXON | ISTRIP));
    unsigned baud = 0;
    ASSERT_EQ(ttyBaud_get(probe, &baud), 0);
    EXPECT_EQ(baud, 250000u);  // a pty keeps the rate it is given
    ::close(probe);

    const uint8_t zero = 0x00;
    uint32_t written = 0, rx = 0, tx = 0xFFFFFFFF;
    d->setBaudRate(h, 15625);
    ASSERT_EQ(d->write(h, &zero, 1, &written), PORT_OK);
    EXPECT_EQ(written, 1u);
    ASSERT_EQ(d->getStatus(h, &rx, &tx), PORT_OK);
    EXPECT_EQ(tx, 0u);
    d->setBaudRate(h, 250000);

    // Bytes a terminal would translate or act on: CR, LF, XON/XOFF, ^C, 0xFF.
    std::vector<uint8_t> frame = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0xFF, 0x7F, 0x00};
    while (frame.size() < 21) frame.push_back(static_cast<uint8_t>(frame.size() * 37));
    tx = 0xFFFFFFFF;
    ASSERT_EQ(d->write(h, frame.data(), 21, &written), PORT_OK);
    EXPECT_EQ(written, 21u);
    ASSERT_EQ(d->getStatus(h, nullptr, &tx), PORT_OK);
    EXPECT_EQ(tx, 0u);

    std::vector<uint8_t> expected = {0x00};
    expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(pty.readMaster(expected.size()), expected);
    EXPECT_TRUE(pty.masterQuiet());
    EXPECT_EQ(d->close(h), PORT_OK);
}

TEST(TtyDriver, ReadsWhatTheBusSentAndNothingWhenIdle) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto d = ttyDriver(pty.slave);
    PortHandle h = nullptr;
    ASSERT_EQ(openListed(*d, &h), PORT_OK);
    ASSERT_EQ(d->setTimeouts(h, 1, 0), PORT_OK);

    uint8_t buf[50];
    uint32_t got = 99, rx = 99;
    ASSERT_EQ(d->getStatus(h, &rx, nullptr), PORT_OK);
    EXPECT_EQ(rx, 0u);
    ASSERT_EQ(d->read(h, buf, sizeof buf, &got), PORT_OK);
    EXPECT_EQ(got, 0u);

    const uint8_t answer[] = {0x0D, 0x0A, 0x03, 0x11, 0x13, 0xA5, 0x00};
    ASSERT_EQ(::write(pty.master, answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    // The pty hands bytes over asynchronously: wait generously for all of them.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    rx = 0;
    while (rx < sizeof answer && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(d->getStatus(h, &rx, nullptr), PORT_OK);
        if (rx < sizeof answer) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(rx, sizeof answer);
    ASSERT_EQ(d->read(h, buf, sizeof buf, &got), PORT_OK);
    ASSERT_EQ(got, sizeof answer);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + got), std::vector<uint8_t>(answer, answer + got));

    ASSERT_EQ(d->read(h, buf, sizeof buf, &got), PORT_OK);
    EXPECT_EQ(got, 0u);

    // The far end gone (a pulled cable): reads and writes fail instead of
    // reporting an idle line.
    pty.closeMaster();
    uint32_t written = 0;
    EXPECT_NE(d->read(h, buf, sizeof buf, &got), PORT_OK);
    EXPECT_NE(d->write(h, answer, sizeof answer, &written), PORT_OK);
    EXPECT_EQ(d->close(h), PORT_OK);
}
