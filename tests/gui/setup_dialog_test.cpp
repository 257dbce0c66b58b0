// The device setup dialog, answered as an operator would, over virtual panels.
#include <gtest/gtest.h>

#include <cstring>

#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/port/port.h"
#include "gui/buttons.h"
#include "gui/dialog.h"
#include "gui/mainWin.h"
#include "panels/virtual_bus.h"
#include "tests/gui/modal_helpers.h"

using namespace modal;

namespace {

class SetupDialog : public ::testing::Test {
protected:
    void SetUp() override {
        port_setDriver(&bus);
        cable_free();
        packet_resetAssembler();
        dev_removeAll();
        rec.uid = 0x00C0FFEE;
        rec.intensity = 2;
        const uint8_t types[DEV_BUTTONS] = {1, 2, 0, 1, 2, 0};
        const uint16_t scenes[DEV_BUTTONS] = {0x8001, 0x0102, 0x0005, 0xFFFF, 0x0000, 0x4000};
        for (int b = 0; b < DEV_BUTTONS; ++b) rec.btn[b] = {types[b], scenes[b]};
    }
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
        selected_dev = NO_DEVICE;
    }
    static bool sensitive(GtkWidget* w) { return gtk_widget_is_sensitive(w); }

    VirtualBus bus;
    DeviceRecord rec{};
    PanelSetup setup{};
};

TEST_F(SetupDialog, ShowsTheRecordAndHandsItBackUnchanged) {
    OnModal answer("Setup ", [&](GtkWidget* dlg, int* response) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dlg)), "Setup 00C0FFEE");
        EXPECT_EQ(buttonRow(dlg), "OK/SEND to all=-8|OK/SEND=-5|CANCEL=-6");
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comboIntenzity)), 2);
        for (int b = 0; b < DEV_BUTTONS; ++b) EXPECT_TRUE(isActive(radio[SETUP_TYPES * b + rec.btn[b].type])) << b;
        // Mask 0x8001: scene 1 at the top left, scene 16 at the bottom right.
        for (int j = 0; j < SETUP_SCENES; ++j) EXPECT_EQ(isActive(checkBoxScn[j]), j == 0 || j == 15) << j;
        EXPECT_LT(checkBoxScn[0]->allocation.x, checkBoxScn[15]->allocation.x);
        EXPECT_LT(checkBoxScn[0]->allocation.y, checkBoxScn[15]->allocation.y);
        EXPECT_TRUE(pumpUntil([] { return !sensitive(scnSetup[2]) && !sensitive(scnSetup[5]); }));
        EXPECT_TRUE(sensitive(scnSetup[0]) && sensitive(scnSetup[1]));
        *response = GTK_RESPONSE_OK;
    });
    EXPECT_EQ(input_dialog(&rec, &setup), 1);
    EXPECT_TRUE(answer.ran());
    EXPECT_EQ(setup.intensity, 2);
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        EXPECT_EQ(setup.btn[b].type, rec.btn[b].type) << b;
        EXPECT_EQ(setup.btn[b].scn, rec.btn[b].scn) << b;
    }
}

TEST_F(SetupDialog, OffGreysTheScenesWhichAreStillReadOutAndIdentifyStaysUsable) {
    VirtualPanel& panel = bus.addPanel(rec.uid);
    rec.btn[2].type = 1;
    OnModal answer("Setup ", [&](GtkWidget*, int* response) {
        setActive(radio[SETUP_TYPES * 2 + 0]);  // "Off"
        EXPECT_TRUE(pumpUntil([] { return !sensitive(scnSetup[2]); }));
        setActive(radio[SETUP_TYPES * 2 + 2]);  // "Scene LATCH"
        EXPECT_TRUE(pumpUntil([] { return sensitive(scnSetup[2]); }));
        setActive(radio[SETUP_TYPES * 2 + 0]);
        EXPECT_TRUE(pumpUntil([] { return !sensitive(scnSetup[2]); }));
        EXPECT_TRUE(sensitive(btnIdentify[2]));
        gtk_button_clicked(GTK_BUTTON(btnIdentify[2]));  // button 3 alone: mask 4
        EXPECT_EQ(panel.identifyCount, 1);
        EXPECT_EQ(panel.lastIdentifyMask, 4);
        *response = GTK_RESPONSE_OK;
    });
    EXPECT_EQ(input_dialog(&rec, &setup), 1);
    EXPECT_EQ(setup.btn[2].type, 0);
    EXPECT_EQ(setup.btn[2].scn, 0x0005);
}

