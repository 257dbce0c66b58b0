// The receive assembler: good frames placed among noise that holds no sync
// pattern are each dispatched exactly once, in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bus/crc.h"
#include "bus/packet_parser.h"
#include "bus/packet_structures.h"

namespace {

std::vector<std::vector<uint8_t>> dispatched;

void record(uint8_t* frame) {
    const size_t n = frame[3] == KIND_COMMAND ? static_cast<size_t>(packet_length(frame)) : DMX_FRAME_SIZE;
    dispatched.emplace_back(frame, frame + n);
}

// Only the sync pattern may hold 0x91: then no frame start can hide elsewhere.
bool clean(const std::vector<uint8_t>& f) {
    for (size_t i = 3; i < f.size(); ++i)
        if (f[i] == SYNC0) return false;
    return true;
}

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t next() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PacketParsers parsers;
    parsers.dmxHouse = record;
    parsers.setup = record;
    parsers.discovery = record;
    parsers.identify = record;
    parsers.genUid = record;
    packet_setParsers(parsers);
    packet_resetAssembler();
    dispatched.clear();

    Reader in{data, size};
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> expected;
    while (in.n > 0) {
        const uint8_t op = in.next();
        if (op % 3 == 0) {  // noise
            const int count = in.next() % 40;
            for (int i = 0; i < count; ++i) {
                uint8_t b = in.next();
                if (b == SYNC0) b = 0;
                stream.push_back(b);
            }
        } else if (op % 3 == 1) {  // a command frame that goes to a parser
            const int len = 1 + in.next() % 40;
            std::vector<uint8_t> f(PKT_HEADER_SIZE + len);
            packet_fillHeader(f.data(), 0xFFFFFFFF);
            packet_putU32(f.data() + PKT_SRC, in.next() | in.next() << 8);
            f[PKT_LEN] = static_cast<uint8_t>(len);
            for (int i = 0; i < len; ++i) f[PKT_DATA + i] = in.next();
            f[PKT_DATA] = static_cast<uint8_t>(1 + f[PKT_DATA] % 2);  // setup or discovery
            packet_fillCrc(f.data());
            if (!clean(f)) continue;
            stream.insert(stream.end(), f.begin(), f.end());
            expected.push_back(f);
        } else {  // a DMX data frame
            std::vector<uint8_t> f(DMX_FRAME_SIZE);
            f[0] = SYNC0;
            f[1] = SYNC1;
            f[2] = SYNC2;
            f[3] = KIND_DMX_DATA;
            for (int i = 4; i < DMX_CRC; ++i) f[i] = in.next();
            packet_putU16(f.data() + DMX_CRC, get_CRC(f.data(), DMX_CRC));
            if (!clean(f)) continue;
            stream.insert(stream.end(), f.begin(), f.end());
            expected.push_back(f);
        }
    }
    // Fed in reads of any size, as the cable delivers them.
    size_t at = 0;
    size_t step = 1 + (size % 50);
    while (at < stream.size()) {
        const size_t n = std::min(step, stream.size() - at);
        packet_receive(stream.data() + at, static_cast<int32_t>(n));
        at += n;
        step = 1 + (step * 7 + 3) % 50;
    }
    if (dispatched != expected) std::abort();
    return 0;
}
