// The DMX setup dialog: the rows in reach, the level fields' guard, "Clear
// setup", and where a confirmed block ends up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gui/dialog.h"
#include "gui/dmxSetup.h"
#include "tests/gui/modal_helpers.h"

using namespace modal;

namespace {

class DmxSetup : public ::testing::Test {
protected:
    void SetUp() override { dev_removeAll(); }

    // The caller's copy of a table record whose button b has this block; the
    // levels are 10 to 79.
    DeviceRecord tableRecord(uint32_t uid, int b, int start, uint8_t flags) {
        uint8_t block[DMX_BLOCK_SIZE] = {static_cast<uint8_t>(start), static_cast<uint8_t>(start >> 8), 12, flags};
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) block[4 + k] = static_cast<uint8_t>(k + 10);
        addDevUID(uid);
        dev_storeDmxBlock(uid, b, block);
        DeviceRecord rec{};
        dev_copyByUid(uid, &rec);
        return rec;
    }
    static DeviceRecord table(uint32_t uid) {
        DeviceRecord rec{};
        dev_copyByUid(uid, &rec);
        return rec;
    }
    static int start(const uint8_t* block) { return block[0] | block[1] << 8; }
    static std::string text(GtkWidget* w) {
        return GTK_IS_LABEL(w) ? gtk_label_get_text(GTK_LABEL(w)) : gtk_entry_get_text(GTK_ENTRY(w));
    }
    static bool inReach(int k) {
        return gtk_widget_is_sensitive(values[k]) && gtk_editable_get_editable(GTK_EDITABLE(values[k]));
    }
    static void type(int k, const char* t) { gtk_entry_set_text(GTK_ENTRY(values[k]), t); }
};

TEST_F(DmxSetup, StartAddressDecidesTheRowsInReachAndCancelKeepsTheBlock) {
    DeviceRecord rec = tableRecord(0xABCD, 2, 505, 0x02);
    const DeviceRecord before = rec;
    OnModal answer("DMX setup ", [&](GtkWidget* dlg, int*) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dlg)), "DMX setup 0000ABCD button 3");
        EXPECT_EQ(buttonRow(dlg), "OK=-5|CANCEL=-6");
        EXPECT_TRUE(!isActive(checkBoxFlashOn) && isActive(checkBoxFlashOff));
        EXPECT_EQ(text(values[69]), "79");
        EXPECT_TRUE(pumpUntil([] { return text(labelAddrVal[0]) == "505"; }));
        for (int r = 1; r < DMX_GRID_ROWS; ++r) EXPECT_EQ(text(labelAddrVal[r]), "---") << r;
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) EXPECT_EQ(inReach(k), k <= 7) << k;  // 505 to 512

        gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), 0);  // "Unused"
        EXPECT_TRUE(pumpUntil([] { return text(labelAddrVal[0]) == "---"; }));
        for (int r = 0; r < DMX_GRID_ROWS; ++r) EXPECT_EQ(text(labelAddrVal[r]), "---") << r;
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) EXPECT_TRUE(inReach(k)) << k;

        gtk_button_clicked(GTK_BUTTON(findButton(dlg, "Clear setup")));
        EXPECT_EQ(text(values[33]), "0");
    });
    EXPECT_EQ(dmxSetup_dialog(&rec, nullptr, 2), 0);
    EXPECT_TRUE(answer.ran());
    EXPECT_EQ(std::memcmp(rec.dmx, before.dmx, sizeof rec.dmx), 0);
    EXPECT_EQ(std::memcmp(table(0xABCD).dmx, before.dmx, sizeof rec.dmx), 0);
}

