// The file chooser and the list files.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/fileio.h"
#include "devices/devices.h"
#include "gui/buttons.h"
#include "gui/dialog.h"
#include "gui/handover.h"
#include "gui/mainWin.h"
#include "tests/gui/gui_fixture.h"

namespace {

std::vector<std::string> filterNames(GtkFileChooser* chooser, std::string* first) {
    std::vector<std::string> names;
    GSList* filters = gtk_file_chooser_list_filters(chooser);
    for (GSList* l = filters; l; l = l->next) names.push_back(gtk_file_filter_get_name(GTK_FILE_FILTER(l->data)));
    g_slist_free(filters);
    GtkFileFilter* current = gtk_file_chooser_get_filter(chooser);
    *first = current ? gtk_file_filter_get_name(current) : "";
    return names;
}

std::string currentFolder(GtkDialog* d) {
    gchar* folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(d));
    std::string s = folder ? folder : "";
    g_free(folder);
    return s;
}

// Accepts the chooser with a name typed in `folder` (save) or a file chosen
// there (open; the choice lands once the folder is loaded). With gone set, the
// chosen file is removed before the chooser is accepted.
DialogAnswerer::Action choose(const std::string& folder, const std::string& name, bool gone = false) {
    auto asked = std::make_shared<bool>(false);
    return [=](GtkDialog* d) {
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(d);
        const std::string path = folder + "/" + name;
        if (gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE) {
            gtk_file_chooser_set_current_folder(chooser, folder.c_str());
            gtk_file_chooser_set_current_name(chooser, name.c_str());
            return int(GTK_RESPONSE_ACCEPT);
        }
        if (!*asked) {
            *asked = true;
            if (gone) writeWhole(path, "");
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
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    const int n = readListFile(in);
    std::fclose(in);
    return n;
}

}  // namespace

using ChooserTest = GuiTest;
using ListFileTest = GuiTest;

TEST(ListNameRule, AppendsLstUnlessTheLastDotSaysSo) {
    EXPECT_EQ(withListExtension("/a/plant"), "/a/plant.lst");
    EXPECT_EQ(withListExtension("/a/PLANT.LST"), "/a/PLANT.LST");
    EXPECT_EQ(withListExtension("/a/plant.Lst"), "/a/plant.Lst");
    EXPECT_EQ(withListExtension("/a/plant.txt"), "/a/plant.txt.lst");
    EXPECT_EQ(withListExtension("/a/my.lists/plant"), "/a/my.lists/plant.lst");
    EXPECT_EQ(withListExtension("/a/plant.lst.bak"), "/a/plant.lst.bak.lst");
    const std::string longName(600, 'n');
    EXPECT_EQ(withListExtension("/a/" + longName), "/a/" + longName + ".lst");
}

TEST_F(ChooserTest, SaveNamesFiltersAndRememberedFolder) {
    TempDir tmp;
    mkdir(tmp.file("my.lists").c_str(), 0755);
    mkdir(tmp.file("other").c_str(), 0755);

    struct Case {
        std::string folder, typed, stored;
    } cases[] = {
        {tmp.path(), "plant", tmp.file("plant.lst")},
        {tmp.path(), "PLANT.LST", tmp.file("PLANT.LST")},
        {tmp.path(), "plant.txt", tmp.file("plant.txt.lst")},
        {tmp.file("my.lists"), "plant", tmp.file("my.lists/plant.lst")},
    };
    for (const Case& c : cases) {
        std::string first;
        std::vector<std::string> filters;
        std::string title;
        answers.push([&](GtkDialog* d) {
            filters = filterNames(GTK_FILE_CHOOSER(d), &first);
            title = gtk_window_get_title(GTK_WINDOW(d));
            return choose(c.folder, c.typed)(d);
        });
        ASSERT_EQ(openFileDialog(FILE_LIST_SAVE), 1) << c.typed;
        EXPECT_EQ(std::string(getFilename()), c.stored);
        EXPECT_EQ(lastFile, c.folder);
        EXPECT_EQ(title, "Save File");
        EXPECT_EQ(filters, (std::vector<std::string>{"List files"}));
        EXPECT_EQ(first, "List files");
    }

    // Open modes: their filters, the folder of the last accepted choice, and a
    // cancel that changes nothing.
    std::string openedIn, first;
    std::vector<std::string> filters;
    bool moved = false;
    answers.push([&](GtkDialog* d) {
        if (!moved) {
            openedIn = currentFolder(d);
            if (openedIn.empty()) return DialogAnswerer::NOT_YET;  // still settling
            filters = filterNames(GTK_FILE_CHOOSER(d), &first);
            gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(d), tmp.file("other").c_str());
            moved = true;
        }
        // Cancelled only once the operator has really gone to another folder.
        return currentFolder(d) == tmp.file("other") ? int(GTK_RESPONSE_CANCEL) : DialogAnswerer::NOT_YET;
    });
    EXPECT_EQ(openFileDialog(FILE_LIST_OPEN), 0);
    EXPECT_EQ(openedIn, tmp.file("my.lists"));
    EXPECT_EQ(filters, (std::vector<std::string>{"List files", "Any files"}));
    EXPECT_EQ(first, "List files");
    EXPECT_EQ(std::string(getFilename()), tmp.file("my.lists/plant.lst")) << "a cancel keeps the name";

    writeWhole(tmp.file("other/image.fw"), "x");
    auto pick = choose(tmp.file("other"), "image.fw");
    bool firstLook = true;
    answers.push([&, pick](GtkDialog* d) {
        if (firstLook) {
            openedIn = currentFolder(d);
            if (openedIn.empty()) return DialogAnswerer::NOT_YET;
            firstLook = false;
            filters = filterNames(GTK_FILE_CHOOSER(d), &first);
        }
        return pick(d);
    });
    EXPECT_EQ(openFileDialog(FILE_FIRMWARE), 1);
    EXPECT_EQ(openedIn, tmp.file("my.lists")) << "the cancelled chooser's folder was not kept";
    EXPECT_EQ(filters, (std::vector<std::string>{"Firmware files", "Any files"}));
    EXPECT_EQ(first, "Firmware files");
    EXPECT_EQ(std::string(getFilename()), tmp.file("other/image.fw"));
    EXPECT_EQ(lastFile, tmp.file("other"));

    answers.push([&](GtkDialog* d) {
        openedIn = currentFolder(d);
        return openedIn.empty() ? DialogAnswerer::NOT_YET : int(GTK_RESPONSE_DELETE_EVENT);
    });
    EXPECT_EQ(openFileDialog(FILE_LIST_SAVE), 0);
    EXPECT_EQ(openedIn, tmp.file("other"));
}

