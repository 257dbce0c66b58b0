// The libftdi1 driver: with the real library where no cable can be reached
// (clean refusals, never a crash), and through its seam with stand-ins for
// libftdi, libusb, sysfs and /dev: no libusb context per retry, no kernel
// driver detached at any open, reads from libftdi's own buffer, a cable held
// by ftdi_sio reached through its tty, and refusals that say why; and the
// choice of a cable by its serial number.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bus/ftdi.h"
#include "bus/port/libftdi_calls.h"
#include "bus/port/port.h"
#include "tests/support/frames.h"
#include "tests/support/pty.h"

TEST(LibftdiDriver, NoCableMeansCleanRefusals) {
    auto d = port_newLibftdiDriver();
    PortDeviceInfo listed[PORT_MAX_DEVICES];
    uint32_t count = 99;
    const int st = d->list(listed, PORT_MAX_DEVICES, &count);
    if (st != PORT_OK) {
        EXPECT_EQ(count, 0u);
    }
    const int opened = d->open("KV-NO-SUCH-CABLE");
    EXPECT_NE(opened, PORT_OK);
    if (st == PORT_OK && count == 0) {
        EXPECT_EQ(opened, PORT_DEVICE_NOT_FOUND);
    }
    EXPECT_FALSE(d->lastError().empty());
    // Calls on a port that is not open never reach a driver: Ftdi.ReadsAndRefusals.
}

namespace {

// The cables on the stand-in bus and what the stand-ins saw.
struct Cable {
    std::string serial;  // "": its strings cannot be read
    int openResult;      // what ftdi_usb_open_dev gives: 0, -5 (ftdi_sio holds it), -8 (no access)
    uint8_t port;
};
std::vector<Cable> cables;
int contextsMade = 0;
std::vector<int> detachModes;     // module_detach_mode at every open
std::vector<std::string> opened;  // the serial of every cable opened
std::string lastFtdiError;
std::deque<uint8_t> chip;  // what the chip hands the next transfer
Bytes held;                // libftdi's read buffer
int transfers = 0;

// As libftdi: from its buffer when that holds enough, else one transfer first.
int standInRead(ftdi_context* c, unsigned char* buffer, int size) {
    if (static_cast<size_t>(size) > held.size()) {
        ++transfers;
        held.insert(held.end(), chip.begin(), chip.end());
        chip.clear();
    }
    const int n = std::min(size, static_cast<int>(held.size()));
    std::copy_n(held.begin(), n, buffer);
    held.erase(held.begin(), held.begin() + n);
    c->readbuffer_remaining = static_cast<unsigned>(held.size());
    return n;
}

libusb_device* deviceOf(size_t i) { return reinterpret_cast<libusb_device*>(&cables[i]); }
Cable& cableOf(libusb_device* d) { return *reinterpret_cast<Cable*>(d); }

const LibftdiCalls kStandIns = {
    [] {
        ++contextsMade;
        return new ftdi_context{};
    },
    [](ftdi_context* c) { delete c; },
    [](ftdi_context*, ftdi_device_list** list, int, int) {
        *list = nullptr;
        for (size_t i = cables.size(); i-- > 0;) *list = new ftdi_device_list{*list, deviceOf(i)};
        return static_cast<int>(cables.size());
    },
    [](ftdi_device_list** list) {
        while (*list) {
            ftdi_device_list* next = (*list)->next;
            delete *list;
            *list = next;
        }
    },
    [](ftdi_context*, libusb_device* d, char*, int, char* description, int, char* serial, int n) {
        std::snprintf(serial, static_cast<size_t>(n), "%s", cableOf(d).serial.c_str());
        description[0] = '\0';
        return cableOf(d).serial.empty() ? -9 : 0;
    },
    [](ftdi_context* c, libusb_device* d) {
        detachModes.push_back(c->module_detach_mode);
        const int r = cableOf(d).openResult;
        if (r == 0) opened.push_back(cableOf(d).serial);
        lastFtdiError = r == -5   ? "unable to claim usb device. Make sure the default FTDI driver is not in use"
                        : r == -8 ? "inappropriate permissions on device!"
                                  : "all is well";
        return r;
    },
    [](ftdi_context*) { return 0; },
    [](ftdi_context*) { return lastFtdiError.c_str(); },
    [](ftdi_context*, unsigned char) { return 0; },
    [](ftdi_context*) { return 0; },
    [](ftdi_context*) { return 0; },
    [](ftdi_context*, int) { return 0; },
    [](ftdi_context*, ftdi_bits_type, ftdi_stopbits_type, ftdi_parity_type) { return 0; },
    [](ftdi_context*, unsigned short* status) {
        *status = 0x4000;  // transmitter empty
        return 0;
    },
    standInRead,
    [](ftdi_context*, const unsigned char*, int n) { return n; },
    [](libusb_device* d) { return d; },
    [](libusb_device*) {},
    [](libusb_device*, libusb_device_descriptor* desc) {
        *desc = libusb_device_descriptor{};
        desc->idVendor = 0x0403;
        desc->idProduct = 0x6001;
        return 0;
    },
    [](libusb_device*) -> uint8_t { return 1; },
    [](libusb_device*) -> uint8_t { return 9; },
    [](libusb_device* d, uint8_t* ports, int) {
        ports[0] = 2;
        ports[1] = cableOf(d).port;
        return 2;
    },
    nullptr,
    nullptr,
};

class LibftdiSeam : public ::testing::Test {
protected:
    void SetUp() override {
        cables.clear();
        contextsMade = 0;
        detachModes.clear();
        opened.clear();
        chip.clear();
        held.clear();
        root = testing::TempDir() + "libftdi-seam-" + std::to_string(getpid());
        calls = kStandIns;
        sys = root + "/sys";
        devDir = root + "/dev";
        calls.sysUsbDevices = sys.c_str();
        calls.devDir = devDir.c_str();
        mkdir(root.c_str(), 0700);
        mkdir(sys.c_str(), 0700);
        mkdir(devDir.c_str(), 0700);
        driver = port_newLibftdiDriver(calls);
    }
    void TearDown() override {
        driver.reset();
        std::filesystem::remove_all(root);
    }
    int open(const char* serial) {
        PortDeviceInfo listed[PORT_MAX_DEVICES];
        uint32_t n = 0;
        driver->list(listed, PORT_MAX_DEVICES, &n);  // as every open does first
        return driver->open(serial);
    }

