// The port drivers under the ftdi module: one interface as wide as the ftdi
// module's use of it, one implementation per way of reaching the bus (libftdi1,
// a Linux serial tty, the virtual panels, and scripted drivers in the tests).
// A driver holds at most one open port.
//
// The driver is chosen once, at its first use, from KORVANE_PORT:
//   unset, empty or ftdi:  libftdi1, the first FTDI cable found
//   ftdi:SERIAL            libftdi1, only the FTDI cable with that serial number
//   /path                  a serial tty (a cable bound to ftdi_sio, or a pseudo-terminal)
//   sim                    the built-in virtual panels
//
// Every call returns PORT_OK (0) or a PortStatus saying why it failed.
//
// Threads: the choice is made once under a mutex of its own (port_driver may
// be called from any thread). The drivers are called only by the ftdi module,
// under the cable lock, and at start-up before any other thread exists; the
// real drivers therefore have no lock of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// D2XX's status numbers, which the open-failure lines print.
enum PortStatus : int {
    PORT_OK = 0,
    PORT_NOT_OPEN = 1,  // no port is open (D2XX: invalid handle)
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

// One cable of a listing, with what the start-up listing prints of it.
struct PortDeviceInfo {
    bool detailsRead = true;  // false: listed, but its strings could not be read (no access)
    uint32_t flags = 0;
    uint32_t type = 0;                   // D2XX's FT_DEVICE number
    uint32_t id = 0;                     // vendor << 16 | product
    uint32_t locId = 0;                  // where it is plugged in
    char serial[PORT_SERIAL_SIZE] = {};  // what open() takes; empty when unreadable
    char description[64] = {};
    uintptr_t handle = 0;
};

class PortDriver {
public:
    virtual ~PortDriver() = default;

    // The library's version word, major << 16 | minor << 8 | micro.
    // \retval PORT_OK with *version set; another status (and 0) when there is no library to ask.
    virtual int libraryVersion(uint32_t* version) = 0;
    // The cables attached, in the order the driver finds them: entries
    // 0..*count-1 of cables, *count <= capacity.
    // \retval PORT_OK, none found included; another status (and *count 0) when the bus cannot be listed.
    virtual int list(PortDeviceInfo* cables, int capacity, uint32_t* count) = 0;
    // Opens the cable with that serial number (as list() gives it), its queues
    // emptied; reads then wait at most about 1 ms.
    // \retval PORT_OK; PORT_DEVICE_NOT_FOUND when no such cable is there; another
    //         status when it cannot be opened, a port is already open included (lastError says why).
    virtual int open(const char* serial) = 0;
    // Puts the open line at baud, 8 data bits, 2 stop bits, no parity.
    // \retval PORT_OK; PORT_NOT_OPEN; PORT_INVALID_PARAMETER for a rate the line cannot make; PORT_IO_ERROR.
    virtual int configure(uint32_t baud) = 0;
    // Bytes received that a read returns at once.
    // \retval PORT_OK; PORT_NOT_OPEN; PORT_IO_ERROR (the cable is gone).
    virtual int bytesWaiting(uint32_t* n) = 0;
    // Reads up to n bytes into buffer, waiting at most about 1 ms when none are there.
    // \retval PORT_OK with *got bytes read, 0 included; PORT_NOT_OPEN; PORT_IO_ERROR (the cable is gone).
    virtual int read(uint8_t* buffer, uint32_t n, uint32_t* got) = 0;
    // Hands n bytes to the line.
    // \retval PORT_OK with *written == n; PORT_NOT_OPEN; PORT_IO_ERROR with the bytes written before it failed.
    virtual int write(const uint8_t* buffer, uint32_t n, uint32_t* written) = 0;
    // Whether every byte written has left the transmitter (a tty waits for it).
    // \retval PORT_OK with *empty set; PORT_NOT_OPEN; PORT_IO_ERROR.
    virtual int transmitEmpty(bool* empty) = 0;
    // Closes the open port, its queues emptied.
    // \retval PORT_OK; PORT_NOT_OPEN when none is open; PORT_IO_ERROR (it is closed all the same).
    virtual int close() = 0;
    // Why the last listing or open failed, in the driver's own words (libftdi's
    // error string, the system's errno text), for the operator; "" when it has nothing to say.
    virtual std::string lastError() = 0;
};

// The driver in use, chosen from KORVANE_PORT on the first call; never null.
PortDriver* port_driver();

// Puts a driver in place (tests, benchmarks); not owned, and it must outlive
// its use. nullptr returns to the choice by KORVANE_PORT at the next use.
void port_setDriver(PortDriver* driver);

// Changes whenever another driver is put in place.
uint32_t port_generation();

// The values of KORVANE_PORT, as the programs' --help shows them.
const char* port_choiceHelp();

// The virtual panels live outside the bus path; main hands their driver in.
using PortFactory = std::unique_ptr<PortDriver> (*)();
void port_setSimFactory(PortFactory factory);

// Implementations. A driver that port_driver() made is never destroyed:
// workers still running at exit may be in the middle of a call.
// libftdi1; with a serial number, only the cable that has it is listed first
// and opened, and the refusal of any other names the cables found.
std::unique_ptr<PortDriver> port_newLibftdiDriver(const std::string& serial = "");
std::unique_ptr<PortDriver> port_newTtyDriver(const char* path);
// Lists nothing and opens nothing; lastError() is why (a front end's tests).
std::unique_ptr<PortDriver> port_newAbsentDriver(const char* why);
