// The tty driver: a cable bound to the kernel's ftdi_sio (/dev/ttyUSB0), or a
// pseudo-terminal standing in for the bus. One device, named by its path.
//
// The fd stays non-blocking and every wait goes through poll(), so a read never
// outlasts its time-out and a stuck line cannot hang a write for ever.
//
// Threads: called only by the ftdi module (port.h): no lock of its own.
#include "bus/port/port.h"
#include "bus/port/tty_baud.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int READ_TIMEOUT_MS = 1;
constexpr int WRITE_TIMEOUT_MS = 1000;

// /dev/tty, /dev/console, /dev/ptmx and the virtual consoles answer tcgetattr
// too, but DMX bytes written there land on somebody's screen.
bool isConsole(dev_t rdev) {
    unsigned maj = major(rdev), min = minor(rdev);
    return maj == 5 || (maj == 4 && min < 64);
}

int pollFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return r;
    return (p.revents & (POLLERR | POLLNVAL)) ? -1 : r;
}

class TtyDriver : public PortDriver {
public:
    explicit TtyDriver(const char* path) : path_(path ? path : "") {}

    ~TtyDriver() override { close(); }

    int libraryVersion(uint32_t* version) override {
        *version = 0;
        utsname u{};
        if (uname(&u) != 0) return PORT_OTHER_ERROR;
        unsigned part[3] = {0, 0, 0};
        std::sscanf(u.release, "%u.%u.%u", &part[0], &part[1], &part[2]);
        for (unsigned& v : part) v = std::min(v, 255u);
        *version = (part[0] << 16) | (part[1] << 8) | part[2];
        return PORT_OK;
    }

    // One cable: the path, cut to what a serial number holds; open() takes that back.
    int list(PortDeviceInfo* cables, int capacity, uint32_t* count) override {
        *count = 0;
        if (capacity < 1) return PORT_OK;
        cables[0] = PortDeviceInfo{};
        std::snprintf(cables[0].serial, sizeof cables[0].serial, "%s", path_.c_str());
        std::snprintf(cables[0].description, sizeof cables[0].description, "%s", path_.c_str());
        *count = 1;
        return PORT_OK;
    }

    int open(const char* serial) override {
        if (fd_ >= 0) return refuse(PORT_DEVICE_NOT_OPENED, "already open");
        if (!namesPath(serial)) return refuse(PORT_DEVICE_NOT_FOUND, "no such port");

        // Looked at before opening: opening some devices has effects of its own.
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) return refuseErrno();
        if (!S_ISCHR(st.st_mode) || isConsole(st.st_rdev)) return refuse(PORT_DEVICE_NOT_OPENED, "not a serial line");

