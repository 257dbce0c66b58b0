// The receive assembler: framing, checking and dispatch by kind and command.
#include <gtest/gtest.h>

#include <random>

#include "bus/packet_parser.h"
#include "bus/packet_structures.h"
#include "tests/support/frames.h"

namespace {

class Assembler : public ::testing::Test {
protected:
    void SetUp() override {
        packet_resetAssembler();
        recorder_install();
    }
    static void feed(const Bytes& b) { packet_receive(b.data(), static_cast<int32_t>(b.size())); }
    static std::vector<std::string> parsers() {
        std::vector<std::string> names;
        for (const auto& d : recorder_frames()) names.push_back(d.parser);
        return names;
    }
};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kSetupAnswer = commandFrame(0xFFFFFFFF, 0x1234, {0x01, 0x09, 0x01, 0x02});

}  // namespace

TEST_F(Assembler, DispatchesByKindAndCommand) {
    const Bytes dmx = dmxFrame(0x01, {0x53});
    feed(cat({dmx,
              kSetupAnswer,
              commandFrame(0xFFFFFFFF, 1, {0x02, 0x00}),
              commandFrame(0xFFFFFFFF, 1, {0x03, 0x20, 0x00}),
              commandFrame(0xFFFFFFFF, 1, {0x03, 0x2F, 0x00}),
              commandFrame(0xFFFFFFFF, 1, {0x03, 0x11, 0x00}),
              commandFrame(0xFFFFFFFF, 1, {0x03, 0x30, 0x00}),  // no such service
              commandFrame(0xFFFFFFFF, 1, {0x03}),              // command 3 with L = 1
              commandFrame(0xFFFFFFFF, 1, {0x04, 0x00}),        // unknown command
              commandFrame(0xFFFFFFFF, 1, {}),                  // L = 0: no command
              dmxFrame(0xFE, {1, 2, 3}),                        // not ours to receive
              kSetupAnswer}));
    EXPECT_EQ(parsers(), (std::vector<std::string>{"dmx", "setup", "discovery", "identify", "identify",
                                                    "genUid", "setup"}));
    EXPECT_EQ(recorder_frames()[1].frame, kSetupAnswer);
    EXPECT_EQ(recorder_frames()[0].frame, dmx);
}

TEST_F(Assembler, NoiseSplitsAndBadFrames) {
    // Noise before a frame, and the frame split down to single bytes.
    Bytes stream = cat({{0x00, 0x91, 0x29, 0x13, 0xA9, 0xFF}, kSetupAnswer});
    for (uint8_t b : stream) feed({b});
    ASSERT_EQ(recorder_frames().size(), 1u);

    // Every split point of two frames back to back.
    const Bytes two = cat({kSetupAnswer, dmxFrame(0x01, {0x53, 0x00, 0x43})});
    for (size_t cut = 1; cut < two.size(); ++cut) {
        recorder_frames().clear();
        feed(Bytes(two.begin(), two.begin() + static_cast<long>(cut)));
        feed(Bytes(two.begin() + static_cast<long>(cut), two.end()));
        ASSERT_EQ(parsers(), (std::vector<std::string>{"setup", "dmx"})) << "cut at " << cut;
    }

    // One flipped data byte: dropped, and the good frame right behind it is found.
    recorder_frames().clear();
    Bytes bad = kSetupAnswer;
    bad[PKT_DATA + 2] ^= 0x01;
    Bytes badDmx = dmxFrame(0x01, {0x53});
    badDmx[40] ^= 0x80;
    feed(cat({bad, badDmx, kSetupAnswer}));
    EXPECT_EQ(parsers(), (std::vector<std::string>{"setup"}));

    // A bogus kind byte with 30 more bytes, then a good frame.
    recorder_frames().clear();
    Bytes bogus = {0x91, 0x29, 0xA9, 0x02};
    bogus.resize(34, 0x55);
    feed(cat({bogus, kSetupAnswer}));
    EXPECT_EQ(parsers(), (std::vector<std::string>{"setup"}));
}

TEST_F(Assembler, SyncPatternInsideDataNeverStallsLaterFrames) {
    // A frame whose data holds a sync pattern and a command kind with a long
    // length: after the real frame it is taken as a start that claims 19 + 200
    // bytes. Every later good frame must still be dispatched, and none twice.
    Bytes data = {0x01, 0x09, 0x01, 0x91, 0x29, 0xA9, 0xFD};
    data.resize(30, 0x00);
    data[3 + 18] = 200;
    const Bytes trap = commandFrame(0xFFFFFFFF, 0x77, data);
    feed(trap);
    ASSERT_EQ(parsers().size(), 1u);

    std::mt19937 rng(7);
    int sent = 0;
    for (int i = 0; i < 40; ++i) {
        const uint8_t value = static_cast<uint8_t>(rng() % 3);
        feed(commandFrame(0xFFFFFFFF, 0x1000u + i, {0x01, 0x09, 0x01, value}));
        ++sent;
    }
    ASSERT_EQ(recorder_frames().size(), 1u + sent);
    for (int i = 0; i < sent; ++i)
        EXPECT_EQ(packet_source(recorder_frames()[1 + i].frame.data()), 0x1000u + i);
    // Nothing is left half-collected once the traffic stops.
    EXPECT_LE(packet_received(), 3);
}

TEST_F(Assembler, FullBufferDropsTheOldestByte) {
    Bytes junk(600, 0x91);  // never a sync pattern on its own
    feed(junk);
    EXPECT_LE(packet_received(), PACKET_BUFFER_SIZE);
    feed(kSetupAnswer);
    EXPECT_EQ(parsers(), (std::vector<std::string>{"setup"}));
}
