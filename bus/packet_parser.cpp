#include "bus/packet_parser.h"

#include <algorithm>
#include <cstring>

#include "bus/crc.h"
#include "bus/packet_structures.h"

// Threads: fed only from cable_response, under the cable lock; the parsers are
// installed once at start-up, before any thread feeds.

namespace {

uint8_t _packet[PACKET_BUFFER_SIZE];
int32_t received = 0;
PacketParsers parsers;

// Frame starts behind the front. A start at the front whose frame is not complete
// (a false start claiming 250 bytes, or a frame cut short) would otherwise hold
// back every good frame behind it until its own length has arrived; on a quiet
// bus that never happens. So a good frame behind the front is dispatched as soon
// as its last byte arrives, and its start is remembered so that the front does
// not dispatch it a second time when the sync step reaches it.
// Positions count bytes ever appended, so dropping bytes from the front moves none.
struct LaterStart {
    uint64_t at;   // position of its first sync byte
    uint64_t end;  // position just past its last byte; 0 while unknown
    bool dispatched;
};
constexpr int MAX_LATER = PACKET_BUFFER_SIZE / 3 + 1;  // sync patterns cannot overlap
LaterStart later[MAX_LATER];
int laterCount = 0;
uint64_t appended = 0;  // position just past the last byte held
// The length of the frame at the front while it is being collected, 0 when not
// known: bytes that cannot complete it need no other step.
int32_t frontNeed = 0;

uint64_t frontAt() { return appended - static_cast<uint64_t>(received); }

bool syncAt(int32_t i) { return _packet[i] == SYNC0 && _packet[i + 1] == SYNC1 && _packet[i + 2] == SYNC2; }

// Drops k front bytes in one move, the same as k single drops: bytes past
// `received` are always zero, so only the held ones need moving.
void dropFront(int32_t k) {
    if (k > received) k = received;
    if (k <= 0) return;
    frontNeed = 0;
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

// The frame's length from its kind (and length byte), 0 while not yet known,
// -1 when the kind is none of ours. `held` bytes of it are in the buffer.
int32_t frameLength(const uint8_t* f, int32_t held) {
    if (held < PKT_HEADER_SIZE) return 0;  // the kind counts only once 19 bytes are held
    if (f[FRAME_KIND] == KIND_DMX_DATA) return DMX_FRAME_SIZE;
    if (f[FRAME_KIND] == KIND_COMMAND) return packet_length(f);
    return -1;
}

// Checked without touching the bytes: they may belong to a frame around them.
bool isGood(const uint8_t* f) {
    if (f[FRAME_KIND] == KIND_DMX_DATA) return get_CRC(f, DMX_CRC) == packet_getU16(f + DMX_CRC);
    uint32_t sum = 0;
    const int n = packet_length(f);
    for (int i = 0; i < n; ++i) sum += f[i];
    sum -= f[PKT_CHECKSUM] + f[PKT_CHECKSUM + 1];
    return static_cast<uint16_t>(sum) == packet_getU16(f + PKT_CHECKSUM);
}

void dispatch(uint8_t* frame) {
    if (frame[FRAME_KIND] == KIND_DMX_DATA) {
        if (parsers.dmxHouse) parsers.dmxHouse(frame);
        return;
    }
    const int len = frame[PKT_LEN];
    if (len < 1) return;  // no command byte
    const uint8_t command = frame[PKT_DATA];
    ParseFn fn = nullptr;
    if (command == CMD_SETUP) {
        fn = parsers.setup;
    } else if (command == CMD_DISCOVERY) {
        fn = parsers.discovery;
    } else if (command == CMD_SERVICE && len > 1) {
        const uint8_t service = frame[PKT_SUB] & SERVICE_MASK;
        if (service == SUB_IDENTIFY) fn = parsers.identify;
        if (service == SUB_UID_CHANGE) fn = parsers.genUid;
    }
    if (fn) fn(frame);
}

bool dispatchedEarlier(uint64_t at) {
    for (int i = 0; i < laterCount; ++i)
        if (later[i].at == at) return later[i].dispatched;
    return false;
}

// Checks and dispatches the frame at the front if all its bytes are held.
// Returns false while the frame is still being collected.
bool completeFront() {
    const int32_t length = frameLength(_packet, received);
    if (length > 0 && received < length) {
        frontNeed = length;
        return false;
    }
    if (length > 0 && !(laterCount > 0 && dispatchedEarlier(frontAt())) && isGood(_packet)) dispatch(_packet);
    // Good or bad, only the first byte goes: a frame that follows is still found.
    shiftData();
    return true;
}

// Notes a sync pattern that just completed behind the front (the sync step
// has already brought any pattern it could to the front).
void noteLaterStart() {
    const int32_t i = received - 3;
    if (i <= 0 || !syncAt(i) || laterCount == MAX_LATER) return;
    later[laterCount++] = {appended - 3, 0, false};
}

// Dispatches the frames behind the front whose last byte just arrived, and
// forgets starts that cannot be frames or that the front has reached: the
// front handles those, and one dispatched here is complete, so the front
// took it in the same pass it reached it.
void completeLater() {
    const uint64_t front = frontAt();
    int kept = 0;
    for (int k = 0; k < laterCount; ++k) {
        LaterStart s = later[k];
        if (s.at <= front) continue;
        const int32_t i = static_cast<int32_t>(s.at - front);
        if (!s.dispatched) {
            if (s.end == 0) {
                const int32_t length = frameLength(_packet + i, received - i);
                if (length < 0) continue;
                if (length > 0) s.end = s.at + static_cast<uint64_t>(length);
            }
            if (s.end == appended) {
                if (!isGood(_packet + i)) continue;
                // A copy: the parsers may change what they get, and these bytes
                // may still belong to the frame at the front.
                uint8_t copy[PACKET_BUFFER_SIZE];
                std::memcpy(copy, _packet + i, static_cast<size_t>(s.end - s.at));
                dispatch(copy);
                s.dispatched = true;
            }
        }
        later[kept++] = s;
    }
    laterCount = kept;
}

}  // namespace

void packet_setParsers(const PacketParsers& p) { parsers = p; }

void shiftData() { dropFront(1); }

void appendByte(uint8_t c) {
    if (received > PACKET_BUFFER_SIZE - 1) shiftData();
    _packet[received++] = c;
    ++appended;
    if (received < frontNeed && laterCount == 0 && c != SYNC2) return;  // still collecting the front
    // A frame completes as soon as its length is held, even with more bytes
    // already behind it, and every complete frame behind it is taken at once:
    // otherwise a false frame start could leave the buffer full and stalled.
    for (;;) {
        if (received <= 3) break;
        if (!syncAt(0)) {
            dropFront(bytesBeforeSync());
            if (received <= 3) break;
        }
        if (received < PKT_HEADER_SIZE) break;
        if (!completeFront()) break;
    }
    if (laterCount > 0) completeLater();
    if (c == SYNC2) noteLaterStart();
}

void packet_receive(const uint8_t* data, int32_t n) {
    int32_t i = 0;
    while (i < n) {
        // Bytes that can neither complete the frame at the front nor start one
        // behind it go in at once, as appendByte would take them one by one.
        if (frontNeed > 0 && laterCount == 0) {
            int32_t take = std::min(frontNeed - 1 - received, n - i);
            if (take > 0) {
                const void* sync = std::memchr(data + i, SYNC2, static_cast<size_t>(take));
                if (sync) take = static_cast<int32_t>(static_cast<const uint8_t*>(sync) - (data + i));
            }
            if (take > 0) {
                std::memcpy(_packet + received, data + i, static_cast<size_t>(take));
                received += take;
                appended += static_cast<uint64_t>(take);
                i += take;
                continue;
            }
        }
        appendByte(data[i++]);
    }
}

int32_t packet_received() { return received; }

void packet_dropHeld() {
    std::memset(_packet, 0, sizeof _packet);
    received = 0;
    laterCount = 0;
    frontNeed = 0;
}

void packet_resetAssembler() { packet_dropHeld(); }
