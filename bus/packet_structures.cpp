#include "bus/packet_structures.h"

uint32_t packet_getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void packet_putU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint16_t packet_getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void packet_putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void packet_fillHeader(uint8_t* frame, uint32_t destination) {
    packet_putU32(frame, COMMAND_WORD);
    packet_putU32(frame + PKT_DEST, destination);
    packet_putU32(frame + PKT_SRC, UID_ALL);
    // The reserved bytes are sent as 0: a stale buffer must not leak into the frame.
    packet_putU32(frame + PKT_RESERVED, 0);
    packet_putU16(frame + PKT_CHECKSUM, 0);
    frame[PKT_LEN] = 0;
}

void packet_fillDmxHeader(uint8_t* frame, uint8_t kind, uint16_t target) {
    frame[0] = SYNC0;
    frame[1] = SYNC1;
    frame[2] = SYNC2;
    frame[FRAME_KIND] = kind;
    packet_putU16(frame + DMX_TARGET, target);
}

void packet_fillData(uint8_t* frame, const uint8_t* src, uint8_t n) {
    // A frame holds at most 255 data bytes; more would run past its buffer.
    for (uint8_t i = 0; i < n && frame[PKT_LEN] < PKT_DATA_MAX; ++i) {
        frame[PKT_DATA + frame[PKT_LEN]] = src[i];
        frame[PKT_LEN] = static_cast<uint8_t>(frame[PKT_LEN] + 1);
    }
}

void packet_fillCrc(uint8_t* frame) {
    packet_putU16(frame + PKT_CHECKSUM, 0);
    uint32_t sum = 0;
    const int end = PKT_HEADER_SIZE + frame[PKT_LEN];
    for (int i = 0; i < end; ++i) sum += frame[i];
    packet_putU16(frame + PKT_CHECKSUM, static_cast<uint16_t>(sum));
}
