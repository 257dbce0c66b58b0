// The libftdi1 driver where no cable can be reached (no device, or no USB
// access at all): clean refusals, never a crash.
#include <memory>

#include <gtest/gtest.h>

#include "bus/port/port.h"

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
