// The virtual panels where the configurator's own tests cannot see: faults,
// transmissions they must ignore, wire timing, the pty framer. The pty server
// answering on its terminal: PtyEndToEnd (pty_discovery_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>

#include "bus/crc.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"
#include "panels/pty_server.h"
#include "panels/virtual_bus.h"
#include "tests/support/frames.h"

namespace {

Bytes readSetup(uint32_t uid) { return commandFrame(uid, UID_ALL, {0x01}); }

Bytes dmxChunk(uint8_t kind, uint16_t index, const uint8_t* body) {
    Bytes f = dmxFrame(kind, body ? Bytes(body, body + DMX_BODY_SIZE) : Bytes{});
    packet_putU16(&f[DMX_CHUNK], index);
    packet_putU16(&f[DMX_CRC], get_CRC(f.data(), DMX_CRC));
    return f;
}

// What the configurator's receiver takes from a byte stream.
std::vector<Dispatched> accepted(const Bytes& stream) {
    recorder_install();
    packet_resetAssembler();
    packet_receive(stream.data(), static_cast<int32_t>(stream.size()));
    std::vector<Dispatched> got = recorder_frames();
    packet_setParsers({});
    return got;
}

// Drives the bus as the port layer does: the break as 0x00 at 15625 baud, the
// frame at 250000, every write drained.
struct Line {
    VirtualBus& bus;

