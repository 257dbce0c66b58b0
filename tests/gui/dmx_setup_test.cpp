// The DMX setup dialog: address list, rows in reach, the level fields' guard,
// "Clear setup", and where a confirmed block ends up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "devices/devices.h"
#include "gui/dialog.h"
#include "gui/dmxSetup.h"
#include "tests/gui/modal_helpers.h"

using modal::isActive;
using modal::OnModal;
using modal::pumpUntil;

namespace {

class DmxSetup : public ::testing::Test {
protected:
    void SetUp() override { dev_removeAll(); }
    void TearDown() override { dev_removeAll(); }

    // A record in the table and its caller's copy, with button b's block set.
    DeviceRecord tableRecord(uint32_t uid, int b, int start, uint8_t flags) {
        addDevUID(uid);
        uint8_t block[DMX_BLOCK_SIZE];
        block[0] = static_cast<uint8_t>(start & 0xFF);
        block[1] = static_cast<uint8_t>(start >> 8);
        block[2] = 12;
        block[3] = flags;
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) block[4 + k] = static_cast<uint8_t>(k + 10);
        EXPECT_TRUE(dev_storeDmxBlock(uid, b, block));
        DeviceRecord rec{};
        EXPECT_TRUE(dev_copyByUid(uid, &rec));
        return rec;
    }

    static std::string text(GtkWidget* w) {
        return GTK_IS_LABEL(w) ? gtk_label_get_text(GTK_LABEL(w)) : gtk_entry_get_text(GTK_ENTRY(w));
    }
    static bool inReach(int k) {
        return gtk_widget_is_sensitive(values[k]) && gtk_editable_get_editable(GTK_EDITABLE(values[k]));
    }
    static void type(int k, const char* t) { gtk_entry_set_text(GTK_ENTRY(values[k]), t); }
};

TEST_F(DmxSetup, StartAddressDecidesTheRowsInReach) {
    DeviceRecord rec = tableRecord(0x0000ABCD, 2, 505, 0x02);
    uint8_t before[DMX_BLOCK_SIZE];
    std::memcpy(before, rec.dmx[2], sizeof before);
    OnModal answer("DMX setup ", [&](GtkWidget* dlg, int*) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dlg)), "DMX setup 0000ABCD button 3");
        EXPECT_EQ(modal::buttonRow(dlg), "OK=-5|CANCEL=-6");
        EXPECT_FALSE(isActive(checkBoxFlashOn));
        EXPECT_TRUE(isActive(checkBoxFlashOff));
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comboAddress)), 505);
        EXPECT_EQ(text(values[0]), "10");
        EXPECT_EQ(text(values[69]), "79");

        EXPECT_TRUE(pumpUntil([] { return text(labelAddrVal[0]) == "505"; }));
        for (int r = 1; r < DMX_GRID_ROWS; ++r) EXPECT_EQ(text(labelAddrVal[r]), "---") << r;
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) EXPECT_EQ(inReach(k), k <= 7) << k;  // 505..512

        gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), 0);  // "Unused"
        EXPECT_TRUE(pumpUntil([] { return text(labelAddrVal[0]) == "---"; }));
        for (int r = 0; r < DMX_GRID_ROWS; ++r) EXPECT_EQ(text(labelAddrVal[r]), "---") << r;
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) EXPECT_TRUE(inReach(k)) << k;

        gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), 1);
        EXPECT_TRUE(pumpUntil([] { return text(labelAddrVal[6]) == " 61"; }));
        // Clear, then CANCEL: the block stays as it was.
        gtk_button_clicked(GTK_BUTTON(modal::findButton(dlg, "Clear setup")));
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comboAddress)), 0);
        EXPECT_EQ(text(values[33]), "0");
    });
    EXPECT_EQ(dmxSetup_dialog(&rec, nullptr, 2), 0);
    EXPECT_TRUE(answer.ran());
    EXPECT_EQ(std::memcmp(rec.dmx[2], before, sizeof before), 0);
    DeviceRecord table{};
    ASSERT_TRUE(dev_copyByUid(0x0000ABCD, &table));
    EXPECT_EQ(std::memcmp(table.dmx[2], before, sizeof before), 0);
}

