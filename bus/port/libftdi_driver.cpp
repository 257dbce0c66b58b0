// The libftdi1 driver: FTDI cables reached over libusb, with ftdi_sio detached
// from the one cable in use and given back to it on close.
//
// libftdi has no "bytes waiting" query, so each open port keeps a receive
// buffer: getStatus fills it with one read (back within the chip's latency
// timer, set to 1 ms) and read drains it first.
//
// Threads: the ftdi module calls in under the cable lock; the driver's own
// mutex also guards its listing snapshot and open ports, so a stray call from
// another thread cannot race them.
#include "bus/port/port.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr int kFtdiVendor = PORT_FTDI_VENDOR;
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
    libusb_device* dev = nullptr;  // referenced until the listing is freed
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
    for (int product : kFtdiProducts) {
        ftdi_device_list* list = nullptr;
        int n = ftdi_usb_find_all(ctx, &list, kFtdiVendor, product);
        if (n < 0) {
            ftdi_list_free(&list);
            unrefAll(*found);
            found->clear();
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
            l.stringsRead = ftdi_usb_get_strings(ctx, d->dev, nullptr, 0, l.description,
                                                 sizeof l.description, l.serial,
                                                 sizeof l.serial) == 0;
            if (!l.stringsRead) {
                l.serial[0] = '\0';
                l.description[0] = '\0';
            }
            found->push_back(l);
        }
        ftdi_list_free(&list);
    }
    return PORT_OK;
}

struct Port {
    ftdi_context* ctx = nullptr;
    uint8_t rx[kRxBufferSize];
    size_t rxHead = 0;
    size_t rxLen = 0;
};

// libftdi returns the libusb code when a transfer fails; a time-out only means
// nothing came back in time.
bool isTimeout(int ret) { return ret == LIBUSB_ERROR_TIMEOUT; }

class LibftdiDriver : public PortDriver {
public:
    ~LibftdiDriver() override {
        for (auto& p : ports_) closePort(p.get());
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
        ftdi_context* ctx = ftdi_new();
        if (!ctx) return PORT_OTHER_ERROR;  // libusb could not start
        // Only the cable opened here leaves ftdi_sio, and only while it is open.
        ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

        // The listing runs on this context: its libusb devices belong to it.
        std::vector<Listed> found;
        int st = listDevices(ctx, &found);
        const Listed* match = nullptr;
        if (st == PORT_OK) {
            // A device whose strings could not be read is listed with an empty
            // serial; an empty serial opens the first such device.
            for (const Listed& l : found) {
                if (std::strcmp(l.serial, serial) == 0) {
                    match = &l;
                    break;
                }
            }
            if (!match) st = PORT_DEVICE_NOT_FOUND;
        }
        if (st == PORT_OK && ftdi_usb_open_dev(ctx, match->dev) < 0) st = PORT_DEVICE_NOT_OPENED;
        unrefAll(found);
        if (st != PORT_OK) {
            ftdi_free(ctx);
            return st;
        }
        // Short answers wait in the chip for the latency timer; the default
        // 16 ms would outlast a 15 ms answer window.
        if (ftdi_set_latency_timer(ctx, 1) < 0) {
            ftdi_usb_close(ctx);
            ftdi_free(ctx);
            return PORT_IO_ERROR;
        }
        auto port = std::make_unique<Port>();
        port->ctx = ctx;
        *handle = port.get();
        ports_.push_back(std::move(port));
        return PORT_OK;
    }

    int reset(PortHandle h) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        p->rxHead = p->rxLen = 0;
        if (ftdi_usb_reset(p->ctx) < 0) return PORT_IO_ERROR;
        if (ftdi_tcioflush(p->ctx) < 0) return PORT_IO_ERROR;
        return PORT_OK;
    }

    int setTimeouts(PortHandle h, uint32_t readMs, uint32_t writeMs) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
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
        if (baud == 0 || baud > 12000000) return PORT_INVALID_PARAMETER;
        int ret = ftdi_set_baudrate(p->ctx, static_cast<int>(baud));
        if (ret == -1) return PORT_INVALID_PARAMETER;  // too far from a chip divisor
        return ret < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    int setDataCharacteristics(PortHandle h, uint8_t bits, uint8_t stopBits,
                               uint8_t parity) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if ((bits != 7 && bits != 8) || (stopBits != 0 && stopBits != 2) || parity > SPACE)
            return PORT_INVALID_PARAMETER;
        int ret = ftdi_set_line_property(p->ctx, bits == 8 ? BITS_8 : BITS_7,
                                         stopBits == 2 ? STOP_BIT_2 : STOP_BIT_1,
                                         static_cast<ftdi_parity_type>(parity));
        return ret < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* p = find(h);
        if (!p) return PORT_INVALID_HANDLE;
        if (rx) {
            int st = fill(p);
            if (st != PORT_OK) return st;
            *rx = static_cast<uint32_t>(p->rxLen);
        }
        if (tx) {
            unsigned short status = 0;
            if (ftdi_poll_modem_status(p->ctx, &status) < 0) return PORT_IO_ERROR;
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
        if (n > 0 && !buffer) return PORT_INVALID_PARAMETER;
        uint32_t done = 0;
        while (done < n) {
            int chunk = static_cast<int>(std::min<uint32_t>(n - done, 1u << 20));
            int ret = ftdi_write_data(p->ctx, buffer + done, chunk);
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

private:
    Port* find(PortHandle h) {
        if (h == nullptr) return nullptr;
        for (auto& p : ports_)
            if (p.get() == h) return p.get();
        return nullptr;
    }

    static int closePort(Port* p) {
        int ret = ftdi_usb_close(p->ctx);
        ftdi_free(p->ctx);
        p->ctx = nullptr;
        return ret < 0 ? PORT_IO_ERROR : PORT_OK;
    }

    // One read from the chip into the free part of the receive buffer.
    static int fill(Port* p) {
        if (p->rxHead > 0 && p->rxLen > 0) std::memmove(p->rx, p->rx + p->rxHead, p->rxLen);
        p->rxHead = 0;
        size_t space = kRxBufferSize - p->rxLen;
        if (space == 0) return PORT_OK;
        int ret = ftdi_read_data(p->ctx, p->rx + p->rxLen, static_cast<int>(space));
        if (ret < 0) return isTimeout(ret) ? PORT_OK : PORT_IO_ERROR;
        p->rxLen += static_cast<size_t>(ret);
        return PORT_OK;
    }

    // Strings are read now, so that details and serials describe one listing.
    int refreshSnapshot() {
        snapshot_.clear();
        haveSnapshot_ = false;
        ftdi_context* ctx = ftdi_new();
        if (!ctx) return PORT_OTHER_ERROR;  // libusb could not start
        std::vector<Listed> found;
        int st = listDevices(ctx, &found);
        unrefAll(found);  // only the copied strings and numbers are kept
        ftdi_free(ctx);
        if (st != PORT_OK) return st;
        snapshot_ = std::move(found);
        haveSnapshot_ = true;
        return PORT_OK;
    }

    std::mutex mutex_;
    std::vector<Listed> snapshot_;
    bool haveSnapshot_ = false;
    std::vector<std::unique_ptr<Port>> ports_;
};

}  // namespace

PortDriver* port_newLibftdiDriver() { return new LibftdiDriver(); }
