// Setup read, parse and send against the virtual panels, on the virtual clock.
// The soak checks what reads store and confirmed sends leave on random panels
// (a send that loses a packet, answers filling another panel's record or adding
// a row); these cases hold the exact exchanges, the retries and the edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "app/app_setup.h"
#include "bus/timer.h"
#include "tests/support/bounded.h"
#include "tests/support/frames.h"
#include "tests/support/sim_fixture.h"

namespace {

class Setup : public SimBus {};

// The answer of a listed panel that was asked.
void parse(const Bytes& data, uint32_t source = 0x42) {
    if (getDevUID(source) == nullptr) addDevUID(source);
    app_setup_records().asked = source;
    Bytes f = commandFrame(0xFFFFFFFF, source, data);
    app_setup_parse(f.data());
}

DeviceRecord recordOf(uint32_t uid) {
    DeviceRecord r{};
    EXPECT_TRUE(dev_copyByUid(uid, &r));
    return r;
}

int read(uint32_t uid) {
    int result = 0;
    captureStdout([&] { result = app_setup_read(uid); });
    return result;
}

}  // namespace

// One read-setup request, then one per DMX block, in order. A request goes out
// again after 55 polls of 15 ms, five times at most: a panel that hears only
// every second request answers each at its second send; a silent one never.
TEST_F(Setup, ReadAsksEachPartAndSendsAgainFiveTimesAtMost) {
    VirtualPanel& p = bus.addPanel(0x0A0B0C0D);
    p.act = 0x21;
    for (int b = 0; b < DEV_BUTTONS; ++b)
        for (int i = 0; i < DMX_BLOCK_SIZE; ++i) p.dmx[b][i] = static_cast<uint8_t>(b * 11 + i);
    addDevUID(0x0A0B0C0D);
    EXPECT_EQ(read(0x0A0B0C0D), 1);
    const DeviceRecord r = recordOf(0x0A0B0C0D);
    EXPECT_EQ(r.act, 0x21);
    EXPECT_EQ(std::memcmp(r.dmx, p.dmx, sizeof r.dmx), 0);
    EXPECT_EQ(r.dmxKnown, 0x3F);
    const auto sent = commandsHeard();
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[0], (Data{0x01}));
    for (uint8_t i = 0; i < 6; ++i) EXPECT_EQ(sent[1 + i], (Data{0x01, 0x0B, 0x01, i}));
    EXPECT_FALSE(bus.isOpen());
    p.faults.cutDmxBlocks = true;  // read again: blocks read before count as unread now
    EXPECT_EQ(read(0x0A0B0C0D), 1);
    EXPECT_EQ(recordOf(0x0A0B0C0D).dmxKnown, 0);

    bus.addPanel(0x78).faults.answerEvery = 2;
    bus.clearHeard();
    int64_t start = tim_nowUs();
    EXPECT_EQ(read(0x78), 1);
    EXPECT_EQ(commandsHeard().size(), 14u);
    EXPECT_GE(tim_nowUs() - start, 7 * 55 * 15000);

    bus.addPanel(0x77).faults.silent = true;
    bus.clearHeard();
    start = tim_nowUs();
    EXPECT_EQ(read(0x77), -1);
    EXPECT_EQ(countHeard({0x01}), 5u);  // no DMX block is asked for
    EXPECT_GE(tim_nowUs() - start, 5 * 55 * 15000);
}

