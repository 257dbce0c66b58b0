// The libftdi1 driver where no cable can be reached (no device, or no USB
// access at all): clean refusals, never a crash; and the choice of a cable by
// its serial number.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "bus/ftdi.h"
#include "bus/port/port.h"
#include "tests/support/frames.h"
#include "tests/support/script_driver.h"

TEST(LibftdiDriver, NoCableMeansCleanRefusals) {
    std::unique_ptr<PortDriver> d(port_newLibftdiDriver());
    uint32_t count = 99, listed = 99;
    PortDeviceInfo info;
    const int st = d->deviceCount(&count);
    if (st == PORT_OK) {
        EXPECT_NE(d->deviceDetails(count, &info), PORT_OK);  // one past the end
    } else {
        EXPECT_EQ(count, 0u);
    }
    char serial[PORT_SERIAL_SIZE] = {};
    char* buffers[1] = {serial};
    if (d->listSerials(buffers, 1, &listed) != PORT_OK) { EXPECT_EQ(listed, 0u); }

    PortHandle h = reinterpret_cast<PortHandle>(1);
    const int opened = d->openBySerial("KV-NO-SUCH-CABLE", &h);
    EXPECT_NE(opened, PORT_OK);
    if (st == PORT_OK && count == 0) { EXPECT_EQ(opened, PORT_DEVICE_NOT_FOUND); }
    EXPECT_EQ(h, nullptr);

    // A handle it never gave out is refused before libftdi sees it.
    uint8_t byte = 0;
    uint32_t rx = 0, tx = 0, n = 0;
    int bogus = 0;
    EXPECT_EQ(d->getStatus(&bogus, &rx, &tx), PORT_INVALID_HANDLE);
    EXPECT_EQ(d->write(&bogus, &byte, 1, &n), PORT_INVALID_HANDLE);
    EXPECT_EQ(d->read(&bogus, &byte, 1, &n), PORT_INVALID_HANDLE);
    EXPECT_EQ(d->setBaudRate(nullptr, 250000), PORT_INVALID_HANDLE);
    EXPECT_EQ(d->close(&bogus), PORT_INVALID_HANDLE);
}

namespace {

ScriptDriver* cables = nullptr;  // the stand-in the port module made last; it owns it

PortDriver* twoCables() {
    cables = new ScriptDriver;
    cables->serials = {"FT-A1", "FT-B2"};
    return cables;
}

// Opens index 0, as the cable layer does; what was opened, or "" and the lines said.
std::string openFirst(std::string* out, std::string* err) {
    std::string opened;
    *out = captureStdout([&] {
        testing::internal::CaptureStderr();
        port_driver();  // made at its first use
        cables->clearLog();
        if (openDevice(0) == 0) {
            for (const std::string& call : cables->calls())
                if (call.rfind("open ", 0) == 0) opened = call.substr(5);
        }
        *err = testing::internal::GetCapturedStderr();
    });
    closeDevice();
    return opened;
}

}  // namespace

// KORVANE_PORT=ftdi:SERIAL with two cables listed behind the libftdi seam.
TEST(LibftdiChoice, SerialOpensItsCableOrNamesTheCablesFound) {
    closeDevice();
    port_setLibftdiFactory(twoCables);
    std::string out, err;
    for (const char* value : {static_cast<const char*>(nullptr), "", "ftdi:", "ftdi:FT-B2", "ftdi:FT-A1"}) {
        SCOPED_TRACE(value ? value : "(unset)");
        if (value) setenv("KORVANE_PORT", value, 1); else unsetenv("KORVANE_PORT");
        port_setDriver(nullptr);
        const std::string want = value && std::strlen(value) > 5 ? value + 5 : "FT-A1";
        EXPECT_EQ(openFirst(&out, &err), want);
        EXPECT_EQ(err, "");
    }

    // The start-up listing still shows every cable, in the bus's order.
    const std::string listing = captureStdout([] { printDeviceList(); });
    EXPECT_LT(listing.find("SerialNumber=FT-A1"), listing.find("SerialNumber=FT-B2"));

    setenv("KORVANE_PORT", "ftdi:FT-C3", 1);
    port_setDriver(nullptr);
    EXPECT_EQ(openFirst(&out, &err), "");
    EXPECT_EQ(getOpenDevice(), -1);
    EXPECT_EQ(cables->countCalls("open "), 0u) << "no other cable is opened in its place";
    EXPECT_EQ(err, "KORVANE_PORT=ftdi:FT-C3: no FTDI cable with this serial number; cables found: FT-A1, FT-B2\n");
    EXPECT_NE(out.find("Error FT_OpenEx(2), device 0"), std::string::npos) << out;

    // Said once while nothing changes; again when the cables found change.
    EXPECT_EQ(openFirst(&out, &err), "");
    EXPECT_EQ(err, "");
    cables->serials = {"", "FT-A1", ""};
    EXPECT_EQ(openFirst(&out, &err), "");
    EXPECT_EQ(err, "KORVANE_PORT=ftdi:FT-C3: no FTDI cable with this serial number; cables found: "
                   "FT-A1 and 2 whose serial numbers could not be read\n");
    cables->serials = {};
    EXPECT_EQ(openFirst(&out, &err), "");
    EXPECT_NE(err.find("cables found: none"), std::string::npos) << err;

    // Plugged in later, it is found and opened.
    cables->serials = {"FT-A1", "FT-B2", "FT-C3"};
    EXPECT_EQ(openFirst(&out, &err), "FT-C3");
    EXPECT_EQ(err, "");

    unsetenv("KORVANE_PORT");
    port_setLibftdiFactory(nullptr);
    port_setDriver(nullptr);
}
