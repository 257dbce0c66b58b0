// The window icon without a working-directory assumption: the working
// directory first, then beside the executable, then the installed tree's icon.
#include <unistd.h>

#include <climits>

#include "gui/icon.h"
#include "tests/gui/gui_fixture.h"

TEST(WindowIcon, WorkingDirectoryThenExecutableThenInstalledTree) {
    TempDir tree;  // laid out as make install lays it out, its work/ the working directory
    const std::string bin = tree.file("bin");
    const std::string apps = "share/icons/hicolor/48x48/apps";
    for (const std::string& folder : {bin, tree.file("work"), tree.file(apps)})
        g_mkdir_with_parents(folder.c_str(), 0700);
    char before[PATH_MAX] = {};
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    ASSERT_EQ(chdir(tree.file("work").c_str()), 0);

    EXPECT_EQ(findWindowIcon(bin), "") << "no icon anywhere";
    tree.write(apps + "/korvane.png", "");  // the search asks only for a regular file
    EXPECT_EQ(findWindowIcon(bin), bin + "/../share/icons/hicolor/48x48/apps/korvane.png");
    tree.write("bin/tivol.png", "");
    EXPECT_EQ(findWindowIcon(bin), bin + "/tivol.png") << "the build tree's copy beside the executable";
    tree.write("work/tivol.png", "");
    EXPECT_EQ(findWindowIcon(bin), "tivol.png") << "the working directory's first, as always";

    // This test program lies in the build tree with tivol.png beside it.
    EXPECT_EQ(unlink("tivol.png"), 0);
    GdkPixbuf* icon = loadWindowIcon();
    EXPECT_EQ(chdir(before), 0);
    ASSERT_NE(icon, nullptr) << "found beside the executable, whatever the working directory";
    EXPECT_EQ(gdk_pixbuf_get_width(icon), 48);
    g_object_unref(icon);
}