    std::string root, sys, devDir;
    LibftdiCalls calls;
    std::unique_ptr<PortDriver> driver;
};

}  // namespace

TEST_F(LibftdiSeam, RetriesWithoutACableMakeNoContexts) {
    for (int tick = 0; tick < 100; ++tick) EXPECT_EQ(open(""), PORT_DEVICE_NOT_FOUND);
    EXPECT_EQ(contextsMade, 1);
    EXPECT_EQ(driver->lastError(), "no FTDI cable is plugged in");
    EXPECT_TRUE(detachModes.empty());

    // A free cable: opened over libusb on one context, reused at every open; the
    // kernel's driver is never detached.
    cables.push_back({"KV1", 0, 4});
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(open("KV1"), PORT_OK);
        uint32_t written = 0;
        EXPECT_EQ(driver->write(reinterpret_cast<const uint8_t*>("ab"), 2, &written), PORT_OK);
        EXPECT_EQ(driver->close(), PORT_OK);
    }
    EXPECT_EQ(contextsMade, 2);
    EXPECT_EQ(detachModes, (std::vector<int>(3, DONT_DETACH_SIO_MODULE)));

    // Reads: what one transfer brought waits in libftdi's own buffer; the count
    // is that, and reading what was counted costs no second transfer.
    ASSERT_EQ(open("KV1"), PORT_OK);
    uint32_t n = 99, got = 0;
    uint8_t buffer[8];
    EXPECT_EQ(driver->bytesWaiting(&n), PORT_OK);
    EXPECT_EQ(n, 0u);
    chip = {1, 2, 3, 4, 5};
    EXPECT_EQ(driver->bytesWaiting(&n), PORT_OK);
    EXPECT_EQ(n, 5u);
    const int before = transfers;
    EXPECT_EQ(driver->bytesWaiting(&n), PORT_OK);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(driver->read(buffer, 3, &got), PORT_OK);
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{1, 2, 3}));
    chip = {6};
    EXPECT_EQ(driver->read(buffer, sizeof buffer, &got), PORT_OK);
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{4, 5}));
    EXPECT_EQ(transfers, before);
    EXPECT_EQ(driver->bytesWaiting(&n), PORT_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(driver->close(), PORT_OK);

    // No access to the device: the refusal names the likely cause.
    cables[0].openResult = -8;
    EXPECT_EQ(open("KV1"), PORT_DEVICE_NOT_OPENED);
    EXPECT_NE(driver->lastError().find("60-korvane.rules"), std::string::npos) << driver->lastError();
    EXPECT_NE(driver->lastError().find("plugdev"), std::string::npos);
}

