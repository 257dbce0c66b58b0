// The receive assembler against a plain reference that drops one byte at a time,
// exactly as the steps read: on mixed traffic (noise, every kind and command,
// frames cut short, flipped or hiding a sync pattern, reads of any size) both
// hand the same frames to the same parse functions, in the same order, and hold
// the same number of bytes after every read. That a frame behind a false start
// is not held back until the start's claimed length arrives is the fuzz
// target's property (fuzz/fuzz_assembler.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bus/crc.h"
#include "bus/packet_parser.h"
#include "bus/packet_structures.h"
#include "tests/support/frames.h"

namespace {

// The reference: a 276-byte buffer, whole-buffer shifts, one dropped byte per pass.
class ReferenceAssembler {
public:
    std::vector<Dispatched> dispatched;
    int received = 0;

    void receive(const Bytes& bytes) {
        for (uint8_t c : bytes) append(c);
    }

private:
    uint8_t p_[PACKET_BUFFER_SIZE] = {};

    void shift() {
        if (received <= 0) return;
        std::memmove(p_, p_ + 1, PACKET_BUFFER_SIZE - 1);
        p_[PACKET_BUFFER_SIZE - 1] = 0;
        --received;
    }
    void append(uint8_t c) {
        if (received > PACKET_BUFFER_SIZE - 1) shift();
        p_[received++] = c;
        for (;;) {
            if (received <= 3) return;
            while (!(p_[0] == SYNC0 && p_[1] == SYNC1 && p_[2] == SYNC2)) {
                shift();
                if (received <= 3) return;
            }
            if (received <= 18) return;
            if (p_[3] == KIND_DMX_DATA) {
                if (received < DMX_FRAME_SIZE) return;
                if (get_CRC(p_, DMX_CRC) == packet_getU16(p_ + DMX_CRC))
                    dispatched.push_back({"dmx", Bytes(p_, p_ + DMX_FRAME_SIZE)});
            } else if (p_[3] == KIND_COMMAND) {
                const int n = packet_length(p_);
                if (received < n) return;
                uint16_t sum = 0;
                for (int i = 0; i < n; ++i)
                    if (i != PKT_CHECKSUM && i != PKT_CHECKSUM + 1) sum = static_cast<uint16_t>(sum + p_[i]);
                const int len = p_[PKT_LEN];
                const uint8_t cmd = len >= 1 ? p_[PKT_DATA] : 0;
                const uint8_t service = len > 1 ? p_[PKT_DATA + 1] & 0xF0 : 0;
                const char* parser = cmd == 1 ? "setup" : cmd == 2 ? "discovery"
                                   : cmd == 3 && service == 0x20 ? "identify"
                                   : cmd == 3 && service == 0x10 ? "genUid" : nullptr;
                if (sum == packet_getU16(p_ + PKT_CHECKSUM) && parser) dispatched.push_back({parser, Bytes(p_, p_ + n)});
            }
            shift();
        }
    }
};

Bytes randomTraffic(std::mt19937& rng, size_t size) {
    Bytes out;
    auto add = [&](const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); };
    while (out.size() < size) {
        const uint32_t uid = rng();
        switch (rng() % 8) {
            case 0: {
                Bytes body(64);
                for (auto& b : body) b = static_cast<uint8_t>(rng());
                add(dmxFrame(KIND_DMX_DATA, body));
                break;
            }
            case 1: {  // any command (0 and 4 are nobody's), any service, data length 0 included
                Bytes data(rng() % 91);
                for (auto& b : data) b = static_cast<uint8_t>(rng() % 4 == 0 ? SYNC0 : rng());
                if (!data.empty()) data[0] = static_cast<uint8_t>(rng() % 5);
                if (data.size() > 1 && rng() % 2) data[1] = static_cast<uint8_t>(0x10 + rng() % 0x20);
                add(commandFrame(0xFFFFFFFF, uid, data));
                break;
            }
            case 2:
                add(commandFrame(0xFFFFFFFF, uid, {0x03, 0x20, 0x00}));
                break;
            case 3: {  // a frame cut short
                Bytes f = commandFrame(0xFFFFFFFF, uid, {0x01, 0x09, 0x01, 0x02, 0x0A, 0x01, 0x05});
                f.resize(rng() % f.size());
                add(f);
                break;
            }
            case 4: {  // a flipped byte anywhere, sync and length included
                Bytes f = commandFrame(0xFFFFFFFF, uid, {0x02, 0x00});
                f[rng() % f.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
                add(f);
                break;
            }
            case 5: {  // sync patterns with unknown kinds, and noise
                add({SYNC0, SYNC1, SYNC2, static_cast<uint8_t>(rng())});
                for (int i = rng() % 40; i > 0; --i) out.push_back(static_cast<uint8_t>(rng()));
                break;
            }
            case 6: {  // a long command frame whose data holds a sync pattern
                Bytes data(200, 0x00);
                data[0] = 0x01;
                data[50] = SYNC0;
                data[51] = SYNC1;
                data[52] = SYNC2;
                data[53] = KIND_COMMAND;
                add(commandFrame(0xFFFFFFFF, uid, data));
                break;
            }
            default:
                for (int i = rng() % 300; i > 0; --i) out.push_back(rng() % 2 ? SYNC0 : static_cast<uint8_t>(rng()));
                break;
        }
    }
    return out;
}

TEST(AssemblerReference, SameFramesAndSameHoldingOnMixedTraffic) {
    std::set<std::string> parsers;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        recorder_install();
        packet_resetAssembler();
        ReferenceAssembler reference;
        // Filler as long as the buffer at the end: the reference holds back the
        // frames behind a false start until the start's claimed length has
        // come, so both have dispatched the same only once every start is settled.
        Bytes traffic = randomTraffic(rng, 60000);
        traffic.insert(traffic.end(), PACKET_BUFFER_SIZE, 0x00);
        for (size_t at = 0; at < traffic.size();) {
            const size_t n = std::min<size_t>(traffic.size() - at, 1 + rng() % 50);
            const Bytes read(traffic.begin() + static_cast<long>(at), traffic.begin() + static_cast<long>(at + n));
            packet_receive(read.data(), static_cast<int32_t>(n));
            reference.receive(read);
            at += n;
            ASSERT_EQ(packet_received(), reference.received) << "seed " << seed << " after byte " << at;
        }
        const auto& got = recorder_frames();
        ASSERT_EQ(got.size(), reference.dispatched.size()) << "seed " << seed;
        ASSERT_GT(got.size(), 100u);
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].parser, reference.dispatched[i].parser) << "seed " << seed << " frame " << i;
            ASSERT_EQ(got[i].frame, reference.dispatched[i].frame) << "seed " << seed << " frame " << i;
            parsers.insert(got[i].parser);
        }
    }
    EXPECT_EQ(parsers.size(), 5u) << "the traffic reaches every parse function";
    packet_resetAssembler();
}

}  // namespace
