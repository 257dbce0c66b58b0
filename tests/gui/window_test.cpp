// The window, the status tick, and the buttons' sensitivity and list clicks.
#include <algorithm>
#include <thread>

#include "app/handover.h"
#include "gui/buttons.h"
#include "gui/icon.h"
#include "tests/gui/gui_fixture.h"

namespace {

DeviceRecord record(uint32_t uid, int major, int minor, std::vector<ButtonSetup> buttons = {}) {
    DeviceRecord r{};
    r.uid = uid;
    r.verMajor = static_cast<uint8_t>(major);
    r.verMinor = static_cast<uint8_t>(minor);
    std::copy(buttons.begin(), buttons.end(), r.btn);
    return r;
}

// Button events at the middle of a cell.
void clickCell(int row, int column, bool twice) {
    GtkCList* list = GTK_CLIST(deviceList);
    std::vector<GdkEventType> events = {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE};
    if (twice) events.insert(events.end(), {GDK_BUTTON_PRESS, GDK_2BUTTON_PRESS, GDK_BUTTON_RELEASE});
    for (GdkEventType type : events) {
        GdkEvent* event = gdk_event_new(type);
        event->button.x = list->column[column].area.x + list->hoffset + list->column[column].area.width / 2;
        event->button.y = list->row_height * row + (row + 1) + list->voffset + list->row_height / 2;
        event->button.button = 1;
        event->button.device = gdk_display_get_core_pointer(gdk_display_get_default());
        deliver(event, list->clist_window);
    }
}

}  // namespace

using WindowTest = GuiTest;
using TickTest = GuiTest;
using ButtonsTest = GuiTest;

// The title, the placed groups, and the list: every text a column shows, each
// line of it, and its title, measured in the list's font, fits the column; the
// Btn headers say what '*' and a click mean.
TEST_F(WindowTest, TitleGroupsAndColumnsThatFitTheirTexts) {
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "Korvane Control 1.1.");
    GtkWindowPosition position;
    g_object_get(window, "window-position", &position, nullptr);
    EXPECT_EQ(position, GTK_WIN_POS_CENTER);
    EXPECT_NE(gtk_window_get_icon(GTK_WINDOW(window)), nullptr) << "tivol.png beside the tests";
    EXPECT_EQ(create_pixbuf("no-such-icon.png"), nullptr);
    std::string groups;  // the group each button is placed in; "-": none
    for (GtkWidget* b : {getButtonDiscovery(), getButtonIdentify(), getButtonInitializeAll(), getButtonDmxConsole()}) {
        GtkWidget* frame = gtk_widget_get_ancestor(b, GTK_TYPE_FRAME);
        groups +=
            frame && gtk_widget_get_mapped(frame) ? gtk_frame_get_label(GTK_FRAME(frame)) + std::string(" ") : "- ";
    }
    EXPECT_EQ(groups, "System Device - - ");
    EXPECT_FALSE(gtk_widget_get_visible(getButtonDali()));

    GtkCList* list = GTK_CLIST(deviceList);
    std::string columns;
    const int leastWidth[LIST_COLUMNS] = {35, 70, 50, 40, 60, 60, 60, 60, 60, 60};
    for (int c = 0; c < list->columns; ++c) {
        columns += gtk_clist_get_column_title(list, c) + std::string(",");
        EXPECT_GE(list->column[c].width, leastWidth[c]) << c;
    }
    EXPECT_EQ(columns, "#,UID,SW ver.,Intens.,Btn1,Btn2,Btn3,Btn4,Btn5,Btn6,");
    EXPECT_EQ(list->row_height, 50) << "two lines of text in a button cell";
    EXPECT_GE(named("scrolledDeviceList")->allocation.width, 640);
    EXPECT_GE(named("scrolledDeviceList")->allocation.height, 135);

    for (uint32_t k = 1; k <= 15; ++k) {
        DeviceRecord r =
            record(0x11111111u * k, 3, 100 + static_cast<int>(k) * 10,
                   {{1, static_cast<uint16_t>(0x1111 * k)}, {2, 0xFFFF}, {0, 0}, {1, 0}, {2, 0x0808}, {1, 0xBBBB}});
        r.intensity = static_cast<uint8_t>(k & 7);
        r.act = 0x3F;
        putRecord(static_cast<int>(k - 1), r);
    }
    tick();
    ASSERT_EQ(rowText(14, 3), " 15|FFFFFFFF|3.250") << "the widest versions shown, so every cell of the row";
    auto width = [](const std::string& text) {
        PangoLayout* layout = gtk_widget_create_pango_layout(deviceList, text.c_str());
        int w = 0;
        pango_layout_get_pixel_size(layout, &w, nullptr);
        g_object_unref(layout);
        return w;
    };
    for (int c = 0; c < LIST_COLUMNS; ++c) {
        EXPECT_LE(width(gtk_clist_get_column_title(list, c)), list->column[c].width) << c;
        for (int r = 0; r < rows(); ++r) {
            gchar** lines = g_strsplit(cell(r, c).c_str(), "\n", -1);
            for (gchar** line = lines; *line; ++line)
                EXPECT_LE(width(*line), list->column[c].width) << "\"" << *line << "\" in column " << c;
            g_strfreev(lines);
        }
    }
    GtkAdjustment* across = gtk_clist_get_hadjustment(list);
    EXPECT_LE(gtk_adjustment_get_upper(across), gtk_adjustment_get_page_size(across)) << "every column in view";
    for (int c = 4; c < LIST_COLUMNS; ++c) {
        gchar* tip = gtk_widget_get_tooltip_text(list->column[c].button);
        const std::string text = tip ? tip : "";
        g_free(tip);
        EXPECT_NE(text.find("'*': button " + std::to_string(c - 3) + " is active"), std::string::npos) << text;
        EXPECT_NE(text.find("click in this column presses button " + std::to_string(c - 3)), std::string::npos) << text;
    }
}

