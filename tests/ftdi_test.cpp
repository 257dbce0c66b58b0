// The ftdi module's sequences on the scripted driver.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bus/ftdi.h"
#include "bus/timer.h"
#include "tests/support/bus_fixture.h"
#include "tests/support/frames.h"

using Ftdi = ScriptedBus;
using Calls = std::vector<std::string>;

TEST_F(Ftdi, StartUpListing) {
    driver.serials = {"A1", "B2", "C3"};
    driver.failingDetails = {1};
    const std::string out = captureStdout([] {
        EXPECT_EQ(printLibVersion(), 0x10500u);
        printDeviceList();
    });
    EXPECT_EQ(out,
              "Library version = 0x10500\nNumber of devices is 3\n"
              "Dev 0:\n Flags=0x2\n Type=0x5\n ID=0x4036001\n LocId=0x100\n SerialNumber=A1\n"
              " Description=Scripted 0\n ftHandle=0x0\n"
              "Dev 2:\n Flags=0x2\n Type=0x5\n ID=0x4036001\n LocId=0x102\n SerialNumber=C3\n"
              " Description=Scripted 2\n ftHandle=0x0\n");
    // The port is not touched by the listing.
    EXPECT_EQ(driver.countCalls("open"), 0u);

    driver.serials.clear();
    EXPECT_EQ(captureStdout([] {
                  printLibVersion();
                  printDeviceList();
              }),
              "Library version = 0x10500\nNumber of devices is 0\n");
    driver.versionStatus = PORT_OTHER_ERROR;
    driver.listStatus = PORT_IO_ERROR;
    EXPECT_EQ(captureStdout([] {
                  EXPECT_EQ(printLibVersion(), 0u);
                  printDeviceList();
              }),
              "");
}

TEST_F(Ftdi, OpenAppliesTheLineSettingsEveryTime) {
    driver.serials.clear();
    for (int i = 0; i < 50; ++i) driver.serials.push_back("S" + std::to_string(i));
    EXPECT_EQ(openDevice(60), 49);
    const Calls open = {"list", "open S49", "configure 250000"};
    EXPECT_EQ(driver.calls(), open);
    closeDevice();
    EXPECT_EQ(getOpenDevice(), -1);
    driver.clearLog();
    EXPECT_EQ(openDevice(0), 0);
    EXPECT_EQ(driver.calls(), (Calls{"list", "open S0", "configure 250000"}));
}

