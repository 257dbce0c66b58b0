// The receive assembler: every good frame anywhere in the stream reaches the
// parse function its kind, command and service pick, exactly once, by the end
// of the read that brings its last byte, whatever comes before it; and after
// every read it holds the bytes that a plain assembler dropping one byte at a
// time holds. The stream mixes good frames (commands no parse function takes and
// frames without data included), noise, false frame starts (a sync pattern, a
// kind and a header whose length byte claims more than follows), frames cut
// short and frames with a byte flipped; noise and frame data may hold any byte,
// sync patterns included, so frames may also hide inside other frames or form
// by chance: those count as well.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bus/crc.h"
#include "bus/packet_parser.h"
#include "bus/packet_structures.h"

namespace {

using Frame = std::vector<uint8_t>;
using Taken = std::pair<std::string, Frame>;  // the parse function and its frame

std::vector<Taken> dispatched;

void record(const char* name, const uint8_t* f) {
    const size_t n = f[3] == KIND_COMMAND ? static_cast<size_t>(packet_length(f)) : static_cast<size_t>(DMX_FRAME_SIZE);
    dispatched.emplace_back(name, Frame(f, f + n));
}

// The parse function that takes a frame at p, or nullptr: the oracle, written
// from the frame layouts alone.
const char* takerAt(const std::vector<uint8_t>& s, size_t p, size_t* length) {
    if (s.size() - p < static_cast<size_t>(PKT_HEADER_SIZE)) return nullptr;
    const uint8_t* f = s.data() + p;
    if (f[0] != SYNC0 || f[1] != SYNC1 || f[2] != SYNC2) return nullptr;
    if (f[3] == KIND_DMX_DATA) {
        *length = DMX_FRAME_SIZE;
        return s.size() - p >= *length && get_CRC(f, DMX_CRC) == packet_getU16(f + DMX_CRC) ? "dmxHouse" : nullptr;
    }
    if (f[3] != KIND_COMMAND) return nullptr;
    *length = static_cast<size_t>(PKT_HEADER_SIZE) + f[PKT_LEN];
    if (s.size() - p < *length) return nullptr;
    uint16_t sum = 0;
    for (size_t i = 0; i < *length; ++i)
        if (i != PKT_CHECKSUM && i != PKT_CHECKSUM + 1) sum = static_cast<uint16_t>(sum + f[i]);
    if (sum != packet_getU16(f + PKT_CHECKSUM)) return nullptr;
    const int len = f[PKT_LEN];
    const uint8_t command = len >= 1 ? f[PKT_DATA] : 0;
    const uint8_t service = len > 1 ? f[PKT_DATA + 1] & 0xF0 : 0;
    return command == 1                      ? "setup"
           : command == 2                    ? "discovery"
           : command == 3 && service == 0x20 ? "identify"
           : command == 3 && service == 0x10 ? "genUid"
                                             : nullptr;
}

// What a plain assembler holds: it appends a byte, drops the front byte until a
// sync pattern leads, waits while the frame there is not complete, and otherwise
// drops one byte and looks again.
struct PlainHolding {
    Frame bytes;
    size_t front = 0;

    size_t held() const { return bytes.size() - front; }
    void append(uint8_t c) {
        if (held() > PACKET_BUFFER_SIZE - 1) ++front;
        bytes.push_back(c);
        while (held() > 3) {
            const uint8_t* f = bytes.data() + front;
            if (f[0] == SYNC0 && f[1] == SYNC1 && f[2] == SYNC2) {
                if (held() <= 18) return;
                const size_t length = f[3] == KIND_DMX_DATA  ? DMX_FRAME_SIZE
                                      : f[3] == KIND_COMMAND ? static_cast<size_t>(packet_length(f))
                                                             : 0;
                if (held() < length) return;
            }
            ++front;
        }
    }
};

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t next() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
};

Frame commandFrame(Reader& in) {
    const int len = in.next() % 91;
    Frame f(PKT_HEADER_SIZE + len);
    packet_fillHeader(f.data(), 0xFFFFFFFF);
    for (int i = PKT_SRC; i < PKT_SRC + 4; ++i) f[i] = in.next();
    f[PKT_LEN] = static_cast<uint8_t>(len);
    for (int i = 0; i < len; ++i) f[PKT_DATA + i] = in.next();
    if (len > 0) f[PKT_DATA] %= 5;  // 0 and 4 are nobody's commands
    packet_fillCrc(f.data());
    return f;
}

