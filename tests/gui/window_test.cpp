// The window, the status tick and the buttons' sensitivity and list clicks.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "devices/devices.h"
#include "gui/buttons.h"
#include "gui/dialog.h"
#include "gui/handover.h"
#include "gui/mainWin.h"
#include "tests/gui/gui_fixture.h"

namespace {

void collectFrames(GtkWidget* w, std::set<std::string>* mapped) {
    if (GTK_IS_FRAME(w) && gtk_widget_get_mapped(w)) {
        const gchar* label = gtk_frame_get_label(GTK_FRAME(w));
        if (label) mapped->insert(label);
    }
    if (GTK_IS_CONTAINER(w)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* l = children; l; l = l->next) collectFrames(GTK_WIDGET(l->data), mapped);
        g_list_free(children);
    }
}

DeviceRecord record(uint32_t uid, int major, int minor) {
    DeviceRecord r{};
    r.uid = uid;
    r.verMajor = static_cast<uint8_t>(major);
    r.verMinor = static_cast<uint8_t>(minor);
    return r;
}

// A point inside the cell (row, column) of the list, in clist_window coordinates.
void cellPoint(int row, int column, int* x, int* y) {
    GtkCList* list = GTK_CLIST(deviceList);
    *x = list->column[column].area.x + list->hoffset + list->column[column].area.width / 2;
    *y = list->row_height * row + (row + 1) + list->voffset + list->row_height / 2;
    gint hitRow = -1, hitColumn = -1;
    ASSERT_TRUE(gtk_clist_get_selection_info(list, *x, *y, &hitRow, &hitColumn));
    ASSERT_EQ(hitRow, row);
    ASSERT_EQ(hitColumn, column);
}

// Button events handed to GTK as the X server would deliver them: the list's
// own handlers run, and test processes sharing one display cannot steal them.
void buttonEvent(GdkEventType type, int x, int y) {
    GdkEvent* event = gdk_event_new(type);
    event->button.window = GDK_WINDOW(g_object_ref(GTK_CLIST(deviceList)->clist_window));
    event->button.send_event = TRUE;
    event->button.time = GDK_CURRENT_TIME;  // the list grabs the pointer with it
    event->button.x = x;
    event->button.y = y;
    event->button.button = 1;
    event->button.device = gdk_display_get_core_pointer(gdk_display_get_default());
    gtk_main_do_event(event);
    gdk_event_free(event);
}

void click(int x, int y) {
    buttonEvent(GDK_BUTTON_PRESS, x, y);
    buttonEvent(GDK_BUTTON_RELEASE, x, y);
}

void doubleClick(int x, int y) {
    buttonEvent(GDK_BUTTON_PRESS, x, y);
    buttonEvent(GDK_BUTTON_RELEASE, x, y);
    buttonEvent(GDK_BUTTON_PRESS, x, y);
    buttonEvent(GDK_2BUTTON_PRESS, x, y);
    buttonEvent(GDK_BUTTON_RELEASE, x, y);
}

// Runs the main loop until done holds (the X server answers in its own time).
template <class Done>
bool pumpUntil(Done done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
        while (gtk_events_pending()) gtk_main_iteration();
        g_usleep(1000);
    }
    return done();
}

}  // namespace

using WindowTest = GuiTest;
using TickTest = GuiTest;
using ButtonsTest = GuiTest;

TEST_F(WindowTest, TitleListAndPlacedGroups) {
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "Korvane Control 1.1.");
    GtkWindowPosition position;
    g_object_get(window, "window-position", &position, nullptr);
    EXPECT_EQ(position, GTK_WIN_POS_CENTER);
    EXPECT_NE(gtk_window_get_icon(GTK_WINDOW(window)), nullptr) << "tivol.png beside the tests";

    GtkCList* list = GTK_CLIST(deviceList);
    const char* titles[] = {"#", "UID", "SW ver.", "Intens.", "Btn1", "Btn2", "Btn3", "Btn4", "Btn5", "Btn6"};
    const int widths[] = {35, 70, 50, 40, 60, 60, 60, 60, 60, 60};
    ASSERT_EQ(list->columns, 10);
    for (int c = 0; c < 10; ++c) {
        EXPECT_STREQ(gtk_clist_get_column_title(list, c), titles[c]) << c;
        EXPECT_EQ(list->column[c].width, widths[c]) << c;
    }
    EXPECT_EQ(list->selection_mode, GTK_SELECTION_SINGLE);
    EXPECT_EQ(list->row_height, 50);

    GtkAllocation area;
    gtk_widget_get_allocation(scrolledDeviceList, &area);
    EXPECT_GE(area.width, 640);
    EXPECT_GE(area.height, 135);

    std::set<std::string> frames;
    collectFrames(window, &frames);
    EXPECT_EQ(frames, (std::set<std::string>{"System", "Device"}));
    EXPECT_TRUE(gtk_widget_get_mapped(buttonDiscovery));
    EXPECT_TRUE(gtk_widget_get_mapped(buttonGenUID));
    EXPECT_FALSE(gtk_widget_get_visible(getButtonDali()));
    EXPECT_EQ(create_pixbuf("no-such-icon.png"), nullptr);
}

