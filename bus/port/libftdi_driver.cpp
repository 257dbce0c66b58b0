// The libftdi1 driver: FTDI cables reached over libusb.
//
// It never takes a cable from the kernel: a cable that the kernel's ftdi_sio
// holds (the usual case, and maybe in use by another program) is reached
// through its tty with the tty driver, its latency timer lowered in sysfs where
// that is allowed; only a cable no kernel driver holds is opened over libusb.
// Nothing is detached or rebound at any open or close.
//
// What libftdi1 1.5 and libusb 1.0.26 do that this driver once assumed otherwise:
// - A failed claim (-5; -3 when the configuration cannot be set) does not mean
//   ftdi_sio: libftdi gives it for any refusal, another program holding the
//   cable over libusb (EBUSY) and a cable just pulled (ENODEV) included. The
//   kernel tells them apart (libusb_kernel_driver_active: 1 ftdi_sio, 0 usbfs).
// - -8 ("inappropriate permissions") comes only after a try to detach ftdi_sio,
//   which this driver never makes; a node the user may not open fails in
//   libusb_open, -4.
//
// One libusb context serves every listing and every try to open, and one more
// the open cable, each made once: the status tick's retries with no cable make
// none (each context costs libusb threads and sockets).
//
// With KORVANE_PORT=ftdi:SERIAL it serves that one cable: listed first, so the
// ftdi module opens it, and the open of any other refused with a reason that
// names the cables found.
//
// Threads: called only by the ftdi module (port.h): no lock of its own.
#include <dirent.h>
#include <fcntl.h>
#include <ftdi.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/port/port.h"

namespace {

constexpr const char* SYS_USB_DEVICES = "/sys/bus/usb/devices";  // where the kernel lists USB interfaces
constexpr const char* DEV_DIR = "/dev";                          // where their nodes are

// A 1 ms libusb transfer time-out expires before the chip's status packet comes
// back and loses what the transfer carried; an idle chip answers within its
// latency timer anyway, so the short read time-out is kept by the chip.
constexpr int MIN_USB_READ_TIMEOUT_MS = 50;
constexpr int DEFAULT_USB_WRITE_TIMEOUT_MS = 5000;  // libftdi's own default

// D2XX's FT_DEVICE numbers, which the device listing prints, from bcdDevice.
uint32_t chipType(uint16_t bcdDevice) {
    switch (bcdDevice & 0xFF00) {
        case 0x0200: return 1;  // AM
        case 0x0400: return 0;  // BM
        case 0x0500: return 4;  // 2232C
        case 0x0600: return 5;  // 232R
        case 0x0700: return 6;  // 2232H
        case 0x0800: return 7;  // 4232H
        case 0x0900: return 8;  // 232H
        case 0x1000: return 9;  // X series
        default: return 3;      // unknown
    }
}

struct Listed {
    libusb_device* dev = nullptr;  // referenced until unrefAll
    bool stringsRead = false;
    char serial[PORT_SERIAL_SIZE] = {};
    char description[64] = {};
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t release = 0;
    uint8_t bus = 0;
    uint8_t address = 0;
};

void unrefAll(std::vector<Listed>& found) {
    for (Listed& l : found) {
        if (l.dev) libusb_unref_device(l.dev);
        l.dev = nullptr;
    }
}

// Lists the FTDI devices reachable from ctx, strings included. Returns 0 or a
// PortStatus; devices stay referenced in the result (unrefAll releases them).
int listDevices(ftdi_context* ctx, std::vector<Listed>* found) {
    found->clear();
    // One walk of the bus for all five products: the status tick lists at every
    // retry while no cable is there.
    ftdi_device_list* list = nullptr;
    if (ftdi_usb_find_all(ctx, &list, 0, 0) < 0) {
        ftdi_list_free(&list);
        return PORT_OTHER_ERROR;  // libusb could not list the bus
    }
    for (ftdi_device_list* d = list; d != nullptr; d = d->next) {
        if (found->size() >= static_cast<size_t>(PORT_MAX_DEVICES)) break;
        Listed l;
        l.dev = libusb_ref_device(d->dev);
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(d->dev, &desc) == 0) {
            l.vendor = desc.idVendor;
            l.product = desc.idProduct;
            l.release = desc.bcdDevice;
        }
        l.bus = libusb_get_bus_number(d->dev);
        l.address = libusb_get_device_address(d->dev);
        l.stringsRead = ftdi_usb_get_strings(ctx, d->dev, nullptr, 0, l.description, sizeof l.description, l.serial,
                                             sizeof l.serial) == 0;
        if (!l.stringsRead) {
            l.serial[0] = '\0';
            l.description[0] = '\0';
        }
        found->push_back(l);
    }
    ftdi_list_free(&list);
    // Product by product, as the cables were always listed.
    auto rank = [](const Listed& l) {
        // The cables seen on DMX lines, exactly what libftdi lists when asked for vendor and product 0.
        return std::find(std::begin(PORT_FTDI_PRODUCTS), std::end(PORT_FTDI_PRODUCTS), l.product) -
               std::begin(PORT_FTDI_PRODUCTS);
    };
    std::stable_sort(found->begin(), found->end(), [&](const Listed& a, const Listed& b) { return rank(a) < rank(b); });
    return PORT_OK;
}

