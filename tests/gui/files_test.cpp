// The file chooser, and the list files as the window saves and loads them.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "app/fileio.h"
#include "gui/buttons.h"
#include "gui/dialog.h"
#include "gui/handover.h"
#include "tests/gui/gui_fixture.h"

namespace {

using Action = DialogAnswerer::Action;

std::string currentFolder(GtkDialog* d) {
    gchar* folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(d));
    const std::string s = folder ? folder : "";
    g_free(folder);
    return s;
}

// "filter,filter (current)"
std::string filters(GtkDialog* d) {
    std::string names;
    GSList* all = gtk_file_chooser_list_filters(GTK_FILE_CHOOSER(d));
    for (GSList* l = all; l; l = l->next)
        names += (names.empty() ? "" : ",") + std::string(gtk_file_filter_get_name(GTK_FILE_FILTER(l->data)));
    g_slist_free(all);
    return names + " (" + gtk_file_filter_get_name(gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(d))) + ")";
}

// Accepts the chooser with a name typed in folder (save) or a file chosen there
// (open; the choice lands once the folder is loaded). With gone set, the chosen
// file is removed before the chooser is accepted.
Action choose(const std::string& folder, const std::string& name, bool gone = false) {
    auto asked = std::make_shared<bool>(false);
    return [=](GtkDialog* d) {
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(d);
        const std::string path = folder + "/" + name;
        if (gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE) {
            // Again until it holds: the load of the folder the chooser opened
            // in may still be under way and move it back.
            if (currentFolder(d) != folder) {
                gtk_file_chooser_set_current_folder(chooser, folder.c_str());
                return DialogAnswerer::NOT_YET;
            }
            gtk_file_chooser_set_current_name(chooser, name.c_str());
            return int(GTK_RESPONSE_ACCEPT);
        }
        if (!*asked) {
            *asked = true;
            if (gone) g_file_set_contents(path.c_str(), "", 0, nullptr);
            gtk_file_chooser_set_filename(chooser, path.c_str());
        }
        gchar* selected = gtk_file_chooser_get_filename(chooser);
        const bool ready = selected && path == selected;
        g_free(selected);
        if (!ready) return DialogAnswerer::NOT_YET;
        if (gone) std::remove(path.c_str());
        return int(GTK_RESPONSE_ACCEPT);
    };
}

std::vector<uint32_t> tableUids() {
    std::vector<uint32_t> uids;
    for (int i = 0; i < DEV_MAX && dev_uidAt(i) != 0; ++i) uids.push_back(dev_uidAt(i));
    return uids;
}

int readText(const std::string& text) {
    dev_removeAll();
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    const int n = readListFile(in);
    std::fclose(in);
    return n;
}

}  // namespace

using ChooserTest = GuiTest;
using ListFileTest = GuiTest;

TEST_F(ChooserTest, SaveNamesFiltersAndRememberedFolder) {
    TempDir tmp;
    mkdir(tmp.file("my.lists").c_str(), 0755);
    mkdir(tmp.file("other").c_str(), 0755);
    const struct {
        std::string folder, typed, stored;
    } cases[] = {
        {tmp.path, "plant", tmp.file("plant.lst")},
        {tmp.path, "PLANT.LST", tmp.file("PLANT.LST")},
        {tmp.path, "plant.txt", tmp.file("plant.txt.lst")},
        {tmp.path, "plant.lst.bak", tmp.file("plant.lst.bak.lst")},
        {tmp.file("my.lists"), "plant", tmp.file("my.lists/plant.lst")},
    };
    std::string seen;
    for (const auto& c : cases) {
        answers.push([&](GtkDialog* d) {
            seen = gtk_window_get_title(GTK_WINDOW(d)) + (": " + filters(d));
            return choose(c.folder, c.typed)(d);
        });
        ASSERT_EQ(openFileDialog(FILE_LIST_SAVE), 1) << c.typed;
        EXPECT_EQ(std::string(getFilename()), c.stored);
        EXPECT_EQ(lastFile, c.folder);
        EXPECT_EQ(seen, "Save File: List files (List files)");
    }

    // Loading: a move to another folder, then a cancel, changes nothing.
    bool moved = false;
    answers.push([&](GtkDialog* d) {
        if (!moved && currentFolder(d).empty()) return DialogAnswerer::NOT_YET;  // still settling
        if (!moved) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(d), tmp.file("other").c_str());
        moved = true;
        seen = filters(d);
        return currentFolder(d) == tmp.file("other") ? int(GTK_RESPONSE_CANCEL) : DialogAnswerer::NOT_YET;
    });
    EXPECT_EQ(openFileDialog(FILE_LIST_OPEN), 0);
    EXPECT_EQ(seen, "List files,Any files (List files)");
    EXPECT_EQ(std::string(getFilename()), tmp.file("my.lists/plant.lst"));

    // The next chooser opens where the last one was accepted, not cancelled.
    answers.push([&](GtkDialog* d) {
        seen = currentFolder(d);
        return seen.empty() ? DialogAnswerer::NOT_YET : int(GTK_RESPONSE_DELETE_EVENT);
    });
    EXPECT_EQ(openFileDialog(FILE_LIST_SAVE), 0);
    EXPECT_EQ(seen, tmp.file("my.lists"));
}

