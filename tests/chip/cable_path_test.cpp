// The cable path an installer's laptop takes, for real: the libftdi driver,
// libftdi1, libusb, umockdev, the emulated FT232R, the virtual panels; the
// port chosen as the program chooses it (KORVANE_PORT unset, or ftdi:SERIAL).
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <libusb.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "app/app_firmware.h"
#include "bus/cable.h"
#include "bus/ftdi.h"
#include "bus/packet_structures.h"
#include "bus/port/port.h"
#include "tests/support/bounded.h"
#include "tests/support/frames.h"
#include "tests/support/ft232r.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

using Requests = std::vector<ChipRequest>;
// Few zero bits, so few silent steps of the search: each waits out five tries.
constexpr uint32_t kUids[] = {0x7FFFFFFE, 0x7FFBFFFF, 0x6FFFFFFF};
constexpr ChipRequest kReset{0x40, 0, 0, 1}, kBaud9600{0x40, 3, 0x4138, 0}, kLatency1{0x40, 9, 1, 1},
    kPurgeTx{0x40, 0, 1, 1}, kPurgeRx{0x40, 0, 2, 1}, kLine8N2{0x40, 4, 0x1008, 1}, kBaud250000{0x40, 3, 0x000C, 0},
    kBaud15625{0x40, 3, 0x00C0, 0}, kPoll{0xC0, 5, 0, 1};

// The virtual panels' fixture (its bus, the direct one to compare with), and
// then the port as the program chooses it.
class CablePath : public SimBus {
protected:
    void SetUp() override {
        guard_ = std::make_unique<Watchdog>("the end of the test", nullptr, 45000);  // ctest's limit is 60 s
        ft232r_bed();
        unsetenv("KORVANE_PORT");
        SimBus::SetUp();
        port_setDriver(nullptr);
    }
    void TearDown() override {
        SimBus::TearDown();
        unsetenv("KORVANE_PORT");
        guard_->done();
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
    // Out, then in again, libusb having seen each: else it could still list
    // the old device, and drop it under the next operation.
    static bool replug(Ft232r& chip, const std::string& serial) {
        chip.pull();
        if (!listed({})) return false;
        chip.plug();
        return listed({serial});
    }
    std::unique_ptr<Watchdog> guard_;
    static std::string openError() {
        char text[256] = {};
        cable_openError(text, sizeof text);
        return text;
    }
};

// Every operation once, on panels set up alike: the results, then what the
// device table holds of what came back.
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
        s += "found " + std::to_string(app_discovery(found, 8));
        for (uint32_t uid : kUids) s += " read " + std::to_string(app_setup_read(uid));
        PanelSetup setup{4, {{1, 0x0003}, {2, 0x0100}}};
        uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE] = {{}, {0x2A}};
        s += " send " + std::to_string(app_setup_send(kUids[0], &setup, dmx, 0x02));
        s += " identify " + std::to_string(app_identify_send(kUids[1], 0));
        s += " uid " + std::to_string(app_genUid(kUids[2], 0x7ABCDEF0));
        makeProgramDevice(image.c_str(), 0xFFFFFFFF);
    });
    for (int i = 0; i < dev_count(); ++i) {
        DeviceRecord r{};
        dev_copyRecord(i, &r);
        s += "\n" + std::to_string(r.uid) + ": " + std::to_string(r.verMajor) + " " + std::to_string(r.intensity) +
             " " + std::to_string(r.dmxKnown) + " " + std::to_string(r.dmx[5][73]);
    }
    return s;
}

// Every libusb context made in the process (libftdi's ftdi_new makes one).
std::atomic<int> contextsMade{0};

}  // namespace

extern "C" int libusb_init(libusb_context** context) {
    static auto real = reinterpret_cast<int (*)(libusb_context**)>(dlsym(RTLD_NEXT, "libusb_init"));
    ++contextsMade;
    return real(context);
}

