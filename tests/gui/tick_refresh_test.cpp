// The tick skips rows whose record has not changed: what must still reach the list.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "devices/devices.h"
#include "gui/mainWin.h"
#include "tests/gui/gui_fixture.h"

namespace {

class TickRefreshTest : public GuiTest {};

DeviceRecord listed(int i) {
    DeviceRecord r{};
    r.uid = 0x01000000u + static_cast<uint32_t>(i);
    r.verMajor = 2;
    r.verMinor = static_cast<uint8_t>(i % 10);
    r.intensity = static_cast<uint8_t>(i % 4);
    for (int b = 0; b < DEV_BUTTONS; ++b) r.btn[b] = {static_cast<uint8_t>(1 + (i + b) % 2), static_cast<uint16_t>(i)};
    return r;
}

std::vector<std::string> rowTexts(int row) {
    std::vector<std::string> texts;
    for (int c = 0; c < LIST_COLUMNS; ++c) {
        gchar* text = nullptr;
        gtk_clist_get_text(GTK_CLIST(deviceList), row, c, &text);
        texts.push_back(text ? text : "<none>");
    }
    return texts;
}

TEST_F(TickRefreshTest, UnchangedRowsAreLeftAloneAndEveryChangeStillShows) {
    for (int i = 0; i < DEV_MAX; ++i) putRecord(i, listed(i));
    tick();
    ASSERT_EQ(rows(), DEV_MAX);
    const std::vector<std::string> last = rowTexts(DEV_MAX - 1);

    long written = mainWin_cellsSet();
    tick();
    tick();
    EXPECT_EQ(mainWin_cellsSet(), written) << "idle ticks write nothing";

    // One active bit of one record, and a DMX block (not shown) of another.
    DeviceRecord changed = listed(150);
    changed.act = 0x04;
    putRecord(150, changed);
    DeviceRecord dmxOnly = listed(151);
    dmxOnly.dmx[0][5] = 0x42;
    putRecord(151, dmxOnly);
    tick();
    EXPECT_EQ(mainWin_cellsSet(), written + 1);
    EXPECT_EQ(cell(150, 6), "*Scene \nF-0x0096");

    // A change undone before the next tick leaves nothing to do.
    written = mainWin_cellsSet();
    changed.intensity = 3;
    putRecord(150, changed);
    changed.intensity = listed(150).intensity;
    putRecord(150, changed);
    tick();
    EXPECT_EQ(mainWin_cellsSet(), written);

    // The list emptied while the table stays: every row comes back as it was.
    gtk_clist_clear(GTK_CLIST(deviceList));
    tick();
    ASSERT_EQ(rows(), DEV_MAX);
    EXPECT_EQ(rowTexts(DEV_MAX - 1), last);
    EXPECT_EQ(cell(150, 6), "*Scene \nF-0x0096");

    // A record that moves to another row is shown there.
    putRecord(0, listed(199));
    tick();
    EXPECT_EQ(cell(0, 1), "010000C7");
    EXPECT_EQ(cell(0, 0), "  1");
}

}  // namespace