TEST_F(DmxSetup, LevelFieldsKeepOnlyDigitsUpTo255) {
    DeviceRecord rec = tableRecord(0x77, 0, 1, 0x01);
    OnModal answer("DMX setup ", [&](GtkWidget*, int* response) {
        for (const char* bad : {"256", "1a", "-1", "+5", " 7"}) {
            type(0, bad);
            EXPECT_EQ(text(values[0]), "10") << bad;  // the level it was built with
        }
        type(0, "25");
        type(0, "256");
        EXPECT_EQ(text(values[0]), "25");
        type(1, "");
        type(1, "q");
        EXPECT_EQ(text(values[1]), "");
        type(2, "007");
        EXPECT_EQ(text(values[2]), "007");
        type(3, "2555");  // no fourth character
        EXPECT_EQ(text(values[3]), "255");
        gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), 510);
        EXPECT_TRUE(pumpUntil([] { return !inReach(69); }));  // greyed fields are stored too
        *response = GTK_RESPONSE_OK;
    });
    dmxSetup_dialog(&rec, nullptr, 0);
    for (const DeviceRecord& r : {rec, table(0x77)}) {
        const uint8_t* block = r.dmx[0];
        EXPECT_EQ(start(block), 510);
        EXPECT_EQ(block[2], 70);
        EXPECT_EQ(block[3], 0x01);
        const uint8_t typed[4] = {25, 0, 7, 255};
        EXPECT_EQ(std::memcmp(block + 4, typed, 4), 0);
        for (int k = 4; k < DMX_BLOCK_LEVELS; ++k) EXPECT_EQ(block[4 + k], k + 10) << k;
    }
}

// An address the list does not offer stays unless the operator picks another;
// "Clear setup" with "OK" stores an empty block.
TEST_F(DmxSetup, PanelAddressIsKeptAndClearStoresAnEmptyBlock) {
    DeviceRecord rec = tableRecord(0x78, 5, 600, 0x03);
    OnModal keep("DMX setup ", [&](GtkWidget*, int* response) {
        gchar* shown = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(comboAddress));
        EXPECT_STREQ(shown, "Address 600 (panel)");
        g_free(shown);
        *response = GTK_RESPONSE_OK;
    });
    dmxSetup_dialog(&rec, nullptr, 5);
    EXPECT_EQ(start(rec.dmx[5]), 600);
    EXPECT_EQ(rec.dmx[5][4 + 69], 79);

    OnModal clear("DMX setup ", [&](GtkWidget* dlg, int* response) {
        gtk_button_clicked(GTK_BUTTON(findButton(dlg, "Clear setup")));
        *response = GTK_RESPONSE_OK;
    });
    dmxSetup_dialog(&rec, nullptr, 5);
    const uint8_t empty[DMX_BLOCK_SIZE] = {0, 0, 70, 0};
    EXPECT_EQ(std::memcmp(rec.dmx[5], empty, sizeof empty), 0);
    EXPECT_EQ(std::memcmp(table(0x78).dmx[5], empty, sizeof empty), 0);
}

TEST_F(DmxSetup, ConfirmedBlockSurvivesACancelledSetupDialog) {
    DeviceRecord rec = tableRecord(0xBEEF, 3, 0, 0);
    rec.btn[3] = {1, 0x0001};
    PanelSetup setup{};
    OnModal setupAnswer("Setup ", [&](GtkWidget*, int*) {
        OnModal dmxAnswer("DMX setup 0000BEEF button 4", [&](GtkWidget*, int* response) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), 100);
            type(5, "99");
            *response = GTK_RESPONSE_OK;
        });
        GtkWidget* dmxButton = findButton(scnSetup[3], "DMX setup...");
        ASSERT_TRUE(dmxButton && gtk_widget_is_sensitive(dmxButton));
        gtk_button_clicked(GTK_BUTTON(dmxButton));
        EXPECT_TRUE(dmxAnswer.ran());
    });
    EXPECT_EQ(input_dialog(&rec, &setup), 0);
    ASSERT_TRUE(setupAnswer.ran());
    for (const DeviceRecord& r : {rec, table(0xBEEF)}) {
        EXPECT_EQ(start(r.dmx[3]), 100);
        EXPECT_EQ(r.dmx[3][4 + 5], 99);
    }
}

}  // namespace