TEST_F(ListFileTest, SaveWritesTwelveBytesPerDeviceAndReadsThemBack) {
    TempDir tmp;
    for (uint32_t uid : {0x1u, 0xABCDEF12u, 0x7FFFFFFFu}) addDevUID(uid);
    ASSERT_EQ(saveListFile(tmp.file("three.lst").c_str()), 0);
    std::ifstream saved(tmp.file("three.lst"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, "U:00000001\r\nU:ABCDEF12\r\nU:7FFFFFFF\r\n");
    EXPECT_EQ(readText(bytes), 3);
    EXPECT_EQ(tableUids(), (std::vector<uint32_t>{0x1, 0xABCDEF12, 0x7FFFFFFF}));

    EXPECT_EQ(saveListFile("/dev/full"), -2) << "a full device fails at the close";
    EXPECT_EQ(saveListFile(tmp.file("no-such-folder/x.lst").c_str()), -1);

    // A link into a folder that does not exist: nobody, root included, can create it.
    ASSERT_EQ(symlink(tmp.file("nowhere/x").c_str(), tmp.file("taken.lst").c_str()), 0);
    answers.push(choose(tmp.path, "taken.lst"));
    answers.push(GTK_RESPONSE_OK);
    buttonSaveListAction(nullptr, nullptr);
    tick();
    ASSERT_EQ(answers.seen.size(), 2u);
    EXPECT_EQ(answers.seen[1].type, GTK_MESSAGE_ERROR);
    EXPECT_NE(answers.seen[1].text.find(tmp.file("taken.lst")), std::string::npos) << answers.seen[1].text;
}

TEST(ListReader, LooseLinesAndTheTableLimit) {
    const struct {
        const char* what;
        std::string text;
        int read;
        std::vector<uint32_t> uids;
    } cases[] = {
        {"LF", "U:00000011\nU:00000022\n", 2, {0x11, 0x22}},
        {"CR", "U:00000011\rU:00000022\r", 2, {0x11, 0x22}},
        {"CR LF", "U:00000011\r\nU:00000022\r\n", 2, {0x11, 0x22}},
        {"lower case, short", "u:abcd\n", 1, {0xABCD}},
        {"0x prefix", "U:0x1A2B\n", 1, {0x1A2B}},
        {"text after the number", "U:12AB some text\n", 1, {0x12AB}},
        {"ignored lines", " U:1234\nX:1234\nU:\nU:zz\n\n", 0, {}},
        {"last line without its end", "U:5\nU:1234", 1, {0x5}},
        {"duplicates", "U:5\nU:6\nU:5\n", 3, {0x5, 0x6}},
        {"zero: counted, so a worker starts, but no record", "U:00000000\n", 1, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readText(c.text), c.read) << c.what;
        EXPECT_EQ(tableUids(), c.uids) << c.what;
    }

    // More than 200 distinct UIDs: all are read, the first 200 stored.
    std::string many;
    for (int i = 1001; i <= 1230; ++i) many += "U:" + std::to_string(i) + "\r\n";
    EXPECT_EQ(readText(many), 230);
    const auto uids = tableUids();
    ASSERT_EQ(uids.size(), 200u);
    EXPECT_EQ(uids.front(), 0x1001u);
    EXPECT_EQ(uids.back(), 0x1200u);
    dev_removeAll();
}

TEST_F(ListFileTest, LoadReplacesTheTableAndReadsTheSetups) {
    TempDir tmp;
    VirtualPanel& a = bus.addPanel(0xA1);
    a.verMajor = 1;
    a.verMinor = 7;
    bus.addPanel(0xB2).intensity = 2;
    tmp.write("site.lst", "U:000000B2\r\nU:000000A1\r\nU:00000C3\r\n");
    tmp.write("none.lst", "nothing here\n");

    addDevUID(0x77);
    tick();
    answers.push(choose(tmp.path, "missing.lst", true));
    buttonLoadListAction(nullptr, nullptr);
    EXPECT_EQ(tableUids(), (std::vector<uint32_t>{0x77})) << "a file that cannot be opened changes nothing";
    EXPECT_EQ(rows(), 1);

    answers.push(choose(tmp.path, "site.lst"));
    buttonLoadListAction(nullptr, nullptr);
    EXPECT_EQ(tableUids(), (std::vector<uint32_t>{0xB2, 0xA1, 0xC3}));
    EXPECT_EQ(rows(), 0);
    ASSERT_TRUE(tickUntil(idle));
    tick();
    ASSERT_EQ(rows(), 3);
    EXPECT_EQ(rowText(0, 4) + " " + rowText(1, 4) + " " + rowText(2, 4),
              "  1|000000B2|2.0|2   2|000000A1|1.7|1   3|000000C3||") << "C3 never answered";
    EXPECT_EQ(a.setupReads, 1);

    answers.push(choose(tmp.path, "none.lst"));
    buttonLoadListAction(nullptr, nullptr);
    EXPECT_EQ(getLockComponents(), 0u) << "no UID, no worker";
    EXPECT_TRUE(tableUids().empty());
    EXPECT_EQ(rows(), 0);
}