TEST_F(TickTest, PortLineFollowsTheCable) {
    tick();
    EXPECT_EQ(status("statusPort"), "Port: FTDI cable KVSIM001");
    EXPECT_EQ(status(), "To start: Discovery finds the panels on the bus, Load list reads a saved list");
    putRecord(0, record(0x12AB, 2, 5));
    tick();
    EXPECT_EQ(status(), "") << "the first step is said only while the list is empty";
    bus.setCableVanished(true);
    EXPECT_TRUE(tickUntil("the port line to say the cable is gone",
                          [&] { return status("statusPort").rfind("Port: no cable: ", 0) == 0; }));
    // Open tries pause after a failed one, never for more than half a second.
    bus.setCableVanished(false);
    int ticks = 0;
    EXPECT_TRUE(tickUntil("the port line to name the cable again", [&] {
        ++ticks;
        return status("statusPort") == "Port: FTDI cable KVSIM001";
    }));
    EXPECT_LE(ticks, 11) << "ticks of 50 ms before the cable was open again";
    EXPECT_EQ(portStatusText(1, "KVSIM001", "sim"), "Port: virtual panels");
    EXPECT_EQ(portStatusText(1, "/dev/ttyUSB0", "/dev/ttyUSB0"), "Port: /dev/ttyUSB0");
}

// The tick writes only the cells whose text changed: none on an idle tick,
// none for what no cell shows, and every change still reaches the list.
TEST_F(TickTest, CellTextsFollowTheTable) {
    DeviceRecord a = record(0x12AB, 2, 5, {{1, 0x0012}, {2, 0x0012}, {0, 0x7777}, {0, 0}, {3, 1}, {2, 0xBEEF}});
    a.intensity = 1;
    a.act = 0x21;
    putRecord(0, a);
    putRecord(1, record(0xCAFE0001, 0, 9));  // version not read yet
    for (int i = 2; i < DEV_MAX; ++i) putRecord(i, record(0x01000000u + i, 1, 0, {{2, 0x0300}}));
    tick();
    EXPECT_EQ(rowText(0), "  1|000012AB|2.5|1|*Scene \nF-0x0012| Scene \nL-0x0012|Off|Off||*Scene \nL-0xBEEF");
    EXPECT_EQ(rowText(DEV_MAX - 1), "200|010000C7|1.0|0| Scene \nL-0x0300|Off|Off|Off|Off|Off");

    long written = mainWin_cellsSet();
    tick();
    EXPECT_EQ(mainWin_cellsSet(), written) << "an idle tick sets no cell";

    // The version arrives: every cell of the row appears in the same tick.
    DeviceRecord b = record(0xCAFE0001, 3, 1);
    b.intensity = 2;
    putRecord(1, b);
    tick();
    EXPECT_EQ(rowText(1), "  2|CAFE0001|3.1|2|Off|Off|Off|Off|Off|Off");
    EXPECT_EQ(mainWin_cellsSet(), written + 8);

    // One active bit: one cell. A DMX block, which no cell shows: none. A
    // change undone before the next tick: none.
    written = mainWin_cellsSet();
    a.act = 0x20;
    putRecord(0, a);
    DeviceRecord dmxOnly = record(0x01000000u + 150, 1, 0, {{2, 0x0300}});
    dmxOnly.dmx[0][5] = 0x42;
    putRecord(150, dmxOnly);
    tick();
    EXPECT_EQ(mainWin_cellsSet(), written + 1);
    EXPECT_EQ(cell(0, 4), " Scene \nF-0x0012");
    a.intensity = 3;
    putRecord(0, a);
    a.intensity = 1;
    putRecord(0, a);
    tick();
    EXPECT_EQ(mainWin_cellsSet(), written + 1);

    // List and table emptied and refilled: a row shows only its own panel.
    // What the new records do not determine (version 0 or over 3, button
    // type 3) stays empty, not the text of the panel the row showed before.
    gtk_clist_clear(GTK_CLIST(deviceList));
    dev_removeAll();
    putRecord(0, record(0x55, 0, 0, {{3, 0}, {2, 0x0100}}));
    putRecord(1, record(0x56, 4, 0));
    tick();
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(rowText(0), "  1|00000055||||||||");
    EXPECT_EQ(rowText(1), "  2|00000056||||||||");
    putRecord(0, record(0x55, 1, 2, {{3, 0}, {2, 0x0100}}));
    tick();
    EXPECT_EQ(rowText(0), "  1|00000055|1.2|0|| Scene \nL-0x0100|Off|Off|Off|Off");

    // The table rebuilt under rows that stay: the same holds.
    putRecord(0, record(0x99, 0, 0));
    tick();
    EXPECT_EQ(rowText(0), "  1|00000099||||||||");
}

