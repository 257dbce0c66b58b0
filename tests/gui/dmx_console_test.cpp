// The DMX console over the virtual bus: what the line carries while it is open,
// and that its frames stay out of a bus operation's exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bus/cable.h"
#include "bus/port/port.h"
#include "gui/dmxConsole.h"
#include "panels/virtual_bus.h"
#include "tests/gui/modal_helpers.h"

using namespace modal;

namespace {

class DmxConsole : public ::testing::Test {
protected:
    void SetUp() override {
        port_setDriver(&bus);
        cable_free();
        bus.addPanel(0x555);
    }
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
    }
    // Console frames heard: after a break, start code 0 and 512 levels.
    size_t frames() const {
        const auto heard = bus.heard();
        return std::count_if(heard.begin(), heard.end(), [](const VirtualBus::Transmission& t) {
            return t.afterBreak && t.bytes.size() == DMX_CONSOLE_FRAME && t.bytes[0] == 0;
        });
    }
    bool universeAll(uint8_t level) const {
        const std::vector<uint8_t> u = bus.lastUniverse();
        return u.size() == DMX_UNIVERSE && std::all_of(u.begin(), u.end(), [&](uint8_t v) { return v == level; });
    }
    // After the console has closed: no further frame.
    void expectSilence() {
        const size_t sent = frames();
        pumpFor(200);
        EXPECT_EQ(frames(), sent);
    }

    VirtualBus bus;
};

TEST_F(DmxConsole, EveryChannelCarriesTheSliderLevel) {
    OnModal answer("DMX output", [&](GtkWidget* dlg, int*) {
        EXPECT_EQ(buttonRow(dlg), "gtk-cancel=-6");
        EXPECT_TRUE(pumpUntil([&] { return frames() >= 1; }));
        EXPECT_TRUE(universeAll(0));
        gtk_test_slider_set_perc(vscale, 100.0);  // the top
        EXPECT_TRUE(pumpUntil([&] { return universeAll(255); }));
        gtk_test_slider_set_perc(vscale, 0.0);
        EXPECT_TRUE(pumpUntil([&] { return universeAll(0); }));
    });
    dmxConsole();
    EXPECT_TRUE(answer.ran());
    expectSilence();
    EXPECT_FALSE(bus.isOpen());  // it opened the port, so it released it
}

TEST_F(DmxConsole, TitleBarCloseStopsTheFramesAndLeavesAnOpenPortOpen) {
    ASSERT_GE(cable_open(), 0);  // as the status tick leaves it
    OnModal answer("DMX output", [&](GtkWidget* dlg, int* response) {
        gtk_adjustment_set_value(GTK_ADJUSTMENT(adj1), 77);
        EXPECT_TRUE(pumpUntil([&] { return universeAll(77); }));
        closeByTitleBar(dlg);
        *response = GTK_RESPONSE_NONE;
    });
    dmxConsole();
    EXPECT_TRUE(answer.ran());
    expectSilence();
    EXPECT_TRUE(bus.isOpen());
}

// A worker holds the cable across its exchange: no console frame goes out
// until it lets go.
TEST_F(DmxConsole, NoFrameWhileAnOperationHoldsTheCable) {
    OnModal answer("DMX output", [&](GtkWidget*, int*) {
        EXPECT_TRUE(pumpUntil([&] { return frames() >= 1; }));
        std::atomic<bool> held{false}, release{false};
        std::thread worker([&] {
            CableHold hold;
            held = true;
            while (!release) std::this_thread::yield();
        });
        while (!held) std::this_thread::yield();
        const size_t before = frames();
        pumpFor(300);  // several console ticks
        EXPECT_EQ(frames(), before);
        release = true;
        worker.join();
        EXPECT_TRUE(pumpUntil([&] { return frames() > before; }));
    });
    dmxConsole();
    EXPECT_TRUE(answer.ran());
}

}  // namespace
