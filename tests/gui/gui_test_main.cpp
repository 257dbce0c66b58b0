// The window tests' entry point: a GTK set up for tests, bus timing on the
// virtual clock, and the bus operations' parsers in place.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <string>

#include "app/app_parsers.h"
#include "bus/timer.h"

int main(int argc, char** argv) {
    tim_setVirtualClock(true);
    app_installParsers();
    // The file chooser keeps a recently-used list in the user's data folder;
    // give it one of its own (its warning would be fatal here).
    char dataHome[] = "/tmp/korvane-gui-data-XXXXXX";
    if (mkdtemp(dataHome)) setenv("XDG_DATA_HOME", dataHome, 1);
    gtk_test_init(&argc, &argv, nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    const std::string cleanup = std::string("rm -rf '") + dataHome + "'";
    if (std::system(cleanup.c_str()) != 0) return rc ? rc : 1;
    return rc;
}
