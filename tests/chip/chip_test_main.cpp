// The emulated chip's tests: the test bed first (before libusb's first
// context), then the window tests' setup.
#include "tests/gui/gui_fixture.h"
#include "tests/support/ft232r.h"

int main(int argc, char** argv) {
    ft232r_bed();
    // The bed's and GLib's debug lines (each device added, each environment change).
    g_log_set_handler(
        nullptr, G_LOG_LEVEL_DEBUG, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    g_log_set_handler(
        "GLib", G_LOG_LEVEL_DEBUG, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    return runWindowTests(argc, argv);
}
