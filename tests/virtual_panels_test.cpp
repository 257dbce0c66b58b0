// The virtual panels as the configurator meets them: through the port driver
// interface of a VirtualBus on the virtual clock, and through the pty server.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bus/crc.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"
#include "panels/pty_server.h"
#include "panels/virtual_bus.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes command(uint32_t dest, const Bytes& data) {
    Bytes f(PKT_MAX_SIZE, 0);
    packet_fillHeader(f.data(), dest);
    packet_fillData(f.data(), data.data(), static_cast<uint8_t>(data.size()));
    packet_fillCrc(f.data());
    f.resize(static_cast<size_t>(packet_length(f.data())));
    return f;
}

Bytes dmxFrame(uint8_t kind, uint16_t chunk, const uint8_t* body) {
    Bytes f(DMX_FRAME_SIZE, 0);
    f[0] = SYNC0;
    f[1] = SYNC1;
    f[2] = SYNC2;
    f[3] = kind;
    f[4] = f[5] = 0xFF;
    packet_putU16(f.data() + DMX_CHUNK, chunk);
    if (body) std::memcpy(f.data() + DMX_BODY, body, DMX_BODY_SIZE);
    packet_putU16(f.data() + DMX_CRC, get_CRC(f.data(), DMX_CRC));
    return f;
}

bool sumGood(const Bytes& f) {
    uint32_t sum = 0;
    for (size_t i = 0; i < f.size(); ++i)
        if (i != 16 && i != 17) sum += f[i];
    return (sum & 0xFFFF) == static_cast<uint32_t>(f[16] | f[17] << 8);
}

bool crcGood(const Bytes& f) {
    return f.size() == 76 && get_CRC(f.data(), 74) == (f[74] | f[75] << 8);
}

// Frames found in a received stream, by sync pattern and length; other bytes skipped.
std::vector<Bytes> frames(const Bytes& s) {
    std::vector<Bytes> out;
    size_t i = 0;
    while (i + 4 <= s.size()) {
        if (s[i] != 0x91 || s[i + 1] != 0x29 || s[i + 2] != 0xA9) {
            ++i;
            continue;
        }
        size_t len = 76;
        if (s[i + 3] == 0xFD) {
            if (i + 19 > s.size()) break;
            len = 19 + s[i + 18];
        }
        if (i + len > s.size()) break;
        out.emplace_back(s.begin() + i, s.begin() + i + len);
        i += len;
    }
    return out;
}

Bytes payload(const Bytes& f) { return Bytes(f.begin() + 19, f.end()); }
uint32_t src(const Bytes& f) { return packet_getU32(f.data() + 8); }

// Drives the bus as the configurator's port layer does: break at 15625 baud,
// the body at 250000, drained writes, status-then-read polling.
class Line {
public:
    explicit Line(VirtualBus& bus) : bus_(bus) { EXPECT_EQ(open(), PORT_OK); }

    int open() {
        int st = bus_.openBySerial(VirtualBus::SERIAL, &h);
        if (st != PORT_OK) return st;
        bus_.setDataCharacteristics(h, 8, 2, 0);
        return bus_.setBaudRate(h, 250000);
    }

    int send(const Bytes& bytes, bool withBreak = true) {
        uint32_t n = 0;
        if (withBreak) {
            bus_.setBaudRate(h, 15625);
            const uint8_t zero = 0;
            if (int st = bus_.write(h, &zero, 1, &n)) return st;
            drain();
            bus_.setBaudRate(h, 250000);
        }
        const int st = bus_.write(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &n);
        drain();
        return st;
    }

    void drain() {
        uint32_t rx = 0, tx = 0;
        do {
            tim_advanceUs(100);
            if (bus_.getStatus(h, &rx, &tx) != PORT_OK) return;
        } while (tx > 0);
    }

