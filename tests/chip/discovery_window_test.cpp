// The window on the emulated cable, as an installer starts it (KORVANE_PORT unset).
#include <algorithm>

#include "bus/cable.h"
#include "gui/buttons.h"
#include "tests/gui/gui_fixture.h"
#include "tests/support/ft232r.h"

using ChipWindow = GuiTest;

TEST_F(ChipWindow, DiscoveryFindsThePanelsOnTheCable) {
    Ft232r chip("KV00001");
    chip.plug();
    chip.line().addPanel(0x7FFFFFF7).verMajor = 3;
    chip.line().addPanel(0x5FFFFFFF);
    unsetenv("KORVANE_PORT");
    port_setDriver(nullptr);
    answers.push(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(getButtonDiscovery()));
    ASSERT_TRUE(finish("the discovery worker"));
    EXPECT_EQ(answers.seen, (Texts{"info: 2 devices found."}));
    ASSERT_EQ(rows(), 2);
    std::vector<std::string> shown = {cell(0, 1) + " " + cell(0, 2), cell(1, 1) + " " + cell(1, 2)};
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, (std::vector<std::string>{"5FFFFFFF 2.0", "7FFFFFF7 3.0"}));
    cable_free();
    port_setDriver(&bus);  // the ticks after the test, while the cable goes
}