TEST_F(SetupDialog, ClosingFromTheTitleBarGivesZeroAndWritesNothing) {
    OnModal answer("Setup ", [&](GtkWidget* dlg, int* response) {
        setActive(checkBoxScn[5]);
        closeByTitleBar(dlg);
        *response = GTK_RESPONSE_NONE;
    });
    std::memset(&setup, 0xAA, sizeof setup);
    const PanelSetup before = setup;
    EXPECT_EQ(input_dialog(&rec, &setup), 0);
    EXPECT_TRUE(answer.ran());
    EXPECT_EQ(std::memcmp(&setup, &before, sizeof setup), 0);
    EXPECT_EQ(findDialog("Setup "), nullptr);
}

// A panel's intensity 5 and button types 3 and 9 are not offered; they must
// come back as they were, also after the 100 ms update has run.
TEST_F(SetupDialog, ValuesItDoesNotOfferComeBackUnchanged) {
    rec.intensity = 5;
    rec.btn[0].type = 3;
    rec.btn[1].type = 9;
    OnModal answer("Setup ", [&](GtkWidget*, int* response) {
        gchar* shown = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(comboIntenzity));
        EXPECT_STREQ(shown, "5 (panel)");
        g_free(shown);
        ASSERT_TRUE(radioExtra[0] && radioExtra[1]);
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(radioExtra[0])), "Key (3)");
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(radioExtra[1])), "Type 9 (panel)");
        EXPECT_TRUE(pumpUntil([] { return !sensitive(scnSetup[0]) && !sensitive(scnSetup[1]); }));
        pumpFor(250);
        EXPECT_TRUE(isActive(radioExtra[0]) && isActive(radioExtra[1]));
        setActive(radio[SETUP_TYPES * 1 + 2]);  // the operator's own pick wins
        *response = GTK_RESPONSE_OK;
    });
    EXPECT_EQ(input_dialog(&rec, &setup), 1);
    EXPECT_EQ(setup.intensity, 5);
    EXPECT_EQ(setup.btn[0].type, 3);
    EXPECT_EQ(setup.btn[1].type, 2);
}

// Through the "Setup device" action: the selected panel's setup is read, edited
// and sent, with that panel's DMX blocks, to every panel in the table.
TEST_F(SetupDialog, OkSendToAllReachesEveryPanelWithTheSelectedDmxBlocks) {
    const uint32_t uids[3] = {0x101, 0x202, 0x303};
    for (uint32_t uid : uids) bus.addPanel(uid), addDevUID(uid);
    VirtualPanel& chosen = *bus.panel(uids[1]);
    chosen.intensity = 2;
    chosen.btn[3] = {1, 0x0010};
    for (int b = 0; b < DEV_BUTTONS; ++b)
        for (int i = 0; i < DMX_BLOCK_SIZE; ++i) chosen.dmx[b][i] = static_cast<uint8_t>((b * DMX_BLOCK_SIZE + i) * 7);
    uint8_t blocks[DEV_BUTTONS][DMX_BLOCK_SIZE];
    std::memcpy(blocks, chosen.dmx, sizeof blocks);
    selected_dev = static_cast<int32_t>(uids[1]);

    OnModal answer("Setup 00000202", [&](GtkWidget*, int* response) {
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comboIntenzity)), 2);
        gtk_combo_box_set_active(GTK_COMBO_BOX(comboIntenzity), 0);
        setActive(radio[SETUP_TYPES * 5 + 2]);
        setActive(checkBoxScn[SETUP_SCENES * 5 + 4]);
        *response = GTK_RESPONSE_YES;
    });
    buttonEditAction(nullptr, nullptr);
    ASSERT_TRUE(answer.ran());
    for (uint32_t uid : uids) {
        const VirtualPanel& p = *bus.panel(uid);
        const PanelSetup got = p.setup();
        EXPECT_EQ(got.intensity, 0) << uid;
        EXPECT_EQ(got.btn[3].type, 1) << uid;
        EXPECT_EQ(got.btn[3].scn, 0x0010) << uid;
        EXPECT_EQ(got.btn[5].type, 2) << uid;
        EXPECT_EQ(got.btn[5].scn, 0x0010) << uid;
        EXPECT_EQ(std::memcmp(p.dmx, blocks, sizeof blocks), 0) << uid;
    }
}

}  // namespace