    // Everything that arrives within us of virtual time.
    Bytes listen(int64_t us) {
        Bytes got;
        const int64_t end = tim_nowUs() + us;
        while (tim_nowUs() < end) {
            uint32_t rx = 0, tx = 0;
            if (bus_.getStatus(h, &rx, &tx) != PORT_OK) break;
            if (rx == 0) continue;
            Bytes buf(rx);
            uint32_t n = 0;
            bus_.read(h, buf.data(), rx, &n);
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
        return got;
    }

    void flush() {
        uint32_t rx = 0, tx = 0, n = 0;
        uint8_t buf[256];
        while (bus_.getStatus(h, &rx, &tx) == PORT_OK && rx > 0) bus_.read(h, buf, sizeof buf, &n);
    }

    Bytes ask(const Bytes& frame, int64_t us = 20000) {
        flush();
        send(frame);
        return listen(us);
    }

    bool compare(uint32_t addr) {
        return !ask(command(UID_ALL, {0x02, 0x02, static_cast<uint8_t>(addr), static_cast<uint8_t>(addr >> 8),
                                      static_cast<uint8_t>(addr >> 16), static_cast<uint8_t>(addr >> 24)}),
                    15000)
                    .empty();
    }

    PortHandle h = nullptr;

private:
    VirtualBus& bus_;
};

Bytes readSetup(uint32_t uid) { return command(uid, {0x01}); }

// The setup records of a setup answer, by tag (button records by 0x08 + index).
std::map<int, Bytes> records(const Bytes& frame) {
    std::map<int, Bytes> out;
    const Bytes d = payload(frame);
    for (size_t i = 1; i + 2 <= d.size();) {
        const uint8_t tag = d[i], len = d[i + 1];
        if (i + 2 + len > d.size()) break;
        Bytes v(d.begin() + i + 2, d.begin() + i + 2 + len);
        out[tag == 0x08 ? 0x800 + v[0] : tag] = v;
        i += 2 + len;
    }
    return out;
}

// Button-state entry b of a DMX data frame (state, type, scene mask), after the
// optional F and L sections; null when the frame has no button-state section.
const uint8_t* stateEntry(const Bytes& f, int b) {
    size_t i = 12;
    if (f[i] == 0x46) i += 2 + f[i + 1];
    if (f[i] == 0x4C) i += 2 + f[i + 1];
    if (f[i] != 0x43 || f[i + 1] != 24) return nullptr;
    return &f[i + 2 + 4 * b];
}

}  // namespace

TEST(VirtualPanels, ComparesMutesAndAWholeDiscovery) {
    VirtualBus bus;
    for (uint32_t uid : {0x100u, 0x200u, 0x300u}) bus.addPanel(uid);
    Line line(bus);

    EXPECT_TRUE(line.compare(0x2FF));
    EXPECT_FALSE(line.compare(0x300));  // nobody above
    EXPECT_TRUE(line.compare(0));       // all three at once: collided, still bytes

    // Mute of 0x300, confirmed with an exact frame.
    const Bytes got = line.ask(command(0x300, {0x02, 0x00}));
    Bytes expect = {0x91, 0x29, 0xA9, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x03, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00};
    uint32_t sum = 0;
    for (uint8_t b : expect) sum += b;
    expect[16] = static_cast<uint8_t>(sum);
    expect[17] = static_cast<uint8_t>(sum >> 8);
    EXPECT_EQ(got, expect);
    EXPECT_TRUE(bus.panel(0x300)->muted);

    EXPECT_FALSE(line.compare(0x250));  // 0x300 keeps quiet now
    EXPECT_TRUE(line.compare(0x1FF));
    line.send(command(UID_ALL, {0x02, 0x01}));
    EXPECT_TRUE(line.compare(0x250));  // back after a discovery start

    // A whole discovery over 40 random panels finds each once, highest first.
    VirtualBus many;
    many.addRandomPanels(40, 7);
    Line l2(many);
    l2.send(command(UID_ALL, {0x02, 0x01}));
    std::vector<uint32_t> found;
    for (int pass = 0; pass < 45; ++pass) {
        uint32_t lo = 0, hi = 0xFFFFFFFF, addr = 0;
        for (int step = 0; step < 36; ++step) {
            addr = lo + (hi - lo) / 2;
            if (l2.compare(addr))
                lo = addr + 1;
            else
                hi = addr;
        }
        if (addr == 0) break;
        const auto answers = frames(l2.ask(command(addr, {0x02, 0x00})));
        ASSERT_EQ(answers.size(), 1u) << std::hex << addr;
        EXPECT_EQ(src(answers[0]), addr);
        found.push_back(addr);
    }
    std::vector<uint32_t> expected = many.uids();
    std::sort(expected.rbegin(), expected.rend());
    EXPECT_EQ(found, expected);
    std::set<uint32_t> distinct(expected.begin(), expected.end());
    EXPECT_EQ(distinct.size(), 40u);
    EXPECT_LT(*distinct.rbegin(), 0x80000000u);
    EXPECT_GT(*distinct.begin(), 0u);
}