// What the panels never send: an unknown tag confirms but stores nothing; a
// button record with index 6 is skipped and the walk goes on. Versions, active
// bits and DMX blocks are printed as stored.
TEST_F(Setup, ParseSkipsWhatItDoesNotKnow) {
    parse({0x01, 0x07, 0x01, 0x02, 0x09, 0x01, 0x01}, 0x44);
    EXPECT_EQ(app_setup_records().rec.load(), 0x44u);
    EXPECT_EQ(recordOf(0x44).intensity, 0);

    std::string out = captureStdout([] {
        parse({0x01, 0x08, 0x04, 0x06, 0x01, 0xFF, 0xFF, 0xA0, 0x02, 0x01, 0x03, 0x0A, 0x01, 0x05}, 0x45);
    });
    EXPECT_EQ(out, "app_setup_parse\nACT:1 5 0\n");
    DeviceRecord r = recordOf(0x45);
    EXPECT_EQ(r.verMajor, 1);
    EXPECT_EQ(r.verMinor, 3);
    EXPECT_EQ(r.act, 5);
    for (const auto& b : r.btn) EXPECT_EQ(b.type, 0);

    Bytes block = {0x01, 0x0B, 0x4B, 0x02};
    for (int i = 0; i < DMX_BLOCK_SIZE; ++i) block.push_back(static_cast<uint8_t>(200 - i));
    out = captureStdout([&] { parse(block, 0x46); });
    EXPECT_EQ(out, "app_setup_parse\nDMX:75 2\n");
    r = recordOf(0x46);
    EXPECT_EQ(std::memcmp(r.dmx[2], block.data() + 4, DMX_BLOCK_SIZE), 0);
}

TEST_F(Setup, PressesAndButtonStateReportsMarkActiveButtons) {
    addDevUID(0x60);
    addDevUID(0x61);
    const uint8_t flash4[] = {4, 0, 1, 0x04, 0x00};
    const uint8_t other[] = {4, 1, 1, 0x06, 0x00};
    dev_setBtn(0x60, flash4);
    dev_setBtn(0x61, flash4);
    dev_setBtn(0x61, other);

    // 'S', a skipped F section of two bytes, then the six entries.
    Bytes body = {0x53, 0x00, 0x46, 0x02, 0xAA, 0xBB, 0x43, 24};
    const uint8_t entries[6][4] = {{1, 1, 0x04, 0}, {0, 2, 0, 0}, {0, 0, 0, 0},
                                   {0, 0, 0, 0},    {0, 0, 0, 0}, {0, 0, 0, 0}};
    for (const auto& e : entries) body.insert(body.end(), e, e + 4);
    Bytes frame = dmxFrame(0x01, body);
    std::string out = captureStdout([&] { app_setup_parseDmxHouse(frame.data()); });
    EXPECT_EQ(out.rfind("DMX Data packet.\nBtn:\n btn:01\ttype:1\tscn0004\n btn:00\ttype:2\tscn0000\n", 0), 0u);
    EXPECT_EQ(recordOf(0x60).act, 0x01);
    EXPECT_EQ(recordOf(0x61).act, 0x01);  // button 2 has mask 0x0006: untouched

    // A button-state section of 20 bytes: the two lines and nothing else.
    body[7] = 20;
    frame = dmxFrame(0x01, body);
    EXPECT_EQ(captureStdout([&] { app_setup_parseDmxHouse(frame.data()); }), "DMX Data packet.\nBtn:\n");
    // A section that would run past the body ends the parse.
    frame = dmxFrame(0x01, {0x53, 0x00, 0x46, 0x40});
    EXPECT_EQ(captureStdout([&] { app_setup_parseDmxHouse(frame.data()); }), "DMX Data packet.\n");

    // A press waits for no answer (sent once: OthersWaitForOneWorkerExchangeAtMost).
    EXPECT_EQ(app_setup_send_simBtn(0x1234, 3), 1);  // nobody there: still 1

    // A panel that hears it reports its button states, which mark the record.
    VirtualPanel& p = bus.addPanel(0x2345);
    p.btn[3] = {1, 0x0010};
    addDevUID(0x2345);
    const uint8_t rec[] = {4, 3, 1, 0x10, 0x00};
    dev_setBtn(0x2345, rec);
    captureStdout([] {
        app_setup_send_simBtn(0x2345, 3);
        for (int i = 0; i < 20; ++i) {
            tim_usleep(1000);
            cable_response();
        }
    });
    EXPECT_EQ(p.pressCount, 1);
    EXPECT_EQ(recordOf(0x2345).act & 0x08, 0x08);
}