TEST_F(TickTest, CellTextsFollowTheTable) {
    DeviceRecord a = record(0x12AB, 2, 5);
    a.intensity = 1;
    a.act = 0x01;
    a.btn[0] = {1, 0x0012};
    a.btn[1] = {2, 0x0012};
    a.btn[2] = {0, 0x7777};
    a.btn[3] = {0, 0};
    a.btn[4] = {3, 0x0001};
    a.btn[5] = {2, 0xBEEF};
    a.act |= 0x20;
    putRecord(0, a);
    putRecord(1, record(0xCAFE0001, 0, 9));  // version not read yet
    DeviceRecord c = record(0x7FFFFFFF, 4, 0);
    c.btn[0] = {1, 1};
    putRecord(2, c);
    tick();

    ASSERT_EQ(rows(), 3);
    const char* rowA[] = {"  1", "000012AB", "2.5", "1", "*Scene \nF-0x0012", " Scene \nL-0x0012",
                          "Off", "Off", "", "*Scene \nL-0xBEEF"};
    for (int col = 0; col < 10; ++col) EXPECT_EQ(cell(0, col), rowA[col]) << "column " << col;
    EXPECT_EQ(cell(1, 0), "  2");
    EXPECT_EQ(cell(1, 1), "CAFE0001");
    EXPECT_EQ(cell(2, 1), "7FFFFFFF");
    for (int row = 1; row <= 2; ++row)
        for (int col = 2; col < 10; ++col) EXPECT_EQ(cell(row, col), "") << row << "," << col;

    // Nothing changed: nothing is written.
    const long written = mainWin_cellsSet();
    tick();
    EXPECT_EQ(mainWin_cellsSet(), written);

    // The version arrives: every cell of the row appears in the same tick.
    DeviceRecord b = record(0xCAFE0001, 3, 1);
    b.intensity = 2;
    putRecord(1, b);
    tick();
    EXPECT_EQ(cell(1, 2), "3.1");
    EXPECT_EQ(cell(1, 3), "2");
    for (int col = 4; col < 10; ++col) EXPECT_EQ(cell(1, col), "Off");
    EXPECT_EQ(mainWin_cellsSet(), written + 8);

    // The list and the table are emptied and refilled: the row texts of the old
    // device stay where the new record does not say otherwise.
    gtk_clist_clear(GTK_CLIST(deviceList));
    dev_removeAll();
    DeviceRecord d = record(0x55, 0, 0);
    d.intensity = 0;
    d.btn[0] = {2, 0x0100};
    d.btn[4] = {9, 0};
    putRecord(0, d);
    tick();
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, 1), "00000055");
    EXPECT_EQ(cell(0, 2), "2.5");
    EXPECT_EQ(cell(0, 3), "0");
    EXPECT_EQ(cell(0, 4), " Scene \nL-0x0100");
    EXPECT_EQ(cell(0, 5), "Off");
    EXPECT_EQ(cell(0, 8), "") << "an unknown type leaves the old text";
}

TEST_F(TickTest, BarMessagesAndButtonsAfterTheBox) {
    pStatusTop = 35;
    pStatusSt = 7;
    tick();
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progressBar)), 0.2);
    pStatusSt = 35;
    tick();
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progressBar)), 1.0);
    pStatusSt = 40;
    tick();
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progressBar)), 1.0);

    // A worker posts twice and ends: one box per tick, in order, and the buttons
    // come back only once the last box is closed.
    setLock(LOCK_DISCOVERY);
    tick();
    ASSERT_FALSE(gtk_widget_get_sensitive(buttonDiscovery));
    answers.respond(GTK_RESPONSE_OK);
    answers.respond(GTK_RESPONSE_OK);
    std::thread worker([] {
        messageInfo("first");
        messageError("second");
        remLock(LOCK_DISCOVERY);
    });
    std::vector<size_t> boxesAfterTick;
    ASSERT_TRUE(tickUntil([&] {
        boxesAfterTick.push_back(answers.seen.size());
        return answers.seen.size() == 2 && getLockComponents() == 0 && message_pendingType() == MSG_NONE;
    })) << answers.seen.size() << " boxes, lock " << getLockComponents() << ", pending " << message_pendingType();
    worker.join();
    for (size_t i = 1; i < boxesAfterTick.size(); ++i) EXPECT_LE(boxesAfterTick[i] - boxesAfterTick[i - 1], 1u);
    ASSERT_EQ(answers.seen.size(), 2u);
    EXPECT_EQ(answers.seen[0].text, "first");
    EXPECT_EQ(answers.seen[0].type, GTK_MESSAGE_INFO);
    EXPECT_EQ(answers.seen[1].text, "second");
    EXPECT_EQ(answers.seen[1].type, GTK_MESSAGE_ERROR);
    EXPECT_FALSE(answers.seen[1].sensitiveDiscovery) << "buttons enabled while the last box was open";
    tick();
    EXPECT_TRUE(gtk_widget_get_sensitive(buttonDiscovery));

    // A post on the GUI thread while a worker's message waits: the worker's first.
    answers.respond(GTK_RESPONSE_OK);
    answers.respond(GTK_RESPONSE_OK);
    std::thread([] { messageError("from the worker"); }).join();
    messageInfo("from a handler");
    tick();
    ASSERT_EQ(answers.seen.size(), 4u);
    EXPECT_EQ(answers.seen[2].text, "from the worker");
    EXPECT_EQ(answers.seen[3].text, "from a handler");
}

