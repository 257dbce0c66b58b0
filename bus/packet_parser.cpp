#include "bus/packet_parser.h"

#include <cstring>

#include "bus/crc.h"
#include "bus/packet_structures.h"

// Threads: fed only from cable_response, under the cable lock; the parsers are
// installed once at start-up, before any thread feeds.

namespace {

uint8_t _packet[PACKET_BUFFER_SIZE];
int32_t received = 0;
PacketParsers parsers;

bool syncAtFront() { return _packet[0] == SYNC0 && _packet[1] == SYNC1 && _packet[2] == SYNC2; }

// Drops k front bytes in one move, the same as k single drops: bytes past
// `received` are always zero, so only the held ones need moving.
void dropFront(int32_t k) {
    if (k > received) k = received;
    if (k <= 0) return;
    std::memmove(_packet, _packet + k, static_cast<size_t>(received - k));
    std::memset(_packet + received - k, 0, static_cast<size_t>(k));
    received -= k;
}

// How many front bytes the sync step drops: up to the next sync pattern, or
// down to three bytes when none is held.
int32_t bytesBeforeSync() {
    const int32_t last = received - 3;
    for (int32_t k = 0; k < last; ++k) {
        const uint8_t* p = static_cast<const uint8_t*>(std::memchr(_packet + k, SYNC0, static_cast<size_t>(last - k)));
        if (!p) break;
        k = static_cast<int32_t>(p - _packet);
        if (p[1] == SYNC1 && p[2] == SYNC2) return k;
    }
    return last;
}

void dispatchCommand(uint8_t* frame) {
    const int len = frame[PKT_LEN];
    if (len < 1) return;  // no command byte
    const uint8_t command = frame[PKT_DATA];
    ParseFn fn = nullptr;
    if (command == 1) {
        fn = parsers.setup;
    } else if (command == 2) {
        fn = parsers.discovery;
    } else if (command == 3 && len > 1) {
        const uint8_t service = frame[PKT_DATA + 1] & 0xF0;
        if (service == 0x20) fn = parsers.identify;
        if (service == 0x10) fn = parsers.genUid;
    }
    if (fn) fn(frame);
}

// Checks and dispatches the frame at the front if all its bytes are held.
// Returns false while the frame is still being collected.
bool completeFront() {
    const uint8_t kind = _packet[3];
    if (kind == KIND_DMX_DATA) {
        if (received < DMX_FRAME_SIZE) return false;
        const uint16_t crc = get_CRC(_packet, DMX_CRC);
        if (crc == packet_getU16(_packet + DMX_CRC) && parsers.dmxHouse) parsers.dmxHouse(_packet);
    } else if (kind == KIND_COMMAND) {
        if (received < packet_length(_packet)) return false;
        const uint16_t sent = packet_getU16(_packet + PKT_CHECKSUM);
        packet_fillCrc(_packet);
        if (sent == packet_getU16(_packet + PKT_CHECKSUM))
            dispatchCommand(_packet);
        else  // a false start's "checksum" bytes may be those of a real frame behind it
            packet_putU16(_packet + PKT_CHECKSUM, sent);
    }
    // Good or bad, only the first byte goes: a frame that follows is still found.
    shiftData();
    return true;
}

}  // namespace

void packet_setParsers(const PacketParsers& p) { parsers = p; }

void shiftData() { dropFront(1); }

void appendByte(uint8_t c) {
    if (received > PACKET_BUFFER_SIZE - 1) shiftData();
    _packet[received++] = c;
    // A frame completes as soon as its length is held, even with more bytes
    // already behind it, and every complete frame behind it is taken at once:
    // otherwise a false frame start could leave the buffer full and stalled.
    for (;;) {
        if (received <= 3) return;
        if (!syncAtFront()) {
            dropFront(bytesBeforeSync());
            if (received <= 3) return;
        }
        if (received <= 18) return;
        if (!completeFront()) return;
    }
}

void packet_receive(const uint8_t* data, int32_t n) {
    for (int32_t i = 0; i < n; ++i) appendByte(data[i]);
}

int32_t packet_received() { return received; }

void packet_resetAssembler() {
    std::memset(_packet, 0, sizeof _packet);
    received = 0;
}
