// The port drivers under the ftdi module: one small interface, one implementation
// per way of reaching the bus (libftdi1, a Linux serial tty, the virtual panels,
// and a scripted driver in the tests).
//
// The driver is chosen once, at its first use, from KORVANE_PORT:
//   unset, empty or ftdi:  libftdi1, the first FTDI cable found
//   ftdi:SERIAL            libftdi1, the FTDI cable with that serial number
//   /path                  a serial tty (a cable bound to ftdi_sio, or a pseudo-terminal)
//   sim                    the built-in virtual panels
//
// Statuses are 0 for success and a PortStatus code otherwise.
//
// Threads: the selected driver is set once under a mutex; the drivers themselves
// are called only by the ftdi module, under the cable lock.
#pragma once

#include <cstdint>
#include <string>

using PortHandle = void*;

enum PortStatus : int {
    PORT_OK = 0,
    PORT_INVALID_HANDLE = 1,
    PORT_DEVICE_NOT_FOUND = 2,
    PORT_DEVICE_NOT_OPENED = 3,
    PORT_IO_ERROR = 4,
    PORT_INVALID_PARAMETER = 6,
    PORT_OTHER_ERROR = 18,
};

constexpr int PORT_MAX_DEVICES = 50;
constexpr int PORT_SERIAL_SIZE = 64;

// The FTDI cables the libftdi driver looks for, and that the udev rule
// (60-korvane.rules) opens to the logged-in user: FT232R/BM, FT2232, FT4232,
// FT232H, FT-X.
constexpr uint16_t PORT_FTDI_VENDOR = 0x0403;
constexpr uint16_t PORT_FTDI_PRODUCTS[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

struct PortDeviceInfo {
    uint32_t flags = 0;
    uint32_t type = 0;
    uint32_t id = 0;
    uint32_t locId = 0;
    char serial[16] = {};
    char description[64] = {};
    uintptr_t handle = 0;
};

class PortDriver {
public:
    virtual ~PortDriver() = default;

    virtual int libraryVersion(uint32_t* version) = 0;
    virtual int deviceCount(uint32_t* count) = 0;
    virtual int deviceDetails(uint32_t index, PortDeviceInfo* info) = 0;
    // Writes the serial number of each device into buffers[i] (PORT_SERIAL_SIZE bytes each).
    virtual int listSerials(char* const* buffers, int capacity, uint32_t* count) = 0;
    virtual int openBySerial(const char* serial, PortHandle* handle) = 0;
    virtual int reset(PortHandle h) = 0;
    virtual int setTimeouts(PortHandle h, uint32_t readMs, uint32_t writeMs) = 0;
    virtual int setBaudRate(PortHandle h, uint32_t baud) = 0;
    // stopBits: 0 = one, 2 = two; parity: 0 = none
    virtual int setDataCharacteristics(PortHandle h, uint8_t bits, uint8_t stopBits, uint8_t parity) = 0;
    // rx: bytes waiting to be read; tx: bytes not yet on the wire. Either pointer
    // may be null when the caller does not need that count (it may cost a round trip).
    virtual int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) = 0;
    virtual int read(PortHandle h, uint8_t* buffer, uint32_t n, uint32_t* got) = 0;
    virtual int write(PortHandle h, const uint8_t* buffer, uint32_t n, uint32_t* written) = 0;
    virtual int close(PortHandle h) = 0;
    // Why the last listing or open failed, in the driver's own words (libftdi's
    // error string, the system's errno text), for the operator; empty when it
    // has nothing to say.
    virtual std::string lastError() { return {}; }
};

// The driver in use, chosen from KORVANE_PORT on the first call.
PortDriver* port_driver();

// Replaces the driver (tests, the pseudo-terminal tool). Not owned; nullptr
// returns to the choice by KORVANE_PORT at the next use.
void port_setDriver(PortDriver* driver);

// Changes whenever another driver is put in place.
uint32_t port_generation();

// The values of KORVANE_PORT, as the programs' --help shows them.
const char* port_choiceHelp();

// The virtual panels live outside the bus path; main hands their driver in.
using PortFactory = PortDriver* (*)();
void port_setSimFactory(PortFactory factory);
// What KORVANE_PORT's libftdi1 choices build on; tests stand a scripted driver
// in for it. nullptr returns to libftdi1.
void port_setLibftdiFactory(PortFactory factory);

// Implementations. A driver made here is never destroyed: workers still running
// at exit may be in the middle of a call (bus/port/libftdi_calls.h has the
// libftdi driver's seam).
PortDriver* port_newLibftdiDriver();
PortDriver* port_newTtyDriver(const char* path);
PortDriver* port_newAbsentDriver(const char* why);  // lists no device