// Discovery, setup read and send, identify, UID change and a firmware upload
// give the same results and put the same bytes on the wire as on the virtual
// bus, every frame behind its break, with the line requests the chip must see.
TEST_F(CablePath, EveryOperationAsOnTheVirtualBus) {
    TempDir files;
    const std::string image = files.write("short.fw", std::string(3 * 64 - 5, '\x5A'));
    port_setDriver(&bus);
    const std::string expected = everyOperation(bus, image);
    EXPECT_EQ(expected.rfind("found 3 read 1 read 1 read 1 send 1 identify 1 uid 1\n", 0), 0u) << expected;
    cable_free();
    dev_removeAll();

    Ft232r chip("KV00001");
    chip.plug();
    port_setDriver(nullptr);
    EXPECT_EQ(everyOperation(chip.line(), image), expected);
    const auto wire = chip.line().heard(), want = bus.heard();
    ASSERT_EQ(wire.size(), want.size());
    for (size_t i = 0; i < wire.size(); ++i) {
        EXPECT_TRUE(wire[i].afterBreak && !wire[i].garbled) << "transmission " << i;
        EXPECT_EQ(wire[i].bytes, want[i].bytes) << "transmission " << i;
    }

    // Opening: libftdi's reset and 9600 baud, then the driver's latency timer,
    // reset, purges, 8N2, 250000 baud. Each break's 15625 baud is drained (a
    // modem-status poll) before the rate goes back.
    const Ft232r::Seen seen = chip.seen();
    const Requests& r = seen.requests;
    ASSERT_GT(r.size(), 10u);
    EXPECT_EQ(Requests(r.begin(), r.begin() + 8),
              (Requests{kReset, kBaud9600, kLatency1, kReset, kPurgeTx, kPurgeRx, kLine8N2, kBaud250000}));
    size_t breaks = 0;
    for (size_t i = 8; i + 2 < r.size(); ++i) {
        if (!(r[i] == kBaud15625)) continue;
        ++breaks;
        EXPECT_TRUE(r[i + 1] == kPoll && r[i + 2] == kBaud250000) << "request " << i;
    }
    EXPECT_EQ(breaks, wire.size());
    EXPECT_TRUE(seen.unknownIoctls.empty()) << "no kernel driver detached; nothing but what the chip knows";
}

