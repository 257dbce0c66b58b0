// The receive assembler against a plain reference that drops one byte at a time,
// exactly as the steps read: on mixed traffic both dispatch the same frames, in
// the same order, and hold the same number of bytes after every read.
// Checking a false frame start must leave the bytes it spans as they came.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
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
    std::vector<Bytes> dispatched;
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
                if (get_CRC(p_, DMX_CRC) == packet_getU16(p_ + DMX_CRC)) dispatched.emplace_back(p_, p_ + DMX_FRAME_SIZE);
            } else if (p_[3] == KIND_COMMAND) {
                const int n = packet_length(p_);
                if (received < n) return;
                const uint16_t sent = packet_getU16(p_ + PKT_CHECKSUM);
                packet_fillCrc(p_);
                const int len = p_[PKT_LEN];
                const uint8_t cmd = p_[PKT_DATA];
                const uint8_t service = p_[PKT_DATA + 1] & 0xF0;
                const bool taken = len >= 1 && (cmd == 1 || cmd == 2 ||
                                                (cmd == 3 && len > 1 && (service == 0x10 || service == 0x20)));
                const bool good = sent == packet_getU16(p_ + PKT_CHECKSUM);
                if (!good) packet_putU16(p_ + PKT_CHECKSUM, sent);
                if (good && taken) dispatched.emplace_back(p_, p_ + n);
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
            case 1: {
                Bytes data(1 + rng() % 90);
                for (auto& b : data) b = static_cast<uint8_t>(rng() % 4 == 0 ? SYNC0 : rng());
                data[0] = static_cast<uint8_t>(1 + rng() % 3);
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
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        recorder_install();
        packet_resetAssembler();
        ReferenceAssembler reference;
        const Bytes traffic = randomTraffic(rng, 60000);
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
        for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i].frame, reference.dispatched[i]) << "seed " << seed << " frame " << i;
    }
    packet_resetAssembler();
}

TEST(AssemblerReference, AFalseStartsCheckLeavesTheFrameBehindItWhole) {
    recorder_install();
    packet_resetAssembler();
    const Bytes good = commandFrame(0xFFFFFFFF, 0x12345678, {0x02, 0x00});
    // A frame cut after 7 bytes: its length byte is then byte 11 of the good
    // frame (0x12), so its check spans the good frame's source bytes 9 and 10.
    Bytes cut = commandFrame(0xFFFFFFFF, 0xCAFEBABE, {0x01, 0x09, 0x01, 0x02});
    cut.resize(7);
    Bytes traffic = cut;
    traffic.insert(traffic.end(), good.begin(), good.end());
    traffic.insert(traffic.end(), 20, 0x00);
    packet_receive(traffic.data(), static_cast<int32_t>(traffic.size()));
    ASSERT_EQ(recorder_frames().size(), 1u);
    EXPECT_EQ(recorder_frames()[0].frame, good);
    packet_resetAssembler();
}

}  // namespace
