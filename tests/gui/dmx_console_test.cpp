// The DMX console over the virtual bus: what the line carries while it is open,
// and that its frames stay out of a bus operation's exchange.
#include <algorithm>
#include <atomic>
#include <thread>

#include "bus/cable.h"
#include "gui/dmxConsole.h"
#include "tests/gui/gui_fixture.h"

using DmxConsole = GuiTest;

// Every channel carries the slider's level; a worker holding the cable across
// its exchange keeps the frames off the line until it lets go. Closed, the
// console sends nothing more and leaves the port as it found it.
TEST_F(DmxConsole, FramesFollowTheSliderWaitForTheCableAndStopAtTheClose) {
    // Console frames heard: after a break, start code 0 and 512 levels.
    auto frames = [&] {
        const auto heard = bus.heard();
        return std::count_if(heard.begin(), heard.end(), [](const VirtualBus::Transmission& t) {
            return t.afterBreak && t.bytes.size() == DMX_CONSOLE_FRAME && t.bytes[0] == 0;
        });
    };
    auto universeAll = [&](uint8_t level) {
        const std::vector<uint8_t> u = bus.lastUniverse();
        return u.size() == DMX_UNIVERSE && std::all_of(u.begin(), u.end(), [&](uint8_t v) { return v == level; });
    };
    auto expectSilence = [&] {  // after the console has closed: no further frame
        const auto sent = frames();
        pumpFor(200);
        EXPECT_EQ(frames(), sent);
    };
    bus.addPanel(0x555);
    answers.push(GTK_RESPONSE_CANCEL, [&](GtkDialog* d) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "DMX output");
        EXPECT_EQ(buttonRow(GTK_WIDGET(d)), "gtk-cancel=-6");
        pumpUntil("a first console frame", [&] { return frames() >= 1; });
        EXPECT_TRUE(universeAll(0));
        gtk_test_slider_set_perc(named("vscale"), 100.0);  // the top
        pumpUntil("frames of level 255", [&] { return universeAll(255); });
        gtk_test_slider_set_perc(named("vscale"), 0.0);
        pumpUntil("frames of level 0", [&] { return universeAll(0); });

        std::atomic<bool> held{false}, release{false};
        std::thread worker([&] {
            CableHold hold;
            held = true;
            while (!release) std::this_thread::yield();
        });
        pumpUntil("the worker to hold the cable", [&] { return held.load(); });
        const auto before = frames();
        pumpFor(300);  // several console ticks
        EXPECT_EQ(frames(), before);
        release = true;
        joinWithin(worker, "the thread holding the cable");
        pumpUntil("frames once the cable is free", [&] { return frames() > before; });
    });
    dmxConsole();
    expectSilence();
    EXPECT_FALSE(bus.isOpen()) << "it opened the port, so it releases it";

    ASSERT_GE(cable_open(), 0);  // as the status tick leaves it
    answers.push(GTK_RESPONSE_NONE, [&](GtkDialog* d) {
        gtk_adjustment_set_value(gtk_range_get_adjustment(GTK_RANGE(named("vscale"))), 77);
        pumpUntil("frames of level 77", [&] { return universeAll(77); });
        closeByTitleBar(GTK_WIDGET(d));
    });
    dmxConsole();
    expectSilence();
    EXPECT_TRUE(bus.isOpen());
}
