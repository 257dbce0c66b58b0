// The action buttons' bus work against virtual panels: discovery, read
// parameters, UID change and firmware upload.
#include <algorithm>

#include "app/app_firmware.h"
#include "app/handover.h"
#include "bus/packet_structures.h"
#include "gui/buttons.h"
#include "tests/gui/gui_fixture.h"

using WorkerTest = GuiTest;

TEST_F(WorkerTest, DiscoveryShowsRowsThenCellsThenTheCount) {
    const uint32_t uids[] = {0x00000101, 0x00200000, 0x7F000000};
    for (int i = 0; i < 3; ++i) bus.addPanel(uids[i]).verMajor = static_cast<uint8_t>(i + 1);
    selected_dev = 0x101;
    bus.closed = true;
    answers.push(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(buttonDiscovery));
    EXPECT_EQ(selected_dev.load(), NO_DEVICE);

    // Every panel found and muted, no setup read yet: rows with their UIDs only.
    ASSERT_TRUE(tickUntil("the search to end at the gate", [&] { return bus.waiting.load(); }));
    tick();
    EXPECT_EQ(rows(), 3);
    EXPECT_FALSE(gtk_widget_get_sensitive(buttonDiscovery));
    EXPECT_TRUE(gtk_widget_get_sensitive(buttonCancel));
    EXPECT_EQ(status(), "Discovery: pass 4, 3 found");
    for (int r = 0; r < rows(); ++r) EXPECT_TRUE(cell(r, 1).size() == 8 && cell(r, 2).empty()) << cell(r, 2);

    bus.closed = false;
    ASSERT_TRUE(tickUntil("the discovery worker to end", idle));
    tick();
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].text, "3 devices found.");
    EXPECT_EQ(answers.seen[0].type, GTK_MESSAGE_INFO);
    ASSERT_EQ(rows(), 3);
    std::vector<std::string> shown;
    for (int r = 0; r < 3; ++r) shown.push_back(cell(r, 1) + " " + cell(r, 2));
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, (std::vector<std::string>{"00000101 1.0", "00200000 2.0", "7F000000 3.0"}));
    EXPECT_EQ(selected_dev.load(), NO_DEVICE);
    EXPECT_FALSE(gtk_widget_get_sensitive(buttonIdentify)) << "no device selected after a discovery";
    EXPECT_FALSE(gtk_widget_get_sensitive(buttonCancel));
    EXPECT_EQ(status(), "Discovery: 3 found");
    EXPECT_EQ(portStatus(), "Port: FTDI cable KVSIM001") << "the virtual bus lists itself as a cable";
}

// Cancelled after two of four panels: the compare step under way ends, the
// cable is released, the two stay listed unread, and the box says so; the
// next discovery finds all four.
TEST_F(WorkerTest, CancelKeepsWhatWasFoundAndTheNextDiscoveryFindsAll) {
    for (uint32_t uid : {0x11u, 0x22u, 0x33u, 0x44u}) bus.addPanel(uid);
    bus.holdAt = [](GatedBus& b, const uint8_t*, uint32_t) { return b.mutedPanels() == 2; };
    bus.closed = true;
    tick();
    EXPECT_FALSE(gtk_widget_get_sensitive(buttonCancel)) << "nothing to cancel";
    gtk_button_clicked(GTK_BUTTON(buttonDiscovery));
    ASSERT_TRUE(tickUntil("two panels found", [&] { return bus.waiting.load(); }));
    tick();
    EXPECT_EQ(status(), "Discovery: pass 3, 2 found");
    ASSERT_TRUE(gtk_widget_get_sensitive(buttonCancel));
    gtk_button_clicked(GTK_BUTTON(buttonCancel));
    EXPECT_FALSE(gtk_widget_get_sensitive(buttonCancel)) << "asked once";
    bus.closed = false;
    ASSERT_TRUE(pumpUntil("the cancelled discovery to end", idle));  // no tick opens the port meanwhile
    EXPECT_FALSE(bus.isOpen()) << "the worker released the cable";
    answers.push(GTK_RESPONSE_OK);
    tick();
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].text, "2 devices found.\n(cancelled)");
    EXPECT_EQ(status(), "Discovery: 2 found (cancelled)");
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(rowText(0, 3) + " / " + rowText(1, 3), "  1|00000044| /   2|00000033|");
    EXPECT_EQ(bus.panel(0x44)->setupReads + bus.panel(0x22)->muteCount, 0) << "nothing after the cancel";

    bus.holdAt = nullptr;
    answers.push(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(buttonDiscovery));
    ASSERT_TRUE(tickUntil("the second discovery to end", idle));
    tick();
    ASSERT_EQ(answers.seen.size(), 2u);
    EXPECT_EQ(answers.seen[1].text, "4 devices found.");
    EXPECT_EQ(rows(), 4);
}

// Cancel while a mute request is on its way: that mute is answered and its
// panel kept; no further search step follows.
TEST_F(WorkerTest, CancelDuringAMuteFinishesItFirst) {
    bus.addPanel(0x11);
    bus.addPanel(0x22);
    bus.holdAt = [](GatedBus&, const uint8_t* bytes, uint32_t n) { return isMuteRequest(bytes, n); };
    bus.closed = true;
    gtk_button_clicked(GTK_BUTTON(buttonDiscovery));
    ASSERT_TRUE(tickUntil("the first mute request", [&] { return bus.waiting.load(); }));
    gtk_button_clicked(GTK_BUTTON(buttonCancel));
    bus.clearHeard();
    bus.closed = false;
    answers.push(GTK_RESPONSE_OK);
    ASSERT_TRUE(tickUntil("the cancelled discovery to end", idle));
    tick();
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].text, "1 devices found.\n(cancelled)");
    EXPECT_EQ(bus.panel(0x22)->muteCount, 1);
    EXPECT_EQ(dev_uidAt(0), 0x22u) << "the muted panel is kept";
    EXPECT_EQ(dev_uidAt(1), 0u);
    size_t compares = 0;
    for (const auto& t : bus.heard())
        compares += t.bytes.size() > PKT_DATA + 1 && t.bytes[PKT_DATA] == 0x02 && t.bytes[PKT_DATA + 1] == 0x02;
    EXPECT_EQ(compares, 0u) << "no search step after the mute";
}

