#include "tests/support/frames.h"

#include "bus/crc.h"
#include "bus/packet_structures.h"

Bytes commandFrame(uint32_t destination, uint32_t source, const Bytes& data) {
    Bytes f(PKT_HEADER_SIZE + data.size());
    packet_fillHeader(f.data(), destination);
    packet_putU32(f.data() + PKT_SRC, source);
    f[PKT_LEN] = static_cast<uint8_t>(data.size());
    for (size_t i = 0; i < data.size(); ++i) f[PKT_DATA + i] = data[i];
    packet_fillCrc(f.data());
    return f;
}

Bytes dmxFrame(uint8_t kind, const Bytes& body) {
    Bytes f(DMX_FRAME_SIZE, 0);
    packet_fillDmxHeader(f.data(), kind, 0);
    for (size_t i = 0; i < body.size() && DMX_BODY + i < DMX_CRC; ++i) f[DMX_BODY + i] = body[i];
    packet_putU16(f.data() + DMX_CRC, get_CRC(f.data(), DMX_CRC));
    return f;
}

namespace {
std::vector<Dispatched> frames;

void record(const char* parser, const uint8_t* frame) {
    const size_t n =
        frame[3] == 0xFD ? static_cast<size_t>(PKT_HEADER_SIZE + frame[PKT_LEN]) : static_cast<size_t>(DMX_FRAME_SIZE);
    frames.push_back({parser, Bytes(frame, frame + n)});
}
}  // namespace

void recorder_install() {
    frames.clear();
    PacketParsers p;
    p.dmxHouse = [](uint8_t* f) { record("dmx", f); };
    p.setup = [](uint8_t* f) { record("setup", f); };
    p.discovery = [](uint8_t* f) { record("discovery", f); };
    p.identify = [](uint8_t* f) { record("identify", f); };
    p.genUid = [](uint8_t* f) { record("genUid", f); };
    packet_setParsers(p);
}

std::vector<Dispatched>& recorder_frames() { return frames; }
