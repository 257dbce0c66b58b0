// The cable path an installer's laptop takes, for real: the libftdi driver,
// libftdi1, libusb, umockdev, the emulated FT232R, the virtual panels. The
// port is chosen as the program chooses it (KORVANE_PORT unset, or ftdi:SERIAL).
#include <gtest/gtest.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/app_firmware.h"
#include "app/app_setup.h"
#include "app/app_parsers.h"
#include "app/handover.h"
#include "bus/cable.h"
#include "bus/ftdi.h"
#include "bus/packet_structures.h"
#include "bus/port/port.h"
#include "bus/timer.h"
#include "devices/devices.h"
#include "tests/support/bounded.h"
#include "tests/support/frames.h"
#include "tests/support/ft232r.h"
#include "tests/support/temp_dir.h"

namespace {

using Requests = std::vector<ChipRequest>;
// Few zero bits: few silent steps of the search, each of which waits out five tries.
constexpr uint32_t kUids[] = {0x7FFFFFFE, 0x7FFBFFFF, 0x6FFFFFFF};
constexpr ChipRequest kReset{0x40, 0, 0, 1}, kBaud9600{0x40, 3, 0x4138, 0}, kLatency1{0x40, 9, 1, 1},
    kPurgeTx{0x40, 0, 1, 1}, kPurgeRx{0x40, 0, 2, 1}, kLine8N2{0x40, 4, 0x1008, 1}, kBaud250000{0x40, 3, 0x000C, 0},
    kBaud15625{0x40, 3, 0x00C0, 0}, kPoll{0xC0, 5, 0, 1};

class CablePath : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("KORVANE_PORT");
        port_setDriver(nullptr);  // chosen afresh at the first use, as at start-up
        packet_resetAssembler();
        app_installParsers();
        dev_removeAll();
        handover_reset();
    }
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
        unsetenv("KORVANE_PORT");
    }
    // libusb learns of plugged and pulled cables from the bed's uevents, on a thread of its own.
    static bool listed(const std::vector<std::string>& serials) {
        return waitFor("the cables listed to be " + std::to_string(serials.size()), [&] {
            PortDeviceInfo cables[8];
            uint32_t n = 0;
            port_driver()->list(cables, 8, &n);
            std::vector<std::string> now;
            for (uint32_t i = 0; i < n; ++i) now.push_back(cables[i].serial);
            return now == serials;
        });
    }
    static std::string openError() {
        char text[256] = {};
        cable_openError(text, sizeof text);
        return text;
    }
};

// A state of the panels and the device table, in words.
std::string summary(VirtualBus& bus) {
    std::string s;
    for (size_t i = 0; i < bus.panelCount(); ++i) {
        const VirtualPanel& p = bus.panelAt(i);
        s += "panel " + std::to_string(p.uid) + " intensity " + std::to_string(p.intensity) + " identified " +
             std::to_string(p.identifyCount) + " image " + std::to_string(p.firmwareImage().size()) + "\n";
    }
    for (int i = 0; i < dev_count(); ++i) {
        DeviceRecord r{};
        dev_copyRecord(i, &r);
        s += "record " + std::to_string(r.uid) + " " + std::to_string(r.verMajor) + "." + std::to_string(r.verMinor) +
             " intensity " + std::to_string(r.intensity) + " blocks " + std::to_string(r.dmxKnown) + " dmx " +
             std::to_string(r.dmx[5][73]) + "\n";
    }
    return s;
}