TEST_F(ButtonsTest, SensitivityFollowsLocksAndSelection) {
    GtkWidget* always[] = {buttonDiscovery, buttonSaveList, buttonLoadList, buttonUpdateFW};
    GtkWidget* device[] = {buttonRead, buttonIdentify, buttonEdit, buttonGenUID};
    auto expectState = [&](bool general, bool specific, const char* when) {
        for (GtkWidget* b : always) EXPECT_EQ(gtk_widget_get_sensitive(b), general) << when;
        for (GtkWidget* b : device) EXPECT_EQ(gtk_widget_get_sensitive(b), specific) << when;
    };
    tick();
    expectState(true, false, "nothing selected");
    selected_dev = 0x1234;
    tick();
    expectState(true, true, "a device selected");
    setLock(LOCK_FIRMWARE);
    tick();
    expectState(false, false, "firmware upload running");
    remLock(LOCK_FIRMWARE);
    setLock(LOCK_DISCOVERY);
    tick();
    expectState(false, false, "discovery running");
    remLock(LOCK_DISCOVERY);
    tick();
    expectState(true, true, "all done");
}

TEST_F(ButtonsTest, ClicksInTheList) {
    VirtualPanel& panel = bus.addPanel(0x00C0FFEE);
    panel.btn[2] = {1, 0x0004};
    addDevUID(0x00C0FFEE);
    tick();
    ASSERT_EQ(rows(), 1);
    ASSERT_TRUE(pumpUntil([] { return gdk_window_is_viewable(GTK_CLIST(deviceList)->clist_window); }));

    // A single click on "Btn3" presses button index 2 and leaves no row selected.
    int x, y;
    cellPoint(0, 6, &x, &y);
    click(x, y);
    ASSERT_TRUE(pumpUntil([&] { return panel.pressCount > 0; }));
    EXPECT_EQ(panel.pressCount, 1);
    EXPECT_EQ(panel.lastPressButton, 2);
    EXPECT_EQ(GTK_CLIST(deviceList)->selection, nullptr);
    EXPECT_EQ(selected_dev.load(), 0x00C0FFEE);
    tick();
    EXPECT_TRUE(gtk_widget_get_sensitive(buttonEdit)) << "the selection is still recorded";

    // A double click on a button cell opens nothing (a dialog would be counted
    // as unexpected); its single clicks press the button.
    cellPoint(0, 9, &x, &y);
    doubleClick(x, y);
    ASSERT_TRUE(pumpUntil([&] { return panel.pressCount >= 2; }));
    EXPECT_EQ(panel.lastPressButton, 5);
    EXPECT_EQ(panel.setupWrites, 0);

    // A double click on "UID" reads the setup and opens the setup dialog; its
    // "OK/SEND" sends the setup back.
    std::string title;
    answers.push([&](GtkDialog* d) {
        title = gtk_window_get_title(GTK_WINDOW(d));
        return GTK_RESPONSE_OK;
    });
    const int readsBefore = panel.setupReads;
    cellPoint(0, 1, &x, &y);
    doubleClick(x, y);
    ASSERT_TRUE(pumpUntil([&] { return panel.setupWrites > 0; }));
    drain();
    EXPECT_EQ(title, "Setup 00C0FFEE");
    EXPECT_GT(panel.setupReads, readsBefore);
    EXPECT_EQ(panel.setupWrites, 1);
    EXPECT_EQ(panel.btn[2].type, 1);
    EXPECT_EQ(panel.btn[2].scn, 0x0004);
    EXPECT_EQ(panel.pressCount, 2) << "a click on the UID cell presses nothing";
}
