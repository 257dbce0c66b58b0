// The window tests' entry point: a GTK set up for tests, bus timing on the
// virtual clock, and the bus operations' parsers in place.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "app/app_parsers.h"
#include "bus/timer.h"
#include "tests/gui/gui_fixture.h"

int main(int argc, char** argv) {
    // A write to a pipe nobody reads fails instead of ending the tests.
    signal(SIGPIPE, SIG_IGN);
    tim_setVirtualClock(true);
    app_installParsers();
    // GTK reads and writes the user's chooser settings, bookmarks and
    // recently-used list: give it folders of its own, so that no setting of
    // this machine or of another GTK program changes what the tests see.
    char root[] = "/tmp/korvane-gui-home-XXXXXX";
    if (!mkdtemp(root)) return 1;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const std::string folder = std::string(root) + "/" + name;
        g_mkdir_with_parents(folder.c_str(), 0700);
        setenv(name, folder.c_str(), 1);
    }
    gtk_test_init(&argc, &argv, nullptr);
    // Xvfb starts the pointer in the middle of the screen, where every dialog
    // opens: a dialog answered within milliseconds can be gone before GTK's
    // query of the pointer over it reaches the server, a fatal BadWindow.
    // The tests send their own events, so the pointer waits in a corner.
    GdkDisplay* display = gdk_display_get_default();
    GdkScreen* screen = gdk_display_get_default_screen(display);
    gdk_display_warp_pointer(display, screen, gdk_screen_get_width(screen) - 1, gdk_screen_get_height(screen) - 1);
    gdk_display_sync(display);
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    if (!removeTree(root)) return rc ? rc : 1;
    return rc;
}