TEST_F(ListFileTest, SaveWritesTwelveBytesPerDevice) {
    TempDir tmp;
    EXPECT_EQ(saveListFile(tmp.file("empty.lst").c_str()), 0);
    EXPECT_EQ(readWhole(tmp.file("empty.lst")), "");

    addDevUID(0x1);
    addDevUID(0xABCDEF12);
    addDevUID(0x7FFFFFFF);
    ASSERT_EQ(saveListFile(tmp.file("three.lst").c_str()), 0);
    const std::string bytes = readWhole(tmp.file("three.lst"));
    EXPECT_EQ(bytes.size(), 36u);
    EXPECT_EQ(bytes, "U:00000001\r\nU:ABCDEF12\r\nU:7FFFFFFF\r\n");

    // And back: same UIDs, same order; the empty lines between are ignored.
    dev_removeAll();
    addDevUID(0x99);
    std::FILE* in = std::fopen(tmp.file("three.lst").c_str(), "rb");
    dev_removeAll();
    EXPECT_EQ(readListFile(in), 3);
    std::fclose(in);
    EXPECT_EQ(tableUids(), (std::vector<uint32_t>{0x1, 0xABCDEF12, 0x7FFFFFFF}));

    // Write failures are found: a full device fails at the close.
    EXPECT_EQ(saveListFile("/dev/full"), -2);
    EXPECT_EQ(saveListFile(tmp.file("no-such-folder/x.lst").c_str()), -1);
}

TEST_F(ListFileTest, SaveThatCannotCreateNamesTheFile) {
    TempDir tmp;
    // A link into a folder that does not exist: nobody, root included, can create it.
    ASSERT_EQ(symlink(tmp.file("nowhere/x").c_str(), tmp.file("taken.lst").c_str()), 0);
    addDevUID(0x42);
    answers.push(choose(tmp.path(), "taken.lst"));
    answers.respond(GTK_RESPONSE_OK);
    buttonSaveListAction(nullptr, nullptr);
    tick();
    ASSERT_EQ(answers.seen.size(), 2u);
    EXPECT_EQ(answers.seen[1].type, GTK_MESSAGE_ERROR);
    EXPECT_NE(answers.seen[1].text.find(tmp.file("taken.lst")), std::string::npos) << answers.seen[1].text;
}

