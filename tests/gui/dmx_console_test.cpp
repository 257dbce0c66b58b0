// The DMX console over the virtual bus: what the line carries while it is open,
// and that its frames stay out of a bus operation's exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/port/port.h"
#include "gui/dmxConsole.h"
#include "panels/virtual_bus.h"
#include "tests/gui/modal_helpers.h"

using modal::OnModal;
using modal::pumpUntil;

namespace {

class DmxConsole : public ::testing::Test {
protected:
    void SetUp() override {
        port_setDriver(&bus);
        cable_free();
        packet_resetAssembler();
        bus.addPanel(0x00000555);
    }
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
    }

    // Console frames heard so far: a break, start code 0 and 512 levels.
    size_t frames() const {
        size_t n = 0;
        for (const VirtualBus::Transmission& t : bus.heard())
            if (t.afterBreak && t.bytes.size() == DMX_CONSOLE_FRAME && t.bytes[0] == 0) ++n;
        return n;
    }
    bool universeAll(uint8_t level) const {
        const std::vector<uint8_t> u = bus.lastUniverse();
        return u.size() == DMX_UNIVERSE && std::all_of(u.begin(), u.end(), [&](uint8_t v) { return v == level; });
    }

    VirtualBus bus;
};

TEST_F(DmxConsole, EveryChannelCarriesTheSliderLevel) {
    OnModal answer("DMX output", [&](GtkWidget* dlg, int* response) {
        EXPECT_EQ(modal::buttonRow(dlg), "gtk-cancel=-6");
        EXPECT_TRUE(pumpUntil([&] { return frames() >= 1; }));
        EXPECT_TRUE(universeAll(0));
        gtk_test_slider_set_perc(vscale, 100.0);  // the top
        EXPECT_EQ(gtk_adjustment_get_value(GTK_ADJUSTMENT(adj1)), 255.0);
        EXPECT_TRUE(pumpUntil([&] { return universeAll(255); }));
        gtk_test_slider_set_perc(vscale, 0.0);
        EXPECT_TRUE(pumpUntil([&] { return universeAll(0); }));
        *response = GTK_RESPONSE_CANCEL;
    });
    dmxConsole();
    EXPECT_TRUE(answer.ran());
    const size_t sent = frames();
    modal::pumpFor(200);
    EXPECT_EQ(frames(), sent);
    EXPECT_FALSE(bus.isOpen());  // it opened the port, so it released it
}

TEST_F(DmxConsole, TitleBarCloseStopsTheFramesAndLeavesAnOpenPortOpen) {
    ASSERT_GE(cable_open(), 0);  // opened by someone else, as the status tick does
    OnModal answer("DMX output", [&](GtkWidget* dlg, int* response) {
        gtk_adjustment_set_value(GTK_ADJUSTMENT(adj1), 77);
        EXPECT_TRUE(pumpUntil([&] { return universeAll(77); }));
        modal::closeByTitleBar(dlg);
        *response = GTK_RESPONSE_NONE;
    });
    dmxConsole();
    EXPECT_TRUE(answer.ran());
    EXPECT_EQ(modal::findDialog("DMX output"), nullptr);
    const size_t sent = frames();
    modal::pumpFor(200);
    EXPECT_EQ(frames(), sent);
    EXPECT_TRUE(bus.isOpen());
}

// A worker holds the cable for its exchange: no console frame goes out until it
// lets go, and then they resume.
TEST_F(DmxConsole, NoFrameWhileAnOperationHoldsTheCable) {
    OnModal answer("DMX output", [&](GtkWidget*, int* response) {
        EXPECT_TRUE(pumpUntil([&] { return frames() >= 1; }));
        std::atomic<bool> held{false}, release{false};
        std::thread worker([&] {
            CableHold hold;
            held = true;
            while (!release) std::this_thread::yield();
        });
        while (!held) std::this_thread::yield();
        const size_t before = frames();
        modal::pumpFor(300);  // several console ticks
        EXPECT_EQ(frames(), before);
        release = true;
        worker.join();
        EXPECT_TRUE(pumpUntil([&] { return frames() > before; }));
        *response = GTK_RESPONSE_CANCEL;
    });
    dmxConsole();
    EXPECT_TRUE(answer.ran());
}

}  // namespace
