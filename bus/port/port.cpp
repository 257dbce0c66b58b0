#include "bus/port/port.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

// Threads: the choice is made under choiceMutex; afterwards the pointer is only
// read, and the driver is used under the cable lock. A driver made here lives
// until the process ends: nothing destroys it at exit, when workers that are
// never joined may still be calling it.

namespace {

std::mutex choiceMutex;
PortDriver* chosen = nullptr;  // in use
// Every driver made here, the one in use last: never destroyed (tests choose
// again, and whoever may still be inside a replaced one keeps it).
auto& made = *new std::vector<std::unique_ptr<PortDriver>>();
bool madeInUse = false;  // chosen is made.back()
PortFactory simFactory = nullptr;
std::atomic<uint32_t> generation{0};

// Stands in when no driver can serve: nothing is listed and nothing opens.
class AbsentDriver : public PortDriver {
public:
    explicit AbsentDriver(std::string why) : why_(std::move(why)) {}

    int libraryVersion(uint32_t* version) override {
        *version = 0;
        return PORT_OTHER_ERROR;
    }
    int list(PortDeviceInfo*, int, uint32_t* count) override {
        *count = 0;
        return PORT_DEVICE_NOT_FOUND;
    }
    int open(const char*) override { return PORT_DEVICE_NOT_FOUND; }
    int configure(uint32_t) override { return PORT_NOT_OPEN; }
    int bytesWaiting(uint32_t*) override { return PORT_NOT_OPEN; }
    int read(uint8_t*, uint32_t, uint32_t* got) override {
        *got = 0;
        return PORT_NOT_OPEN;
    }
    int write(const uint8_t*, uint32_t, uint32_t* written) override {
        *written = 0;
        return PORT_NOT_OPEN;
    }
    int transmitEmpty(bool*) override { return PORT_NOT_OPEN; }
    int close() override { return PORT_NOT_OPEN; }
    std::string lastError() override { return why_; }

private:
    std::string why_;
};

std::unique_ptr<PortDriver> chooseFromEnvironment() {
    const char* port = std::getenv("KORVANE_PORT");
    if (port == nullptr || port[0] == '\0') return port_newLibftdiDriver("");
    if (port[0] == '/') return port_newTtyDriver(port);
    if (std::strcmp(port, "sim") == 0) {
        if (simFactory) return simFactory();
        return std::make_unique<AbsentDriver>("virtual panels not built in");
    }
    if (std::strncmp(port, "ftdi:", 5) == 0) return port_newLibftdiDriver(port + 5);
    return std::make_unique<AbsentDriver>("unknown KORVANE_PORT");
}

}  // namespace

std::unique_ptr<PortDriver> port_newAbsentDriver(const char* why) { return std::make_unique<AbsentDriver>(why); }

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
        if (!madeInUse) {
            made.push_back(chooseFromEnvironment());
            madeInUse = true;
        }
        chosen = made.back().get();
        ++generation;
    }
    return chosen;
}

void port_setDriver(PortDriver* driver) {
    std::lock_guard<std::mutex> lock(choiceMutex);
    chosen = driver;
    // nullptr: the next use chooses again, from KORVANE_PORT as it is then.
    if (driver == nullptr) madeInUse = false;
    ++generation;
}

void port_setSimFactory(PortFactory factory) {
    std::lock_guard<std::mutex> lock(choiceMutex);
    simFactory = factory;
}

uint32_t port_generation() { return generation.load(); }
