// Discovery against the virtual panels, on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app/app_discovery.h"
#include "app/app_setup.h"
#include "tests/support/bounded.h"
#include "tests/support/frames.h"
#include "tests/support/sim_fixture.h"

namespace {

const Data kStart = {0x02, 0x01};
const Data kCompare = {0x02, 0x02};
const Data kMute = {0x02, 0x00};

class Discovery : public SimBus {
protected:
    int run(int32_t limit) {
        std::fill(std::begin(found), std::end(found), 0xEEEEEEEEu);
        int result = 0;
        output = captureStdout([&] { result = app_discovery(found, limit); });
        return result;
    }
    uint32_t found[200];
    std::string output;
};

}  // namespace

// On an empty bus: the start five times, then 36 compares of five sends each.
// Panels are listed highest first, each muted once, at every run (muted panels
// take part again after the start); the limit ends the run and frees the cable.
TEST_F(Discovery, FindsPanelsHighestFirstWithinTheLimit) {
    EXPECT_EQ(run(200), 0);
    EXPECT_EQ(countHeard(kStart), 5u);
    EXPECT_EQ(countHeard(kCompare), 36u * 5);
    EXPECT_EQ(countHeard(kMute), 0u);
    EXPECT_EQ(output, "\ndiscovery:\nNo device.\n");
    EXPECT_EQ(found[0], 0xEEEEEEEEu);
    EXPECT_EQ(pStatusTop.load(), 35);
    EXPECT_EQ(pStatusSt.load(), 35);

    bus.addPanel(0x12345678);
    EXPECT_EQ(run(200), 1);
    EXPECT_EQ(output, "\ndiscovery:\n  found=12345678\napp_discovery_parse\nNo device.\n");
    EXPECT_EQ(dev_uidAt(0), 0x12345678u);
    EXPECT_FALSE(bus.isOpen());

    bus.addPanel(0x34);
    bus.addPanel(1);
    const std::vector<uint32_t> all = {0x12345678, 0x34, 1, 0xEEEEEEEE};
    for (int again = 0; again < 2; ++again) {
        EXPECT_EQ(run(200), 3);
        EXPECT_EQ(std::vector<uint32_t>(found, found + 4), all);
    }
    EXPECT_EQ(run(1), 1);
    EXPECT_EQ(std::vector<uint32_t>(found, found + 2), (std::vector<uint32_t>{0x12345678, 0xEEEEEEEE}));
    EXPECT_FALSE(bus.isOpen());

    bus.clearHeard();
    EXPECT_EQ(run(0), 0);
    EXPECT_EQ(countHeard(kStart), 5u);
    EXPECT_EQ(countHeard(kCompare), 0u);
    EXPECT_FALSE(bus.isOpen());
}

// A panel that answers compares but never confirms its mute wins every search:
// the run ends at its third failed mute in a row, and the box says why (a run
// for one panel has four passes: failed mutes do not end it sooner).
// One that confirms its mute but keeps answering compares is listed once.
// Only a mute answer confirms a mute. Panels at 80000000 and above are found,
// muted and listed like the others, the panels below them found too, and the
// box names them with what to do.
TEST_F(Discovery, MisbehavingMutesEndTheRunAndAreNamed) {
    app_discovery_rec() = 0;
    captureStdout([] {
        Bytes f = commandFrame(0xFFFFFFFF, 0x55, {0x02, 0x01});  // data byte 1 not 0
        app_discovery_parse(f.data());
        f = commandFrame(0xFFFFFFFF, 0x55, {0x02});  // data length 1
        app_discovery_parse(f.data());
    });
    EXPECT_EQ(app_discovery_rec().load(), 0u);
    Bytes good = commandFrame(0xFFFFFFFF, 0x55, {0x02, 0x00});
    EXPECT_EQ(captureStdout([&] { app_discovery_parse(good.data()); }), "app_discovery_parse\n");
    EXPECT_EQ(app_discovery_rec().load(), 0x55u);

    bus.addPanel(0x400).faults.noMuteConfirm = true;
    bus.addPanel(0x20);
    EXPECT_EQ(run(1), 0);
    EXPECT_EQ(countHeard(kMute), 3u * 5);
    size_t lines = 0;
    for (size_t at = 0; (at = output.find("          not responding\n", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 3u);
    EXPECT_EQ(dev_count(), 0);
    char text[512];
    EXPECT_EQ(app_discovery_report(0, text, sizeof text), MSG_INFO);
    EXPECT_STREQ(text, "0 devices found.\nPanel 00000400 does not confirm its mute: the search stopped there.");

    bus.panel(0x400)->faults = PanelFaults{};
    bus.panel(0x400)->faults.noStayMuted = true;
    bus.clearHeard();
    EXPECT_EQ(run(200), 1);
    EXPECT_EQ(found[0], 0x400u);
    EXPECT_EQ(found[1], 0xEEEEEEEEu);
    EXPECT_EQ(dev_count(), 1);
    EXPECT_EQ(countHeard(kMute), 1u);
    EXPECT_EQ(app_discovery_report(1, text, sizeof text), MSG_INFO);
    EXPECT_STREQ(text, "1 devices found.\nPanel 00000400 does not stay muted: the search stopped there.");

    // Panels behaving, and two above the search range: named, each with what to do.
    bus.panel(0x400)->faults.noStayMuted = false;
    bus.addPanel(0x90000000);
    bus.addPanel(0x80000000);
    bus.clearHeard();
    dev_removeAll();
    EXPECT_EQ(run(200), 4);
    EXPECT_EQ(std::vector<uint32_t>(found, found + 5),
              (std::vector<uint32_t>{0x90000000, 0x80000000, 0x400, 0x20, 0xEEEEEEEE}));
    EXPECT_EQ(dev_count(), 4);
    EXPECT_EQ(countHeard(kMute), 4u);
    EXPECT_EQ(app_discovery_report(4, text, sizeof text), MSG_INFO);
    EXPECT_STREQ(text,
                 "4 devices found.\n"
                 "Panel 90000000: a UID of 80000000 or above can hide the panels below it from a search; give it a "
                 "UID below 80000000.\n"
                 "Panel 80000000: a UID of 80000000 or above can hide the panels below it from a search; give it a "
                 "UID below 80000000.");
}

// A click during a discovery waits for the compare step in progress: all five
// of its sends and the wait for an answer after each, which no other exchange
// may take from it.
TEST_F(Discovery, AClickWaitsForTheWholeCompareStep) {
    std::atomic<bool> first{true};
    bus.holdAt = [&](GatedBus&, const uint8_t* f, uint32_t n) {
        return n > PKT_DATA + 1 && Data(f + PKT_DATA, f + PKT_DATA + 2) == kCompare && first.exchange(false);
    };
    bus.closed = true;
    captureStdout([&] {
        std::thread worker([this] { app_discovery(found, 1); });
        waitFor("the first compare on the wire", [&] { return bus.waiting.load(); });
        std::thread click([] { app_setup_send_simBtn(0xB2, 2); });
        waitFor("the click to queue for the cable", [] { return cable_lockWaiters() == 1; });
        bus.closed = false;
        joinWithin(click, "the click");
        joinWithin(worker, "the discovery");
    });
    const auto sent = commandsHeard();
    const auto press = std::find(sent.begin(), sent.end(), Data{0x01, 0x0A, 0x01, 0x02});
    ASSERT_NE(press, sent.end());
    const auto compares = std::count_if(
        sent.begin(), press, [](const Data& d) { return d.size() > 2 && Data(d.begin(), d.begin() + 2) == kCompare; });
    EXPECT_EQ(compares, 5) << "the click came inside a compare step";
}
