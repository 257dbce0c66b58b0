#include "bus/port/port.h"

#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// Threads: the choice is made once under choiceMutex; afterwards the pointer is
// only read, and the driver is used under the cable lock. The driver made here
// lives until the process ends: nothing destroys it at exit, when workers that
// are never joined may still be calling it.

namespace {

std::mutex choiceMutex;
PortDriver* chosen = nullptr;  // in use
PortDriver* ownedDriver = nullptr;  // made here from KORVANE_PORT; never destroyed
// Drivers a later choice replaced (tests choose again): kept, never destroyed.
std::vector<PortDriver*>* retired = new std::vector<PortDriver*>();
PortFactory simFactory = nullptr;
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

PortDriver* chooseFromEnvironment() {
    const char* port = std::getenv("KORVANE_PORT");
    if (port == nullptr || port[0] == '\0') return port_newLibftdiDriver();
    if (port[0] == '/') return port_newTtyDriver(port);
    if (std::strcmp(port, "sim") == 0) {
        if (simFactory) return simFactory();
        return port_newAbsentDriver("virtual panels not built in");
    }
    return port_newAbsentDriver("unknown KORVANE_PORT");
}

}  // namespace

PortDriver* port_newAbsentDriver(const char* why) { return new AbsentDriver(why ? why : ""); }

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

uint32_t port_generation() { return generation.load(); }
