// Faults on the virtual bus, many seeds, on the virtual clock: every fault kind
// of the virtual panels, line noise and a pulled cable. Nothing hangs, every
// operation ends within its retry budget, no UID that is not on the bus is
// listed, what a read stores and a confirmed send leaves is what the panel
// holds, and no DMX block is overwritten with anything the operator did not set.
// An upload with a chunk lost at the port: Cli.EachBusOperationPrintsOnlyItsResult
// and the emulated chip's pulled-cable test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "app/app_discovery.h"
#include "app/app_setup.h"
#include "bus/timer.h"
#include "tests/support/gated_bus.h"
#include "tests/support/frames.h"
#include "tests/support/sim_fixture.h"

namespace {

// The longest an operation may take on the virtual clock: its sends, polls and
// pauses as the protocol gives them, with room for the drain waits and queries.
constexpr int64_t kSendUs = 12000;
constexpr int64_t kRequestBudgetUs = 5 * (kSendUs + 55 * (15000 + 400));
constexpr int64_t kReadBudgetUs = 7 * kRequestBudgetUs;
constexpr int64_t kSendSetupBudgetUs = 7 * kRequestBudgetUs + 6 * 150000;
constexpr int64_t kCompareBudgetUs = 5 * (47000 + kSendUs + 4400 + 16000);
constexpr int64_t kMuteBudgetUs = 5 * (kSendUs + 15 * (17000 + 400));
constexpr int kLimit = 8;
constexpr int64_t kDiscoveryBudgetUs =
    5 * (kSendUs + 12000) + (4 * kLimit + 1) * (36 * kCompareBudgetUs + kMuteBudgetUs);

struct Tally {
    int panelsFound = 0;
    int confirmedSends = 0;
    int pulls = 0;
    int blocksKept = 0;  // unread blocks a send left alone
};

// The fault kinds a panel may get, one each.
void disturb(VirtualPanel& p, int kind, uint32_t other, uint32_t phantom) {
    PanelFaults& f = p.faults;
    switch (kind) {
        case 0: f.silent = true; break;
        case 1: f.answerEvery = 2 + static_cast<int>(p.uid % 2); break;
        case 2: f.corruptAnswers = true; break;
        case 3: f.answerDelayUs = 3000 + p.uid % 9000; break;  // late, still inside 15 ms
        case 4: f.brief = true; break;
        case 5: f.rambling = true; break;
        case 6: f.falseStart = true; break;
        case 7: f.cutDmxBlocks = true; break;
        case 8: f.noMuteConfirm = true; break;
        case 9: f.noStayMuted = true; break;
        case 10: f.answerAs = 0u; break;
        case 11: f.answerAs = other; break;
        case 12: f.answerAs = phantom; break;
        default: break;
    }
}

}  // namespace

