// The device setup dialog, driven as an operator would, over virtual panels.
#include <gtest/gtest.h>

#include <cstring>

#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/port/port.h"
#include "devices/devices.h"
#include "gui/buttons.h"
#include "gui/dialog.h"
#include "gui/dmxSetup.h"
#include "gui/mainWin.h"
#include "panels/virtual_bus.h"
#include "tests/gui/modal_helpers.h"

using modal::isActive;
using modal::OnModal;
using modal::pumpUntil;
using modal::setActive;

namespace {

class SetupDialog : public ::testing::Test {
protected:
    void SetUp() override {
        port_setDriver(&bus);
        cable_free();
        packet_resetAssembler();
        dev_removeAll();
    }
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
        dev_removeAll();
        selected_dev = NO_DEVICE;
    }

    static DeviceRecord record(uint32_t uid) {
        DeviceRecord r{};
        r.uid = uid;
        r.intensity = 2;
        const uint8_t types[DEV_BUTTONS] = {1, 2, 0, 1, 2, 0};
        const uint16_t scenes[DEV_BUTTONS] = {0x8001, 0x0102, 0x0004, 0xFFFF, 0x0000, 0x4000};
        for (int b = 0; b < DEV_BUTTONS; ++b) r.btn[b] = {types[b], scenes[b]};
        r.verMajor = 2;
        r.verMinor = 7;
        return r;
    }

    static bool sensitive(GtkWidget* w) { return gtk_widget_is_sensitive(w); }

    VirtualBus bus;
};

TEST_F(SetupDialog, ShowsTheRecordAndHandsItBackUnchanged) {
    DeviceRecord rec = record(0x00C0FFEE);
    OnModal answer("Setup ", [&](GtkWidget* dlg, int* response) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dlg)), "Setup 00C0FFEE");
        EXPECT_EQ(modal::buttonRow(dlg), "OK/SEND to all=-8|OK/SEND=-5|CANCEL=-6");
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comboIntenzity)), 2);
        for (int b = 0; b < DEV_BUTTONS; ++b)
            for (int t = 0; t < SETUP_TYPES; ++t)
                EXPECT_EQ(isActive(radio[SETUP_TYPES * b + t]), t == rec.btn[b].type) << b << ' ' << t;
        // Mask 0x8001 of button 1: scene 1 at the top left, scene 16 at the bottom right.
        for (int j = 0; j < SETUP_SCENES; ++j) EXPECT_EQ(isActive(checkBoxScn[j]), j == 0 || j == 15) << j;
        const GtkAllocation& first = checkBoxScn[0]->allocation;
        const GtkAllocation& last = checkBoxScn[15]->allocation;
        EXPECT_LT(first.x, last.x);
        EXPECT_LT(first.y, last.y);
        for (int j = 1; j < SETUP_SCENES - 1; ++j) {
            EXPECT_GE(checkBoxScn[j]->allocation.x, first.x);
            EXPECT_LE(checkBoxScn[j]->allocation.x, last.x);
        }
        // The update greys the scenes of the buttons that are "Off".
        EXPECT_TRUE(pumpUntil([] { return !sensitive(scnSetup[2]) && !sensitive(scnSetup[5]); }));
        EXPECT_TRUE(sensitive(scnSetup[0]));
        EXPECT_TRUE(sensitive(scnSetup[1]));
        *response = GTK_RESPONSE_OK;
    });
    PanelSetup setup{};
    EXPECT_EQ(input_dialog(&rec, &setup), 1);
    EXPECT_TRUE(answer.ran());
    EXPECT_EQ(setup.intensity, rec.intensity);
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        EXPECT_EQ(setup.btn[b].type, rec.btn[b].type) << b;
        EXPECT_EQ(setup.btn[b].scn, rec.btn[b].scn) << b;
    }
}

TEST_F(SetupDialog, OffGreysTheScenesWhichAreStillReadOutAndIdentifyStaysUsable) {
    const uint32_t uid = 0x01020304;
    VirtualPanel& panel = bus.addPanel(uid);
    DeviceRecord rec = record(uid);
    rec.btn[2] = {1, 0x0005};
    OnModal answer("Setup ", [&](GtkWidget*, int* response) {
        EXPECT_TRUE(pumpUntil([] { return sensitive(scnSetup[2]); }));
        setActive(radio[SETUP_TYPES * 2 + 0], true);  // "Off"
        EXPECT_TRUE(pumpUntil([] { return !sensitive(scnSetup[2]); }));
        EXPECT_TRUE(isActive(checkBoxScn[SETUP_SCENES * 2 + 0]));
        EXPECT_TRUE(isActive(checkBoxScn[SETUP_SCENES * 2 + 2]));
        setActive(radio[SETUP_TYPES * 2 + 2], true);  // "Scene LATCH"
        EXPECT_TRUE(pumpUntil([] { return sensitive(scnSetup[2]); }));
        setActive(radio[SETUP_TYPES * 2 + 0], true);
        EXPECT_TRUE(pumpUntil([] { return !sensitive(scnSetup[2]); }));

        // "Identify" of button 3 asks for that button alone, whatever its type.
        EXPECT_TRUE(sensitive(btnIdentify[2]));
        gtk_button_clicked(GTK_BUTTON(btnIdentify[2]));
        EXPECT_EQ(panel.identifyCount, 1);
        EXPECT_EQ(panel.lastIdentifyMask, 4);
        *response = GTK_RESPONSE_OK;
    });
    PanelSetup setup{};
    EXPECT_EQ(input_dialog(&rec, &setup), 1);
    EXPECT_EQ(setup.btn[2].type, 0);
    EXPECT_EQ(setup.btn[2].scn, 0x0005);
}