TEST_F(TickTest, BarMessagesAndButtonsAfterTheBox) {
    // Past the top, as after an upload's last chunk: WorkerTest.UpdateFirmwareWithNoDeviceSelected.
    pStatusTop = 35;
    pStatusSt = 7;
    tick();
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(named("progressBar"))), 0.2);

    // "general device": which buttons are live. The device buttons need a
    // selection; a lock greys them all (the discovery's and the reads' own:
    // WorkerTest).
    GtkWidget* general[] = {getButtonDiscovery(), getButtonSaveList(), getButtonLoadList(), getButtonUpdateFw()};
    GtkWidget* device[] = {getButtonRead(), getButtonIdentify(), getButtonEdit(), getButtonGenUID()};
    auto live = [&] {
        std::string bits;
        for (GtkWidget* b : general) bits += sensitive(b) ? "1" : "0";
        bits += " ";
        for (GtkWidget* b : device) bits += sensitive(b) ? "1" : "0";
        return bits;
    };
    EXPECT_EQ(live(), "1111 0000");
    selected_dev = 0x1234;

    // A worker posts twice and ends: one box per tick, in order, and the buttons
    // come back only once the last box is closed.
    setLock(LOCK_FIRMWARE);
    tick();
    ASSERT_EQ(live(), "0000 0000");
    std::string underBox;
    answers.push(GTK_RESPONSE_OK);
    answers.push(GTK_RESPONSE_OK, [&](GtkDialog*) { underBox = live(); });
    std::thread worker([] {
        messageInfo("first");
        messageError("second");
        remLock(LOCK_FIRMWARE);
    });
    size_t boxes = 0;
    tickUntil("both boxes shown and the lock and slot empty", [&] {
        EXPECT_LE(answers.seen.size() - boxes, 1u) << "two boxes in one tick";
        boxes = answers.seen.size();
        return boxes == 2 && getLockComponents() == 0 && message_pendingType() == MSG_NONE;
    });
    joinWithin(worker, "the posting thread");
    EXPECT_EQ(answers.seen, (Texts{"info: first", "error: second"}));
    EXPECT_EQ(underBox, "0000 0000") << "buttons enabled while the last box was open";
    tick();
    EXPECT_EQ(live(), "1111 1111");
}

TEST_F(ButtonsTest, ClicksInTheList) {
    VirtualPanel& panel = bus.addPanel(0x00C0FFEE);
    addDevUID(0x00C0FFEE);
    tick();
    ASSERT_EQ(rows(), 1);
    ASSERT_TRUE(pumpUntil("the list to be on screen",
                          [] { return gdk_window_is_viewable(GTK_CLIST(deviceList)->clist_window); }));

    // A single click on "Btn3" presses button index 2 and leaves no row selected.
    clickCell(0, 6, false);
    ASSERT_TRUE(pumpUntil("the press of button 3", [&] { return panel.pressCount > 0; }));
    EXPECT_EQ(panel.lastPressButton, 2);
    EXPECT_EQ(GTK_CLIST(deviceList)->selection, nullptr);
    EXPECT_EQ(selected_dev.load(), 0x00C0FFEE);

    // A double click on a button cell opens nothing (a dialog would count as
    // unexpected); its clicks press the button.
    clickCell(0, 9, true);
    ASSERT_TRUE(pumpUntil("the press of button 6", [&] { return panel.pressCount == 2; }));
    EXPECT_EQ(panel.lastPressButton, 5);

    // A double click on one of the first four columns runs "Setup device".
    for (int column = 0; column < 4; ++column) {
        answers.push(GTK_RESPONSE_CANCEL);
        clickCell(0, column, true);
        ASSERT_TRUE(pumpUntil("the setup dialog of a double click", [&] { return answers.pending() == 0; })) << column;
        EXPECT_EQ(answers.seen.back(), "Setup 00C0FFEE") << column;
    }
    EXPECT_EQ(panel.pressCount, 2) << "a click on those columns presses nothing";

    // Operations that end without a box say so on the status line.
    answers.push(GTK_RESPONSE_OK);
    buttonEditAction(nullptr, nullptr);
    tick();
    EXPECT_EQ(status(), "Setup sent to 00C0FFEE");
    buttonIdentifyAction(nullptr, nullptr);
    tick();
    EXPECT_EQ(status(), "Identify: 00C0FFEE answered");

    // A selection whose row has gone: "Setup device" lists it again and opens.
    dev_removeAll();
    answers.push(GTK_RESPONSE_CANCEL);
    buttonEditAction(nullptr, nullptr);
    EXPECT_EQ(answers.seen.back(), "Setup 00C0FFEE");
    EXPECT_EQ(dev_uidAt(0), 0x00C0FFEEu);
}