// Every operation once, on panels set up alike: the results, then the state.
std::string everyOperation(VirtualBus& bus, const std::string& image) {
    for (uint32_t uid : kUids) {
        VirtualPanel& p = bus.addPanel(uid);
        p.intensity = static_cast<uint8_t>(uid % 4 + 1);
        p.verMajor = static_cast<uint8_t>(uid >> 24);
        p.dmx[5][73] = static_cast<uint8_t>(uid);
    }
    std::string s;
    captureStdout([&] {
        uint32_t found[DEV_MAX] = {};
        s += "found " + std::to_string(app_discovery(found, 8)) + "\n";
        for (uint32_t uid : kUids) s += "read " + std::to_string(app_setup_read(uid));
        PanelSetup setup{4, {{1, 0x0003}, {2, 0x0100}}};
        uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE] = {};
        dmx[1][0] = 0x2A;
        s += " send " + std::to_string(app_setup_send(kUids[0], &setup, dmx, 0x02));
        s += " identify " + std::to_string(app_identify_send(kUids[1], 0));
        s += " uid " + std::to_string(app_genUid(kUids[2], 0x7ABCDEF0)) + "\n";
        makeProgramDevice(image.c_str(), 0xFFFFFFFF);
    });
    int type = 0;
    std::string text;
    if (message_take(&type, &text)) {
        s += "message " + text + "\n";
        message_done();
    }
    return s + summary(bus);
}

}  // namespace

TEST_F(CablePath, StartUpListsTheCableAsARealOne) {
    Ft232r chip({"KV00001"});
    chip.plug();
    char locId[32];
    std::snprintf(locId, sizeof locId, " LocId=0x%x\n", 0x300 | chip.address());
    EXPECT_EQ(captureStdout([] {
                  printLibVersion();
                  printDeviceList();
              }),
              std::string("Library version = 0x10500\nNumber of devices is 1\nDev 0:\n Flags=0x0\n Type=0x5\n"
                          " ID=0x4036001\n") +
                  locId + " SerialNumber=KV00001\n Description=FT232R USB UART\n ftHandle=0x0\n");
}

// Discovery, setup read and send, identify, UID change and a firmware upload
// give the same results and put the same bytes on the wire as on the virtual
// bus, every frame behind its break, with the line requests the chip must see.
TEST_F(CablePath, EveryOperationAsOnTheVirtualBus) {
    TempDir files;
    const std::string image = files.write("short.fw", std::string(3 * 64 - 5, '\x5A'));
    VirtualBus direct;
    port_setDriver(&direct);
    const std::string expected = everyOperation(direct, image);
    cable_free();
    dev_removeAll();
    packet_resetAssembler();

    Ft232r chip({"KV00001"});
    chip.plug();
    port_setDriver(nullptr);
    EXPECT_EQ(everyOperation(chip.line(), image), expected);
    EXPECT_NE(expected.find("found 3\nread 1read 1read 1 send 1 identify 1 uid 1\n"), std::string::npos) << expected;

    const auto wire = chip.line().heard(), want = direct.heard();
    ASSERT_EQ(wire.size(), want.size());
    for (size_t i = 0; i < wire.size(); ++i) {
        SCOPED_TRACE("transmission " + std::to_string(i));
        EXPECT_TRUE(wire[i].afterBreak && !wire[i].garbled);
        EXPECT_EQ(wire[i].bytes, want[i].bytes);
    }

    // The open: libftdi's own reset and 9600 baud, then the driver's latency
    // timer, reset, purges, 8N2 and 250000 baud. Each break at 15625 baud is
    // drained before the rate goes back; the frame is drained before the next.
    const Requests seen = chip.requests();
    ASSERT_GT(seen.size(), 10u);
    EXPECT_EQ(Requests(seen.begin(), seen.begin() + 8),
              (Requests{kReset, kBaud9600, kLatency1, kReset, kPurgeTx, kPurgeRx, kLine8N2, kBaud250000}));
    int breaks = 0;
    for (size_t i = 8; i < seen.size(); ++i) {
        if (!(seen[i] == kBaud15625)) continue;
        ++breaks;
        ASSERT_LT(i + 2, seen.size());
        EXPECT_TRUE(seen[i + 1] == kPoll && seen[i + 2] == kBaud250000) << "request " << i;
        EXPECT_TRUE(seen[i - 1] == kPoll || seen[i - 1] == kBaud250000) << "request " << i;
    }
    EXPECT_EQ(breaks, static_cast<int>(wire.size()));
    EXPECT_TRUE(chip.unknownIoctls().empty()) << "no kernel driver detached, nothing but what the chip knows";
}