TEST_F(SetupDialog, ClosingFromTheTitleBarGivesZeroAndWritesNothing) {
    DeviceRecord rec = record(0x0000ABCD);
    OnModal answer("Setup ", [&](GtkWidget* dlg, int* response) {
        setActive(radio[0], true);
        setActive(checkBoxScn[5], true);
        modal::closeByTitleBar(dlg);
        *response = GTK_RESPONSE_NONE;
    });
    PanelSetup setup;
    std::memset(&setup, 0xAA, sizeof setup);
    PanelSetup before = setup;
    EXPECT_EQ(input_dialog(&rec, &setup), 0);
    EXPECT_TRUE(answer.ran());
    EXPECT_EQ(std::memcmp(&setup, &before, sizeof setup), 0);
    EXPECT_EQ(modal::findDialog("Setup "), nullptr);
}

// Intensity 5 and button types 3 and 9 come from a panel; the dialog offers
// none of them and must not change them behind the operator's back.
TEST_F(SetupDialog, ValuesItDoesNotOfferComeBackUnchanged) {
    DeviceRecord rec = record(0x00000042);
    rec.intensity = 5;
    rec.btn[0].type = 3;
    rec.btn[1].type = 9;
    OnModal answer("Setup ", [&](GtkWidget*, int* response) {
        gchar* shown = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(comboIntenzity));
        EXPECT_STREQ(shown, "5 (panel)");
        g_free(shown);
        ASSERT_NE(radioExtra[0], nullptr);
        ASSERT_NE(radioExtra[1], nullptr);
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(radioExtra[0])), "Key (3)");
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(radioExtra[1])), "Type 9 (panel)");
        EXPECT_EQ(radioExtra[2], nullptr);
        // Let the update run: it greys these scenes but keeps the choices.
        EXPECT_TRUE(pumpUntil([] { return !sensitive(scnSetup[0]) && !sensitive(scnSetup[1]); }));
        modal::pumpFor(250);
        EXPECT_TRUE(isActive(radioExtra[0]));
        EXPECT_TRUE(isActive(radioExtra[1]));
        EXPECT_FALSE(isActive(radio[0]));
        EXPECT_FALSE(isActive(radio[SETUP_TYPES]));
        *response = GTK_RESPONSE_OK;
    });
    PanelSetup setup{};
    EXPECT_EQ(input_dialog(&rec, &setup), 1);
    EXPECT_EQ(setup.intensity, 5);
    EXPECT_EQ(setup.btn[0].type, 3);
    EXPECT_EQ(setup.btn[1].type, 9);
    EXPECT_EQ(setup.btn[0].scn, rec.btn[0].scn);

    // Picking an offered value replaces the panel's.
    OnModal again("Setup ", [&](GtkWidget*, int* response) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(comboIntenzity), 1);
        setActive(radio[SETUP_TYPES * 1 + 2], true);
        *response = GTK_RESPONSE_OK;
    });
    EXPECT_EQ(input_dialog(&rec, &setup), 1);
    EXPECT_EQ(setup.intensity, 1);
    EXPECT_EQ(setup.btn[0].type, 3);
    EXPECT_EQ(setup.btn[1].type, 2);
}

// The "Setup device" action: the selected panel's setup is read, edited and,
// with "OK/SEND to all", sent with the selected panel's DMX blocks to all.
TEST_F(SetupDialog, OkSendToAllReachesEveryPanelWithTheSelectedDmxBlocks) {
    const uint32_t uids[3] = {0x00000101, 0x00000202, 0x00000303};
    for (uint32_t uid : uids) bus.addPanel(uid);
    VirtualPanel& chosen = *bus.panel(uids[1]);
    chosen.intensity = 2;
    chosen.btn[3] = {1, 0x0010};
    for (int b = 0; b < DEV_BUTTONS; ++b)
        for (int i = 0; i < DMX_BLOCK_SIZE; ++i) chosen.dmx[b][i] = static_cast<uint8_t>(b * 31 + i);
    uint8_t blocks[DEV_BUTTONS][DMX_BLOCK_SIZE];
    std::memcpy(blocks, chosen.dmx, sizeof blocks);
    for (uint32_t uid : uids) addDevUID(uid);
    selected_dev = static_cast<int32_t>(uids[1]);

    OnModal answer("Setup 00000202", [&](GtkWidget*, int* response) {
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comboIntenzity)), 2);  // read from the panel
        EXPECT_TRUE(isActive(radio[SETUP_TYPES * 3 + 1]));
        gtk_combo_box_set_active(GTK_COMBO_BOX(comboIntenzity), 0);
        setActive(radio[SETUP_TYPES * 5 + 2], true);
        setActive(checkBoxScn[SETUP_SCENES * 5 + 4], true);
        *response = GTK_RESPONSE_YES;
    });
    buttonEditAction(nullptr, nullptr);
    ASSERT_TRUE(answer.ran());

    for (uint32_t uid : uids) {
        const VirtualPanel& p = *bus.panel(uid);
        const PanelSetup got = p.setup();
        EXPECT_EQ(got.intensity, 0) << std::hex << uid;
        EXPECT_EQ(got.btn[3].type, 1) << std::hex << uid;
        EXPECT_EQ(got.btn[3].scn, 0x0010) << std::hex << uid;
        EXPECT_EQ(got.btn[5].type, 2) << std::hex << uid;
        EXPECT_EQ(got.btn[5].scn, 0x0010) << std::hex << uid;
        EXPECT_EQ(std::memcmp(p.dmx, blocks, sizeof blocks), 0) << std::hex << uid;
    }
}

}  // namespace