TEST_F(DmxSetup, LevelFieldsKeepOnlyDigitsUpTo255) {
    DeviceRecord rec = tableRecord(0x00000077, 0, 1, 0x01);
    OnModal answer("DMX setup ", [&](GtkWidget*, int* response) {
        EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(values[0])), 3);
        for (const char* bad : {"256", "1a", "x", "-1", "+5", " 7", "9 "}) {
            type(0, bad);
            EXPECT_EQ(text(values[0]), "10") << bad;  // the level it was built with
        }
        type(0, "25");
        type(0, "256");
        EXPECT_EQ(text(values[0]), "25");
        type(1, "");
        EXPECT_EQ(text(values[1]), "");
        type(1, "q");
        EXPECT_EQ(text(values[1]), "");
        type(2, "007");
        EXPECT_EQ(text(values[2]), "007");
        type(3, "2555");  // a fourth character does not get in
        EXPECT_EQ(text(values[3]), "255");
        // Greyed fields are stored too.
        gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), 510);
        EXPECT_TRUE(pumpUntil([] { return !inReach(69); }));
        *response = GTK_RESPONSE_OK;
    });
    dmxSetup_dialog(&rec, nullptr, 0);
    DeviceRecord table{};
    ASSERT_TRUE(dev_copyByUid(0x00000077, &table));
    for (const uint8_t* block : {rec.dmx[0], table.dmx[0]}) {
        EXPECT_EQ(block[0] | block[1] << 8, 510);
        EXPECT_EQ(block[2], 70);
        EXPECT_EQ(block[3], 0x01);
        EXPECT_EQ(block[4 + 0], 25);
        EXPECT_EQ(block[4 + 1], 0);
        EXPECT_EQ(block[4 + 2], 7);
        EXPECT_EQ(block[4 + 3], 255);
        for (int k = 4; k < DMX_BLOCK_LEVELS; ++k) EXPECT_EQ(block[4 + k], k + 10) << k;
    }
}

TEST_F(DmxSetup, ClearThenOkStoresAnEmptyBlock) {
    DeviceRecord rec = tableRecord(0x00000078, 5, 300, 0x03);
    OnModal answer("DMX setup ", [&](GtkWidget* dlg, int* response) {
        gtk_button_clicked(GTK_BUTTON(modal::findButton(dlg, "Clear setup")));
        *response = GTK_RESPONSE_OK;
    });
    dmxSetup_dialog(&rec, nullptr, 5);
    uint8_t expected[DMX_BLOCK_SIZE] = {0, 0, 70, 0};
    EXPECT_EQ(std::memcmp(rec.dmx[5], expected, sizeof expected), 0);
    DeviceRecord table{};
    ASSERT_TRUE(dev_copyByUid(0x00000078, &table));
    EXPECT_EQ(std::memcmp(table.dmx[5], expected, sizeof expected), 0);
}

TEST_F(DmxSetup, AnAddressTheListDoesNotOfferIsKept) {
    DeviceRecord rec = tableRecord(0x00000079, 1, 600, 0);
    OnModal answer("DMX setup ", [&](GtkWidget*, int* response) {
        gchar* shown = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(comboAddress));
        EXPECT_STREQ(shown, "Address 600 (panel)");
        g_free(shown);
        EXPECT_TRUE(pumpUntil([] { return !inReach(0); }));
        EXPECT_EQ(text(labelAddrVal[0]), "---");
        *response = GTK_RESPONSE_OK;
    });
    dmxSetup_dialog(&rec, nullptr, 1);
    EXPECT_EQ(rec.dmx[1][0] | rec.dmx[1][1] << 8, 600);
    EXPECT_EQ(rec.dmx[1][4], 10);
}

// The DMX block confirmed from inside the setup dialog stays in the record and
// the table although the setup dialog is then cancelled.
TEST_F(DmxSetup, ConfirmedBlockSurvivesACancelledSetupDialog) {
    DeviceRecord rec = tableRecord(0x0000BEEF, 3, 0, 0);
    rec.btn[3] = {1, 0x0001};
    OnModal setupAnswer("Setup ", [&](GtkWidget*, int* response) {
        OnModal dmxAnswer("DMX setup 0000BEEF button 4", [&](GtkWidget*, int* dmxResponse) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), 100);
            type(5, "99");
            *dmxResponse = GTK_RESPONSE_OK;
        });
        GtkWidget* dmxButton = modal::findButton(scnSetup[3], "DMX setup...");
        ASSERT_NE(dmxButton, nullptr);
        EXPECT_TRUE(pumpUntil([&] { return gtk_widget_is_sensitive(dmxButton); }));
        gtk_button_clicked(GTK_BUTTON(dmxButton));
        EXPECT_TRUE(dmxAnswer.ran());
        *response = GTK_RESPONSE_CANCEL;
    });
    PanelSetup setup{};
    EXPECT_EQ(input_dialog(&rec, &setup), 0);
    ASSERT_TRUE(setupAnswer.ran());
    DeviceRecord table{};
    ASSERT_TRUE(dev_copyByUid(0x0000BEEF, &table));
    for (const uint8_t* block : {rec.dmx[3], table.dmx[3]}) {
        EXPECT_EQ(block[0] | block[1] << 8, 100);
        EXPECT_EQ(block[4 + 5], 99);
        EXPECT_EQ(block[4 + 6], 16);
    }
}

}  // namespace