class Soak : public ::testing::Test {
protected:
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
    }

    void runSeed(uint32_t seed, Tally& tally) {
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
        GatedBus bus;
        port_setDriver(&bus);
        cable_free();
        packet_resetAssembler();
        app_installParsers();
        dev_removeAll();

        const int panels = 1 + pick(5);
        bus.addRandomPanels(panels, seed);
        const uint32_t phantom = 0x7FFFFFF0u - seed;  // random UIDs below it are all but certain
        for (size_t i = 0; i < bus.panelCount(); ++i) {
            VirtualPanel& p = bus.panelAt(i);
            const uint32_t other = bus.panelAt((i + 1) % bus.panelCount()).uid;
            disturb(p, pick(26), other, phantom);
        }
        if (pick(4) == 0) bus.addPanel(bus.panelAt(0).uid);  // two panels, one UID
        if (pick(3) == 0) bus.setLineNoise(5.0 + pick(40), seed);
        const std::vector<uint32_t> uids = bus.uids();
        const std::set<uint32_t> onBus(uids.begin(), uids.end());
        auto shared = [&](uint32_t uid) { return std::count(uids.begin(), uids.end(), uid) > 1; };

        uint32_t found[16] = {};
        int count = 0;
        if (pick(8) == 0) {
            bus.pullBetween(pick(2000), 2000 + pick(20000));
            ++tally.pulls;
        }
        int64_t start = tim_nowUs();
        captureStdout([&] { count = app_discovery(found, kLimit); });
        ASSERT_LE(tim_nowUs() - start, kDiscoveryBudgetUs);
        bus.pullBetween(0, 0);
        ASSERT_LE(count, kLimit);
        for (int i = 0; i < count; ++i) ASSERT_TRUE(onBus.count(found[i])) << "phantom " << std::hex << found[i];
        ASSERT_EQ(std::set<uint32_t>(found, found + count).size(), static_cast<size_t>(count)) << "listed twice";
        tally.panelsFound += count;

        // As the window does: the panels found, sometimes with the rest of the bus
        // listed as a loaded list would add them, all read first; then each edited
        // and sent back.
        std::vector<uint32_t> listed(found, found + count);
        if (pick(2) == 0) {
            for (uint32_t uid : onBus) {
                if (std::find(listed.begin(), listed.end(), uid) != listed.end()) continue;
                addDevUID(uid);
                listed.push_back(uid);
            }
        }
        std::vector<uint32_t> answered;
        for (uint32_t uid : listed) {
            start = tim_nowUs();
            int read = 0;
            captureStdout([&] { read = app_setup_read(uid); });
            ASSERT_LE(tim_nowUs() - start, kReadBudgetUs);
            if (read == 1) answered.push_back(uid);
        }
        for (uint32_t uid : answered) {
            DeviceRecord record;
            ASSERT_TRUE(dev_copyByUid(uid, &record));
            const VirtualPanel* p = bus.panel(uid);
            ASSERT_NE(p, nullptr);
            if (!shared(uid)) {
                // What the table holds is what the panel holds, never a corrupted or foreign answer.
                ASSERT_EQ(record.intensity, p->intensity);
                ASSERT_EQ(record.verMajor, p->verMajor);
                ASSERT_EQ(record.verMinor, p->verMinor);
                for (int b = 0; b < DEV_BUTTONS; ++b) {
                    ASSERT_EQ(record.btn[b].type, p->btn[b].type);
                    ASSERT_EQ(record.btn[b].scn, p->btn[b].scn);
                    if (record.dmxKnown & 1u << b) {
                        ASSERT_EQ(std::memcmp(record.dmx[b], p->dmx[b], DMX_BLOCK_SIZE), 0);
                    }
                }
            }
            uint8_t before[DEV_BUTTONS][DMX_BLOCK_SIZE];
            std::memcpy(before, p->dmx, sizeof before);

            PanelSetup setup{};
            setup.intensity = static_cast<uint8_t>(pick(3));
            for (auto& b : setup.btn) b = {static_cast<uint8_t>(pick(3)), static_cast<uint16_t>(rng())};
            for (int b = 0; b < DEV_BUTTONS; ++b) {
                if (pick(3) != 0) continue;  // the operator sets this block in the DMX setup dialog
                for (auto& byte : record.dmx[b]) byte = static_cast<uint8_t>(rng());
                record.dmxKnown = static_cast<uint8_t>(record.dmxKnown | 1u << b);
            }
            if (pick(6) == 0) {
                bus.pullBetween(pick(400), 400 + pick(4000));
                ++tally.pulls;
            }
            start = tim_nowUs();
            int sent = 0;
            captureStdout([&] { sent = app_setup_send(uid, &setup, record.dmx, record.dmxKnown); });
            ASSERT_LE(tim_nowUs() - start, kSendSetupBudgetUs);
            bus.pullBetween(0, 0);

            // The tick after the cable came back opens it again.
            ASSERT_GE(cable_poll(), -1);
            ASSERT_GE(cable_device(), 0);

            // A block is what the panel had or what the operator set, nothing else.
            if (!shared(uid)) {
                for (int b = 0; b < DEV_BUTTONS; ++b) {
                    const bool kept = std::memcmp(p->dmx[b], before[b], DMX_BLOCK_SIZE) == 0;
                    const bool set =
                        (record.dmxKnown & 1u << b) && std::memcmp(p->dmx[b], record.dmx[b], DMX_BLOCK_SIZE) == 0;
                    ASSERT_TRUE(kept || set) << "DMX block " << b << " lost";
                    if ((record.dmxKnown & 1u << b) == 0) ++tally.blocksKept;
                }
            }
            if (sent == 1) {
                ++tally.confirmedSends;
                // Every packet was confirmed: a panel with this UID (two may share it)
                // holds exactly what was sent.
                bool held = false;
                for (size_t k = 0; k < bus.panelCount(); ++k) {
                    const VirtualPanel& q = bus.panelAt(k);
                    if (q.uid != uid) continue;
                    bool same = q.intensity == setup.intensity;
                    for (int b = 0; b < DEV_BUTTONS; ++b) {
                        same = same && q.btn[b].type == setup.btn[b].type && q.btn[b].scn == setup.btn[b].scn;
                        if (record.dmxKnown & 1u << b)
                            same = same && std::memcmp(q.dmx[b], record.dmx[b], DMX_BLOCK_SIZE) == 0;
                    }
                    held = held || same;
                }
                ASSERT_TRUE(held);
            }
        }
        for (int i = 0; i < dev_count(); ++i) ASSERT_TRUE(onBus.count(dev_uidAt(i))) << "phantom row";

        cable_free();
        port_setDriver(nullptr);
    }
};

TEST_F(Soak, FaultsOnTheBusManySeeds) {
    Tally tally;
    const char *count = std::getenv("KORVANE_SOAK_SEEDS"), *first = std::getenv("KORVANE_SOAK_FIRST");
    const int seeds = count ? std::atoi(count) : 1000;
    const int from = first ? std::atoi(first) : 1;
    for (int seed = from; seed < from + seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        runSeed(static_cast<uint32_t>(seed), tally);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(tally.panelsFound, 0);
    EXPECT_GT(tally.confirmedSends, 0);
    std::printf(
        "soak: %d runs, %d panels found, %d confirmed sends, %d unread DMX blocks left alone, "
        "%d cable pulls; 0 hangs, 0 phantom UIDs, 0 confirmed-but-wrong setups, 0 DMX blocks lost\n",
        seeds, tally.panelsFound, tally.confirmedSends, tally.blocksKept, tally.pulls);
}