TEST_F(WorkerTest, ReadParametersReportsTheSilentOnesOnce) {
    bus.addPanel(0xA);
    bus.addPanel(0xB0).faults.silent = true;
    bus.addPanel(0xC);
    bus.addPanel(0x0DDDDDDD).faults.silent = true;
    for (uint32_t uid : {0xAu, 0xB0u, 0xCu, 0x0DDDDDDDu}) addDevUID(uid);
    selected_dev = 0xC;
    // The handler holds the GUI thread: the status line is drawn from inside it.
    std::vector<std::string> shown;
    bus.holdAt = [&](GatedBus&, const uint8_t* bytes, uint32_t n) {
        if (isSetupRead(bytes, n) && (shown.empty() || shown.back() != status())) shown.push_back(status());
        return false;
    };
    answers.push(GTK_RESPONSE_OK);
    buttonReadAction(nullptr, nullptr);
    bus.holdAt = nullptr;
    EXPECT_EQ(shown, (std::vector<std::string>{"Reading 1 of 4", "Reading 2 of 4", "Reading 3 of 4", "Reading 4 of 4"}));
    tick();
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(answers.seen[0].text, "Read setup:\n Device(s) not responding:\n B0\n DDDDDDD\n");
    EXPECT_EQ(status(), "Read parameters: 2 of 4 answered");

    // Everybody answers: nothing to say.
    dev_removeAll();
    addDevUID(0xA);
    buttonReadAction(nullptr, nullptr);
    tick();
    EXPECT_EQ(answers.seen.size(), 1u);

    // A full table nobody answers: UIDs stop at the 1,990-character mark.
    for (uint32_t i = 0; i < DEV_MAX; ++i) addDevUID(0x10000000 + i);
    answers.push(GTK_RESPONSE_OK);
    buttonReadAction(nullptr, nullptr);
    tick();
    ASSERT_EQ(answers.seen.size(), 2u);
    EXPECT_EQ(answers.seen[1].text.size(), 39u + 196u * 10u);
    EXPECT_EQ(answers.seen[1].text.substr(39 + 195 * 10), " 100000C3\n");
}

TEST_F(WorkerTest, GenerateUidAskedFirstThenRediscovers) {
    VirtualPanel& panel = bus.addPanel(0x1234);
    addDevUID(0x1234);
    selected_dev = 0x1234;
    answers.push(GTK_RESPONSE_NO);
    gtk_button_clicked(GTK_BUTTON(buttonGenUID));
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].type, GTK_MESSAGE_QUESTION);
    EXPECT_EQ(answers.seen[0].text.rfind("Change UID 00001234 to:\nNEW UID=", 0), 0u) << answers.seen[0].text;
    EXPECT_EQ(bus.heard().size(), 0u) << "nothing sent";
    EXPECT_EQ(thrDisc.load(), 0);

    answers.push(GTK_RESPONSE_YES);
    answers.push(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(buttonGenUID));
    ASSERT_TRUE(tickUntil("the discovery after the UID change to end", idle));
    tick();
    ASSERT_EQ(answers.seen.size(), 3u);
    EXPECT_NE(panel.uid, 0x1234u);
    char changed[64];
    std::snprintf(changed, sizeof changed, "UID 00001234 -> %08X\n changed.", panel.uid);
    EXPECT_EQ(answers.seen[2].text, changed);
    EXPECT_EQ(dev_uidAt(0), panel.uid) << "the list was rebuilt from the bus";
    EXPECT_EQ(dev_uidAt(1), 0u);
    EXPECT_EQ(selected_dev.load(), NO_DEVICE);
}

TEST_F(WorkerTest, UpdateFirmwareWithNoDeviceSelected) {
    const std::string image(200, '\x5A');
    files.write("panel.fw", image);
    VirtualPanel& panel = bus.addPanel(0x77);
    tick();
    ASSERT_TRUE(gtk_widget_get_sensitive(buttonUpdateFW));

    bus.holdAt = [](GatedBus&, const uint8_t* bytes, uint32_t n) {
        return n == DMX_FRAME_SIZE && bytes[3] == KIND_FW_CHUNK && bytes[DMX_CHUNK] == 1;
    };
    bus.closed = true;
    answers.push(chooseFile(files.path, "panel.fw"));
    gtk_button_clicked(GTK_BUTTON(buttonUpdateFW));
    ASSERT_TRUE(tickUntil("the second chunk", [&] { return bus.waiting.load(); }));
    tick();
    EXPECT_EQ(status(), "Firmware: chunk 1 of 4");
    EXPECT_FALSE(gtk_widget_get_sensitive(buttonCancel)) << "an upload is not cancelled";
    bus.closed = false;
    ASSERT_TRUE(tickUntil("the firmware upload to end", idle));
    {
        Watchdog ended("the transfer thread to end");  // not only to clear its bit
        firmware_waitIdle();
    }
    tick();
    EXPECT_GT(panel.rebootCount, 0);
    const std::vector<uint8_t> got = panel.firmwareImage();
    ASSERT_GE(got.size(), image.size());
    EXPECT_EQ(std::string(got.begin(), got.begin() + image.size()), image);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progressBar)), 1.0);
    EXPECT_EQ(status(), "Firmware: 4 chunks sent");
}