// The status tick tries to open the port every 50 ms while no cable is there:
// the tries share one libusb context, and the cable, once plugged in, one more.
// Start-up lists it as a real cable.
TEST_F(CablePath, RetriesWithoutACableMakeNoContextsAndTheCableIsListed) {
    const int before = contextsMade;
    const std::string out = captureStdout([] {
        for (int tick = 0; tick < 40; ++tick) EXPECT_LT(cable_open(), 0);
        printDeviceList();
    });
    EXPECT_EQ(out.substr(out.size() - 23), "Number of devices is 0\n");
    EXPECT_EQ(openError(), "no FTDI cable is plugged in (status 2)");
    Ft232r chip("KV00001");
    chip.plug();
    ASSERT_TRUE(listed({"KV00001"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(cable_open(), 0) << openError();
        cable_free();
    }
    EXPECT_EQ(contextsMade - before, 2);
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

// ftdi_sio holds the cable: it is reached through its tty, latency lowered in
// sysfs, and the tty is told the line settings the chip would be (its drain,
// tcdrain, is a system call glibc makes itself, out of the bed's sight).
TEST_F(CablePath, ACableHeldByFtdiSioIsReachedThroughItsTty) {
    Ft232r chip("KV-SIO", Ft232r::Holder::FtdiSio);
    chip.plug();
    ASSERT_GE(cable_open(), 0) << openError();
    std::string latency;
    std::ifstream(chip.ttySysDir() + "/latency_timer") >> latency;
    EXPECT_EQ(latency, "1");
    const uint8_t frame[3] = {0xAA, 0x55, 0x01};
    EXPECT_EQ(devSend(frame, 3), 3);
    const Ft232r::Seen seen = chip.seen();
    EXPECT_EQ(seen.tty, (std::vector<std::string>{"baud 250000 8N2", "baud 15625 8N2", "write 00", "baud 250000 8N2",
                                                  "write AA 55 01"}));
    EXPECT_EQ(seen.claims, 1) << "one try over libusb, refused";
    EXPECT_TRUE(seen.unknownIoctls.empty());
}

// KORVANE_PORT=ftdi:SERIAL with two cables (then one another program holds,
// and a clone without a serial number).
TEST_F(CablePath, SerialOpensItsCableOrNamesTheCablesFound) {
    Ft232r a("FT-A1"), b("FT-B2");
    a.plug();
    b.plug();
    setenv("KORVANE_PORT", "ftdi:FT-B2", 1);
    port_setDriver(nullptr);
    const std::string listing = captureStdout([] { printDeviceList(); });
    EXPECT_LT(listing.find("SerialNumber=FT-B2"), listing.find("SerialNumber=FT-A1")) << listing;
    ASSERT_GE(cable_open(), 0) << openError();
    EXPECT_EQ(b.seen().claims, 1);
    EXPECT_EQ(a.seen().claims, 0);
    cable_free();

    Ft232r busy("KV-BUSY", Ft232r::Holder::OtherProgram), clone("");
    busy.plug();
    setenv("KORVANE_PORT", "ftdi:KV-BUSY", 1);
    port_setDriver(nullptr);
    captureStdout([] { EXPECT_LT(cable_open(), 0); });
    EXPECT_EQ(openError(), "the cable is in use by another program (status 3)");
    busy.pull();
    clone.plug();
    setenv("KORVANE_PORT", "ftdi:FT-C3", 1);
    port_setDriver(nullptr);
    const std::string out = captureStdout([] {
        printDeviceList();  // the clone without its strings counted, not shown
        EXPECT_LT(cable_open(), 0);
    });
    EXPECT_EQ(out.rfind("Number of devices is 3\n", 0), 0u) << out;
    EXPECT_EQ(out.find("SerialNumber=\n"), std::string::npos) << out;
    const std::string cause = "Cause: KORVANE_PORT=ftdi:FT-C3: no FTDI cable with this serial number; cables found: ",
                      unreadable = " and 1 whose serial number could not be read\n";  // in libusb's order
    EXPECT_TRUE(out.find(cause + "FT-A1, FT-B2" + unreadable) != std::string::npos ||
                out.find(cause + "FT-B2, FT-A1" + unreadable) != std::string::npos)
        << out;
    EXPECT_EQ(a.seen().claims + b.seen().claims + clone.seen().claims, 1) << "no other cable opened in its place";
}

// A cable pulled during a setup send, then during a firmware upload, then one
// whose reads fail: each is reported as failed, and once the cable is plugged in
// again (or reads again) the next operation works.
TEST_F(CablePath, APulledCableFailsTheOperationAndTheNextOneWorks) {
    Ft232r chip("KV00001");
    chip.plug();
    chip.line().addPanel(0x4242);
    addDevUID(0x4242);
    int writes = 0;  // the break, the setup packet, the break, the DMX block's packet
    chip.dieAt([&](const std::vector<uint8_t>&) { return ++writes == 4; });
    const PanelSetup setup{3, {}};
    const uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE] = {};
    SetupSent sent;
    captureStdout([&] { EXPECT_EQ(app_setup_send(0x4242, &setup, dmx, 0x01, &sent), -1); });
    EXPECT_EQ(openError(), "the cable was unplugged (status 2)") << "the sends after it tried to open it again";
    EXPECT_TRUE(sent.setup);
    EXPECT_EQ(sent.blocksConfirmed, 0);
    ASSERT_TRUE(replug(chip, "KV00001"));
    captureStdout([] { EXPECT_EQ(app_setup_read(0x4242), 1); });

    TempDir files;
    const std::string image = files.write("three.fw", std::string(3 * 64, '\x33'));
    chip.dieAt([](const std::vector<uint8_t>& w) { return w.size() == DMX_FRAME_SIZE && w[DMX_CHUNK] == 1; });
    testing::internal::CaptureStderr();
    const std::string out = captureStdout([&] { makeProgramDevice(image.c_str(), 0x4242); });
    testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("Send FAILED. 2/3 chunks not sent\n"), std::string::npos) << out;
    ASSERT_TRUE(replug(chip, "KV00001"));
    captureStdout([] { EXPECT_EQ(app_identify_send(0x4242, 0), 1); });

    // Reads that fail with the cable still in: an I/O error, not silence, and
    // the ftdi module closes the port, to open it afresh for the next operation.
    chip.failReads = true;
    ASSERT_GE(cable_open(), 0) << openError();
    uint8_t buffer[8];
    uint32_t got = 0;
    EXPECT_EQ(port_driver()->read(buffer, sizeof buffer, &got), PORT_IO_ERROR);
    EXPECT_EQ(devRead(buffer, sizeof buffer), -1);
    EXPECT_EQ(getOpenDevice(), -1) << "the port whose read failed stays open";
    chip.failReads = false;
    captureStdout([] { EXPECT_EQ(app_identify_send(0x4242, 0), 1); });
}
