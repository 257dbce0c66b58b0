// The ftdi module's sequences on the scripted driver.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bus/ftdi.h"
#include "bus/timer.h"
#include "tests/support/script_driver.h"
#include "tests/support/frames.h"

using Ftdi = ScriptedBus;
using Calls = std::vector<std::string>;

TEST_F(Ftdi, FailedOpenLeavesThePortClosedAndSaysSoOnce) {
    driver.openStatus = PORT_DEVICE_NOT_FOUND;
    const std::string lines =
        "Error FT_OpenEx(2), device 0\n"
        "Use lsmod to check if ftdi_sio (and usbserial) are present.\n"
        "If so, unload them using rmmod, as they conflict with ftd2xx.\n";
    std::string out = captureStdout([] { EXPECT_EQ(openDeviceFTDI(0), -1); });
    EXPECT_EQ(out, lines);
    EXPECT_EQ(getOpenDevice(), -1);
    // The next tries are quiet.
    out = captureStdout([] {
        EXPECT_EQ(openDevice(0), -1);
        EXPECT_EQ(cable_open(), -1);
    });
    EXPECT_EQ(out, "");

    // A listing failure is new: it is reported on standard error, once; the
    // start-up listing, like a failed version query, prints nothing.
    driver.listStatus = PORT_IO_ERROR;
    driver.versionStatus = PORT_OTHER_ERROR;
    testing::internal::CaptureStderr();
    EXPECT_EQ(openDeviceFTDI(0), 1);
    EXPECT_EQ(openDeviceFTDI(0), 1);
    EXPECT_EQ(captureStdout([] {
                  EXPECT_EQ(printLibVersion(), 0u);
                  printDeviceList();
              }),
              "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: FT_ListDevices(4)\n");

    driver.listStatus = PORT_OK;

    // The driver's reason goes with the lines, and a new reason, or a new
    // status, is news: the lines come again, once.
    driver.error = "no access to the USB device";
    out = captureStdout([] {
        openDevice(0);
        openDevice(0);
    });
    EXPECT_EQ(out, lines + "Cause: no access to the USB device\n");
    driver.openStatus = PORT_DEVICE_NOT_OPENED;
    EXPECT_EQ(captureStdout([] { openDevice(0); }).rfind("Error FT_OpenEx(3), device 0\n", 0), 0u);
    driver.openStatus = PORT_OK;
    openDevice(0);
    char text[128];
    EXPECT_FALSE(getOpenError(text, sizeof text));
}

TEST_F(Ftdi, ReadsBreaksAndRefusals) {
    uint8_t buffer[8];
    std::memset(buffer, 0xCC, sizeof buffer);
    EXPECT_EQ(getResponse(buffer, 8), -2);  // closed
    for (uint8_t b : buffer) EXPECT_EQ(b, 0);

    // The break is a 0x00 at a lower rate; each drain waits, then asks until the line is empty.
    ASSERT_EQ(openDevice(0), 0);
    driver.clearLog();
    driver.txPending = 2;  // two queries see bytes still on the wire
    const uint8_t frame[21] = {0x91, 0x29, 0xA9, 0xFD};
    const int64_t before = tim_nowUs();
    EXPECT_EQ(sendData(frame, 21), 21);
    const int64_t took = tim_nowUs() - before;
    EXPECT_EQ(driver.calls(), (Calls{"configure 15625", "write 1", "txempty", "txempty", "txempty", "configure 250000",
                                     "write 21", "txempty", "txempty", "txempty"}));
    // Three 5 ms waits for the break, three 4.4 ms waits for the frame.
    EXPECT_GE(took, 3 * 5000 + 3 * 4400);

    // A failing status query ends the drain wait, and the write's failure is reported.
    driver.statusFailure = PORT_IO_ERROR;
    driver.clearLog();
    EXPECT_EQ(sendData(frame, 21), -1);
    EXPECT_EQ(driver.calls(), (Calls{"configure 15625", "write 1", "txempty"}));
    driver.statusFailure = PORT_OK;

    // A read that fails after bytes were counted: a pulled cable, not silence.
    ASSERT_EQ(openDevice(0), 0);
    driver.feed({7});
    driver.readStatus = PORT_IO_ERROR;
    EXPECT_EQ(getResponse(buffer, 8), -1);
    EXPECT_EQ(getOpenDevice(), -1) << "the dead port stays open";
}
