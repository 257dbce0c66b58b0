// Check values and frame building.
#include <gtest/gtest.h>

#include <cstring>

#include "bus/crc.h"
#include "bus/packet_structures.h"

// Appending (genUid builds its request in two calls): Services.UidChange.
TEST(CommandFrame, CrcHeaderChecksumAndTheLastDataByte) {
    // The DMX frames' CRC: Kermit's check value, stored little-endian.
    uint8_t frame[PKT_MAX_SIZE + 8];
    packet_putU16(frame, get_CRC(reinterpret_cast<const uint8_t*>("123456789"), 9));
    EXPECT_EQ(frame[0], 0x89);
    EXPECT_EQ(frame[1], 0x21);

    std::memset(frame, 0xEE, sizeof frame);  // stale bytes must not leak into the header
    packet_fillHeader(frame, 0xFFFFFFFF);
    EXPECT_EQ(packet_getU32(frame), 0xFDA92991u);
    EXPECT_EQ(packet_getU32(frame + PKT_RESERVED), 0u);
    EXPECT_EQ(frame[PKT_LEN], 0);
    packet_fillCrc(frame);
    EXPECT_EQ(frame[16], 0x58);
    EXPECT_EQ(frame[17], 0x0A);

    // L = 255: 274 bytes summing to 0x10566, of which the low 16 bits are kept.
    packet_fillHeader(frame, 0x01020304);
    for (int i = 0; i < 255; ++i) frame[PKT_DATA + i] = 0xFF;
    frame[PKT_LEN] = 255;
    packet_fillCrc(frame);
    EXPECT_EQ(packet_getU16(frame + 16), 0x0566);

    // Past 255 data bytes nothing more is written: the buffer holds 274 bytes.
    packet_fillHeader(frame, 7);
    const uint8_t a[] = {1, 2, 3};
    packet_fillData(frame, a, 3);
    uint8_t many[255];
    std::memset(many, 0xAB, sizeof many);
    frame[PKT_MAX_SIZE] = 0x5A;
    packet_fillData(frame, many, 255);
    EXPECT_EQ(frame[PKT_LEN], 255);
    EXPECT_EQ(frame[PKT_MAX_SIZE], 0x5A);
}