TEST(VirtualPanels, SetupReadWriteAndButtonPress) {
    VirtualBus bus;
    VirtualPanel& p = bus.addPanel(0x12345678);
    p.intensity = 2;
    p.btn[1] = ButtonSetup{1, 0x0105};
    p.verMajor = 1;
    p.verMinor = 3;
    for (int i = 0; i < DMX_BLOCK_SIZE; ++i) p.dmx[2][i] = static_cast<uint8_t>(3 * i + 1);
    Line line(bus);

    auto answers = frames(line.ask(readSetup(0x12345678)));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(sumGood(answers[0]));
    EXPECT_EQ(src(answers[0]), 0x12345678u);
    EXPECT_EQ(packet_getU32(answers[0].data() + 4), 0xFFFFFFFFu);
    auto rec = records(answers[0]);
    EXPECT_EQ(payload(answers[0])[0], 0x01);
    EXPECT_EQ(rec[0x09], Bytes{2});
    EXPECT_EQ(rec[0x801], (Bytes{1, 1, 0x05, 0x01}));
    EXPECT_EQ(rec[0x800], (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(rec[0x805], (Bytes{5, 0, 0, 0}));
    EXPECT_EQ(rec[0x0A], Bytes{0});
    EXPECT_EQ(rec[0xA0], (Bytes{1, 3}));

    // DMX block read.
    answers = frames(line.ask(command(0x12345678, {0x01, 0x0B, 0x01, 0x02})));
    ASSERT_EQ(answers.size(), 1u);
    Bytes expectBlock = {0x01, 0x0B, 0x4B, 0x02};
    expectBlock.insert(expectBlock.end(), p.dmx[2], p.dmx[2] + DMX_BLOCK_SIZE);
    EXPECT_EQ(payload(answers[0]), expectBlock);

    // DMX block write, confirmed with the block, and read back.
    Bytes write = {0x01, 0x0B, 0x4B, 0x04};
    for (int i = 0; i < DMX_BLOCK_SIZE; ++i) write.push_back(static_cast<uint8_t>(200 - i));
    answers = frames(line.ask(command(0x12345678, write)));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(payload(answers[0]), write);
    EXPECT_TRUE(std::equal(write.begin() + 4, write.end(), p.dmx[4]));
    answers = frames(line.ask(command(0x12345678, {0x01, 0x0B, 0x01, 0x04})));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(payload(answers[0]), write);

    // Setup write: intensity and six buttons, confirmed with the whole setup.
    Bytes setup = {0x01, 0x09, 0x01, 0x00};
    for (uint8_t b = 0; b < 6; ++b) setup.insert(setup.end(), {0x08, 0x04, b, 2, b, 0x80});
    ASSERT_EQ(setup.size(), 40u);
    answers = frames(line.ask(command(0x12345678, setup)));
    ASSERT_EQ(answers.size(), 1u);
    rec = records(answers[0]);
    EXPECT_EQ(rec[0x09], Bytes{0});
    EXPECT_EQ(rec[0x803], (Bytes{3, 2, 3, 0x80}));
    EXPECT_EQ(p.intensity, 0);
    EXPECT_EQ(p.btn[5].type, 2);
    EXPECT_EQ(p.btn[5].scn, 0x8005);
    EXPECT_EQ(p.setupWrites, 1);

    // A press: no command answer, a button-state report with the button on.
    for (int press = 1; press <= 2; ++press) {
        answers = frames(line.ask(command(0x12345678, {0x01, 0x0A, 0x01, 0x03})));
        ASSERT_EQ(answers.size(), 1u);
        const Bytes& f = answers[0];
        EXPECT_EQ(f[3], 0x01);
        EXPECT_TRUE(crcGood(f));
        EXPECT_EQ(f[10], 'S');
        const uint8_t* e = stateEntry(f, 3);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e[0] != 0, press == 1);
        EXPECT_EQ(e[1], 2);
        EXPECT_EQ(e[2] | e[3] << 8, 0x8003);
        EXPECT_EQ(stateEntry(f, 2)[0], 0);  // the others stay off
        EXPECT_EQ(p.act, press == 1 ? 0x08 : 0x00);
    }
    EXPECT_EQ(p.lastPressButton, 3);
    EXPECT_EQ(p.pressCount, 2);
}

TEST(VirtualPanels, IdentifyUidChangeAndFirmware) {
    VirtualBus bus;
    VirtualPanel& p = bus.addPanel(0x0A0B0C0D);
    VirtualPanel& other = bus.addPanel(0x00000042);
    Line line(bus);

    auto answers = frames(line.ask(command(0x0A0B0C0D, {0x03, 0x20, 0x02, 0x98, 0x3A})));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(payload(answers[0]), (Bytes{0x03, 0x20, 0x00}));
    EXPECT_EQ(src(answers[0]), 0x0A0B0C0Du);
    EXPECT_EQ(p.identifyCount, 1);
    EXPECT_EQ(p.lastIdentifyMask, 0);
    line.ask(command(0x0A0B0C0D, {0x03, 0x20, 0x03, 0x98, 0x3A, 0x04}));
    EXPECT_EQ(p.identifyCount, 2);
    EXPECT_EQ(p.lastIdentifyMask, 0x04);
    EXPECT_EQ(other.identifyCount, 0);

    // UID change, acknowledged under the old UID; then it answers to the new one only.
    answers = frames(line.ask(command(0x0A0B0C0D, {0x03, 0x10, 0x04, 0x01, 0x02, 0x03, 0x04})));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(payload(answers[0]), (Bytes{0x03, 0x11, 0x00}));
    EXPECT_EQ(src(answers[0]), 0x0A0B0C0Du);
    EXPECT_TRUE(frames(line.ask(readSetup(0x0A0B0C0D))).empty());
    answers = frames(line.ask(readSetup(0x04030201)));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(src(answers[0]), 0x04030201u);
    EXPECT_EQ(bus.panel(0x04030201), &p);
    p.faults.ackUidUnderNewUid = true;
    answers = frames(line.ask(command(0x04030201, {0x03, 0x10, 0x04, 0x99, 0, 0, 0})));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(src(answers[0]), 0x99u);
    EXPECT_EQ(p.uidChangeCount, 2);

    // Firmware: reboot frames, then each chunk five times; every panel takes it.
    Bytes image(200);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    for (int r = 0; r < 5; ++r) line.send(dmxFrame(0xFF, 0, nullptr));
    Bytes padded = image;
    padded.resize(256, 0);
    for (uint16_t k = 0; k < 4; ++k)
        for (int r = 0; r < 5; ++r) line.send(dmxFrame(0xFE, k, &padded[k * 64]));
    Bytes bad = dmxFrame(0xFE, 1, &padded[0]);
    bad[74] ^= 1;
    line.send(bad);  // a damaged chunk must not overwrite chunk 1
    for (VirtualPanel* q : {&p, &other}) {
        EXPECT_EQ(q->rebootCount, 5);
        EXPECT_EQ(q->chunkFrames, 20);
        EXPECT_EQ(q->firmwareImage(), padded);
    }
    EXPECT_TRUE(line.listen(20000).empty());  // no answers to firmware frames
}

TEST(VirtualPanels, IgnoresWhatIsNotForIt) {
    VirtualBus bus;
    VirtualPanel& p = bus.addPanel(0x5000);
    Line line(bus);
    bus.clearHeard();

    line.send(readSetup(0x5000), false);  // no break
    EXPECT_TRUE(line.listen(20000).empty());
    Bytes bad = readSetup(0x5000);
    bad[16] ^= 0x01;
    EXPECT_TRUE(line.ask(bad).empty());
    EXPECT_TRUE(line.ask(readSetup(0x5001)).empty());
    Bytes fromPanel = command(0x5000, {0x01});
    packet_putU32(fromPanel.data() + 8, 0x6000);
    packet_fillCrc(fromPanel.data());
    EXPECT_TRUE(line.ask(fromPanel).empty());
    // The body at the break's baud rate is garbage on the line.
    bus.setBaudRate(line.h, 15625);
    uint32_t n = 0;
    const uint8_t zero = 0;
    bus.write(line.h, &zero, 1, &n);
    const Bytes slow = readSetup(0x5000);
    bus.write(line.h, slow.data(), static_cast<uint32_t>(slow.size()), &n);
    bus.setBaudRate(line.h, 250000);
    EXPECT_TRUE(line.listen(40000).empty());
    EXPECT_EQ(p.setupReads, 0);

    // A console frame sets the universe and nobody answers it.
    Bytes console(513, 0);
    for (int i = 1; i < 513; ++i) console[i] = static_cast<uint8_t>(i);
    EXPECT_TRUE(line.ask(console).empty());
    EXPECT_EQ(bus.lastUniverse(), Bytes(console.begin() + 1, console.end()));

    // Addressed to all, it is answered.
    EXPECT_EQ(frames(line.ask(readSetup(UID_ALL))).size(), 1u);
    EXPECT_EQ(p.setupReads, 1);

    const auto heard = bus.heard();
    ASSERT_EQ(heard.size(), 7u);
    EXPECT_FALSE(heard[0].afterBreak);
    EXPECT_EQ(heard[0].bytes, readSetup(0x5000));
    EXPECT_TRUE(heard[1].afterBreak);
    EXPECT_EQ(heard[1].bytes, bad);
    EXPECT_TRUE(heard[4].garbled);
    EXPECT_EQ(heard[5].bytes, console);
    EXPECT_GE(heard[6].endUs - heard[6].atUs, 704 + 20 * 44);
    bus.clearHeard();
    EXPECT_TRUE(bus.heard().empty());
    // Bytes that trail a transmission from before the clearing are listed alone.
    line.send(Bytes{1, 2, 3}, false);
    const auto tail = bus.heard();
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_FALSE(tail[0].afterBreak);
    EXPECT_EQ(tail[0].bytes, (Bytes{1, 2, 3}));
}

TEST(VirtualPanels, Faults) {
    VirtualBus bus;
    VirtualPanel& silent = bus.addPanel(0x700);
    VirtualPanel& third = bus.addPanel(0x600);
    VirtualPanel& stubborn = bus.addPanel(0x500);
    VirtualPanel& noisy = bus.addPanel(0x400);
    silent.faults.silent = true;
    third.faults.answerEvery = 3;
    stubborn.faults.noMuteConfirm = true;
    noisy.faults.corruptAnswers = true;
    Line line(bus);

    EXPECT_TRUE(line.ask(readSetup(0x700)).empty());
    EXPECT_EQ(silent.setupReads, 1);  // it heard, it cannot answer

    EXPECT_TRUE(line.ask(readSetup(0x600)).empty());
    EXPECT_TRUE(line.ask(readSetup(0x600)).empty());
    EXPECT_EQ(frames(line.ask(readSetup(0x600))).size(), 1u);
    EXPECT_EQ(third.setupReads, 1);

    // Only the stubborn panel is above 0x4FF apart from the silent and every-third ones,
    // which are muted out of the way first (the every-third one on its third request).
    silent.muted = third.muted = true;
    EXPECT_TRUE(line.compare(0x4FF));
    EXPECT_TRUE(line.ask(command(0x500, {0x02, 0x00})).empty());
    EXPECT_FALSE(stubborn.muted);
    EXPECT_TRUE(line.compare(0x4FF));

    const auto bent = frames(line.ask(readSetup(0x400)));
    ASSERT_EQ(bent.size(), 1u);
    EXPECT_FALSE(sumGood(bent[0]));

    // UIDs from 0x80000000 up answer compares above every finder's range.
    VirtualBus high;
    high.addPanel(0x80000001);
    Line l2(high);
    EXPECT_TRUE(l2.compare(0x7FFFFFFF));
    EXPECT_TRUE(l2.compare(0x80000000));
    EXPECT_FALSE(l2.compare(0x80000001));

    // Two panels with one UID both answer: bytes arrive, but not a clean frame pair.
    VirtualBus twins;
    VirtualPanel& a = twins.addPanel(0x777);
    VirtualPanel& b = twins.addPanel(0x777);
    b.intensity = 2;
    Line l3(twins);
    const Bytes both = l3.ask(readSetup(0x777));
    EXPECT_FALSE(both.empty());
    EXPECT_EQ(a.setupReads, 1);
    EXPECT_EQ(b.setupReads, 1);
    for (const Bytes& f : frames(both)) EXPECT_FALSE(sumGood(f));
}

TEST(VirtualBus, WireTimingNoiseReportsAndVanishing) {
    VirtualBus bus;
    VirtualPanel& p = bus.addPanel(0x123);
    p.faults.answerDelayUs = 5000;
    Line line(bus);
    uint32_t rx = 0, tx = 0, n = 0;

    // The break byte holds the line 704 µs; the frame 44 µs a byte.
    bus.setBaudRate(line.h, 15625);
    const uint8_t zero = 0;
    bus.write(line.h, &zero, 1, &n);
    bus.getStatus(line.h, &rx, &tx);
    EXPECT_EQ(tx, 1u);
    tim_advanceUs(704);
    bus.getStatus(line.h, &rx, &tx);
    EXPECT_EQ(tx, 0u);
    bus.setBaudRate(line.h, 250000);
    const Bytes frame = readSetup(0x123);
    bus.write(line.h, frame.data(), static_cast<uint32_t>(frame.size()), &n);
    const int64_t wireEnd = tim_nowUs() + 20 * 44;
    bus.getStatus(line.h, &rx, &tx);
    EXPECT_GT(tx, 0u);
    EXPECT_LE(tx, 20u);
    // Nothing before the line has ended plus the panel's delay, the answer after it.
    while (tim_nowUs() < wireEnd + 5000 - 100) {
        bus.getStatus(line.h, &rx, &tx);
        ASSERT_EQ(rx, 0u);
    }
    EXPECT_EQ(tx, 0u);
    const Bytes answer = line.listen(10000);
    ASSERT_EQ(frames(answer).size(), 1u);

    // Injected bytes arrive as they are.
    const Bytes junk = {1, 2, 3};
    bus.injectBytes(junk.data(), junk.size());
    EXPECT_EQ(line.listen(1000), junk);

    // Noise is random but repeatable for a seed.
    auto noiseOf = [](uint32_t seed) {
        VirtualBus b;
        Line l(b);
        b.setLineNoise(2000, seed);
        return l.listen(50000);
    };
    const Bytes n1 = noiseOf(5);
    EXPECT_GT(n1.size(), 20u);
    EXPECT_EQ(n1, noiseOf(5));
    EXPECT_NE(n1, noiseOf(6));

    // A reporting panel toggles its flash button every 3 s and says so.
    VirtualPanel& reporter = bus.addPanel(0x456);
    reporter.btn[2] = ButtonSetup{1, 0x0010};
    reporter.faults.reportEveryUs = 3000000;
    const auto reports = frames(line.listen(7000000));
    ASSERT_EQ(reports.size(), 2u);
    for (const Bytes& f : reports) {
        EXPECT_TRUE(crcGood(f));
        ASSERT_NE(stateEntry(f, 2), nullptr);
    }
    EXPECT_NE(stateEntry(reports[0], 2)[0], 0);
    EXPECT_EQ(stateEntry(reports[1], 2)[0], 0);
    EXPECT_EQ(reporter.reportCount, 2);
    // ...but only on a quiet line, never amid the configurator's exchanges.
    for (int i = 0; i < 80; ++i)
        for (const Bytes& f : frames(line.ask(readSetup(0x123), 50000))) EXPECT_EQ(f[3], 0xFD);
    EXPECT_EQ(reporter.reportCount, 2);
    EXPECT_EQ(frames(line.listen(1000000)).size(), 1u);  // the one held back

    // Listing and the vanished cable.
    PortDeviceInfo info;
    ASSERT_EQ(bus.deviceDetails(0, &info), PORT_OK);
    EXPECT_STREQ(info.serial, "KVSIM001");
    EXPECT_STREQ(info.description, "Korvane virtual panels");
    bus.setCableVanished(true);
    EXPECT_NE(bus.getStatus(line.h, &rx, &tx), PORT_OK);
    EXPECT_NE(bus.write(line.h, frame.data(), 20, &n), PORT_OK);
    EXPECT_NE(bus.read(line.h, nullptr, 0, &n), PORT_OK);
    uint32_t count = 9;
    EXPECT_NE(bus.deviceCount(&count), PORT_OK);
    EXPECT_EQ(count, 0u);
    char buf0[PORT_SERIAL_SIZE] = {};
    char* bufs[1] = {buf0};
    EXPECT_NE(bus.listSerials(bufs, 1, &count), PORT_OK);
    EXPECT_EQ(count, 0u);
    PortHandle h2 = nullptr;
    EXPECT_NE(bus.openBySerial("KVSIM001", &h2), PORT_OK);
    bus.setCableVanished(false);
    EXPECT_NE(bus.getStatus(line.h, &rx, &tx), PORT_OK);  // the old handle stays dead
    EXPECT_EQ(bus.listSerials(bufs, 1, &count), PORT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(buf0, "KVSIM001");
    ASSERT_EQ(line.open(), PORT_OK);
    EXPECT_EQ(frames(line.ask(readSetup(0x123))).size(), 1u);
    EXPECT_NE(bus.openBySerial("KVSIM001", &h2), PORT_OK);  // already open

    // A second thread inspects while this one drives.
    std::atomic<bool> done{false};
    std::thread inspector([&] {
        while (!done.load()) {
            bus.heard();
            bus.uids();
            bus.injectBytes(junk.data(), 1);
        }
    });
    for (int i = 0; i < 5; ++i) line.ask(readSetup(0x123), 5000);
    done = true;
    inspector.join();
}

TEST(PtyFramer, FindsBreaksInAStreamWithoutTiming) {
    PtyFramer framer;
    const Bytes read = readSetup(0x11);
    Bytes stream;
    stream.push_back(0);  // a console frame: break, start code, 512 levels of 0
    stream.insert(stream.end(), 513, 0);
    stream.insert(stream.end(), {0, 0});  // a break without a frame, then a break
    stream.insert(stream.end(), read.begin(), read.end());
    stream.insert(stream.end(), read.begin(), read.end());  // no break: not heard
    stream.push_back(0);
    Bytes bent = read;
    bent[19] ^= 0x40;
    stream.insert(stream.end(), bent.begin(), bent.end());  // bad checksum
    stream.push_back(0);
    stream.insert(stream.end(), read.begin(), read.end());
    uint8_t body[64];
    for (int i = 0; i < 64; ++i) body[i] = static_cast<uint8_t>(i == 5 ? 0 : 0x91 + i);
    const Bytes chunk = dmxFrame(0xFE, 9, body);
    stream.push_back(0);
    stream.insert(stream.end(), chunk.begin(), chunk.end());

    std::vector<Bytes> got;
    for (size_t i = 0; i < stream.size(); i += 7) {
        const size_t k = std::min<size_t>(7, stream.size() - i);
        for (auto& t : framer.feed(stream.data() + i, k, 0)) got.push_back(t);
    }
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], Bytes(513, 0));
    EXPECT_EQ(got[1], read);
    EXPECT_EQ(got[2], read);
    EXPECT_EQ(got[3], chunk);

    // A truncated frame gives way to the next one once it has gone stale.
    Bytes cut = {0};
    cut.insert(cut.end(), read.begin(), read.begin() + 10);
    EXPECT_TRUE(framer.feed(cut.data(), cut.size(), 1000).empty());
    EXPECT_TRUE(framer.expire(2000).empty());
    framer.expire(500000);
    Bytes next = {0};
    next.insert(next.end(), read.begin(), read.end());
    EXPECT_EQ(framer.feed(next.data(), next.size(), 600000).size(), 1u);
}

TEST(PtyServer, AnswersOnThePseudoTerminal) {
    PtyServer server;
    server.addPanel(0x01020304);
    std::string error;
    ASSERT_TRUE(server.open(&error)) << error;
    std::atomic<bool> stop{false};
    std::thread serving([&] { server.serve(stop); });

    const int fd = ::open(server.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    const uint8_t brk = 0;
    ASSERT_EQ(::write(fd, &brk, 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const Bytes req = readSetup(0x01020304);
    ASSERT_EQ(::write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));

    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (frames(got).empty() && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) > 0) {
            uint8_t buf[256];
            const ssize_t r = ::read(fd, buf, sizeof buf);
            if (r > 0) got.insert(got.end(), buf, buf + r);
        }
    }
    ::close(fd);
    stop = true;
    serving.join();

    const auto answers = frames(got);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(sumGood(answers[0]));
    EXPECT_EQ(src(answers[0]), 0x01020304u);
    EXPECT_EQ(payload(answers[0])[0], 0x01);
    EXPECT_EQ(server.transmissionsHeard(), 1u);
}