TEST(ListReader, LineEndsFormsAndUnusableLines) {
    struct Case {
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
        {"leading zeros beyond eight digits", "U:000012345678\n", 1, {0x12345678}},
        {"ignored lines", " U:1234\nX:1234\nU:\nU:zz\n\n", 0, {}},
        {"last line without its end", "U:5\nU:1234", 1, {0x5}},
        {"duplicates", "U:5\nU:6\nU:5\n", 3, {0x5, 0x6}},
        {"zero", "U:00000000\n", 1, {}},
        {"more than 32 bits", "U:123456789\nU:FFFFFFFF0\nU:7\n", 1, {0x7}},
        {"all 32 bits", "U:FFFFFFFF\n", 1, {0xFFFFFFFF}},
    };
    for (const Case& c : cases) {
        dev_removeAll();
        EXPECT_EQ(readText(c.text), c.read) << c.what;
        EXPECT_EQ(tableUids(), c.uids) << c.what;
    }

    // A line longer than 256 characters is read as pieces of 256.
    dev_removeAll();
    std::string longLine = "U:31" + std::string(252, ' ') + "U:32" + std::string(100, '-') + "\n";
    EXPECT_EQ(readText(longLine), 2);
    EXPECT_EQ(tableUids(), (std::vector<uint32_t>{0x31, 0x32}));

    // More than 200 distinct UIDs: all are read, the first 200 stored.
    dev_removeAll();
    std::string many;
    for (int i = 1; i <= 230; ++i) {
        char line[16];
        std::snprintf(line, sizeof line, "U:%08X\r\n", 0x1000 + i);
        many += line;
    }
    EXPECT_EQ(readText(many), 230);
    const auto uids = tableUids();
    ASSERT_EQ(uids.size(), 200u);
    EXPECT_EQ(uids.front(), 0x1001u);
    EXPECT_EQ(uids.back(), 0x1000u + 200);
    dev_removeAll();
}

TEST_F(ListFileTest, LoadReplacesTheTableAndReadsTheSetups) {
    TempDir tmp;
    VirtualPanel& a = bus.addPanel(0xA1);
    a.verMajor = 1;
    a.verMinor = 7;
    bus.addPanel(0xB2).intensity = 2;
    writeWhole(tmp.file("site.lst"), "U:000000B2\r\nU:000000A1\r\nU:00000C3\r\n");
    writeWhole(tmp.file("none.lst"), "nothing here\n");

    addDevUID(0x77);
    tick();
    ASSERT_EQ(rows(), 1);
    answers.push(choose(tmp.path(), "missing.lst", true));
    buttonLoadListAction(nullptr, nullptr);
    EXPECT_EQ(tableUids(), (std::vector<uint32_t>{0x77})) << "a file that cannot be opened changes nothing";
    EXPECT_EQ(rows(), 1);

    answers.push(choose(tmp.path(), "site.lst"));
    buttonLoadListAction(nullptr, nullptr);
    EXPECT_EQ(tableUids(), (std::vector<uint32_t>{0xB2, 0xA1, 0xC3}));
    EXPECT_EQ(rows(), 0);
    ASSERT_TRUE(tickUntil(idle));
    tick();
    ASSERT_EQ(rows(), 3);
    EXPECT_EQ(cell(0, 1), "000000B2");
    EXPECT_EQ(cell(0, 3), "2");
    EXPECT_EQ(cell(1, 2), "1.7");
    EXPECT_EQ(cell(2, 2), "") << "C3 never answered";
    EXPECT_EQ(a.setupReads, 1);

    answers.push(choose(tmp.path(), "none.lst"));
    buttonLoadListAction(nullptr, nullptr);
    EXPECT_EQ(thrDisc.load(), 0) << "no UID, no worker";
    EXPECT_EQ(getLockComponents(), 0u);
    EXPECT_TRUE(tableUids().empty());
    EXPECT_EQ(rows(), 0);
}