Frame dmxFrame(Reader& in) {
    Frame f(DMX_FRAME_SIZE);
    packet_fillDmxHeader(f.data(), KIND_DMX_DATA, 0);
    for (int i = 4; i < DMX_CRC; ++i) f[i] = in.next();
    packet_putU16(f.data() + DMX_CRC, get_CRC(f.data(), DMX_CRC));
    return f;
}

std::vector<uint8_t> makeStream(Reader& in) {
    std::vector<uint8_t> s;
    auto add = [&](const Frame& f) { s.insert(s.end(), f.begin(), f.end()); };
    while (in.n > 0) {
        switch (in.next() % 6) {
            case 0:  // noise: any byte
                for (int i = in.next() % 40; i > 0; --i) s.push_back(in.next());
                break;
            case 1: add(commandFrame(in)); break;
            case 2: add(dmxFrame(in)); break;
            case 3: {  // a false start: a header whose length byte claims up to 255 bytes
                Frame f = commandFrame(in);
                f.resize(PKT_HEADER_SIZE);
                f[PKT_LEN] = in.next();
                add(f);
                break;
            }
            case 4: {  // a frame cut short
                Frame f = in.next() & 1 ? dmxFrame(in) : commandFrame(in);
                f.resize(in.next() % f.size());
                add(f);
                break;
            }
            default: {  // a byte flipped anywhere, the length byte included
                Frame f = in.next() & 1 ? dmxFrame(in) : commandFrame(in);
                f[in.next() % f.size()] ^= static_cast<uint8_t>(1 + in.next() % 255);
                add(f);
                break;
            }
        }
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PacketParsers parsers;
    parsers.dmxHouse = [](uint8_t* f) { record("dmxHouse", f); };
    parsers.setup = [](uint8_t* f) { record("setup", f); };
    parsers.discovery = [](uint8_t* f) { record("discovery", f); };
    parsers.identify = [](uint8_t* f) { record("identify", f); };
    parsers.genUid = [](uint8_t* f) { record("genUid", f); };
    packet_setParsers(parsers);
    packet_resetAssembler();
    dispatched.clear();

    Reader in{data, size};
    const std::vector<uint8_t> stream = makeStream(in);

    // Every frame a parser takes, wherever it starts, by the position of its end.
    std::vector<std::pair<size_t, Taken>> due;
    for (size_t p = 0; p < stream.size(); ++p) {
        size_t length = 0;
        if (const char* taker = takerAt(stream, p, &length))
            due.push_back({p + length,
                           {taker, Frame(stream.begin() + static_cast<long>(p),
                                         stream.begin() + static_cast<long>(p + length))}});
    }
    std::sort(due.begin(), due.end());

    // Fed in reads of any size, as the cable delivers them; after each read the
    // frames dispatched are exactly those whose last byte has arrived, and the
    // bytes held are the plain assembler's. `owed` counts, per frame and parse
    // function, due minus dispatched; every count must be back to 0.
    std::map<Taken, int> owed;
    int unsettled = 0;
    auto settle = [&](const Taken& f, int by) {
        int& n = owed[f];
        if (n == 0) ++unsettled;
        n += by;
        if (n == 0) --unsettled;
    };
    size_t at = 0;
    size_t step = 1 + (size % 50);
    size_t next = 0;
    size_t seen = 0;
    PlainHolding plain;
    while (at < stream.size()) {
        const size_t n = std::min(step, stream.size() - at);
        packet_receive(stream.data() + at, static_cast<int32_t>(n));
        for (const size_t end = at + n; at < end; ++at) plain.append(stream[at]);
        step = 1 + (step * 7 + 3) % 50;
        for (; next < due.size() && due[next].first <= at; ++next) settle(due[next].second, +1);
        for (; seen < dispatched.size(); ++seen) settle(dispatched[seen], -1);
        if (unsettled != 0 || static_cast<size_t>(packet_received()) != plain.held()) std::abort();
    }
    return 0;
}
