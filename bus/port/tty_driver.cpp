// The tty driver: a cable bound to the kernel's ftdi_sio (/dev/ttyUSB0), or a
// pseudo-terminal standing in for the bus. One device, named by its path.
//
// The fd stays non-blocking and every wait goes through poll(), so a read never
// outlasts its time-out and a stuck line cannot hang a write for ever.
//
// Threads: the ftdi module calls in under the cable lock; the driver's own
// mutex also guards its list of open ports.
#include "bus/port/port.h"
#include "bus/port/tty_baud.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
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
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kDefaultWriteTimeoutMs = 1000;  // a 0 write time-out means "default"

struct Port {
    int fd = -1;
    uint32_t readTimeoutMs = 0;
    uint32_t writeTimeoutMs = kDefaultWriteTimeoutMs;
};

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

    ~TtyDriver() override {
        for (auto& p : ports_) ::close(p->fd);
    }

    int libraryVersion(uint32_t* version) override {
        if (!version) return PORT_INVALID_PARAMETER;
        *version = 0;
        utsname u{};
        if (uname(&u) != 0) return PORT_OTHER_ERROR;
        unsigned part[3] = {0, 0, 0};
        std::sscanf(u.release, "%u.%u.%u", &part[0], &part[1], &part[2]);
        for (unsigned& v : part) v = std::min(v, 255u);
        *version = (part[0] << 16) | (part[1] << 8) | part[2];
        return PORT_OK;
    }

    int deviceCount(uint32_t* count) override {
        if (!count) return PORT_INVALID_PARAMETER;
        *count = 1;
        return PORT_OK;
    }

    int deviceDetails(uint32_t index, PortDeviceInfo* info) override {
        if (!info) return PORT_INVALID_PARAMETER;
        if (index != 0) return PORT_DEVICE_NOT_FOUND;
        *info = PortDeviceInfo{};
        std::snprintf(info->serial, sizeof info->serial, "%s", path_.c_str());
        std::snprintf(info->description, sizeof info->description, "%s", path_.c_str());
        return PORT_OK;
    }

    // The serial is the path itself, cut to what a serial buffer holds;
    // openBySerial takes that cut form back.
    int listSerials(char* const* buffers, int capacity, uint32_t* count) override {
        if (!count) return PORT_INVALID_PARAMETER;
        *count = 0;
        if (capacity > 0) {
            if (!buffers || !buffers[0]) return PORT_INVALID_PARAMETER;
            std::snprintf(buffers[0], PORT_SERIAL_SIZE, "%s", path_.c_str());
        }
        *count = 1;
        return PORT_OK;
    }

    int openBySerial(const char* serial, PortHandle* handle) override {
        if (!serial || !handle) return PORT_INVALID_PARAMETER;
        *handle = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!namesPath(serial)) return refuse(PORT_DEVICE_NOT_FOUND, "no such port");

        // Looked at before opening: opening some devices has effects of its own.
        struct stat st{};
        if (::stat(path_.c_str(), &st) != 0) return refuseErrno();
        if (!S_ISCHR(st.st_mode) || isConsole(st.st_rdev))
            return refuse(PORT_DEVICE_NOT_OPENED, "not a serial line");

        int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return refuseErrno();
        termios t{};
        bool ok = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && !isConsole(st.st_rdev) &&
                  tcgetattr(fd, &t) == 0;
        if (ok) {
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
        auto port = std::make_unique<Port>();
        port->fd = fd;
        *handle = port.get();
        ports_.push_back(std::move(port));
        return PORT_OK;
    }

    int reset(PortHandle h) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        return tcflush(p->fd, TCIOFLUSH) == 0 ? PORT_OK : PORT_IO_ERROR;
    }

    int setTimeouts(PortHandle h, uint32_t readMs, uint32_t writeMs) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        p->readTimeoutMs = std::min<uint32_t>(readMs, 60000);
        p->writeTimeoutMs = writeMs == 0 ? kDefaultWriteTimeoutMs : std::min<uint32_t>(writeMs, 60000);
        return PORT_OK;
    }

    // A pseudo-terminal keeps or ignores the rate; a failure is reported all the same.
    int setBaudRate(PortHandle h, uint32_t baud) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (baud == 0) return PORT_INVALID_PARAMETER;
        return ttyBaud_set(p->fd, baud) == 0 ? PORT_OK : PORT_IO_ERROR;
    }

    int setDataCharacteristics(PortHandle h, uint8_t bits, uint8_t stopBits,
                               uint8_t parity) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (bits < 5 || bits > 8 || (stopBits != 0 && stopBits != 2) || parity > 2)
            return PORT_INVALID_PARAMETER;
        termios t{};
        if (tcgetattr(p->fd, &t) != 0) return PORT_IO_ERROR;
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
        t.c_cflag |= sizes[bits - 5];
        if (stopBits == 2) t.c_cflag |= CSTOPB;
        if (parity != 0) t.c_cflag |= PARENB | (parity == 1 ? PARODD : 0);
        // BOTHER stays in c_cflag, so the kernel keeps the custom rate.
        return tcsetattr(p->fd, TCSANOW, &t) == 0 ? PORT_OK : PORT_IO_ERROR;
    }

    int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (rx) {
            int n = 0;
            if (ioctl(p->fd, FIONREAD, &n) != 0) return PORT_IO_ERROR;
            *rx = static_cast<uint32_t>(std::max(n, 0));
        }
        if (tx) {
            // The kernel counts no bytes the caller could wait on: wait here until
            // the line is idle (ftdi_sio asks the chip), then nothing is queued.
            int r;
            do {
                r = tcdrain(p->fd);
            } while (r != 0 && errno == EINTR);
            if (r != 0) return PORT_IO_ERROR;
            *tx = 0;
        }
        return PORT_OK;
    }

    int read(PortHandle h, uint8_t* buffer, uint32_t n, uint32_t* got) override {
        if (!got) return PORT_INVALID_PARAMETER;
        *got = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (n == 0) return PORT_OK;
        if (!buffer) return PORT_INVALID_PARAMETER;
        int ready = pollFor(p->fd, POLLIN, static_cast<int>(p->readTimeoutMs));
        if (ready < 0) return PORT_IO_ERROR;
        if (ready == 0) return PORT_OK;
        ssize_t r;
        do {
            r = ::read(p->fd, buffer, n);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return errno == EAGAIN ? PORT_OK : PORT_IO_ERROR;
        *got = static_cast<uint32_t>(r);
        return PORT_OK;
    }

    int write(PortHandle h, const uint8_t* buffer, uint32_t n, uint32_t* written) override {
        if (!written) return PORT_INVALID_PARAMETER;
        *written = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (n > 0 && !buffer) return PORT_INVALID_PARAMETER;
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(p->writeTimeoutMs);
        uint32_t done = 0;
        while (done < n) {
            ssize_t r = ::write(p->fd, buffer + done, n - done);
            if (r > 0) {
                done += static_cast<uint32_t>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno != EAGAIN) break;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now());
            if (left.count() <= 0 || pollFor(p->fd, POLLOUT, static_cast<int>(left.count())) <= 0)
                break;
        }
        *written = done;
        return done == n ? PORT_OK : PORT_IO_ERROR;
    }

    int close(PortHandle h) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(ports_.begin(), ports_.end(),
                               [h](const std::unique_ptr<Port>& p) { return p.get() == h; });
        if (h == nullptr || it == ports_.end()) return PORT_INVALID_HANDLE;
        int r = ::close((*it)->fd);
        ports_.erase(it);
        return r == 0 ? PORT_OK : PORT_IO_ERROR;
    }

    std::string lastError() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastError_;
    }

private:
    int refuse(int status, const std::string& why) {
        lastError_ = path_ + ": " + why;
        return status;
    }

    int refuseErrno() {
        const int e = errno;
        std::string why = std::strerror(e);
        if (e == EACCES || e == EPERM) why += " (join the group dialout, or install the udev rule 60-korvane.rules)";
        return refuse(e == ENOENT ? PORT_DEVICE_NOT_FOUND : PORT_DEVICE_NOT_OPENED, why);
    }

    // The path, or the cut forms the listing hands out (serials of 15 and 63 chars).
    bool namesPath(const char* serial) const {
        size_t len = std::strlen(serial);
        if (len == 0 || len > path_.size()) return false;
        if (path_.compare(0, len, serial) != 0) return false;
        return len == path_.size() || len == 15 || len == PORT_SERIAL_SIZE - 1;
    }

    Port* find(PortHandle h) {
        if (h == nullptr) return nullptr;
        for (auto& p : ports_)
            if (p.get() == h) return p.get();
        return nullptr;
    }

    const std::string path_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::string lastError_;
};

}  // namespace

PortDriver* port_newTtyDriver(const char* path) { return new TtyDriver(path); }
