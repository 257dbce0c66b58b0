// The device setup dialog, answered as an operator would, over virtual panels.
#include <algorithm>
#include <cstring>

#include "bus/packet_structures.h"
#include "gui/buttons.h"
#include "gui/dialog.h"
#include "tests/gui/gui_fixture.h"

namespace {

// "intensity type:scenes ..." of a record or a setup.
template <class Setup>
std::string text(const Setup& s) {
    std::string t = std::to_string(s.intensity);
    for (const ButtonSetup& b : s.btn) t += " " + std::to_string(b.type) + ":" + std::to_string(b.scn);
    return t;
}

using SetupDialog = GuiTest;

// The record shown, the scenes of "Off" buttons and of types the dialog does
// not offer greyed, and what it hands back: the record as it was, a panel's
// intensity 5 and button types 3 and 9 included, also after the 100 ms update
// has run; nothing when closed from the title bar.
TEST_F(SetupDialog, ValuesItDoesNotOfferComeBackUnchanged) {
    DeviceRecord rec{};
    rec.uid = 0x00C0FFEE;
    rec.intensity = 5;
    const ButtonSetup buttons[DEV_BUTTONS] = {{3, 0x8001}, {9, 0x0102}, {0, 0x0005},
                                              {1, 0xFFFF}, {2, 0x0000}, {0, 0x4000}};
    std::copy(buttons, buttons + DEV_BUTTONS, rec.btn);
    rec.dmxKnown = 0x3F;
    PanelSetup setup{};
    VirtualPanel& panel = bus.addPanel(rec.uid);
    addDevUID(rec.uid);
    answers.push(GTK_RESPONSE_OK, [&](GtkDialog* d) {
        EXPECT_EQ(buttonRow(GTK_WIDGET(d)), "OK/SEND to all=-8|OK/SEND=-5|CANCEL=-6");
        EXPECT_FALSE(gtk_widget_get_visible(named("labelDmxNotRead"))) << "every DMX block was read";
        gchar* shown = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(named("comboIntenzity")));
        EXPECT_STREQ(shown, "5 (panel): will be sent as 1");
        g_free(shown);
        ASSERT_TRUE(named("radioExtra", 0) && named("radioExtra", 1));
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(named("radioExtra", 0))), "Key (3)");
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(named("radioExtra", 1))), "Type 9 (panel)");
        // Scene 1 at the top left, scene 16 at the bottom right.
        EXPECT_LT(named("checkBoxScn", 0)->allocation.x, named("checkBoxScn", 15)->allocation.x);
        EXPECT_LT(named("checkBoxScn", 0)->allocation.y, named("checkBoxScn", 15)->allocation.y);
        // Opened wide enough for every scene of every button, and no narrower than 800 x 500 can be asked.
        GtkScrolledWindow* scrolled =
            GTK_SCROLLED_WINDOW(gtk_widget_get_ancestor(named("checkBoxScn", 0), GTK_TYPE_SCROLLED_WINDOW));
        GtkAdjustment* across = gtk_scrolled_window_get_hadjustment(scrolled);
        EXPECT_LE(gtk_adjustment_get_upper(across), gtk_adjustment_get_page_size(across));
        EXPECT_FALSE(gtk_widget_get_mapped(gtk_scrolled_window_get_hscrollbar(scrolled))) << "no horizontal bar";
        int wide = 0, high = 0;
        gtk_widget_get_size_request(GTK_WIDGET(scrolled), &wide, &high);
        EXPECT_EQ(wide * 10000 + high, 800 * 10000 + 500);
        pumpUntil("the scenes of the \"Off\" buttons and of the types not offered to grey out", [] {
            return !sensitive(named("scnSetup", 0)) && !sensitive(named("scnSetup", 1)) &&
                   !sensitive(named("scnSetup", 2)) && !sensitive(named("scnSetup", 5));
        });
        EXPECT_TRUE(sensitive(named("scnSetup", 3)) && sensitive(named("scnSetup", 4)));

        // Button 3 to "Scene LATCH" and back to "Off": its scenes grey out
        // again, and its "Identify" still sends mask 4.
        setActive(named("radio", SETUP_TYPES * 2 + 2));
        pumpUntil("the scenes of button 3 to come back", [] { return sensitive(named("scnSetup", 2)); });
        setActive(named("radio", SETUP_TYPES * 2 + 0));
        pumpUntil("the scenes of button 3 to grey out", [] { return !sensitive(named("scnSetup", 2)); });
        EXPECT_TRUE(sensitive(named("btnIdentify", 2)));
        gtk_button_clicked(GTK_BUTTON(named("btnIdentify", 2)));
        EXPECT_EQ(panel.identifyCount, 1);
        EXPECT_EQ(panel.lastIdentifyMask, 4);
        pumpFor(250);
        for (int i : {0, 1}) EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(named("radioExtra", i)))) << i;
        setActive(named("radio", SETUP_TYPES * 1 + 2));  // the operator's own pick wins
    });
    EXPECT_EQ(input_dialog(&rec, &setup), 1);
    rec.btn[1].type = 2;
    EXPECT_EQ(text(setup), text(rec)) << "greyed scenes are read out too";

    // Closed from the title bar: 0, and nothing written. The DMX blocks not
    // read are named above the setup, in sight; one confirmed in the DMX
    // setup dialog is known from then on, and kept though the setup is not.
    rec.dmxKnown = 0x3F & ~(1u << 1 | 1u << 3);
    auto note = [] { return std::string(gtk_label_get_text(GTK_LABEL(named("labelDmxNotRead")))); };
    answers.push(GTK_RESPONSE_NONE, [&](GtkDialog* d) {
        EXPECT_EQ(note(), "DMX blocks 2, 4 not read: they stay unchanged on the panel");
        EXPECT_TRUE(gtk_widget_get_mapped(named("labelDmxNotRead")) && named("labelDmxNotRead")->allocation.height > 0);
        GtkWidget* dmxButton = gtk_test_find_widget(named("scnSetup", 3), "DMX setup...", GTK_TYPE_BUTTON);
        ASSERT_TRUE(dmxButton && sensitive(dmxButton));
        gtk_button_clicked(GTK_BUTTON(dmxButton));
        pumpUntil("the note to leave block 4 out",
                  [&] { return note() == "DMX block 2 not read: it stays unchanged on the panel"; });
        setActive(named("checkBoxScn", 5));
        closeByTitleBar(GTK_WIDGET(d));
    });
    answers.push(GTK_RESPONSE_OK, [](GtkDialog*) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(named("comboAddress")), 100);
        gtk_entry_set_text(GTK_ENTRY(named("values", 5)), "99");
    });
    std::memset(&setup, 0xAA, sizeof setup);
    const PanelSetup before = setup;
    EXPECT_EQ(input_dialog(&rec, &setup), 0);
    EXPECT_EQ(std::memcmp(&setup, &before, sizeof setup), 0);
    EXPECT_EQ(rec.dmxKnown, 0x3F & ~(1u << 1));
    DeviceRecord stored{};
    ASSERT_TRUE(dev_copyByUid(rec.uid, &stored));
    for (const DeviceRecord& r : {rec, stored}) {
        EXPECT_EQ(r.dmx[3][0] | r.dmx[3][1] << 8, 100);
        EXPECT_EQ(r.dmx[3][4 + 5], 99);
    }
    EXPECT_EQ(dmxNotReadText(0x00), "DMX blocks 1, 2, 3, 4, 5, 6 not read: they stay unchanged on the panel");
}

