// The setup answer parser and the button-state parser never read outside the
// frame (each frame sits in a buffer of exactly its size, under AddressSanitizer),
// confirm exactly the answers they should, and never add a record to the table.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/app_setup.h"
#include "bus/packet_structures.h"
#include "devices/devices.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);  // the parsers' own lines
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    dev_removeAll();
    if (data[0] & 1) {
        // A DMX data frame: exactly 76 bytes.
        std::unique_ptr<uint8_t[]> frame(new uint8_t[DMX_FRAME_SIZE]());
        std::memcpy(frame.get(), data + 1, std::min<size_t>(size - 1, DMX_FRAME_SIZE));
        addDevUID(1);
        app_setup_parseDmxHouse(frame.get());
        if (dev_count() != 1) std::abort();
        return 0;
    }
    // A command frame of 19 + L bytes, L from the input.
    const size_t len = std::min<size_t>(size - 1, 255);
    std::unique_ptr<uint8_t[]> frame(new uint8_t[PKT_HEADER_SIZE + len]);
    packet_fillHeader(frame.get(), UID_ALL);
    packet_putU32(frame.get() + PKT_SRC, 0x1234);
    frame[PKT_LEN] = static_cast<uint8_t>(len);
    std::memcpy(frame.get() + PKT_DATA, data + 1, len);
    // Listed and asked, or neither: either way no answer ever adds a record.
    if (data[0] & 2) {
        addDevUID(0x1234);
        app_setup_records().asked = 0x1234;
    } else {
        app_setup_records().asked = 0;
    }
    const int listed = dev_count();
    app_setup_records().rec = 0;
    app_setup_parse(frame.get());
    const bool answer = len > 2 && frame[PKT_DATA] == 1;
    if ((app_setup_records().rec == 0x1234) != answer) std::abort();
    if (dev_count() != listed) std::abort();
    return 0;
}
