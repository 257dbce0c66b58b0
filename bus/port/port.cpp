#include "bus/port/port.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Threads: the choice is made once under choiceMutex; afterwards the pointer is
// only read, and the driver is used under the cable lock. The driver made here
// lives until the process ends: nothing destroys it at exit, when workers that
// are never joined may still be calling it. The cable choice's own state has a
// mutex of its own, as the libftdi driver's has.

namespace {

std::mutex choiceMutex;
PortDriver* chosen = nullptr;  // in use
PortDriver* ownedDriver = nullptr;  // made here from KORVANE_PORT; never destroyed
// Drivers a later choice replaced (tests choose again): kept, never destroyed.
std::vector<PortDriver*>* retired = new std::vector<PortDriver*>();
PortFactory simFactory = nullptr;
PortFactory libftdiFactory = nullptr;  // nullptr: libftdi1 itself
std::atomic<uint32_t> generation{0};

// Stands in when no driver can serve: no device is listed and nothing opens.
class AbsentDriver : public PortDriver {
public:
    explicit AbsentDriver(std::string why) : why_(std::move(why)) {}

    int libraryVersion(uint32_t* version) override {
        *version = 0;
        return PORT_OTHER_ERROR;
    }
    int deviceCount(uint32_t* count) override {
        *count = 0;
        return PORT_OK;
    }
    int deviceDetails(uint32_t, PortDeviceInfo*) override { return PORT_DEVICE_NOT_FOUND; }
    int listSerials(char* const*, int, uint32_t* count) override {
        *count = 0;
        return PORT_DEVICE_NOT_FOUND;
    }
    int openBySerial(const char*, PortHandle*) override { return PORT_DEVICE_NOT_FOUND; }
    int reset(PortHandle) override { return PORT_INVALID_HANDLE; }
    int setTimeouts(PortHandle, uint32_t, uint32_t) override { return PORT_INVALID_HANDLE; }
    int setBaudRate(PortHandle, uint32_t) override { return PORT_INVALID_HANDLE; }
    int setDataCharacteristics(PortHandle, uint8_t, uint8_t, uint8_t) override {
        return PORT_INVALID_HANDLE;
    }
    int getStatus(PortHandle, uint32_t*, uint32_t*) override { return PORT_INVALID_HANDLE; }
    int read(PortHandle, uint8_t*, uint32_t, uint32_t* got) override {
        *got = 0;
        return PORT_INVALID_HANDLE;
    }
    int write(PortHandle, const uint8_t*, uint32_t, uint32_t* written) override {
        *written = 0;
        return PORT_INVALID_HANDLE;
    }
    int close(PortHandle) override { return PORT_INVALID_HANDLE; }
    std::string lastError() override { return why_; }

private:
    std::string why_;
};

// KORVANE_PORT=ftdi:SERIAL, over the libftdi driver (owned): the ftdi module
// opens the first cable of its listing, so the chosen cable is listed first,
// and the open of any other cable (the chosen one is missing) is refused, with
// a reason that names the serial numbers found.
class CableChoiceDriver : public PortDriver {
public:
    CableChoiceDriver(PortDriver* inner, std::string serial) : inner_(inner), wanted_(std::move(serial)) {}

    int libraryVersion(uint32_t* v) override { return inner_->libraryVersion(v); }
    int deviceCount(uint32_t* count) override { return inner_->deviceCount(count); }
    int deviceDetails(uint32_t index, PortDeviceInfo* info) override {
        return inner_->deviceDetails(index, info);
    }

    int listSerials(char* const* buffers, int capacity, uint32_t* count) override {
        const int st = inner_->listSerials(buffers, capacity, count);
        if (st != PORT_OK || buffers == nullptr) return st;
        const int n = std::min<int>(capacity, static_cast<int>(*count));
        std::lock_guard<std::mutex> lock(mutex_);
        found_.assign(buffers, buffers + n);
        for (int i = 1; i < n; ++i) {
            if (wanted_ != buffers[i]) continue;
            char first[PORT_SERIAL_SIZE];
            std::memcpy(first, buffers[i], PORT_SERIAL_SIZE);
            for (int j = i; j > 0; --j) std::memcpy(buffers[j], buffers[j - 1], PORT_SERIAL_SIZE);
            std::memcpy(buffers[0], first, PORT_SERIAL_SIZE);
            break;
        }
        return PORT_OK;
    }