TEST_F(Setup, SendConfirmedOnlyWhenEveryPacketIsAndSendsOnlyKnownBlocks) {
    VirtualPanel& p = bus.addPanel(0x99);
    PanelSetup setup{};
    setup.intensity = 5;  // sent masked to 0..3
    uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE] = {};
    dmx[0][0] = 0xFF;
    dmx[0][1] = 0xFF;
    dmx[0][4] = 9;
    dmx[3][0] = 20;
    std::string out = captureStdout([&] { EXPECT_EQ(app_setup_send(0x99, &setup, dmx, 0x3F), 1); });
    EXPECT_NE(out.find("Sending setup"), std::string::npos);
    EXPECT_NE(out.find("Start: -1: 9 0 0\n"), std::string::npos);
    EXPECT_NE(out.find("Sending dmx setup 5"), std::string::npos);
    EXPECT_EQ(p.intensity, 1);
    EXPECT_EQ(std::memcmp(p.dmx, dmx, sizeof dmx), 0);
    EXPECT_FALSE(bus.isOpen());

    // Only the blocks read or set go out: RestoreSaysHowEachPanelEnded (a block not read at backup) and the soak.

    // A silent panel: the setup packet is not confirmed and no block is sent.
    p.faults.silent = true;
    out = captureStdout([&] { EXPECT_EQ(app_setup_send(0x99, &setup, dmx, 0x3F), -1); });
    EXPECT_EQ(out, "Sending setup ...-1\n");
}

// A click and another request during a worker's setup read wait for the
// exchange in progress, not for the whole read, and are taken in the order
// asked; neither lands inside an exchange on the wire, and neither takes its
// answers: the panel asked is named under the lock.
TEST_F(Setup, OthersWaitForOneWorkerExchangeAtMost) {
    bus.addPanel(0xA1).faults.answerEvery = 2;  // each exchange of the read takes two sends
    bus.addPanel(0xB2);
    addDevUID(0xA1);
    addDevUID(0xB2);
    const Data block0 = {0x01, 0x0B, 0x01, 0x00};
    const Data press = {0x01, 0x0A, 0x01, 0x02};
    // Holds the worker at the first send of its first block exchange until both queue for the cable.
    std::atomic<bool> first{true};
    bus.holdAt = [&](GatedBus&, const uint8_t* f, uint32_t n) {
        return n > PKT_DATA && Data(f + PKT_DATA, f + n) == block0 && first.exchange(false);
    };
    bus.closed = true;
    int read = 0, asked = 0;
    captureStdout([&] {
        std::thread worker([&] { read = app_setup_read(0xA1); });
        waitFor("the worker's first block exchange", [&] { return bus.waiting.load(); });
        std::thread click([] { app_setup_send_simBtn(0xB2, 2); });
        waitFor("the click to queue for the cable", [] { return cable_lockWaiters() == 1; });
        std::thread other([&] {
            uint8_t frame[PKT_MAX_SIZE];
            packet_fillHeader(frame, 0xB2);
            frame[PKT_DATA] = CMD_SETUP;
            frame[PKT_LEN] = 1;
            asked = app_setup_send_packet(frame, 0xB2);
        });
        waitFor("the other request to queue for the cable", [] { return cable_lockWaiters() == 2; });
        bus.closed = false;
        joinWithin(click, "the click");
        joinWithin(other, "the other request");
        joinWithin(worker, "the worker's read");
    });
    EXPECT_EQ(read, 1);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(recordOf(0xA1).dmxKnown, 0x3F);
    const auto sent = commandsHeard();
    const auto at = std::find(sent.begin(), sent.end(), press);
    ASSERT_TRUE(at - sent.begin() >= 2 && sent.end() - at >= 3) << testing::PrintToString(sent);
    EXPECT_EQ(std::vector<Data>(at - 2, at + 3),
              (std::vector<Data>{block0, block0, press, {0x01}, {0x01, 0x0B, 0x01, 0x01}}))
        << "the whole exchange in progress, then the two in the order asked, then the read's next exchange";
}
