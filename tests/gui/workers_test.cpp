// The action buttons' bus work against virtual panels: discovery, read
// parameters, UID change and firmware upload.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/app_firmware.h"
#include "devices/devices.h"
#include "gui/buttons.h"
#include "gui/dialog.h"
#include "gui/handover.h"
#include "gui/mainWin.h"
#include "tests/gui/gui_fixture.h"

using WorkerTest = GuiTest;

TEST_F(WorkerTest, DiscoveryShowsRowsThenCellsThenTheCount) {
    GatedBus gated(bus);
    port_setDriver(&gated);
    bus.addPanel(0x00000101).verMajor = 1;
    bus.addPanel(0x00200000).verMajor = 2;
    bus.addPanel(0x7F000000).verMajor = 3;
    selected_dev = 0x101;
    gated.close_gate();
    answers.respond(GTK_RESPONSE_OK);

    gtk_button_clicked(GTK_BUTTON(buttonDiscovery));
    EXPECT_EQ(thrDisc.load(), THR_BUSY);
    EXPECT_EQ(selected_dev.load(), NO_DEVICE);

    // Every panel found and muted, no setup read yet: rows with their UIDs only.
    ASSERT_TRUE(tickUntil([&] { return gated.waiting(); }));
    tick();
    EXPECT_EQ(rows(), 3);
    EXPECT_FALSE(gtk_widget_get_sensitive(buttonDiscovery));
    for (int r = 0; r < rows(); ++r) {
        EXPECT_NE(cell(r, 1), "") << r;
        EXPECT_EQ(cell(r, 2), "") << r;
    }

    gated.open_gate();
    ASSERT_TRUE(tickUntil(idle));
    tick();
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].text, "3 devices found.");
    EXPECT_EQ(answers.seen[0].type, GTK_MESSAGE_INFO);
    ASSERT_EQ(rows(), 3);
    std::vector<std::string> uids, versions;
    for (int r = 0; r < 3; ++r) {
        uids.push_back(cell(r, 1));
        versions.push_back(cell(r, 2));
    }
    std::sort(uids.begin(), uids.end());
    std::sort(versions.begin(), versions.end());
    EXPECT_EQ(uids, (std::vector<std::string>{"00000101", "00200000", "7F000000"}));
    EXPECT_EQ(versions, (std::vector<std::string>{"1.0", "2.0", "3.0"}));
    EXPECT_EQ(selected_dev.load(), NO_DEVICE);
    EXPECT_TRUE(gtk_widget_get_sensitive(buttonDiscovery));
    EXPECT_FALSE(gtk_widget_get_sensitive(buttonIdentify)) << "no device selected after a discovery";
    port_setDriver(&bus);
}

TEST_F(WorkerTest, ReadParametersReportsTheSilentOnesOnce) {
    bus.addPanel(0xA);
    bus.addPanel(0xB0).faults.silent = true;
    bus.addPanel(0xC);
    bus.addPanel(0x0DDDDDDD).faults.silent = true;
    for (uint32_t uid : {0xAu, 0xB0u, 0xCu, 0x0DDDDDDDu}) addDevUID(uid);
    selected_dev = 0xC;
    answers.respond(GTK_RESPONSE_OK);
    buttonReadAction(nullptr, nullptr);
    tick();
    tick();
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(answers.seen[0].text, "Read setup:\n Device(s) not responding:\n B0\n DDDDDDD\n");

    // Everybody answers: nothing to say.
    dev_removeAll();
    addDevUID(0xA);
    addDevUID(0xC);
    buttonReadAction(nullptr, nullptr);
    tick();
    EXPECT_EQ(answers.seen.size(), 1u);
}

TEST_F(WorkerTest, ReadParametersReportIsWholeUpToItsLimit) {
    for (uint32_t i = 0; i < DEV_MAX; ++i) addDevUID(0x10000000 + i);  // nobody on the bus
    selected_dev = 0x10000000;
    answers.respond(GTK_RESPONSE_OK);
    buttonReadAction(nullptr, nullptr);
    tick();
    ASSERT_EQ(answers.seen.size(), 1u);
    const std::string& text = answers.seen[0].text;
    EXPECT_EQ(text.size(), 39u + 196u * 10u);
    EXPECT_EQ(text.substr(39, 10), " 10000000\n");
    EXPECT_EQ(text.substr(text.size() - 10), " 100000C3\n");
}

TEST_F(WorkerTest, GenerateUidAskedFirstThenRediscovers) {
    VirtualPanel& panel = bus.addPanel(0x1234);
    addDevUID(0x1234);
    selected_dev = 0x1234;
    tick();
    ASSERT_TRUE(gtk_widget_get_sensitive(buttonGenUID));

    answers.respond(GTK_RESPONSE_NO);
    gtk_button_clicked(GTK_BUTTON(buttonGenUID));
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].type, GTK_MESSAGE_QUESTION);
    EXPECT_EQ(answers.seen[0].text.rfind("Change UID 00001234 to:\nNEW UID=", 0), 0u) << answers.seen[0].text;
    EXPECT_EQ(panel.uidChangeCount, 0);
    EXPECT_EQ(bus.heard().size(), 0u) << "nothing sent";
    EXPECT_EQ(thrDisc.load(), 0);
    EXPECT_EQ(dev_uidAt(0), 0x1234u);

    answers.respond(GTK_RESPONSE_YES);
    answers.respond(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(buttonGenUID));
    ASSERT_TRUE(tickUntil(idle));
    tick();
    ASSERT_EQ(answers.seen.size(), 3u);
    const uint32_t fresh = panel.uid;
    EXPECT_NE(fresh, 0x1234u);
    char changed[64];
    std::snprintf(changed, sizeof changed, "UID 00001234 -> %08X\n changed.", fresh);
    EXPECT_EQ(answers.seen[2].text, changed);
    EXPECT_EQ(dev_uidAt(0), fresh) << "the list was rebuilt from the bus";
    EXPECT_EQ(dev_uidAt(1), 0u);
    EXPECT_EQ(selected_dev.load(), NO_DEVICE);
    EXPECT_GT(panel.muteCount, 0);
}

TEST_F(WorkerTest, UpdateFirmwareWithNoDeviceSelected) {
    TempDir tmp;
    std::string image(200, '\x5A');
    writeWhole(tmp.file("panel.fw"), image);
    VirtualPanel& panel = bus.addPanel(0x77);
    tick();
    ASSERT_TRUE(gtk_widget_get_sensitive(buttonUpdateFW));

    answers.push([&](GtkDialog* d) {
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(d);
        static bool asked = false;
        if (!asked) gtk_file_chooser_set_filename(chooser, tmp.file("panel.fw").c_str());
        asked = true;
        gchar* chosen = gtk_file_chooser_get_filename(chooser);
        const bool ready = chosen != nullptr;
        g_free(chosen);
        return ready ? int(GTK_RESPONSE_ACCEPT) : DialogAnswerer::NOT_YET;
    });
    gtk_button_clicked(GTK_BUTTON(buttonUpdateFW));
    ASSERT_TRUE(tickUntil(idle));
    firmware_waitIdle();  // the transfer thread has ended, not only cleared its bit
    tick();
    EXPECT_GT(panel.rebootCount, 0);
    const std::vector<uint8_t> got = panel.firmwareImage();
    ASSERT_GE(got.size(), image.size());
    EXPECT_EQ(std::string(got.begin(), got.begin() + image.size()), image);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progressBar)), 1.0);
}
