// Faults on the virtual bus, many seeds, on the virtual clock: line noise,
// colliding, corrupted, dropped and late answers, silent panels, and the cable
// pulled in the middle of an operation. Nothing hangs, every operation ends
// within its retry budget, no UID that is not on the bus enters the table, and a
// setup the panel confirmed is exactly what it holds and what reads back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "app/app_discovery.h"
#include "app/app_setup.h"
#include "bus/timer.h"
#include "tests/support/faulty_driver.h"
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
constexpr int64_t kDiscoveryBudgetUs = 5 * (kSendUs + 12000) + (4 * kLimit + 1) * (36 * kCompareBudgetUs + kMuteBudgetUs);

int soakSeeds() {
    const char* s = std::getenv("KORVANE_SOAK_SEEDS");
    return s ? std::atoi(s) : 1000;
}

struct Tally {
    int runs = 0;
    int panelsFound = 0;
    int confirmedSends = 0;
    int pulls = 0;
};

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
        VirtualBus bus;
        FaultyDriver cable(bus);
        port_setDriver(&cable);
        cable_free();
        packet_resetAssembler();
        app_installParsers();
        dev_removeAll();

        const int panels = 1 + pick(5);
        bus.addRandomPanels(panels, seed);
        for (size_t i = 0; i < bus.panelCount(); ++i) {
            VirtualPanel& p = bus.panelAt(i);
            switch (pick(8)) {
                case 0: p.faults.silent = true; break;
                case 1: p.faults.answerEvery = 2 + pick(2); break;
                case 2: p.faults.corruptAnswers = true; break;
                case 3: p.faults.answerDelayUs = 3000 + pick(9000); break;  // late, still inside 15 ms
                default: break;
            }
        }
        if (pick(4) == 0) bus.addPanel(bus.panelAt(0).uid);  // two panels, one UID
        if (pick(3) == 0) bus.setLineNoise(5.0 + pick(40), seed);
        const std::vector<uint32_t> uids = bus.uids();
        const std::set<uint32_t> onBus(uids.begin(), uids.end());

        uint32_t found[16] = {};
        int count = 0;
        if (pick(8) == 0) {
            cable.pullBetween(pick(2000), 2000 + pick(20000));
            ++tally.pulls;
        }
        int64_t start = tim_nowUs();
        captureStdout([&] { count = app_discovery(found, kLimit); });
        ASSERT_LE(tim_nowUs() - start, kDiscoveryBudgetUs);
        cable.pullBetween(0, 0);
        ASSERT_LE(count, kLimit);
        for (int i = 0; i < count; ++i) ASSERT_TRUE(onBus.count(found[i])) << "phantom " << std::hex << found[i];
        tally.panelsFound += count;

        for (int i = 0; i < count; ++i) {
            const uint32_t uid = found[i];
            const bool pull = pick(6) == 0;
            if (pull) {
                cable.pullBetween(pick(400), 400 + pick(4000));
                ++tally.pulls;
            }
            PanelSetup setup{};
            setup.intensity = static_cast<uint8_t>(pick(3));
            for (auto& b : setup.btn) b = {static_cast<uint8_t>(pick(3)), static_cast<uint16_t>(rng())};
            uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE];
            for (auto& block : dmx)
                for (auto& byte : block) byte = static_cast<uint8_t>(rng());

            start = tim_nowUs();
            int sent = 0;
            captureStdout([&] { sent = app_setup_send(uid, &setup, dmx); });
            ASSERT_LE(tim_nowUs() - start, kSendSetupBudgetUs);
            cable.pullBetween(0, 0);

            // The tick after the cable came back opens it again.
            ASSERT_GE(cable_poll(), -1);
            ASSERT_GE(cable_device(), 0);

            const VirtualPanel* p = bus.panel(uid);
            ASSERT_NE(p, nullptr);
            if (sent == 1) {
                ++tally.confirmedSends;
                // The last block was confirmed, so the setup packet was too: a panel
                // with this UID (two may share it) holds exactly what was sent.
                bool held = false;
                for (size_t k = 0; k < bus.panelCount(); ++k) {
                    const VirtualPanel& q = bus.panelAt(k);
                    if (q.uid != uid) continue;
                    bool same = q.intensity == setup.intensity && std::memcmp(q.dmx[5], dmx[5], DMX_BLOCK_SIZE) == 0;
                    for (int b = 0; b < DEV_BUTTONS; ++b)
                        same = same && q.btn[b].type == setup.btn[b].type && q.btn[b].scn == setup.btn[b].scn;
                    held = held || same;
                }
                ASSERT_TRUE(held);
            }

            start = tim_nowUs();
            int read = 0;
            captureStdout([&] { read = app_setup_read(uid); });
            ASSERT_LE(tim_nowUs() - start, kReadBudgetUs);
            if (read == 1 && bus.panelCount() == onBus.size()) {
                // What the table holds is what the panel holds, never a corrupted answer.
                DeviceRecord r;
                ASSERT_TRUE(dev_copyByUid(uid, &r));
                ASSERT_EQ(r.intensity, p->intensity);
                for (int b = 0; b < DEV_BUTTONS; ++b) ASSERT_EQ(r.btn[b].scn, p->btn[b].scn);
                ASSERT_EQ(r.verMajor, p->verMajor);
            }
        }
        for (int i = 0; i < dev_count(); ++i) ASSERT_TRUE(onBus.count(dev_uidAt(i)));
        ++tally.runs;
        cable_free();
        port_setDriver(nullptr);
    }
};

TEST_F(Soak, FaultsOnTheBusManySeeds) {
    Tally tally;
    const int seeds = soakSeeds();
    const char* first = std::getenv("KORVANE_SOAK_FIRST");
    const int from = first ? std::atoi(first) : 1;
    for (int seed = from; seed < from + seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        runSeed(static_cast<uint32_t>(seed), tally);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(tally.runs, seeds);
    EXPECT_GT(tally.panelsFound, 0);
    EXPECT_GT(tally.confirmedSends, 0);
    RecordProperty("runs", tally.runs);
    RecordProperty("panels_found", tally.panelsFound);
    RecordProperty("confirmed_sends", tally.confirmedSends);
    RecordProperty("cable_pulls", tally.pulls);
    std::printf("soak: %d runs, %d panels found, %d confirmed sends, %d cable pulls\n", tally.runs,
                tally.panelsFound, tally.confirmedSends, tally.pulls);
}
