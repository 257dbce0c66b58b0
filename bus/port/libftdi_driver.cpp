// The libftdi1 driver: FTDI cables reached over libusb.
//
// It never takes a cable from the kernel: a cable that the kernel's ftdi_sio
// holds (the usual case, and maybe in use by another program) is reached
// through its tty with the tty driver, its latency timer lowered in sysfs where
// that is allowed; only a cable no kernel driver holds is opened over libusb.
// Nothing is detached or rebound at any open or close.
//
// One libusb context serves every listing and every try to open, and one more
// the open cable, each made once: the status tick's retries with no cable make
// none (each context costs libusb threads and sockets).
//
// libftdi has no "bytes waiting" query, so each open port keeps a receive
// buffer: getStatus fills it with one read (back within the chip's latency
// timer, set to 1 ms) and read drains it first.
//
// Threads: the ftdi module calls in under the cable lock; the driver's own
// mutex also guards its contexts, listing snapshot and open ports, so a stray
// call from another thread cannot race them.
#include "bus/port/libftdi_calls.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// FT232R/BM, FT2232, FT4232, FT232H, FT-X: the cables seen on DMX lines, and
// exactly what libftdi lists when asked for vendor and product 0.
constexpr auto& kFtdiProducts = PORT_FTDI_PRODUCTS;

// A 1 ms libusb transfer time-out expires before the chip's status packet comes
// back and loses what the transfer carried; an idle chip answers within its
// latency timer anyway, so the short read time-out is kept by the chip.
constexpr int kMinUsbReadTimeoutMs = 50;
constexpr int kDefaultUsbWriteTimeoutMs = 5000;  // libftdi's own default

constexpr size_t kRxBufferSize = 4096;

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

void unrefAll(const LibftdiCalls& c, std::vector<Listed>& found) {
    for (Listed& l : found) {
        if (l.dev) c.unrefDevice(l.dev);
        l.dev = nullptr;
    }
}

// Lists the FTDI devices reachable from ctx, strings included. Returns 0 or a
// PortStatus; devices stay referenced in the result (unrefAll releases them).
int listDevices(const LibftdiCalls& c, ftdi_context* ctx, std::vector<Listed>* found) {
    found->clear();
    // One walk of the bus for all five products: the status tick lists at every
    // retry while no cable is there.
    ftdi_device_list* list = nullptr;
    if (c.findAll(ctx, &list, 0, 0) < 0) {
        c.listFree(&list);
        return PORT_OTHER_ERROR;  // libusb could not list the bus
    }
    for (ftdi_device_list* d = list; d != nullptr; d = d->next) {
        if (found->size() >= static_cast<size_t>(PORT_MAX_DEVICES)) break;
        Listed l;
        l.dev = c.refDevice(d->dev);
        libusb_device_descriptor desc{};
        if (c.deviceDescriptor(d->dev, &desc) == 0) {
            l.vendor = desc.idVendor;
            l.product = desc.idProduct;
            l.release = desc.bcdDevice;
        }
        l.bus = c.busNumber(d->dev);
        l.address = c.deviceAddress(d->dev);
        l.stringsRead = c.getStrings(ctx, d->dev, nullptr, 0, l.description, sizeof l.description, l.serial,
                                     sizeof l.serial) == 0;
        if (!l.stringsRead) {
            l.serial[0] = '\0';
            l.description[0] = '\0';
        }
        found->push_back(l);
    }
    c.listFree(&list);
    // Product by product, as the cables were always listed.
    auto rank = [](const Listed& l) {
        return std::find(std::begin(kFtdiProducts), std::end(kFtdiProducts), l.product) - std::begin(kFtdiProducts);
    };
    std::stable_sort(found->begin(), found->end(), [&](const Listed& a, const Listed& b) { return rank(a) < rank(b); });
    return PORT_OK;
}

std::string errorOf(const LibftdiCalls& c, ftdi_context* ctx) {
    const char* e = ctx ? c.errorString(ctx) : nullptr;
    return e && *e ? e : "libusb failed";
}

