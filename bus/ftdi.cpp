#include "bus/ftdi.h"

#include <cstdio>
#include <cstring>

#include "bus/diag.h"
#include "bus/port/port.h"
#include "bus/timer.h"

// Threads: the GUI thread and workers, always under the cable lock; main's
// start-up listing runs before any other thread exists.

namespace {

constexpr uint32_t BAUD_DMX = 250000;
constexpr uint32_t BAUD_BREAK = 15625;  // one 0x00 byte at this rate holds the line low 576 µs
// Waits before asking whether the transmitter is empty, in 100 µs: after the break, after a frame.
constexpr int32_t BREAK_DRAIN = 50;
constexpr int32_t FRAME_DRAIN = 44;

int32_t device = -1;
// The driver through which the device at each index was opened; only the entry
// at device is used, and only while that driver is still the one in place.
PortDriver* ftHandle[PORT_MAX_DEVICES];
int ftStatus = 0;
uint32_t iNumDevs = 0;
char cBufLD[PORT_MAX_DEVICES][PORT_SERIAL_SIZE];
char* pcBufLD[PORT_MAX_DEVICES + 1];
uint32_t openGeneration = 0;  // port_generation() at the open

// The open-failure lines are printed when a failure is new, not on every retry
// of the status tick: another kind, status or reason is new.
enum class OpenFailure { None, Listing, Open };
struct Failure {
    OpenFailure kind = OpenFailure::None;
    int status = 0;
    char reason[256] = {};
};
Failure lastFailure;
uint32_t failingPort = 0;  // a failure on another port is news again

PortDriver* drv() { return port_driver(); }

// The driver holding the open device, or null when none is open. A port opened
// through a driver that another has since replaced (tests swap drivers) counts
// as gone: the replaced driver is never called again.
PortDriver* openPort() {
    if (device >= 0 && port_generation() != openGeneration) device = -1;
    return device >= 0 ? ftHandle[device] : nullptr;
}

// Notes the failure; true when it differs from the last one.
bool noteFailure(OpenFailure kind, int status) {
    Failure now;
    now.kind = kind;
    now.status = status;
    std::snprintf(now.reason, sizeof now.reason, "%s", drv()->lastError().c_str());
    const bool news = now.kind != lastFailure.kind || now.status != lastFailure.status ||
                      std::strcmp(now.reason, lastFailure.reason) != 0;
    lastFailure = now;
    return news;
}

// A port whose driver calls fail (the cable was pulled) is closed, so that the
// next use opens it afresh instead of polling a dead handle for ever.
void dropLostPort() {
    if (PortDriver* port = openPort()) port->close();
    device = -1;
}

// Waits, then asks, until the transmitter is empty; a failing query ends it.
void drainWait(int32_t steps) {
    bool empty = false;
    do {
        wait_us(steps);
        PortDriver* port = openPort();
        if (!port || port->transmitEmpty(&empty) != PORT_OK) {
            dropLostPort();
            return;
        }
    } while (!empty);
}

}  // namespace

uint32_t printLibVersion() {
    uint32_t version = 0;
    ftStatus = drv()->libraryVersion(&version);
    if (ftStatus != PORT_OK) return 0;
    diag_printf("Library version = 0x%x\n", version);
    return version;
}

void printDeviceList() {
    PortDeviceInfo listed[PORT_MAX_DEVICES];
    uint32_t count = 0;
    if (drv()->list(listed, PORT_MAX_DEVICES, &count) != PORT_OK) return;
    diag_printf("Number of devices is %ld\n", static_cast<long>(count));
    for (uint32_t i = 0; i < count; ++i) {
        const PortDeviceInfo& info = listed[i];
        if (!info.detailsRead) continue;
        diag_printf("Dev %i:\n", static_cast<int>(i));
        diag_printf(" Flags=0x%lx\n", static_cast<unsigned long>(info.flags));
        diag_printf(" Type=0x%lx\n", static_cast<unsigned long>(info.type));
        diag_printf(" ID=0x%lx\n", static_cast<unsigned long>(info.id));
        diag_printf(" LocId=0x%lx\n", static_cast<unsigned long>(info.locId));
        diag_printf(" SerialNumber=%.15s\n", info.serial);  // D2XX's 16-byte field
        diag_printf(" Description=%s\n", info.description);
        diag_printf(" ftHandle=0x%x\n", static_cast<unsigned>(info.handle));
    }
}

uint32_t readDevices() {
    std::memset(cBufLD, 0, sizeof cBufLD);
    for (int i = 0; i < PORT_MAX_DEVICES; ++i) pcBufLD[i] = cBufLD[i];
    pcBufLD[PORT_MAX_DEVICES] = nullptr;
    PortDeviceInfo listed[PORT_MAX_DEVICES];
    ftStatus = drv()->list(listed, PORT_MAX_DEVICES, &iNumDevs);
    if (ftStatus != PORT_OK) {
        iNumDevs = 0;
        return 0;
    }
    for (uint32_t i = 0; i < iNumDevs; ++i) std::snprintf(pcBufLD[i], PORT_SERIAL_SIZE, "%s", listed[i].serial);
    return iNumDevs;
}