        const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return refuseErrno();
        // One program per cable, as serial tools take a line: the lock keeps out
        // every program that asks for it (root included), TIOCEXCL every other
        // opener but root. Two programs on one bus would take each other's answers.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            ::close(fd);
            errno = e;
            return refuseErrno();
        }
        ioctl(fd, TIOCEXCL);
        termios t{};
        bool ok = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && !isConsole(st.st_rdev) && tcgetattr(fd, &t) == 0;
        if (ok) {
            // Raw 8N2 from here on; configure() changes the rate only.
            cfmakeraw(&t);
            t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
            t.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
            t.c_cc[VMIN] = 0;
            t.c_cc[VTIME] = 0;
            ok = tcsetattr(fd, TCSANOW, &t) == 0;
        }
        if (!ok) {
            ::close(fd);
            return refuse(PORT_DEVICE_NOT_OPENED, "not a serial line");
        }
        // An FTDI cable under ftdi_sio keeps short answers 16 ms in the chip
        // unless asked for low latency (1 ms), which any user may ask; a
        // pseudo-terminal has no such setting.
        serial_struct ss{};
        if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
            ss.flags |= ASYNC_LOW_LATENCY;
            ioctl(fd, TIOCSSERIAL, &ss);
        }
        tcflush(fd, TCIOFLUSH);
        fd_ = fd;
        return PORT_OK;
    }

    // A pseudo-terminal keeps or ignores the rate; a failure is reported all the same.
    int configure(uint32_t baud) override {
        if (fd_ < 0) return PORT_NOT_OPEN;
        if (baud == 0) return PORT_INVALID_PARAMETER;
        return ttyBaud_set(fd_, baud) == 0 ? PORT_OK : PORT_IO_ERROR;
    }

    int bytesWaiting(uint32_t* n) override {
        if (fd_ < 0) return PORT_NOT_OPEN;
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) != 0) return PORT_IO_ERROR;
        *n = static_cast<uint32_t>(std::max(waiting, 0));
        return PORT_OK;
    }

    int read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        *got = 0;
        if (fd_ < 0) return PORT_NOT_OPEN;
        if (n == 0) return PORT_OK;
        const int ready = pollFor(fd_, POLLIN, READ_TIMEOUT_MS);
        if (ready < 0) return PORT_IO_ERROR;
        if (ready == 0) return PORT_OK;
        ssize_t r;
        do {
            r = ::read(fd_, buffer, n);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return errno == EAGAIN ? PORT_OK : PORT_IO_ERROR;
        *got = static_cast<uint32_t>(r);
        return PORT_OK;
    }

    int write(const uint8_t* buffer, uint32_t n, uint32_t* written) override {
        *written = 0;
        if (fd_ < 0) return PORT_NOT_OPEN;
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_MS);
        uint32_t done = 0;
        while (done < n) {
            const ssize_t r = ::write(fd_, buffer + done, n - done);
            if (r > 0) {
                done += static_cast<uint32_t>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno != EAGAIN) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || pollFor(fd_, POLLOUT, static_cast<int>(left.count())) <= 0) break;
        }
        *written = done;
        return done == n ? PORT_OK : PORT_IO_ERROR;
    }

    // The kernel counts no bytes the caller could wait on: wait here until the
    // line is idle (ftdi_sio asks the chip), then nothing is queued.
    int transmitEmpty(bool* empty) override {
        if (fd_ < 0) return PORT_NOT_OPEN;
        int r;
        do {
            r = tcdrain(fd_);
        } while (r != 0 && errno == EINTR);
        if (r != 0) return PORT_IO_ERROR;
        *empty = true;
        return PORT_OK;
    }

    int close() override {
        if (fd_ < 0) return PORT_NOT_OPEN;
        tcflush(fd_, TCIOFLUSH);
        ioctl(fd_, TIOCNXCL);  // a pseudo-terminal's slave would keep it past the close
        const int r = ::close(fd_);
        fd_ = -1;
        return r == 0 ? PORT_OK : PORT_IO_ERROR;
    }

    std::string lastError() override { return lastError_; }

private:
    int refuse(int status, const std::string& why) {
        lastError_ = path_ + ": " + why;
        return status;
    }

    int refuseErrno() {
        const int e = errno;
        if (e == EWOULDBLOCK || e == EBUSY) return refuse(PORT_DEVICE_NOT_OPENED, "in use by another program");
        std::string why = std::strerror(e);
        // The udev rule covers the USB device, not a tty; a new group counts only from the next login.
        if (e == EACCES || e == EPERM)
            why += " (join the group dialout: sudo adduser $USER dialout, then log out and in again)";
        return refuse(e == ENOENT ? PORT_DEVICE_NOT_FOUND : PORT_DEVICE_NOT_OPENED, why);
    }

    // The path, or the cut form that list() hands out.
    bool namesPath(const char* serial) const {
        const size_t len = std::strlen(serial);
        return len > 0 && (serial == path_ || (len == PORT_SERIAL_SIZE - 1 && path_.compare(0, len, serial) == 0));
    }

    const std::string path_;
    int fd_ = -1;
    std::string lastError_;
};

}  // namespace

std::unique_ptr<PortDriver> port_newTtyDriver(const char* path) { return std::make_unique<TtyDriver>(path); }