// The kernel's name of interface 0 of a device: bus, then the ports to it.
std::string interfaceName(const LibftdiCalls& c, libusb_device* dev) {
    uint8_t ports[8];
    const int n = c.portNumbers(dev, ports, static_cast<int>(sizeof ports));
    if (n <= 0) return "";
    std::string name = std::to_string(c.busNumber(dev)) + "-";
    for (int i = 0; i < n; ++i) name += (i ? "." : "") + std::to_string(ports[i]);
    return name + ":1.0";
}

// The tty the kernel's serial driver made for the device, or "".
std::string ttyOf(const LibftdiCalls& c, libusb_device* dev, std::string* sysDir) {
    const std::string iface = interfaceName(c, dev);
    if (iface.empty()) return "";
    const std::string dir = std::string(c.sysUsbDevices) + "/" + iface;
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
    return std::string(c.devDir) + "/" + tty;
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

bool usbNodeDenied(const LibftdiCalls& c, const Listed& l) {
    char path[64];
    std::snprintf(path, sizeof path, "/bus/usb/%03u/%03u", l.bus, l.address);
    return ::access((std::string(c.devDir) + path).c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

std::string permissionText(const std::string& why) {
    return "no access to the USB device (" + why +
           "): install the udev rule 60-korvane.rules that comes with the package, or join the group "
           "plugdev, then plug the cable in again";
}

struct Port {
    ftdi_context* ctx = nullptr;  // a cable opened over libusb
    bool ownsCtx = false;         // made for this port alone (a second cable open at once)
    std::unique_ptr<PortDriver> tty;  // or a cable reached through the kernel's tty
    PortHandle ttyHandle = nullptr;
    uint8_t rx[kRxBufferSize];
    size_t rxHead = 0;
    size_t rxLen = 0;
};

// libftdi returns the libusb code when a transfer fails; a time-out only means
// nothing came back in time.
bool isTimeout(int ret) { return ret == LIBUSB_ERROR_TIMEOUT; }

class LibftdiDriver : public PortDriver {
public:
    explicit LibftdiDriver(const LibftdiCalls& calls) : c_(calls) {}

    ~LibftdiDriver() override {
        for (auto& p : ports_) closePort(p.get());
        if (portCtx_) c_.freeContext(portCtx_);
        if (listCtx_) c_.freeContext(listCtx_);
    }

    int libraryVersion(uint32_t* version) override {
        if (!version) return PORT_INVALID_PARAMETER;
        ftdi_version_info v = ftdi_get_library_version();
        *version = (static_cast<uint32_t>(v.major & 0xFF) << 16) |
                   (static_cast<uint32_t>(v.minor & 0xFF) << 8) |
                   static_cast<uint32_t>(v.micro & 0xFF);
        return PORT_OK;
    }

    int deviceCount(uint32_t* count) override {
        if (!count) return PORT_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mutex_);
        *count = 0;
        int st = refreshSnapshot();
        if (st == PORT_OK) *count = static_cast<uint32_t>(snapshot_.size());
        return st;
    }

    int deviceDetails(uint32_t index, PortDeviceInfo* info) override {
        if (!info) return PORT_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!haveSnapshot_) {
            int st = refreshSnapshot();
            if (st != PORT_OK) return st;
        }
        if (index >= snapshot_.size()) return PORT_DEVICE_NOT_FOUND;
        const Listed& l = snapshot_[index];
        if (!l.stringsRead) return PORT_DEVICE_NOT_OPENED;
        *info = PortDeviceInfo{};
        info->type = chipType(l.release);
        info->id = (static_cast<uint32_t>(l.vendor) << 16) | l.product;
        info->locId = (static_cast<uint32_t>(l.bus) << 8) | l.address;
        std::snprintf(info->serial, sizeof info->serial, "%.15s", l.serial);  // D2XX's size
        std::snprintf(info->description, sizeof info->description, "%s", l.description);
        return PORT_OK;
    }

    int listSerials(char* const* buffers, int capacity, uint32_t* count) override {
        if (!count) return PORT_INVALID_PARAMETER;
        *count = 0;
        if (!buffers && capacity > 0) return PORT_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mutex_);
        int st = refreshSnapshot();
        if (st != PORT_OK) return st;
        int n = std::min<int>(capacity, static_cast<int>(snapshot_.size()));
        for (int i = 0; i < n; ++i)
            std::snprintf(buffers[i], PORT_SERIAL_SIZE, "%s", snapshot_[i].serial);
        *count = static_cast<uint32_t>(snapshot_.size());
        return PORT_OK;
    }

    int openBySerial(const char* serial, PortHandle* handle) override {
        if (!serial || !handle) return PORT_INVALID_PARAMETER;
        *handle = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!context(&listCtx_)) return PORT_OTHER_ERROR;
        std::vector<Listed> found;
        int st = listDevices(c_, listCtx_, &found);
        if (st != PORT_OK) {
            lastError_ = "the USB bus could not be listed: " + errorOf(c_, listCtx_);
            return st;
        }
        // A device whose strings could not be read is listed with an empty
        // serial; an empty serial opens the first such device.
        const Listed* match = nullptr;
        for (const Listed& l : found) {
            if (std::strcmp(l.serial, serial) == 0) {
                match = &l;
                break;
            }
        }
        if (match) {
            st = open(*match, handle);
        } else {
            lastError_ = found.empty() ? "no FTDI cable is plugged in"
                                       : std::string("no FTDI cable has the serial number ") + serial;
            st = PORT_DEVICE_NOT_FOUND;
        }
        unrefAll(c_, found);
        return st;
    }

    int reset(PortHandle h) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        p->rxHead = p->rxLen = 0;
        if (p->tty) return p->tty->reset(p->ttyHandle);
        if (c_.resetChip(p->ctx) < 0) return PORT_IO_ERROR;
        if (c_.flushBoth(p->ctx) < 0) return PORT_IO_ERROR;
        return PORT_OK;
    }

    int setTimeouts(PortHandle h, uint32_t readMs, uint32_t writeMs) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (p->tty) return p->tty->setTimeouts(p->ttyHandle, readMs, writeMs);
        p->ctx->usb_read_timeout =
            static_cast<int>(std::clamp<uint32_t>(readMs, kMinUsbReadTimeoutMs, 60000));
        p->ctx->usb_write_timeout =
            writeMs == 0 ? kDefaultUsbWriteTimeoutMs
                         : static_cast<int>(std::min<uint32_t>(writeMs, 60000));
        return PORT_OK;
    }

    int setBaudRate(PortHandle h, uint32_t baud) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (p->tty) return p->tty->setBaudRate(p->ttyHandle, baud);
        if (baud == 0 || baud > 12000000) return PORT_INVALID_PARAMETER;
        int ret = c_.setBaudRate(p->ctx, static_cast<int>(baud));
        if (ret == -1) return PORT_INVALID_PARAMETER;  // too far from a chip divisor
        return ret < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    int setDataCharacteristics(PortHandle h, uint8_t bits, uint8_t stopBits,
                               uint8_t parity) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (p->tty) return p->tty->setDataCharacteristics(p->ttyHandle, bits, stopBits, parity);
        if ((bits != 7 && bits != 8) || (stopBits != 0 && stopBits != 2) || parity > SPACE)
            return PORT_INVALID_PARAMETER;
        int ret = c_.setLineProperty(p->ctx, bits == 8 ? BITS_8 : BITS_7,
                                     stopBits == 2 ? STOP_BIT_2 : STOP_BIT_1,
                                     static_cast<ftdi_parity_type>(parity));
        return ret < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (p->tty) return p->tty->getStatus(p->ttyHandle, rx, tx);
        if (rx) {
            int st = fill(p);
            if (st != PORT_OK) return st;
            *rx = static_cast<uint32_t>(p->rxLen);
        }
        if (tx) {
            unsigned short status = 0;
            if (c_.pollModemStatus(p->ctx, &status) < 0) return PORT_IO_ERROR;
            // The chip reports no count: only "transmitter empty" (TEMT).
            *tx = (status & 0x4000) ? 0 : 1;
        }
        return PORT_OK;
    }

    int read(PortHandle h, uint8_t* buffer, uint32_t n, uint32_t* got) override {
        if (!got) return PORT_INVALID_PARAMETER;
        *got = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (p->tty) return p->tty->read(p->ttyHandle, buffer, n, got);
        if (n == 0) return PORT_OK;
        if (!buffer) return PORT_INVALID_PARAMETER;
        if (p->rxLen == 0) {
            int st = fill(p);
            if (st != PORT_OK) return st;
        }
        size_t take = std::min<size_t>(n, p->rxLen);
        std::memcpy(buffer, p->rx + p->rxHead, take);
        p->rxHead += take;
        p->rxLen -= take;
        if (p->rxLen == 0) p->rxHead = 0;
        *got = static_cast<uint32_t>(take);
        return PORT_OK;
    }

    int write(PortHandle h, const uint8_t* buffer, uint32_t n, uint32_t* written) override {
        if (!written) return PORT_INVALID_PARAMETER;
        *written = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (p->tty) return p->tty->write(p->ttyHandle, buffer, n, written);
        if (n > 0 && !buffer) return PORT_INVALID_PARAMETER;
        uint32_t done = 0;
        while (done < n) {
            int chunk = static_cast<int>(std::min<uint32_t>(n - done, 1u << 20));
            int ret = c_.writeData(p->ctx, buffer + done, chunk);
            if (ret <= 0) {  // 0 would loop for ever
                *written = done;
                return PORT_IO_ERROR;
            }
            done += static_cast<uint32_t>(ret);
        }
        *written = done;
        return PORT_OK;
    }

    int close(PortHandle h) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(ports_.begin(), ports_.end(),
                               [h](const std::unique_ptr<Port>& p) { return p.get() == h; });
        if (h == nullptr || it == ports_.end()) return PORT_INVALID_HANDLE;
        int st = closePort(it->get());
        ports_.erase(it);
        return st;
    }

    std::string lastError() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastError_;
    }