    int openBySerial(const char* serial, PortHandle* handle) override {
        std::lock_guard<std::mutex> lock(mutex_);
        refused_ = serial == nullptr || wanted_ != serial;
        if (refused_) {
            if (handle) *handle = nullptr;
            return PORT_DEVICE_NOT_FOUND;
        }
        return inner_->openBySerial(serial, handle);
    }

    // The ftdi module prints the reason with its open-failure lines, once, and
    // again when it changes (another set of cables found).
    std::string lastError() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return refused_ ? missingLine() : inner_->lastError();
    }

    int reset(PortHandle h) override { return inner_->reset(h); }
    int setTimeouts(PortHandle h, uint32_t r, uint32_t w) override { return inner_->setTimeouts(h, r, w); }
    int setBaudRate(PortHandle h, uint32_t baud) override { return inner_->setBaudRate(h, baud); }
    int setDataCharacteristics(PortHandle h, uint8_t bits, uint8_t stop, uint8_t parity) override {
        return inner_->setDataCharacteristics(h, bits, stop, parity);
    }
    int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) override { return inner_->getStatus(h, rx, tx); }
    int read(PortHandle h, uint8_t* b, uint32_t n, uint32_t* got) override { return inner_->read(h, b, n, got); }
    int write(PortHandle h, const uint8_t* b, uint32_t n, uint32_t* written) override {
        return inner_->write(h, b, n, written);
    }
    int close(PortHandle h) override { return inner_->close(h); }

private:
    // A cable whose strings could not be read (no access to it) has no serial.
    std::string missingLine() const {
        std::string named;
        int unreadable = 0;
        for (const std::string& s : found_) {
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
        return "KORVANE_PORT=ftdi:" + wanted_ + ": no FTDI cable with this serial number; cables found: " +
               (named.empty() ? "none" : named);
    }

    std::unique_ptr<PortDriver> inner_;
    const std::string wanted_;
    std::mutex mutex_;
    std::vector<std::string> found_;  // serial numbers of the last listing
    bool refused_ = false;            // the last open was of another cable
};

PortDriver* newLibftdi() { return libftdiFactory ? libftdiFactory() : port_newLibftdiDriver(); }

PortDriver* chooseFromEnvironment() {
    const char* port = std::getenv("KORVANE_PORT");
    if (port == nullptr || port[0] == '\0') return newLibftdi();
    if (port[0] == '/') return port_newTtyDriver(port);
    if (std::strcmp(port, "sim") == 0) {
        if (simFactory) return simFactory();
        return port_newAbsentDriver("virtual panels not built in");
    }
    if (std::strncmp(port, "ftdi:", 5) == 0) {
        if (port[5] == '\0') return newLibftdi();
        return new CableChoiceDriver(newLibftdi(), port + 5);
    }
    return port_newAbsentDriver("unknown KORVANE_PORT");
}

}  // namespace

PortDriver* port_newAbsentDriver(const char* why) { return new AbsentDriver(why ? why : ""); }

const char* port_choiceHelp() {
    return "  KORVANE_PORT  how the bus is reached; the only setting the program reads:\n"
           "    unset, empty or ftdi:  the first FTDI cable found, through libftdi1\n"
           "    ftdi:SERIAL            the FTDI cable with that serial number\n"
           "    /dev/ttyUSB0           a serial tty: a cable bound to ftdi_sio, or a pseudo-terminal\n"
           "    sim                    six built-in virtual panels\n";
}

PortDriver* port_driver() {
    std::lock_guard<std::mutex> lock(choiceMutex);
    if (chosen == nullptr) {
        if (ownedDriver == nullptr) ownedDriver = chooseFromEnvironment();
        chosen = ownedDriver;
        ++generation;
    }
    return chosen;
}

void port_setDriver(PortDriver* driver) {
    std::lock_guard<std::mutex> lock(choiceMutex);
    chosen = driver;
    if (driver == nullptr && ownedDriver != nullptr) {
        // The next use chooses again; whoever may still be inside this one keeps it.
        retired->push_back(ownedDriver);
        ownedDriver = nullptr;
    }
    ++generation;
}

void port_setSimFactory(PortFactory factory) {
    std::lock_guard<std::mutex> lock(choiceMutex);
    simFactory = factory;
}

void port_setLibftdiFactory(PortFactory factory) {
    std::lock_guard<std::mutex> lock(choiceMutex);
    libftdiFactory = factory;
}

uint32_t port_generation() { return generation.load(); }
