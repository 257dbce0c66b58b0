// The action buttons' bus work against virtual panels: discovery, read
// parameters, UID change and firmware upload.

#include "app/app_firmware.h"
#include "bus/packet_structures.h"
#include "gui/buttons.h"
#include "tests/gui/gui_fixture.h"

using WorkerTest = GuiTest;

// Cancel while the second mute request is on its way: that mute is answered
// and its panel kept, no search step follows, the cable is released, the two
// found stay listed unread, and the box says so. The next discovery shows the
// rows it finds, then their cells, then the count; ticks go on under its box.
// A UID change lists the panels again.
TEST_F(WorkerTest, DiscoveryShowsRowsThenCellsThenTheCount) {
    const uint32_t uids[] = {0x11, 0x22, 0x33, 0x44};
    for (int i = 0; i < 4; ++i) bus.addPanel(uids[i]).verMajor = static_cast<uint8_t>(1 + i % 3);
    holdAt(
        [](GatedBus& b, const uint8_t* bytes, uint32_t n) { return isMuteRequest(bytes, n) && b.mutedPanels() == 1; });
    selected_dev = 0x11;
    tick();
    gtk_button_clicked(GTK_BUTTON(getButtonDiscovery()));
    EXPECT_EQ(selected_dev.load(), NO_DEVICE);
    ASSERT_TRUE(heldAt("the second mute request"));
    EXPECT_FALSE(sensitive(getButtonDiscovery()));
    ASSERT_TRUE(sensitive(getButtonCancel()));
    gtk_button_clicked(GTK_BUTTON(getButtonCancel()));
    EXPECT_FALSE(sensitive(getButtonCancel())) << "asked once";
    bus.clearHeard();
    bus.closed = false;
    ASSERT_TRUE(pumpUntil("the cancelled discovery to end", idle));  // no tick opens the port meanwhile
    EXPECT_FALSE(bus.isOpen()) << "the worker released the cable";
    answers.push(GTK_RESPONSE_OK);
    tick();
    EXPECT_EQ(answers.seen, (Texts{"info: 2 devices found.\n(cancelled)"}));
    EXPECT_EQ(status(), "Discovery: 2 found (cancelled)");
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(rowText(0, 3) + " / " + rowText(1, 3), "  1|00000044| /   2|00000033|");
    EXPECT_EQ(bus.heard().size(), 1u) << "the mute only: no search step, no setup read";

    // Held at the gate after the search, every panel found and muted and no
    // setup read yet: rows with their UIDs only.
    holdAt(nullptr);
    std::string underBox;
    answers.push(GTK_RESPONSE_OK, [&](GtkDialog*) {
        waitFor("the discovery worker to end under its box", [] { return buttons_thrDisc() == 0; });
        tick();
        underBox = status() + (sensitive(getButtonCancel()) ? ", Cancel live" : "");
    });
    gtk_button_clicked(GTK_BUTTON(getButtonDiscovery()));
    ASSERT_TRUE(heldAt("the search to end at the gate"));
    EXPECT_EQ(rows(), 4);
    EXPECT_EQ(status(), "Discovery: pass 5, 4 found");
    for (int r = 0; r < rows(); ++r) EXPECT_TRUE(cell(r, 1).size() == 8 && cell(r, 2).empty()) << cell(r, 2);

    ASSERT_TRUE(finish("the second discovery"));
    EXPECT_EQ(underBox, "Discovery: 4 found");
    std::string shown;
    for (int r = 0; r < 4; ++r) shown += rowText(r, 3) + " / ";
    EXPECT_EQ(shown, "  1|00000044|1.0 /   2|00000033|3.0 /   3|00000022|2.0 /   4|00000011|1.0 / ");

    // "Generate UID" asks first: "No" sends nothing; "Yes" changes the UID and
    // lists the panels on the bus again, none selected.
    VirtualPanel& panel = *bus.panel(0x11);
    selected_dev = 0x11;
    bus.clearHeard();
    answers.push(GTK_RESPONSE_NO);
    gtk_button_clicked(GTK_BUTTON(getButtonGenUID()));
    EXPECT_EQ(answers.seen.back().rfind("question: Change UID 00000011 to:\nNEW UID=", 0), 0u) << answers.seen.back();
    EXPECT_EQ(bus.heard().size(), 0u) << "nothing sent";
    EXPECT_EQ(buttons_thrDisc(), 0);
    answers.push(GTK_RESPONSE_YES);
    answers.push(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(getButtonGenUID()));
    ASSERT_TRUE(finish("the discovery after the UID change"));
    EXPECT_NE(panel.uid, 0x11u);
    char changed[64];
    std::snprintf(changed, sizeof changed, "info: UID 00000011 -> %08X\n changed.", panel.uid);
    EXPECT_EQ(answers.seen.back(), changed);
    EXPECT_EQ(selected_dev.load(), NO_DEVICE) << "the panels were listed again";
}