TEST_F(LibftdiSeam, ACableHeldByFtdiSioIsReachedThroughItsTty) {
    cables.push_back({"KV2", -5, 3});
    PtyPair pty;
    ASSERT_FALSE(pty.slave.empty());
    const std::string iface = sys + "/1-2.3:1.0";
    mkdir(iface.c_str(), 0700);
    mkdir((iface + "/ttyUSB7").c_str(), 0700);
    std::ofstream(iface + "/ttyUSB7/latency_timer") << "16\n";
    ASSERT_EQ(symlink(pty.slave.c_str(), (devDir + "/ttyUSB7").c_str()), 0);

    ASSERT_EQ(open("KV2"), PORT_OK) << driver->lastError();
    EXPECT_EQ(detachModes, std::vector<int>{DONT_DETACH_SIO_MODULE});
    std::string latency;
    std::ifstream(iface + "/ttyUSB7/latency_timer") >> latency;
    EXPECT_EQ(latency, "1");
    uint32_t written = 0;
    EXPECT_EQ(driver->write(reinterpret_cast<const uint8_t*>("DMX"), 3, &written), PORT_OK);
    char got[8] = {};
    EXPECT_EQ(read(pty.master, got, sizeof got), 3);
    EXPECT_STREQ(got, "DMX");
    EXPECT_EQ(driver->close(), PORT_OK);

    // Held by ftdi_sio with no tty to be found: refused, saying so.
    cables[0].port = 4;
    EXPECT_EQ(open("KV2"), PORT_DEVICE_NOT_OPENED);
    EXPECT_NE(driver->lastError().find("ftdi_sio"), std::string::npos) << driver->lastError();
}

namespace {

// Opens index 0, as the cable layer does; what was opened, or "" and the lines said.
std::string openFirst(std::string* out, std::string* err) {
    std::string first;
    *out = captureStdout([&] {
        testing::internal::CaptureStderr();
        opened.clear();
        if (openDevice(0) == 0 && !opened.empty()) first = opened.back();
        *err = testing::internal::GetCapturedStderr();
    });
    closeDevice();
    return first;
}

class LibftdiChoice : public LibftdiSeam {
protected:
    void TearDown() override {
        closeDevice();
        unsetenv("KORVANE_PORT");
        port_setLibftdiCalls(nullptr);
        port_setDriver(nullptr);
        LibftdiSeam::TearDown();
    }
};

}  // namespace

// KORVANE_PORT=ftdi:SERIAL with two cables on the stand-in bus.
TEST_F(LibftdiChoice, SerialOpensItsCableOrNamesTheCablesFound) {
    closeDevice();
    port_setLibftdiCalls(&calls);
    cables = {{"FT-A1", 0, 1}, {"FT-B2", 0, 2}};
    std::string out, err;
    for (const char* value : {static_cast<const char*>(nullptr), "", "ftdi:", "ftdi:FT-B2", "ftdi:FT-A1"}) {
        SCOPED_TRACE(value ? value : "(unset)");
        if (value)
            setenv("KORVANE_PORT", value, 1);
        else
            unsetenv("KORVANE_PORT");
        port_setDriver(nullptr);
        const std::string want = value && std::strlen(value) > 5 ? value + 5 : "FT-A1";
        EXPECT_EQ(openFirst(&out, &err), want);
        EXPECT_EQ(err, "");
    }

    // The start-up listing shows every cable, the chosen one first.
    const std::string listing = captureStdout([] { printDeviceList(); });
    EXPECT_LT(listing.find("SerialNumber=FT-A1"), listing.find("SerialNumber=FT-B2"));

    setenv("KORVANE_PORT", "ftdi:FT-C3", 1);
    port_setDriver(nullptr);
    EXPECT_EQ(openFirst(&out, &err), "");
    EXPECT_EQ(getOpenDevice(), -1);
    EXPECT_TRUE(opened.empty()) << "no other cable is opened in its place";
    EXPECT_NE(out.find("Error FT_OpenEx(2), device 0"), std::string::npos) << out;
    EXPECT_NE(out.find("Cause: KORVANE_PORT=ftdi:FT-C3: no FTDI cable with this serial number; cables found: "
                       "FT-A1, FT-B2\n"),
              std::string::npos)
        << out;

    // Said once while nothing changes; again when the cables found change.
    EXPECT_EQ(openFirst(&out, &err), "");
    EXPECT_EQ(out, "");
    cables = {{"", 0, 1}, {"FT-A1", 0, 2}, {"", 0, 3}};
    EXPECT_EQ(openFirst(&out, &err), "");
    EXPECT_NE(out.find("Cause: KORVANE_PORT=ftdi:FT-C3: no FTDI cable with this serial number; cables found: "
                       "FT-A1 and 2 whose serial numbers could not be read\n"),
              std::string::npos)
        << out;
    cables.clear();
    EXPECT_EQ(openFirst(&out, &err), "");
    EXPECT_NE(out.find("cables found: none"), std::string::npos) << out;
    EXPECT_EQ(err, "");

    // Plugged in later, it is found and opened.
    cables = {{"FT-A1", 0, 1}, {"FT-B2", 0, 2}, {"FT-C3", 0, 3}};
    EXPECT_EQ(openFirst(&out, &err), "FT-C3");
    EXPECT_EQ(err, "");
}