// Through "Setup device": the selected panel's setup is read, edited and sent,
// with that panel's DMX blocks, to every panel in the table, by the worker:
// with the panels silent the window stays in its main loop, the status line
// counts, closing asks first and its "Close" stops the send between panels.
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
    PanelSetup wanted = chosen.setup();
    wanted.intensity = 0;
    wanted.btn[5] = {2, 0x0010};
    selected_dev = static_cast<int32_t>(uids[1]);

    answers.push(GTK_RESPONSE_YES, [&](GtkDialog*) {
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(named("comboIntenzity"))), 2);
        gtk_combo_box_set_active(GTK_COMBO_BOX(named("comboIntenzity")), 0);
        setActive(named("radio", SETUP_TYPES * 5 + 2));
        setActive(named("checkBoxScn", SETUP_SCENES * 5 + 4));
    });
    buttonEditAction(nullptr, nullptr);
    ASSERT_TRUE(finish("the send to all"));
    for (uint32_t uid : uids) {
        EXPECT_EQ(text(bus.panel(uid)->setup()), text(wanted)) << uid;
        EXPECT_EQ(std::memcmp(bus.panel(uid)->dmx, blocks, sizeof blocks), 0) << uid;
    }
    EXPECT_EQ(status(), "Setup sent to 3 panels, 3 confirmed");

    answers.push(GTK_RESPONSE_YES, [&](GtkDialog*) {
        for (uint32_t uid : uids) bus.panel(uid)->faults.silent = true;
    });
    holdAt([](GatedBus&, const uint8_t* b, uint32_t n) {
        return n > PKT_DATA && b[PKT_LEN] == 40 && packet_destination(b) == 0x202;
    });
    const int64_t ownBus = tim_threadVirtualUs();
    buttonEditAction(nullptr, nullptr);
    ASSERT_TRUE(heldAt("the setup packet of the second panel"));
    EXPECT_EQ(status(), "Sending 2 of 3");
    const std::string question =
        "warning: The setup is being sent to 3 panels, 1 done: closing now stops it in the middle of the panel in "
        "row 2 and leaves the 1 after it without the new setup.\n\nClose the window anyway?";
    answers.push(GTK_RESPONSE_CLOSE);
    EXPECT_TRUE(mainWin_mayClose());
    EXPECT_EQ(answers.seen.back(), question);
    ASSERT_TRUE(finish("the send stopped by the close"));
    // The read of the selected panel before the dialog is the GUI thread's
    // own; the sends are the worker's.
    EXPECT_LT(tim_threadVirtualUs() - ownBus, 500000) << "us of bus time the GUI thread spent itself";
    EXPECT_EQ(status(), "Setup sent to 2 of 3 panels, 0 confirmed (cancelled)");
    EXPECT_EQ(bus.panel(0x303)->setupWrites, 1) << "the first send only";
}

}  // namespace