std::string errorOf(ftdi_context* ctx) {
    const char* e = ctx ? ftdi_get_error_string(ctx) : nullptr;
    return e && *e ? e : "libusb failed";
}

// The kernel's name of interface 0 of a device: bus, then the ports to it.
std::string interfaceName(libusb_device* dev) {
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, static_cast<int>(sizeof ports));
    if (n <= 0) return "";
    std::string name = std::to_string(libusb_get_bus_number(dev)) + "-";
    for (int i = 0; i < n; ++i) name += (i ? "." : "") + std::to_string(ports[i]);
    return name + ":1.0";
}

// The tty the kernel's serial driver made for the device, or "".
std::string ttyOf(libusb_device* dev, std::string* sysDir) {
    const std::string iface = interfaceName(dev);
    if (iface.empty()) return "";
    const std::string dir = std::string(SYS_USB_DEVICES) + "/" + iface;
    DIR* d = opendir(dir.c_str());
    if (!d) return "";
    std::string tty;
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, "ttyUSB", 6) == 0) {
            tty = e->d_name;
            break;
        }
    }
    closedir(d);
    if (tty.empty()) return "";
    *sysDir = dir + "/" + tty;
    return std::string(DEV_DIR) + "/" + tty;
}

// Short answers wait in the chip until its latency timer runs out; the kernel's
// default of 16 ms would outlast a 15 ms answer window. Only root may write it,
// unless a udev rule allows more; the tty driver also asks for low latency.
void lowerLatency(const std::string& sysDir) {
    const int fd = ::open((sysDir + "/latency_timer").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t w = ::write(fd, "1", 1);
    (void)w;
    ::close(fd);
}

bool usbNodeDenied(const Listed& l) {
    char path[64];
    std::snprintf(path, sizeof path, "/bus/usb/%03u/%03u", l.bus, l.address);
    return ::access((std::string(DEV_DIR) + path).c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

// 1 when a kernel driver (ftdi_sio) holds interface 0, 0 when a program does
// over usbfs (or nobody), LIBUSB_ERROR_NO_DEVICE when the cable has gone, as
// the kernel answers USBDEVFS_GETDRIVER; another libusb error when it cannot be asked.
int kernelDriverActive(libusb_device* dev) {
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(dev, &handle);
    if (opened < 0) return opened;
    const int held = libusb_kernel_driver_active(handle, 0);
    libusb_close(handle);
    return held;
}

std::string permissionText(const std::string& why) {
    return "no access to the USB device (" + why +
           "): install the udev rule 60-korvane.rules that comes with the package, or join the group "
           "plugdev, then plug the cable in again";
}

// libftdi returns the libusb code when a transfer fails; a time-out only means
// nothing came back in time.
bool isTimeout(int ret) { return ret == LIBUSB_ERROR_TIMEOUT; }

class LibftdiDriver : public PortDriver {
public:
    explicit LibftdiDriver(std::string wanted) : wanted_(std::move(wanted)) {}

    ~LibftdiDriver() override {
        close();
        if (portCtx_) ftdi_free(portCtx_);
        if (listCtx_) ftdi_free(listCtx_);
    }

    int libraryVersion(uint32_t* version) override {
        ftdi_version_info v = ftdi_get_library_version();
        *version = (static_cast<uint32_t>(v.major & 0xFF) << 16) | (static_cast<uint32_t>(v.minor & 0xFF) << 8) |
                   static_cast<uint32_t>(v.micro & 0xFF);
        return PORT_OK;
    }

    // Strings are read in the same walk, so that the entries describe one listing.
    int list(PortDeviceInfo* cables, int capacity, uint32_t* count) override {
        *count = 0;
        std::vector<Listed> found;
        if (const int st = listNow(&found)) return st;
        unrefAll(found);  // only the copied strings and numbers are kept
        if (!wanted_.empty()) {
            // The ftdi module opens the first cable listed: the chosen one goes first.
            listedSerials_.clear();
            for (const Listed& l : found) listedSerials_.emplace_back(l.serial);
            std::stable_partition(found.begin(), found.end(), [&](const Listed& l) { return wanted_ == l.serial; });
        }
        const size_t n = std::min<size_t>(found.size(), static_cast<size_t>(std::max(capacity, 0)));
        for (size_t i = 0; i < n; ++i) cables[i] = details(found[i]);
        *count = static_cast<uint32_t>(n);
        return PORT_OK;
    }

    int open(const char* serial) override {
        if (ctx_ || tty_) {
            lastError_ = "the cable is already open";
            return PORT_DEVICE_NOT_OPENED;
        }
        refused_ = !wanted_.empty() && wanted_ != serial;
        if (refused_) return PORT_DEVICE_NOT_FOUND;  // another cable than the one chosen
        std::vector<Listed> found;
        int st = listNow(&found);
        if (st != PORT_OK) return st;
        // A device whose strings could not be read is listed with an empty
        // serial; an empty serial opens the first such device.
        const auto match = std::find_if(found.begin(), found.end(),
                                        [&](const Listed& l) { return std::strcmp(l.serial, serial) == 0; });
        if (match != found.end()) {
            st = openListed(*match);
        } else {
            lastError_ = found.empty() ? "no FTDI cable is plugged in"
                                       : std::string("no FTDI cable has the serial number ") + serial;
            st = PORT_DEVICE_NOT_FOUND;
        }
        unrefAll(found);
        return st;
    }

    int configure(uint32_t baud) override {
        if (tty_) return tty_->configure(baud);
        if (!ctx_) return PORT_NOT_OPEN;
        if (baud == 0 || baud > 12000000) return PORT_INVALID_PARAMETER;
        // The line format stays from the first time on; breaks change the rate only.
        if (!formatSet_) {
            if (ftdi_set_line_property(ctx_, BITS_8, STOP_BIT_2, NONE) < 0) return PORT_IO_ERROR;
            formatSet_ = true;
        }
        const int ret = ftdi_set_baudrate(ctx_, static_cast<int>(baud));
        if (ret == -1) return PORT_INVALID_PARAMETER;  // too far from a chip divisor
        return ret < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    // libftdi cannot ask the chip how much it holds: one transfer (back within
    // the chip's 1 ms latency timer) brings what has arrived into libftdi's own
    // read buffer, of which one byte is kept here; the count is that byte and
    // what libftdi holds behind it.
    int bytesWaiting(uint32_t* n) override {
        if (tty_) return tty_->bytesWaiting(n);
        if (!ctx_) return PORT_NOT_OPEN;
        if (!peeked_ && ctx_->readbuffer_remaining == 0) {
            const int ret = ftdi_read_data(ctx_, &peek_, 1);
            if (ret < 0 && !isTimeout(ret)) return PORT_IO_ERROR;
            peeked_ = ret == 1;
        }
        *n = (peeked_ ? 1 : 0) + ctx_->readbuffer_remaining;
        return PORT_OK;
    }

    // What bytesWaiting counted comes without a transfer; with nothing counted,
    // one transfer brings what has arrived.
    int read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        *got = 0;
        if (tty_) return tty_->read(buffer, n, got);
        if (!ctx_) return PORT_NOT_OPEN;
        if (n == 0) return PORT_OK;
        uint32_t done = 0;
        if (peeked_) {
            buffer[done++] = peek_;
            peeked_ = false;
        }
        const uint32_t held = ctx_->readbuffer_remaining;
        const uint32_t want = done > 0 || held > 0 ? std::min(n - done, held) : n;
        if (want > 0) {
            const int ret = ftdi_read_data(ctx_, buffer + done, static_cast<int>(want));
            if (ret < 0 && !isTimeout(ret)) {
                *got = done;
                return PORT_IO_ERROR;
            }
            done += ret > 0 ? static_cast<uint32_t>(ret) : 0;
        }
        *got = done;
        return PORT_OK;
    }

    int write(const uint8_t* buffer, uint32_t n, uint32_t* written) override {
        *written = 0;
        if (tty_) return tty_->write(buffer, n, written);
        if (!ctx_) return PORT_NOT_OPEN;
        uint32_t done = 0;
        while (done < n) {
            const int chunk = static_cast<int>(std::min<uint32_t>(n - done, 1u << 20));
            const int ret = ftdi_write_data(ctx_, buffer + done, chunk);
            if (ret <= 0) {  // 0 would loop for ever
                *written = done;
                return PORT_IO_ERROR;
            }
            done += static_cast<uint32_t>(ret);
        }
        *written = done;
        return PORT_OK;
    }

    int transmitEmpty(bool* empty) override {
        if (tty_) return tty_->transmitEmpty(empty);
        if (!ctx_) return PORT_NOT_OPEN;
        unsigned short status = 0;
        if (ftdi_poll_modem_status(ctx_, &status) < 0) return PORT_IO_ERROR;
        *empty = (status & 0x4000) != 0;  // the chip reports no count, only TEMT
        return PORT_OK;
    }

    int close() override {
        if (tty_) {
            const int st = tty_->close();
            tty_.reset();
            return st;
        }
        if (!ctx_) return PORT_NOT_OPEN;
        ftdi_usb_reset(ctx_);
        ftdi_tcioflush(ctx_);
        const int ret = ftdi_usb_close(ctx_);
        ctx_ = nullptr;
        peeked_ = false;
        return ret < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    std::string lastError() override { return refused_ ? missingLine() : lastError_; }

private:
    // Makes the context in *slot on first use; false (the reason noted) when libusb cannot start.
    bool context(ftdi_context** slot) {
        if (!*slot) *slot = ftdi_new();
        if (!*slot) lastError_ = "libusb could not start";
        return *slot != nullptr;
    }

    // One walk of the bus on the listing context; the reason noted when it fails.
    int listNow(std::vector<Listed>* found) {
        if (!context(&listCtx_)) return PORT_OTHER_ERROR;
        const int st = listDevices(listCtx_, found);
        if (st != PORT_OK) lastError_ = "the USB bus could not be listed: " + errorOf(listCtx_);
        return st;
    }

    static PortDeviceInfo details(const Listed& l) {
        PortDeviceInfo info;
        info.detailsRead = l.stringsRead;
        info.type = chipType(l.release);
        info.id = (static_cast<uint32_t>(l.vendor) << 16) | l.product;
        info.locId = (static_cast<uint32_t>(l.bus) << 8) | l.address;
        std::snprintf(info.serial, sizeof info.serial, "%s", l.serial);
        std::snprintf(info.description, sizeof info.description, "%s", l.description);
        return info;
    }

    // Over libusb when no kernel driver holds the cable, else through its tty.
    int openListed(const Listed& l) {
        if (!context(&portCtx_)) return PORT_OTHER_ERROR;
        portCtx_->module_detach_mode = DONT_DETACH_SIO_MODULE;
        const int ret = ftdi_usb_open_dev(portCtx_, l.dev);
        if (ret < 0) {
            std::string why = errorOf(portCtx_);
            int st = PORT_DEVICE_NOT_OPENED;
            if (ret == -3 || ret == -5) {  // the claim failed: ask the kernel who holds the interface
                const int held = kernelDriverActive(l.dev);
                if (held == 0) {
                    why = "the cable is in use by another program";
                } else if (held == LIBUSB_ERROR_NO_DEVICE) {
                    why = "the cable was unplugged";
                    st = PORT_DEVICE_NOT_FOUND;
                } else {
                    st = openThroughTty(l, &why);  // ftdi_sio, or no answer: its tty, if it has one
                }
            } else if (ret == -4 && usbNodeDenied(l)) {
                why = permissionText(why);
            }
            if (st != PORT_OK) lastError_ = why;
            return st;
        }
        // Short answers wait in the chip for the latency timer; the default
        // 16 ms would outlast a 15 ms answer window.
        if (ftdi_set_latency_timer(portCtx_, 1) < 0) {
            lastError_ = "the latency timer could not be set: " + errorOf(portCtx_);
            ftdi_usb_close(portCtx_);
            return PORT_IO_ERROR;
        }
        ftdi_usb_reset(portCtx_);
        ftdi_tcioflush(portCtx_);
        portCtx_->usb_read_timeout = MIN_USB_READ_TIMEOUT_MS;
        portCtx_->usb_write_timeout = DEFAULT_USB_WRITE_TIMEOUT_MS;
        ctx_ = portCtx_;
        formatSet_ = false;
        peeked_ = false;
        return PORT_OK;
    }

    int openThroughTty(const Listed& l, std::string* why) {
        std::string sysDir;
        const std::string path = ttyOf(l.dev, &sysDir);
        if (path.empty()) {
            *why = "the kernel's ftdi_sio holds the cable, and no tty of it was found (" + *why + ")";
            return PORT_DEVICE_NOT_OPENED;
        }
        lowerLatency(sysDir);
        tty_ = port_newTtyDriver(path.c_str());
        const int st = tty_->open(path.c_str());
        if (st != PORT_OK) {
            *why = tty_->lastError();
            tty_.reset();
        }
        return st;
    }

    // A cable whose strings could not be read (no access to it) has no serial.
    std::string missingLine() const {
        std::string named;
        int unreadable = 0;
        for (const std::string& s : listedSerials_) {
            if (s.empty()) {
                ++unreadable;
                continue;
            }
            named += (named.empty() ? "" : ", ") + s;
        }
        if (unreadable > 0) {
            named += (named.empty() ? "" : " and ") + std::to_string(unreadable) +
                     (unreadable == 1 ? " whose serial number could not be read"
                                      : " whose serial numbers could not be read");
        }
        return "KORVANE_PORT=ftdi:" + wanted_ +
               ": no FTDI cable with this serial number; cables found: " + (named.empty() ? "none" : named);
    }

    const std::string wanted_;         // KORVANE_PORT=ftdi:SERIAL; "" for any cable
    ftdi_context* listCtx_ = nullptr;  // every listing and every try to open
    ftdi_context* portCtx_ = nullptr;  // the cable open over libusb, reused from one open to the next
    ftdi_context* ctx_ = nullptr;      // portCtx_ while a cable is open over libusb
    std::unique_ptr<PortDriver> tty_;  // or the tty of a cable that ftdi_sio holds
    bool formatSet_ = false;           // 8N2 set since the open
    bool peeked_ = false;              // peek_ holds a received byte
    uint8_t peek_ = 0;
    std::vector<std::string> listedSerials_;  // with wanted_: the serial numbers of the last listing
    bool refused_ = false;                    // with wanted_: the last open asked for another cable
    std::string lastError_;
};

}  // namespace

std::unique_ptr<PortDriver> port_newLibftdiDriver(const std::string& serial) {
    return std::make_unique<LibftdiDriver>(serial);
}