namespace {

// Contexts libusb made, by its own account: each new one logs "libusb v..."
// at debug level. The counted driver ends with the count, and its contexts with it.
std::atomic<int> contextsMade{0};

struct CountContexts {
    std::unique_ptr<PortDriver> driver;
    CountContexts() {
        setenv("LIBUSB_DEBUG", "4", 1);
        libusb_set_log_cb(
            nullptr,
            [](libusb_context*, enum libusb_log_level, const char* line) {
                if (std::strstr(line, "libusb v1.")) ++contextsMade;
            },
            LIBUSB_LOG_CB_GLOBAL);
        contextsMade = 0;
        driver = port_newLibftdiDriver();
        port_setDriver(driver.get());
    }
    ~CountContexts() {
        cable_free();
        port_setDriver(nullptr);
        driver.reset();
        unsetenv("LIBUSB_DEBUG");
        libusb_set_log_cb(nullptr, nullptr, LIBUSB_LOG_CB_GLOBAL);
    }
};

}  // namespace

// The status tick tries to open the port every 50 ms while no cable is there:
// the tries share one libusb context, and the cable, once plugged in, one more.
TEST_F(CablePath, RetriesWithoutACableMakeNoContexts) {
    CountContexts count;
    captureStdout([] {
        for (int tick = 0; tick < 40; ++tick) EXPECT_LT(cable_open(), 0);
    });
    EXPECT_EQ(openError(), "no FTDI cable is plugged in (status 2)");
    Ft232r chip({"KV00001"});
    chip.plug();
    ASSERT_TRUE(listed({"KV00001"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(cable_open(), 0) << openError();
        cable_free();
    }
    EXPECT_EQ(contextsMade, 2);
}

// What one transfer brings waits in libftdi's buffer, the modem-status bytes of
// each 64-byte packet taken out; reading what was counted costs no transfer.
TEST_F(CablePath, ReadsTakeWhatOneTransferBrought) {
    Ft232r chip({"KV00001"});
    chip.plug();
    ASSERT_GE(cable_open(), 0) << openError();
    Bytes sent(150);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
    chip.line().injectBytes(sent.data(), sent.size());
    wait_us(100);  // 10 ms: all of them have reached the chip
    const int before = chip.bulkInTransfers();
    Bytes got;
    uint8_t buffer[50];
    for (int n; (n = devRead(buffer, sizeof buffer)) > 0;) got.insert(got.end(), buffer, buffer + n);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(chip.bulkInTransfers() - before, 2) << "one brought all three packets, one found nothing";
}

// ftdi_sio holds the cable: reached through its tty, latency lowered in sysfs,
// and the tty sees the line settings the chip would (its drain, tcdrain, is a
// system call of glibc's own that the bed cannot see).
TEST_F(CablePath, ACableHeldByFtdiSioIsReachedThroughItsTty) {
    Ft232r chip({"KV-SIO"}, Ft232r::Holder::FtdiSio);
    chip.plug();
    ASSERT_GE(cable_open(), 0) << openError();
    std::string latency;
    std::ifstream(chip.ttySysDir() + "/latency_timer") >> latency;
    EXPECT_EQ(latency, "1");
    const uint8_t frame[3] = {0xAA, 0x55, 0x01};
    EXPECT_EQ(devSend(frame, 3), 3);
    EXPECT_EQ(chip.ttyLog(), (std::vector<std::string>{"baud 250000 8N2", "baud 15625 8N2", "write 00",
                                                       "baud 250000 8N2", "write AA 55 01"}));
    EXPECT_EQ(chip.claims(), 1) << "one try over libusb, refused";
    EXPECT_TRUE(chip.unknownIoctls().empty());
}

TEST_F(CablePath, ACableAnotherProgramHoldsIsInUse) {
    Ft232r chip({"KV-BUSY"}, Ft232r::Holder::OtherProgram);
    chip.plug();
    captureStdout([] { EXPECT_LT(cable_open(), 0); });
    EXPECT_EQ(openError(), "the cable is in use by another program (status 3)");
}

// KORVANE_PORT=ftdi:SERIAL with two cables (and a clone without a serial number).
TEST_F(CablePath, SerialOpensItsCableOrNamesTheCablesFound) {
    Ft232r a({"FT-A1"}), b({"FT-B2"});
    a.plug();
    b.plug();
    setenv("KORVANE_PORT", "ftdi:FT-B2", 1);
    port_setDriver(nullptr);
    const std::string listing = captureStdout([] { printDeviceList(); });
    EXPECT_LT(listing.find("SerialNumber=FT-B2"), listing.find("SerialNumber=FT-A1")) << listing;
    ASSERT_GE(cable_open(), 0) << openError();
    EXPECT_EQ(b.claims(), 1);
    EXPECT_EQ(a.claims(), 0);
    cable_free();

    Ft232r clone({""});
    clone.plug();
    setenv("KORVANE_PORT", "ftdi:FT-C3", 1);
    port_setDriver(nullptr);
    const std::string out = captureStdout([] { EXPECT_LT(cable_open(), 0); });
    const std::string cause = "Cause: KORVANE_PORT=ftdi:FT-C3: no FTDI cable with this serial number; cables found: ",
                      unreadable = " and 1 whose serial number could not be read\n";  // in libusb's order
    EXPECT_TRUE(out.find(cause + "FT-A1, FT-B2" + unreadable) != std::string::npos ||
                out.find(cause + "FT-B2, FT-A1" + unreadable) != std::string::npos)
        << out;
    EXPECT_EQ(a.claims() + b.claims() + clone.claims(), 1) << "no other cable opened in its place";
}

// A cable pulled during a setup send, then during a firmware upload: each is
// reported as failed, and once it is plugged in again the next operation works.
TEST_F(CablePath, APulledCableFailsTheOperationAndTheNextOneWorks) {
    Ft232r chip({"KV00001"});
    chip.plug();
    chip.line().addPanel(0x4242);
    addDevUID(0x4242);
    int writes = 0;  // the break, the setup packet, the break, then the DMX block's packet
    chip.dieAt([&](const std::vector<uint8_t>&) { return ++writes == 4; });
    PanelSetup setup{3, {}};
    uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE] = {};
    SetupSent sent;
    captureStdout([&] { EXPECT_EQ(app_setup_send(0x4242, &setup, dmx, 0x01, &sent), -1); });
    EXPECT_TRUE(chip.dead());
    EXPECT_EQ(openError(), "the cable was unplugged (status 2)") << "the sends after it tried to open it again";
    EXPECT_TRUE(sent.setup);
    EXPECT_EQ(sent.blocksConfirmed, 0);
    chip.plug();
    ASSERT_TRUE(listed({"KV00001"}));
    captureStdout([] { EXPECT_EQ(app_setup_read(0x4242), 1); });

    TempDir files;
    const std::string image = files.write("three.fw", std::string(3 * 64, '\x33'));
    chip.dieAt([](const std::vector<uint8_t>& w) {
        return w.size() == DMX_FRAME_SIZE && w[3] == KIND_FW_CHUNK && w[DMX_CHUNK] == 1;
    });
    testing::internal::CaptureStderr();
    const std::string out = captureStdout([&] { makeProgramDevice(image.c_str(), 0x4242); });
    testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("Send FAILED. 2/3 chunks not sent\n"), std::string::npos) << out;
    int type = 0;
    std::string text;
    ASSERT_TRUE(message_take(&type, &text));
    message_done();
    EXPECT_EQ(text, "Firmware update failed: 2 of 3 chunks could not be sent. Send the image again.");
    chip.plug();
    ASSERT_TRUE(listed({"KV00001"}));
    captureStdout([] { EXPECT_EQ(app_identify_send(0x4242, 0), 1); });
}