void setupFTParam() {
    if (PortDriver* port = openPort()) port->configure(BAUD_DMX);
}

int32_t openDeviceFTDI(int32_t index) {
    PortDriver* driver = drv();  // first: making the choice moves port_generation on
    if (port_generation() != failingPort) lastFailure = Failure{};
    failingPort = port_generation();
    readDevices();
    if (ftStatus != PORT_OK) {
        iNumDevs = 0;
        // A failed open leaves the port closed, so nothing runs on a handle that
        // was never opened and the next use tries again.
        device = -1;
        if (noteFailure(OpenFailure::Listing, ftStatus)) {
            diag_errPrintf("Error: FT_ListDevices(%d)\n", ftStatus);
            if (lastFailure.reason[0]) diag_errPrintf("Cause: %s\n", lastFailure.reason);
        }
        return 1;
    }
    if (index > PORT_MAX_DEVICES - 1) index = PORT_MAX_DEVICES - 1;
    if (index < 0) index = 0;
    ftStatus = driver->open(cBufLD[index]);
    if (ftStatus != PORT_OK) {
        device = -1;
        if (noteFailure(OpenFailure::Open, ftStatus)) {
            diag_printf("Error FT_OpenEx(%d), device %d\n", ftStatus, index);
            diag_printf("Use lsmod to check if ftdi_sio (and usbserial) are present.\n");
            diag_printf("If so, unload them using rmmod, as they conflict with ftd2xx.\n");
            if (lastFailure.reason[0]) diag_printf("Cause: %s\n", lastFailure.reason);
        }
        return -1;
    }
    lastFailure = Failure{};
    ftHandle[index] = driver;
    openGeneration = port_generation();
    device = index;
    setupFTParam();
    return index;
}

int32_t openDevice(int32_t index) {
    openDeviceFTDI(index);
    return device;
}

void closeDevice() {
    if (PortDriver* port = openPort()) port->close();
    device = -1;
}

int32_t getOpenDevice() { return device; }

bool getOpenSerial(char* text, size_t size) {
    if (device < 0) return false;
    std::snprintf(text, size, "%s", cBufLD[device]);
    return true;
}

bool getOpenFailure(char* reason, size_t size, int* status) {
    if (lastFailure.kind == OpenFailure::None) return false;
    const char* what = lastFailure.kind == OpenFailure::Listing ? "listing the cables failed" : "no cable opened";
    std::snprintf(reason, size, "%s", lastFailure.reason[0] ? lastFailure.reason : what);
    *status = lastFailure.status;
    return true;
}

bool getOpenError(char* text, size_t size) {
    char reason[sizeof lastFailure.reason];
    int status = 0;
    if (!getOpenFailure(reason, sizeof reason, &status)) return false;
    std::snprintf(text, size, "%s (status %d)", reason, status);
    return true;
}

int32_t getResponse(uint8_t* buffer, int32_t n) {
    if (n > 0) std::memset(buffer, 0, static_cast<size_t>(n));
    PortDriver* port = openPort();
    if (!port) return -2;
    uint32_t waiting = 0;
    if (port->bytesWaiting(&waiting) != PORT_OK) {
        dropLostPort();
        return -1;
    }
    if (waiting == 0) return -1;
    uint32_t got = 0;
    ftStatus = port->read(buffer, static_cast<uint32_t>(n), &got);
    if (ftStatus != PORT_OK) {
        dropLostPort();
        return -1;
    }
    return static_cast<int32_t>(got);
}

void sendBreak() {
    PortDriver* port = openPort();
    if (!port) return;
    const uint8_t zero = 0x00;
    uint32_t written = 0;
    port->configure(BAUD_BREAK);
    // A break that could not be written means a port gone: a frame sent without
    // it would join the transmission before and reach no panel.
    if (port->write(&zero, 1, &written) != PORT_OK) {
        dropLostPort();
        return;
    }
    drainWait(BREAK_DRAIN);
    if (openPort()) port->configure(BAUD_DMX);
}

int32_t sendData(const uint8_t* buffer, int32_t n) {
    if (!openPort()) return -1;
    sendBreak();
    PortDriver* port = openPort();
    if (!port) return -1;
    uint32_t written = 0;
    const int status = port->write(buffer, static_cast<uint32_t>(n), &written);
    drainWait(FRAME_DRAIN);
    if (status != PORT_OK) {
        dropLostPort();
        return -1;
    }
    return static_cast<int32_t>(written);
}