private:
    Port* find(PortHandle h) {
        if (h == nullptr) return nullptr;
        for (auto& p : ports_)
            if (p.get() == h) return p.get();
        return nullptr;
    }

    // Makes the context in *slot on first use; false (the reason noted) when libusb cannot start.
    bool context(ftdi_context** slot) {
        if (!*slot) *slot = c_.newContext();
        if (!*slot) lastError_ = "libusb could not start";
        return *slot != nullptr;
    }

    int open(const Listed& l, PortHandle* handle) {
        auto port = std::make_unique<Port>();
        const bool shared = !portCtxBusy_;
        if (shared) {
            if (!context(&portCtx_)) return PORT_OTHER_ERROR;
            port->ctx = portCtx_;
        } else {
            port->ctx = c_.newContext();
            port->ownsCtx = true;
            if (!port->ctx) {
                lastError_ = "libusb could not start";
                return PORT_OTHER_ERROR;
            }
        }
        port->ctx->module_detach_mode = DONT_DETACH_SIO_MODULE;
        const int ret = c_.openDevice(port->ctx, l.dev);
        int st = PORT_OK;
        if (ret < 0) {
            std::string why = errorOf(c_, port->ctx);
            st = PORT_DEVICE_NOT_OPENED;
            if (ret == -3 || ret == -5) {  // a kernel driver holds the interface: ftdi_sio
                st = openThroughTty(l, port.get(), &why);
            } else if (ret == -8 || (ret == -4 && usbNodeDenied(c_, l))) {
                why = permissionText(why);
            }
            if (st != PORT_OK) lastError_ = why;
        } else if (c_.setLatencyTimer(port->ctx, 1) < 0) {
            // Short answers wait in the chip for the latency timer; the default
            // 16 ms would outlast a 15 ms answer window.
            lastError_ = "the latency timer could not be set: " + errorOf(c_, port->ctx);
            c_.closeDevice(port->ctx);
            st = PORT_IO_ERROR;
        }
        if (st != PORT_OK || port->tty) {
            if (port->ownsCtx) c_.freeContext(port->ctx);
            port->ctx = nullptr;
            port->ownsCtx = false;
        }
        if (st != PORT_OK) return st;
        if (port->ctx && shared) portCtxBusy_ = true;
        *handle = port.get();
        ports_.push_back(std::move(port));
        return PORT_OK;
    }

    int openThroughTty(const Listed& l, Port* port, std::string* why) {
        std::string sysDir;
        const std::string path = ttyOf(c_, l.dev, &sysDir);
        if (path.empty()) {
            *why = "the kernel's ftdi_sio holds the cable, and no tty of it was found (" + *why + ")";
            return PORT_DEVICE_NOT_OPENED;
        }
        lowerLatency(sysDir);
        port->tty.reset(port_newTtyDriver(path.c_str()));
        const int st = port->tty->openBySerial(path.c_str(), &port->ttyHandle);
        if (st != PORT_OK) {
            *why = port->tty->lastError();
            port->tty.reset();
        }
        return st;
    }

    int closePort(Port* p) {
        if (p->tty) return p->tty->close(p->ttyHandle);
        const int ret = c_.closeDevice(p->ctx);
        if (p->ownsCtx)
            c_.freeContext(p->ctx);
        else
            portCtxBusy_ = false;
        p->ctx = nullptr;
        return ret < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    // One read from the chip into the free part of the receive buffer.
    int fill(Port* p) {
        if (p->rxHead > 0 && p->rxLen > 0) std::memmove(p->rx, p->rx + p->rxHead, p->rxLen);
        p->rxHead = 0;
        size_t space = kRxBufferSize - p->rxLen;
        if (space == 0) return PORT_OK;
        int ret = c_.readData(p->ctx, p->rx + p->rxLen, static_cast<int>(space));
        if (ret < 0) return isTimeout(ret) ? PORT_OK : PORT_IO_ERROR;
        p->rxLen += static_cast<size_t>(ret);
        return PORT_OK;
    }

    // Strings are read now, so that details and serials describe one listing.
    int refreshSnapshot() {
        snapshot_.clear();
        haveSnapshot_ = false;
        if (!context(&listCtx_)) return PORT_OTHER_ERROR;
        std::vector<Listed> found;
        int st = listDevices(c_, listCtx_, &found);
        unrefAll(c_, found);  // only the copied strings and numbers are kept
        if (st != PORT_OK) {
            lastError_ = "the USB bus could not be listed: " + errorOf(c_, listCtx_);
            return st;
        }
        snapshot_ = std::move(found);
        haveSnapshot_ = true;
        return PORT_OK;
    }

    const LibftdiCalls& c_;
    std::mutex mutex_;
    ftdi_context* listCtx_ = nullptr;  // every listing and every try to open
    ftdi_context* portCtx_ = nullptr;  // the cable open over libusb, reused from one open to the next
    bool portCtxBusy_ = false;
    std::vector<Listed> snapshot_;
    bool haveSnapshot_ = false;
    std::vector<std::unique_ptr<Port>> ports_;
    std::string lastError_;
};

const LibftdiCalls kRealCalls = {
    ftdi_new,
    ftdi_free,
    ftdi_usb_find_all,
    ftdi_list_free,
    ftdi_usb_get_strings,
    ftdi_usb_open_dev,
    ftdi_usb_close,
    ftdi_get_error_string,
    ftdi_set_latency_timer,
    ftdi_usb_reset,
    ftdi_tcioflush,
    ftdi_set_baudrate,
    ftdi_set_line_property,
    ftdi_poll_modem_status,
    ftdi_read_data,
    ftdi_write_data,
    libusb_ref_device,
    libusb_unref_device,
    libusb_get_device_descriptor,
    libusb_get_bus_number,
    libusb_get_device_address,
    libusb_get_port_numbers,
    "/sys/bus/usb/devices",
    "/dev",
};

}  // namespace

const LibftdiCalls& libftdi_realCalls() { return kRealCalls; }

PortDriver* port_newLibftdiDriver(const LibftdiCalls& calls) { return new LibftdiDriver(calls); }

PortDriver* port_newLibftdiDriver() { return new LibftdiDriver(kRealCalls); }