// "Read parameters" on the worker: the window stays in its main loop (the GUI
// thread spends no bus time of its own), the buttons grey, the status line
// counts, Cancel stops between two panels, and the silent ones come in one box.
TEST_F(WorkerTest, ReadParametersRunsBesideTheWindowAndReportsTheSilentOnes) {
    const uint32_t uids[] = {0xA, 0xB0, 0xC, 0x0DDDDDDD, 0xE1, 0xE2, 0xE3};
    for (uint32_t uid : uids) {
        bus.addPanel(uid).faults.silent = uid != 0xA && uid != 0xC;  // five silent
        addDevUID(uid);
    }
    selected_dev = 0xC;
    holdAt([](GatedBus&, const uint8_t* b, uint32_t n) { return isSetupRead(b, n) && packet_destination(b) == 0xC; });
    answers.push(GTK_RESPONSE_OK);
    const int64_t ownBus = tim_threadVirtualUs();
    gtk_button_clicked(GTK_BUTTON(getButtonRead()));
    ASSERT_TRUE(heldAt("the read of the third panel"));
    EXPECT_EQ(status(), "Reading 3 of 7");
    EXPECT_FALSE(sensitive(getButtonRead()) || sensitive(getButtonDiscovery()) || sensitive(getButtonEdit()));
    ASSERT_TRUE(finish("the read of every panel"));
    EXPECT_LT(tim_threadVirtualUs() - ownBus, 500000) << "us of bus time the GUI thread spent itself";
    EXPECT_EQ(answers.seen, (Texts{"error: Read setup:\n Device(s) not responding:\n B0\n DDDDDDD\n E1\n E2\n E3\n"}));
    EXPECT_EQ(status(), "Read parameters: 2 of 7 answered");

    // Cancelled during the fourth panel's read: that read ends, none follows.
    holdAt([](GatedBus&, const uint8_t* b, uint32_t n) {
        return isSetupRead(b, n) && packet_destination(b) == 0x0DDDDDDD;
    });
    answers.push(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(getButtonRead()));
    ASSERT_TRUE(heldAt("the read of the fourth panel"));
    gtk_button_clicked(GTK_BUTTON(getButtonCancel()));
    ASSERT_TRUE(finish("the cancelled read"));
    EXPECT_EQ(answers.seen.back(), "error: Read setup:\n Device(s) not responding:\n B0\n DDDDDDD\n");
    EXPECT_EQ(status(), "Read parameters: 4 of 7 read, 2 answered (cancelled)");
    EXPECT_EQ(bus.panel(0x0DDDDDDD)->setupReads, 10) << "the read under way has its five tries";

    // Everybody answers: nothing to say.
    dev_removeAll();
    addDevUID(0xA);
    gtk_button_clicked(GTK_BUTTON(getButtonRead()));
    ASSERT_TRUE(finish("the read of one panel"));  // the fixture fails a box nobody expected

    // A full table nobody answers: UIDs stop at the 1,990-character mark.
    for (uint32_t i = 0; i < DEV_MAX; ++i) addDevUID(0x10000000 + i);
    answers.push(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(getButtonRead()));
    ASSERT_TRUE(finish("the read of 200 silent panels"));
    const std::string& report = answers.seen.back();  // "error: ", 39 characters, the UIDs
    EXPECT_EQ(report.size(), 7u + 39u + 196u * 10u);
    EXPECT_EQ(report.substr(report.size() - 10), " 100000C3\n");
}

TEST_F(WorkerTest, UpdateFirmwareWithNoDeviceSelected) {
    files.write("panel.fw", std::string(200, '\x5A'));
    bus.addPanel(0x77);
    holdAt([](GatedBus&, const uint8_t* b, uint32_t n) {
        return n == DMX_FRAME_SIZE && b[3] == KIND_FW_CHUNK && b[DMX_CHUNK] == 1;
    });
    answers.push(chooseFile(files.path, "panel.fw"));
    gtk_button_clicked(GTK_BUTTON(getButtonUpdateFw()));
    ASSERT_TRUE(heldAt("the second chunk"));
    EXPECT_EQ(status(), "Firmware: chunk 1 of 4");
    EXPECT_FALSE(sensitive(getButtonCancel())) << "an upload is not cancelled";
    // Closing asks first, "Cancel" the default; only "Close" would let the window go.
    answers.push(GTK_RESPONSE_CANCEL, [](GtkDialog* d) {
        EXPECT_EQ(buttonRow(GTK_WIDGET(d)), "Cancel=-6|Close=-7");
        GtkWidget* chosen = gtk_window_get_default_widget(GTK_WINDOW(d));
        EXPECT_STREQ(chosen ? gtk_button_get_label(GTK_BUTTON(chosen)) : "", "Cancel");
    });
    closeByTitleBar(window);
    ASSERT_NE(window, nullptr);
    answers.push(GTK_RESPONSE_CLOSE);
    EXPECT_TRUE(mainWin_mayClose());
    const std::string asked =
        "warning: A firmware upload is running. The panels have been rebooted to take the new firmware and hold 1 of 4 "
        "chunks: stopping the upload now leaves them without firmware until the image is sent again.\n\nClose the "
        "window anyway?";
    EXPECT_EQ(answers.seen, (Texts{"Open File", asked, asked}));
    ASSERT_TRUE(finish("the firmware upload"));
    {
        Watchdog ended("the transfer thread to end");  // not only to clear its bit
        firmware_waitIdle();
    }
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(named("progressBar"))), 1.0);
    EXPECT_EQ(status(), "Firmware: 4 chunks sent");
    EXPECT_TRUE(mainWin_mayClose()) << "nothing left to break: no question";
}
