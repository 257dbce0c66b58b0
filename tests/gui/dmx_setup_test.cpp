// The DMX setup dialog: the rows in reach, the level fields' guard, "Clear
// setup", and where a confirmed block ends up (a block confirmed under the
// setup dialog: SetupDialog.ValuesItDoesNotOfferComeBackUnchanged).
#include <gdk/gdkkeysyms.h>

#include <cstring>

#include "gui/dmxSetup.h"
#include "tests/gui/gui_fixture.h"

namespace {

class DmxSetup : public GuiTest {
protected:
    // A table record whose button b has this block, levels 10 to 79; the
    // caller gets its own copy.
    static DeviceRecord tableRecord(uint32_t uid, int b, int start, uint8_t flags) {
        uint8_t block[DMX_BLOCK_SIZE] = {static_cast<uint8_t>(start), static_cast<uint8_t>(start >> 8), 12, flags};
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) block[4 + k] = static_cast<uint8_t>(k + 10);
        addDevUID(uid);
        dev_storeDmxBlock(uid, b, block);
        return table(uid);
    }
    static DeviceRecord table(uint32_t uid) {
        DeviceRecord rec{};
        dev_copyByUid(uid, &rec);
        return rec;
    }
    static std::string text(GtkWidget* w) {
        return GTK_IS_LABEL(w) ? gtk_label_get_text(GTK_LABEL(w)) : gtk_entry_get_text(GTK_ENTRY(w));
    }
    static bool inReach(int k) {
        return gtk_widget_is_sensitive(named("values", k)) &&
               gtk_editable_get_editable(GTK_EDITABLE(named("values", k)));
    }
    // One action of the operator each: the next one comes from another event.
    static void type(int k, const char* t) {
        gtk_entry_set_text(GTK_ENTRY(named("values", k)), t);
        drain();
    }
    // A key to the dialog, whose focused field takes it.
    static void press(guint keyval) {
        for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
            GdkEvent* event = gdk_event_new(type);
            event->key.keyval = keyval;
            GdkKeymapKey* keys = nullptr;
            gint n = 0;
            if (gdk_keymap_get_entries_for_keyval(nullptr, keyval, &keys, &n) && n > 0)
                event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
            g_free(keys);
            deliver(event, gtk_widget_get_toplevel(named("values", 0))->window);
        }
        drain();
    }
};

// The start address decides the rows in reach; "Clear setup" needs OK.
TEST_F(DmxSetup, PanelAddressStaysAndLevelFieldsKeepOnlyDigitsUpTo255) {
    DeviceRecord rec = tableRecord(0xABCD, 2, 505, 0x02);
    const DeviceRecord before = rec;
    answers.push(GTK_RESPONSE_CANCEL, [&](GtkDialog* d) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "DMX setup 0000ABCD button 3");
        EXPECT_EQ(buttonRow(GTK_WIDGET(d)), "OK=-5|CANCEL=-6");
        const GtkAllocation& last = named("values", 9)->allocation;
        EXPECT_GE(GTK_WIDGET(d)->allocation.width - (last.x + last.width), 8) << "the +9 column keeps its margin";
        pumpUntil("the first row header to show 505", [] { return text(named("labelAddrVal", 0)) == "505"; });
        for (int r = 1; r < DMX_GRID_ROWS; ++r) EXPECT_EQ(text(named("labelAddrVal", r)), "---") << r;
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) EXPECT_EQ(inReach(k), k <= 7) << k;  // 505 to 512

        gtk_combo_box_set_active(GTK_COMBO_BOX(named("comboAddress")), 0);  // "Unused"
        pumpUntil("the first row header to show ---", [] { return text(named("labelAddrVal", 0)) == "---"; });
        for (int r = 0; r < DMX_GRID_ROWS; ++r) EXPECT_EQ(text(named("labelAddrVal", r)), "---") << r;
    });
    EXPECT_EQ(dmxSetup_dialog(&rec, nullptr, 2), 0);
    EXPECT_EQ(std::memcmp(rec.dmx, before.dmx, sizeof rec.dmx), 0);
    EXPECT_EQ(std::memcmp(table(0xABCD).dmx, before.dmx, sizeof rec.dmx), 0);

    answers.push(GTK_RESPONSE_OK, [](GtkDialog* d) {
        gtk_button_clicked(GTK_BUTTON(gtk_test_find_widget(GTK_WIDGET(d), "Clear setup", GTK_TYPE_BUTTON)));
    });
    dmxSetup_dialog(&rec, nullptr, 2);
    const uint8_t empty[DMX_BLOCK_SIZE] = {0, 0, 70, 0};
    EXPECT_EQ(std::memcmp(rec.dmx[2], empty, sizeof empty), 0);

    // An address the list does not offer stays. Which texts pass is the
    // guard's own test; here that every field has it.
    rec = tableRecord(0x77, 0, 600, 0x01);
    answers.push(GTK_RESPONSE_OK, [](GtkDialog*) {
        gchar* shown = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(named("comboAddress")));
        EXPECT_STREQ(shown, "Address 600 (panel)");
        g_free(shown);
        type(0, "25");
        type(0, "256");
        EXPECT_EQ(text(named("values", 0)), "25");
        type(3, "2555");  // no fourth character
        EXPECT_EQ(text(named("values", 3)), "255");

        // Reached with Tab, its text selected, a field given a letter keeps
        // its text: the selection's deletion and the refused letter are one
        // keystroke. A digit replaces the selection.
        gtk_combo_box_set_active(GTK_COMBO_BOX(named("comboAddress")), 0);
        pumpUntil("the fields to come in reach", [] { return inReach(4) && inReach(5); });
        gtk_widget_grab_focus(named("values", 3));
        press(GDK_KEY_Tab);
        ASSERT_EQ(gtk_window_get_focus(GTK_WINDOW(gtk_widget_get_toplevel(named("values", 3)))), named("values", 4));
        press(GDK_KEY_q);
        EXPECT_EQ(text(named("values", 4)), "14");
        press(GDK_KEY_Tab);
        press(GDK_KEY_9);
        EXPECT_EQ(text(named("values", 5)), "9");
        press(GDK_KEY_BackSpace);
        press(GDK_KEY_x);
        EXPECT_EQ(text(named("values", 5)), "") << "emptied by the operator, then a refused letter";
        gtk_combo_box_set_active(GTK_COMBO_BOX(named("comboAddress")), DMX_ADDR_ENTRIES);  // 600 again
        pumpUntil("the fields to grey out", [] { return !inReach(0); });  // greyed fields are stored too
    });
    dmxSetup_dialog(&rec, nullptr, 0);
    for (const DeviceRecord& r : {rec, table(0x77)}) {
        const uint8_t* block = r.dmx[0];
        EXPECT_EQ(block[0] | block[1] << 8, 600);
        EXPECT_EQ(block[2], 70);
        EXPECT_EQ(block[3], 0x01);
        const uint8_t typed[6] = {25, 11, 12, 255, 14, 0};
        EXPECT_EQ(std::memcmp(block + 4, typed, 6), 0);
        for (int k = 6; k < DMX_BLOCK_LEVELS; ++k) EXPECT_EQ(block[4 + k], k + 10) << k;
    }
}

}  // namespace
