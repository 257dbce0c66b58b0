// The window while its bus work meets silent panels, on the real clock: the
// longest time the GUI thread stays away from its main loop, from the click
// until the work has ended and its box is closed. "Read parameters" of five
// silent panels, then "OK/SEND to all" to three that fall silent once the setup
// dialog is open (the selected one answers the read before it, as it must).
#include <gtk/gtk.h>

#include <algorithm>

#include "app/app_parsers.h"
#include "app/handover.h"
#include "bench/bench.h"
#include "bus/port/port.h"
#include "bus/timer.h"
#include "devices/devices.h"
#include "gui/buttons.h"
#include "gui/mainWin.h"
#include "panels/virtual_bus.h"

namespace {

// Stamped at every iteration of any main loop, nested ones included.
struct Stamp {
    GSource base;
    gint64 last;
    gint64 longest;
};

gboolean stamp(GSource* source, gint* timeout) {
    auto* s = reinterpret_cast<Stamp*>(source);
    const gint64 now = g_get_monotonic_time();
    s->longest = std::max(s->longest, now - s->last);
    s->last = now;
    *timeout = -1;
    return FALSE;
}
gboolean never(GSource*) { return FALSE; }
gboolean noDispatch(GSource*, GSourceFunc, gpointer) { return TRUE; }
GSourceFuncs stampFuncs = {stamp, never, noDispatch, nullptr, nullptr, nullptr};

VirtualBus* bus = nullptr;
Stamp* running = nullptr;  // the measure in progress
gint64 beforeDialog = 0;   // its longest absence up to the setup dialog's answer
void (*pendingClick)() = nullptr;

// Answers what opens: a box with OK; the setup dialog with "OK/SEND to all",
// after the panels have gone silent.
gboolean answer(gpointer) {
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        if (!GTK_IS_DIALOG(l->data) || !gtk_widget_get_visible(GTK_WIDGET(l->data))) continue;
        GObject* d = G_OBJECT(l->data);
        if (g_object_get_data(d, "answered")) continue;
        g_object_set_data(d, "answered", d);
        if (GTK_IS_MESSAGE_DIALOG(d)) {
            gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
        } else {
            for (uint32_t uid : bus->uids()) bus->panel(uid)->faults.silent = true;
            beforeDialog = running->longest;
            running->longest = 0;
            gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_YES);
        }
    }
    g_list_free(all);
    return TRUE;
}

// Once the click's handler has returned, the work it started has ended and its
// box is closed.
bool clicked = false;
gboolean quitWhenDone(gpointer) {
    if (clicked && buttons_thrDisc() == 0 && getLockComponents() == 0 && message_pendingType() == MSG_NONE)
        gtk_main_quit();
    return TRUE;
}

// Runs click in the main loop and measures until the work is over: the longest
// absence, and how long the whole work took.
void measure(void (*click)(), double* longestMs, double* tookS) {
    GSource* source = g_source_new(&stampFuncs, sizeof(Stamp));
    auto* s = reinterpret_cast<Stamp*>(source);
    pendingClick = click;
    clicked = false;
    g_idle_add(
        [](gpointer) -> gboolean {
            pendingClick();
            clicked = true;
            return FALSE;
        },
        nullptr);
    const gint64 start = g_get_monotonic_time();
    s->last = start;
    s->longest = 0;
    running = s;
    beforeDialog = 0;
    g_source_attach(source, nullptr);
    const guint done = g_timeout_add(100, quitWhenDone, nullptr);
    gtk_main();
    g_source_remove(done);
    *longestMs = static_cast<double>(s->longest) / 1000.0;
    *tookS = static_cast<double>(g_get_monotonic_time() - start) / 1e6;
    g_source_destroy(source);
    g_source_unref(source);
}

}  // namespace

BenchRows freeze_run() {
    tim_setVirtualClock(false);
    QuietStdout quiet;
    bus = new VirtualBus();
    port_setDriver(bus);
    app_installParsers();
    buildGUI();
    mainWin_startTick();
    GSource* answers = g_timeout_source_new(20);
    g_source_set_callback(answers, answer, nullptr, nullptr);
    g_source_set_can_recurse(answers, TRUE);
    g_source_attach(answers, nullptr);

    BenchRows rows;
    double longest = 0;
    double took = 0;
    for (uint32_t uid = 0x11; uid <= 0x15; ++uid) {
        bus->addPanel(uid).faults.silent = true;
        addDevUID(uid);
    }
    selected_dev = 0x11;
    measure([] { gtk_button_clicked(GTK_BUTTON(getButtonRead())); }, &longest, &took);
    rows.push_back({"window away from its main loop: \"Read parameters\", 5 silent panels",
                    fmt("%.1f ms (the read took %.1f s)", longest, took), "500 ms", "", "< 500 ms", longest < 500});

    dev_removeAll();
    for (uint32_t uid = 0x21; uid <= 0x23; ++uid) addDevUID(bus->addPanel(uid).uid);
    selected_dev = 0x22;
    measure([] { gtk_button_clicked(GTK_BUTTON(getButtonEdit())); }, &longest, &took);
    const double read = static_cast<double>(beforeDialog) / 1000.0;
    rows.push_back({"window away from its main loop: \"OK/SEND to all\", 3 silent panels",
                    fmt("%.1f ms (the send took %.1f s)", longest, took), "500 ms", "", "< 500 ms", longest < 500});
    rows.push_back({"  before it: \"Setup device\" reads the selected panel on the GUI thread",
                    fmt("%.1f ms (7 exchanges answered)", read), "500 ms", "", "< 500 ms", read < 500});
    return rows;
}
