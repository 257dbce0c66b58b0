// The window icon without a working-directory assumption: the working
// directory first, then beside the executable, then the installed tree's icon.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "gui/icon.h"

namespace {

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? buffer : "";
}

void drawIcon(const std::string& path) {
    gchar* folder = g_path_get_dirname(path.c_str());
    g_mkdir_with_parents(folder, 0700);
    g_free(folder);
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 48, 48);
    gdk_pixbuf_fill(pixbuf, 0x3c424eff);
    ASSERT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr)) << path;
    g_object_unref(pixbuf);
}

// A tree laid out as make install lays it out, entered as the working directory.
struct Tree {
    std::string root = testing::TempDir() + "korvane-icon-XXXXXX";
    char before[PATH_MAX] = {};
    Tree() {
        root = mkdtemp(&root[0]);
        g_mkdir_with_parents((root + "/bin").c_str(), 0700);
        g_mkdir_with_parents((root + "/work").c_str(), 0700);
        EXPECT_NE(getcwd(before, sizeof before), nullptr);
        EXPECT_EQ(chdir((root + "/work").c_str()), 0);
    }
    ~Tree() {
        EXPECT_EQ(chdir(before), 0);
        std::error_code failed;
        std::filesystem::remove_all(root, failed);
        EXPECT_FALSE(failed) << root << ": " << failed.message();
    }
};

}  // namespace

TEST(WindowIcon, WorkingDirectoryThenExecutableThenInstalledTree) {
    Tree tree;
    const std::string bin = tree.root + "/bin";
    EXPECT_EQ(findWindowIcon(bin), "") << "no icon anywhere";

    drawIcon(tree.root + "/share/icons/hicolor/48x48/apps/korvane.png");
    EXPECT_EQ(realPath(findWindowIcon(bin)), realPath(tree.root + "/share/icons/hicolor/48x48/apps/korvane.png"));

    drawIcon(bin + "/tivol.png");
    EXPECT_EQ(findWindowIcon(bin), bin + "/tivol.png") << "the build tree's copy beside the executable";

    drawIcon(tree.root + "/work/tivol.png");
    EXPECT_EQ(findWindowIcon(bin), "tivol.png") << "the working directory's first, as always";

    // This test program lies in the build tree with tivol.png beside it.
    EXPECT_EQ(unlink("tivol.png"), 0);
    GdkPixbuf* icon = loadWindowIcon();
    ASSERT_NE(icon, nullptr) << "found beside the executable, whatever the working directory";
    EXPECT_EQ(gdk_pixbuf_get_width(icon), 48);
    g_object_unref(icon);
}
