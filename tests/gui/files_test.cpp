// The file chooser, and the list files and firmware images as the window
// saves and loads them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "app/handover.h"
#include "gui/buttons.h"
#include "gui/dialog.h"
#include "tests/gui/gui_fixture.h"
#include "tests/support/frames.h"

namespace {

// "filter,filter (current)"
std::string filters(GtkDialog* d) {
    std::string names;
    GSList* all = gtk_file_chooser_list_filters(GTK_FILE_CHOOSER(d));
    for (GSList* l = all; l; l = l->next)
        names += (names.empty() ? "" : ",") + std::string(gtk_file_filter_get_name(GTK_FILE_FILTER(l->data)));
    g_slist_free(all);
    return names + " (" + gtk_file_filter_get_name(gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(d))) + ")";
}

// What the product may be handed in place of a list file.
enum class Odd { Fifo, DevZero, Folder, Dangling };

void makeOdd(const std::string& path, Odd kind) {
    std::remove(path.c_str());
    int rc = 0;
    switch (kind) {
        case Odd::Fifo: rc = mkfifo(path.c_str(), 0600); break;
        case Odd::DevZero: rc = symlink("/dev/zero", path.c_str()); break;
        case Odd::Folder: rc = mkdir(path.c_str(), 0700); break;
        case Odd::Dangling: rc = symlink((path + ".nowhere/x").c_str(), path.c_str()); break;
    }
    ASSERT_EQ(rc, 0) << path;
}

// Lets a call blocked in opening a FIFO go on: opens the other end.
void releaseFifo(const std::string& path, bool forReading) {
    const int fd = open(path.c_str(), (forReading ? O_RDONLY : O_WRONLY) | O_NONBLOCK);
    if (fd >= 0) close(fd);
}

}  // namespace

using ChooserTest = GuiTest;
using ListFileTest = GuiTest;

TEST_F(ChooserTest, SaveNamesFiltersAndRememberedFolder) {
    mkdir(files.file("my.lists").c_str(), 0755);
    mkdir(files.file("other").c_str(), 0755);
    const struct {
        std::string folder, typed, stored;
    } cases[] = {
        {files.path, "PLANT.LST", files.file("PLANT.LST")},
        {files.path, "plant.txt", files.file("plant.txt.lst")},
        {files.path, "plant.lst.bak", files.file("plant.lst.bak.lst")},
        {files.file("my.lists"), "plant", files.file("my.lists/plant.lst")},
    };
    for (const auto& c : cases) {
        answers.push(chooseFile(c.folder, c.typed));
        ASSERT_EQ(openFileDialog(FILE_LIST_SAVE), 1) << c.typed;
        EXPECT_EQ(std::string(getFilename()), c.stored);
    }

    // Loading: a move to another folder, then a cancel, changes nothing.
    std::string seen, saving;
    answers.push([&](GtkDialog* d) {
        seen = filters(d);
        if (chooserFolder(d) == files.file("other")) return int(GTK_RESPONSE_CANCEL);
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(d), files.file("other").c_str());
        return DialogAnswerer::NOT_YET;
    });
    EXPECT_EQ(openFileDialog(FILE_LIST_OPEN), 0);
    EXPECT_EQ(seen, "List files,Any files (List files)");
    EXPECT_EQ(std::string(getFilename()), files.file("my.lists/plant.lst"));

    // A full path typed into the name field: the next chooser opens in that
    // file's folder, though the chooser itself never went there.
    answers.push([&](GtkDialog* d) {
        seen = chooserFolder(d);
        saving = gtk_window_get_title(GTK_WINDOW(d)) + (": " + filters(d));
        if (seen.empty()) return DialogAnswerer::NOT_YET;  // still settling
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(d), files.file("other/typed").c_str());
        return int(GTK_RESPONSE_ACCEPT);
    });
    ASSERT_EQ(openFileDialog(FILE_LIST_SAVE), 1);
    EXPECT_EQ(seen, files.file("my.lists")) << "a cancel leaves the folder of the last accepted file";
    EXPECT_EQ(std::string(getFilename()), files.file("other/typed.lst"));
    EXPECT_EQ(saving, "Save File: List files (List files)");
    answers.push([&](GtkDialog* d) {
        seen = chooserFolder(d);
        return seen.empty() ? DialogAnswerer::NOT_YET : int(GTK_RESPONSE_DELETE_EVENT);
    });
    EXPECT_EQ(openFileDialog(FILE_FIRMWARE), 0);
    EXPECT_EQ(seen, files.file("other"));
}