TEST_F(Ftdi, FailedOpenLeavesThePortClosedAndSaysSoOnce) {
    driver.openStatus = PORT_DEVICE_NOT_FOUND;
    std::string out = captureStdout([] { EXPECT_EQ(openDeviceFTDI(0), -1); });
    EXPECT_EQ(out,
              "Error FT_OpenEx(2), device 0\n"
              "Use lsmod to check if ftdi_sio (and usbserial) are present.\n"
              "If so, unload them using rmmod, as they conflict with ftd2xx.\n");
    EXPECT_EQ(getOpenDevice(), -1);
    // The next tries are quiet, and nothing runs on the handle that never opened.
    driver.clearLog();
    out = captureStdout([] {
        EXPECT_EQ(openDevice(0), -1);
        EXPECT_EQ(cable_open(), -1);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(driver.countCalls("configure"), 0u);
    uint8_t frame[4] = {1, 2, 3, 4};
    EXPECT_EQ(sendData(frame, 4), -1);

    // A listing failure is new: it is reported on standard error, once.
    driver.listStatus = PORT_IO_ERROR;
    testing::internal::CaptureStderr();
    EXPECT_EQ(openDeviceFTDI(0), 1);
    EXPECT_EQ(openDeviceFTDI(0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: FT_ListDevices(4)\n");

    // After a success, a new failure is reported again.
    driver.listStatus = PORT_OK;
    driver.openStatus = PORT_OK;
    EXPECT_EQ(openDevice(0), 0);
    closeDevice();
    driver.openStatus = PORT_DEVICE_NOT_FOUND;
    EXPECT_NE(captureStdout([] { openDevice(0); }), "");

    // The driver's reason goes with the lines, and a new reason, or a new
    // status, is news: the lines come again, once.
    driver.error = "no access to the USB device";
    out = captureStdout([] {
        openDevice(0);
        openDevice(0);
    });
    EXPECT_EQ(out,
              "Error FT_OpenEx(2), device 0\n"
              "Use lsmod to check if ftdi_sio (and usbserial) are present.\n"
              "If so, unload them using rmmod, as they conflict with ftd2xx.\n"
              "Cause: no access to the USB device\n");
    char text[128];
    ASSERT_TRUE(getOpenError(text, sizeof text));
    EXPECT_STREQ(text, "no access to the USB device (status 2)");
    driver.openStatus = PORT_DEVICE_NOT_OPENED;
    EXPECT_EQ(captureStdout([] { openDevice(0); }).rfind("Error FT_OpenEx(3), device 0\n", 0), 0u);
    driver.openStatus = PORT_OK;
    openDevice(0);
    EXPECT_FALSE(getOpenError(text, sizeof text));
}

TEST_F(Ftdi, ReadsAndRefusals) {
    uint8_t buffer[8];
    std::memset(buffer, 0xCC, sizeof buffer);
    EXPECT_EQ(getResponse(buffer, 8), -2);  // closed
    for (uint8_t b : buffer) EXPECT_EQ(b, 0);

    ASSERT_EQ(openDevice(0), 0);
    driver.clearLog();
    std::memset(buffer, 0xCC, sizeof buffer);
    EXPECT_EQ(getResponse(buffer, 8), -1);  // nothing waiting: no read
    EXPECT_EQ(driver.calls(), (Calls{"waiting"}));
    for (uint8_t b : buffer) EXPECT_EQ(b, 0);

    driver.feed({7, 8, 9});
    EXPECT_EQ(getResponse(buffer, 8), 3);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[2], 9);
    EXPECT_EQ(buffer[3], 0);

    closeDevice();
    driver.clearLog();
    const uint8_t frame[3] = {1, 2, 3};
    EXPECT_EQ(sendData(frame, 3), -1);
    EXPECT_EQ(getResponse(buffer, 8), -2);
    EXPECT_EQ(getOpenDevice(), -1);
    EXPECT_TRUE(driver.calls().empty());

    // A read that fails after bytes were counted: a pulled cable, not silence.
    ASSERT_EQ(openDevice(0), 0);
    driver.feed({7});
    driver.readStatus = PORT_IO_ERROR;
    EXPECT_EQ(getResponse(buffer, 8), -1);
    EXPECT_EQ(getOpenDevice(), -1) << "the dead port stays open";
    driver.readStatus = PORT_OK;
}

TEST_F(Ftdi, BreakByBaudSwitchThenDrainedFrame) {
    ASSERT_EQ(openDevice(0), 0);
    driver.clearLog();
    driver.txPending = 2;  // two queries see bytes still on the wire
    const uint8_t frame[21] = {0x91, 0x29, 0xA9, 0xFD};
    const int64_t before = tim_nowUs();
    EXPECT_EQ(sendData(frame, 21), 21);
    const int64_t took = tim_nowUs() - before;
    EXPECT_EQ(driver.calls(), (Calls{"configure 15625", "write 1", "txempty", "txempty", "txempty", "configure 250000",
                                     "write 21", "txempty", "txempty", "txempty"}));
    EXPECT_EQ(driver.writes()[0].bytes, Bytes{0x00});
    // Three 5 ms waits for the break, three 4.4 ms waits for the frame.
    EXPECT_GE(took, 3 * 5000 + 3 * 4400);

    // A failing status query ends the drain wait, and the write's failure is reported.
    driver.statusFailure = PORT_IO_ERROR;
    driver.clearLog();
    EXPECT_EQ(sendData(frame, 21), -1);
    EXPECT_EQ(driver.countCalls("txempty"), 1u);
}