    explicit Line(VirtualBus& b) : bus(b) { EXPECT_EQ(open(), PORT_OK); }
    int open() {
        if (int st = bus.open(VirtualBus::SERIAL)) return st;
        return bus.configure(250000);
    }
    void send(const Bytes& frame, bool withBreak = true, uint32_t baud = 250000) {
        if (withBreak) send({0}, false, 15625);
        uint32_t n = 0;
        bool empty = false;
        bus.configure(baud);
        bus.write(frame.data(), static_cast<uint32_t>(frame.size()), &n);
        int steps = 0;  // of virtual time: any frame here leaves within a second
        do tim_advanceUs(100);
        while (bus.transmitEmpty(&empty) == PORT_OK && !empty && ++steps < 10000);
        EXPECT_TRUE(empty) << "the line never emptied";
    }
    Bytes listen(int64_t us) {  // each query costs virtual time
        Bytes got;
        for (const int64_t end = tim_nowUs() + us; tim_nowUs() < end;) {
            uint8_t buf[300];
            uint32_t rx = 0, n = 0;
            if (bus.bytesWaiting(&rx) != PORT_OK) break;
            if (rx > 0 && bus.read(buf, sizeof buf, &n) == PORT_OK) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    Bytes ask(const Bytes& frame, int64_t us = 20000) {
        send(frame);
        return listen(us);
    }
};

}  // namespace

// The fault kinds no configurator test pins down (silent, answerEvery,
// noMuteConfirm and collisions on compares are: Setup.*, Discovery.*): their
// answers reach the line, but no frame the receiver takes. Then what a panel
// must ignore, and firmware chunks (whole images, reboots and chunks counted:
// Services.FirmwareImageArrivesWhole).
TEST(VirtualPanels, FaultsCollisionsAndWhatIsNotForThem) {
    VirtualBus bus;
    Line line(bus);
    bus.addPanel(0x400).faults.corruptAnswers = true;
    bus.addPanel(0x401).faults.brief = true;
    VirtualPanel& first = bus.addPanel(0x777);
    VirtualPanel& second = bus.addPanel(0x777);  // two panels with one UID: both answer
    second.intensity = 2;
    for (uint32_t uid : {0x400u, 0x401u, 0x777u}) {
        const Bytes heard = line.ask(readSetup(uid));
        EXPECT_FALSE(heard.empty()) << std::hex << uid;
        EXPECT_TRUE(accepted(heard).empty()) << std::hex << uid;
    }
    EXPECT_EQ(first.setupReads + second.setupReads, 2);

    // Line noise: random, but the same for the same seed.
    auto noiseOf = [](uint32_t seed) {
        VirtualBus noisy;
        noisy.setLineNoise(2000, seed);
        return Line(noisy).listen(50000);
    };
    const Bytes noise = noiseOf(5);
    EXPECT_GT(noise.size(), 20u);
    EXPECT_EQ(noise, noiseOf(5));
    EXPECT_NE(noise, noiseOf(6));

    VirtualPanel& p = bus.addPanel(0x5000);
    Bytes badSum = readSetup(0x5000);
    badSum[PKT_CHECKSUM] ^= 0x01;
    const struct {
        Bytes frame;
        bool withBreak;
        uint32_t baud;
    } cases[] = {
        {readSetup(0x5000), false, 250000},  // no break
        {badSum, true, 250000},
        {commandFrame(0x5000, 0x6000, {0x01}), true, 250000},  // from a panel
        {readSetup(0x5000), true, 15625},                      // at the break's baud rate
    };
    for (const auto& c : cases) {
        line.send(c.frame, c.withBreak, c.baud);
        EXPECT_TRUE(line.listen(40000).empty()) << &c - cases;
    }
    EXPECT_EQ(p.setupReads, 0);
    for (size_t i = 0; i + 1 < bus.panelCount(); ++i) bus.panelAt(i).faults.silent = true;  // all but p
    EXPECT_EQ(accepted(line.ask(readSetup(UID_ALL))).size(), 1u);                           // addressed to all
    EXPECT_EQ(p.setupReads, 1);

    const uint8_t body[DMX_BODY_SIZE] = {7, 8, 9};
    line.send(dmxChunk(KIND_FW_CHUNK, 0, body));
    Bytes bad = dmxChunk(KIND_FW_CHUNK, 0, nullptr);
    bad[DMX_CRC] ^= 1;
    line.send(bad);
    EXPECT_EQ(p.chunkFrames, 1);
    EXPECT_EQ(p.firmwareImage(), Bytes(body, body + DMX_BODY_SIZE));
    EXPECT_TRUE(line.listen(20000).empty());
}

TEST(VirtualBus, WireTimingReportsAndAVanishedCable) {
    VirtualBus bus;
    bus.addPanel(0x123).faults.answerDelayUs = 5000;
    Line line(bus);
    uint32_t rx = 0, n = 0, count = 9;
    bool empty = true;
    const uint8_t zero = 0;
    bus.configure(15625);
    bus.write(&zero, 1, &n);
    bus.transmitEmpty(&empty);
    EXPECT_FALSE(empty);
    tim_advanceUs(704);  // the break's length on the wire
    bus.transmitEmpty(&empty);
    EXPECT_TRUE(empty);
    bus.configure(250000);
    const Bytes frame = readSetup(0x123);
    bus.write(frame.data(), static_cast<uint32_t>(frame.size()), &n);
    const int64_t wireEnd = tim_nowUs() + 20 * 44;
    bus.transmitEmpty(&empty);
    EXPECT_FALSE(empty);
    while (tim_nowUs() < wireEnd + 5000 - 100) {
        bus.bytesWaiting(&rx);
        ASSERT_EQ(rx, 0u);
    }
    bus.transmitEmpty(&empty);
    EXPECT_TRUE(empty);
    EXPECT_EQ(accepted(line.listen(10000)).size(), 1u);

    // Reports wait for a quiet line: amid exchanges one could pass for an answer.
    VirtualPanel& reporter = bus.addPanel(0x456);
    reporter.btn[2] = ButtonSetup{1, 0x0010};
    reporter.faults.reportEveryUs = 3000000;
    const auto reports = accepted(line.listen(7000000));
    ASSERT_EQ(reports.size(), 2u);
    for (const auto& r : reports) EXPECT_EQ(r.parser, "dmx");
    for (int i = 0; i < 80; ++i)
        for (const auto& r : accepted(line.ask(readSetup(0x123), 50000))) EXPECT_EQ(r.parser, "setup");
    EXPECT_EQ(reporter.reportCount, 2);
    EXPECT_EQ(accepted(line.listen(1000000)).size(), 1u);  // the one held back

    PortDeviceInfo listed[1];
    bus.setCableVanished(true);
    EXPECT_NE(bus.list(listed, 1, &count), PORT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(bus.open(VirtualBus::SERIAL), PORT_OK);
    bus.setCableVanished(false);
    EXPECT_NE(bus.bytesWaiting(&rx), PORT_OK);  // the old port stays dead
    ASSERT_EQ(bus.list(listed, 1, &count), PORT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(listed[0].serial, VirtualBus::SERIAL);
    ASSERT_EQ(line.open(), PORT_OK);
    EXPECT_EQ(accepted(line.ask(readSetup(0x123))).size(), 1u);
    EXPECT_NE(bus.open(VirtualBus::SERIAL), PORT_OK);  // already open
}

TEST(PtyFramer, FindsBreaksInAStreamWithoutTiming) {
    const Bytes read = readSetup(0x11);
    Bytes bent = read;
    bent[PKT_DATA] ^= 0x40;
    uint8_t body[DMX_BODY_SIZE];
    for (int i = 0; i < DMX_BODY_SIZE; ++i) body[i] = static_cast<uint8_t>(i == 5 ? 0 : 0x91 + i);
    const Bytes chunk = dmxChunk(KIND_FW_CHUNK, 9, body);
    Bytes stream;
    auto add = [&](bool withBreak, const Bytes& b) {
        if (withBreak) stream.push_back(0);
        stream.insert(stream.end(), b.begin(), b.end());
    };
    add(true, Bytes(513, 0));  // a console frame of all zeros
    add(true, {0});            // a break without a frame, then a break
    add(false, read);
    add(false, read);  // no break: not heard
    add(true, bent);   // bad checksum
    add(true, read);
    add(true, chunk);

    PtyFramer framer;
    std::vector<Bytes> got;
    for (size_t i = 0; i < stream.size(); i += 7)
        for (auto& t : framer.feed(&stream[i], std::min<size_t>(7, stream.size() - i), 0)) got.push_back(t);
    EXPECT_EQ(got, (std::vector<Bytes>{Bytes(513, 0), read, read, chunk}));

    // A cut frame gives way to the next one once it has gone stale.
    stream = {0};
    add(false, Bytes(read.begin(), read.begin() + 10));
    EXPECT_TRUE(framer.feed(stream.data(), stream.size(), 1000).empty());
    EXPECT_TRUE(framer.expire(2000).empty());
    framer.expire(500000);
    stream.clear();
    add(true, read);
    EXPECT_EQ(framer.feed(stream.data(), stream.size(), 600000), std::vector<Bytes>{read});
}