// A FIFO without a writer, a link to /dev/zero, a folder and a file gone by the
// time it is opened (a dangling link: not even root can open it), chosen as
// list files: every handler comes back, nothing is changed, and each refusal
// is the usual one. That the window goes on is seen in the answers and ticks
// that follow each. Firmware images are opened as list files are; their
// refusals: Services.FirmwareRefusalsSendNothingAndOneTransferAtATime.
// Then a loaded list replaces the table and the selection at once, and its
// setups are read (Cancel between two panels is the reading loop that "Read
// parameters" shares, tested there); what the status line says of the load and
// of a save, and no box. A file without a UID empties the table and starts no
// worker.
TEST_F(ListFileTest, NoFileHoldsTheWindowAndALoadReplacesTheTable) {
    VirtualPanel& a = bus.addPanel(0xA1);
    a.verMajor = 1;
    a.verMinor = 7;
    bus.addPanel(0xB2).intensity = 2;
    VirtualPanel& c = bus.addPanel(0xC3);
    c.faults.silent = true;
    files.write("site.lst", "U:000000B2\r\nU:000000A1\r\nU:00000C3\r\n");
    files.write("none.lst", "nothing here\n");
    addDevUID(0x77);
    selected_dev = 0x77;
    tick();
    for (Odd kind : {Odd::Fifo, Odd::DevZero, Odd::Folder, Odd::Dangling}) {
        const std::string name = "odd" + std::to_string(int(kind)) + ".lst";
        const std::string path = files.file(name);
        files.write(name, "U:000000A1\r\n");
        answers.push(chooseFile(files.path, name, [&] { makeOdd(path, kind); }));
        std::string out;
        {
            Watchdog back("\"Load list\" of " + path + " to return", [&] { releaseFifo(path, false); });
            out = captureStdout([] { buttonLoadListAction(nullptr, nullptr); });
        }
        EXPECT_NE(out.find("Cannot open file: " + path + "\n"), std::string::npos) << out;
        EXPECT_EQ(dev_uidAt(0), 0x77u) << name;
        tick();
        EXPECT_EQ(rows(), 1) << name;
        EXPECT_EQ(status().rfind("Cannot open file: " + name + " (", 0), 0u) << status();
        if (kind != Odd::Fifo && kind != Odd::DevZero) continue;  // a save to it
        answers.push(chooseFile(files.path, name));
        answers.push(GTK_RESPONSE_OK);
        {
            Watchdog back("\"Save list\" to " + path + " to return", [&] { releaseFifo(path, true); });
            buttonSaveListAction(nullptr, nullptr);
        }
        tick();
        EXPECT_EQ(answers.seen.back(), "error: Cannot create file: " + path);
    }

    answers.push(chooseFile(files.path, "site.lst"));
    buttonLoadListAction(nullptr, nullptr);
    EXPECT_EQ(dev_count(), 3);
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(selected_dev.load(), NO_DEVICE) << "the selection went with its row";
    ASSERT_TRUE(finish("the list-load worker"));
    ASSERT_EQ(rows(), 3);
    EXPECT_EQ(rowText(0) + " / " + rowText(1) + " / " + rowText(2),
              "  1|000000B2|2.0|2|Off|Off|Off|Off|Off|Off / "
              "  2|000000A1|1.7|1|Off|Off|Off|Off|Off|Off / "
              "  3|000000C3||||||||");
    EXPECT_EQ(a.setupReads, 1);
    EXPECT_EQ(status(), "List read: 2 of 3 answered");

    answers.push(chooseFile(files.path, "saved"));
    buttonSaveListAction(nullptr, nullptr);
    tick();
    EXPECT_EQ(status(), "List saved: saved.lst (3 panels)");

    answers.push(chooseFile(files.path, "none.lst"));
    buttonLoadListAction(nullptr, nullptr);
    EXPECT_EQ(getLockComponents(), 0u) << "no UID, no worker";
    EXPECT_EQ(dev_count(), 0);
}
