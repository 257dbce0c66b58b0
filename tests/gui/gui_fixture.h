// Shared pieces of the window tests: one window per process, fresh virtual
// panels per test, the tick driven by hand, and modal dialogs answered from a
// timeout while gtk_dialog_run waits.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "bus/timer.h"
#include "devices/devices.h"
#include "gui/mainWin.h"
#include "tests/support/bounded.h"
#include "tests/support/gated_bus.h"
#include "tests/support/temp_dir.h"

using Texts = std::vector<std::string>;

// The widget of an open window named so (gtk_widget_set_name), "name[index]"
// with an index; null when there is none.
GtkWidget* named(const std::string& name, int index = -1);

// Each dialog that opens gets the next queued action. It returns the response,
// NOT_YET to be asked again, or GTK_RESPONSE_NONE when it closed the dialog
// itself. An action answering NOT_YET past WAIT_LIMIT_MS, a dialog still open 5 s
// after its answer and a dialog nobody expected each record a failure naming
// the dialog (title, folder and selection of a chooser, text of a box), and
// the dialog is closed: no test waits on a dialog for good. The poll may
// recurse, so an action can open a nested dialog whose action is queued behind
// its own.
class DialogAnswerer {
public:
    static constexpr int NOT_YET = -10000;
    using Action = std::function<int(GtkDialog*)>;
    DialogAnswerer();
    ~DialogAnswerer() { g_source_remove(source_); }
    void push(Action action) { actions_.push_back(std::move(action)); }
    // An act on the dialog, then this response (also when an assertion in it failed).
    void push(int response, const std::function<void(GtkDialog*)>& act = nullptr) {
        push([=](GtkDialog* d) {
            if (act) act(d);
            return response;
        });
    }
    size_t pending() const { return actions_.size(); }

    // Every dialog opened, in order: a box as "info: its text" (or warning,
    // question, error), any other dialog as its title.
    std::vector<std::string> seen;

private:
    static gboolean poll(gpointer self);
    void answer(GtkDialog* dialog);
    std::deque<Action> actions_;
    guint source_ = 0;
};

// A chooser's current folder; empty while it has none.
std::string chooserFolder(GtkDialog* chooser);

// Accepts a chooser with this file: in save mode the name typed in folder; in
// open mode the file selected, set again now and then until the chooser
// reports it (a folder that is still loading may drop a selection). swap runs
// just before the answer: it can put what the product must cope with in place
// of the file the chooser has taken.
DialogAnswerer::Action chooseFile(const std::string& folder, const std::string& name,
                                  const std::function<void()>& swap = nullptr);

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static void drain() {
        while (gtk_events_pending()) gtk_main_iteration();
    }
    static void tick() {  // one status tick, then the events it caused
        progress(nullptr);
        drain();
    }
    // Events, and ticks, until done holds; past the limit a failure naming
    // what, and false. The bus runs on the virtual clock, so the limit only
    // bounds a fault.
    static bool pumpUntil(const std::string& what, const std::function<bool()>& done) {
        return waitFor(what, done, WAIT_LIMIT_MS, drain);
    }
    static bool tickUntil(const std::string& what, const std::function<bool()>& done) {
        return waitFor(what, done, WAIT_LIMIT_MS, tick);
    }
    // Ticks until a worker waits at the bus's closed gate, then once more for
    // the status it left.
    bool heldAt(const std::string& what) {
        const bool held = tickUntil(what, [&] { return bus.waiting.load(); });
        tick();
        return held;
    }
    // Opens the gate, ticks until the workers have ended, then once more for
    // the box the last one posted.
    bool finish(const std::string& worker) {
        bus.closed = false;
        const bool ended = tickUntil(worker + " to end", idle);
        tick();
        return ended;
    }
    // Closes the gate: the worker waits at the first write when picks.
    void holdAt(std::function<bool(GatedBus&, const uint8_t*, uint32_t)> when) {
        bus.holdAt = std::move(when);
        bus.closed = true;
    }
    static void pumpFor(int ms) {  // events for that long
        const gint64 end = g_get_monotonic_time() + ms * G_GINT64_CONSTANT(1000);
        while (g_get_monotonic_time() < end) {
            drain();
            g_usleep(1000);
        }
    }
    static bool idle();
    static void putRecord(int i, const DeviceRecord& record) {
        devices_lock();
        devices_table()[i] = record;
        devices_unlock();
    }
    static int rows() { return GTK_CLIST(deviceList)->rows; }
    static std::string status(const char* line = "statusText") { return gtk_label_get_text(GTK_LABEL(named(line))); }
    static std::string cell(int row, int column) {
        gchar* text = nullptr;
        return gtk_clist_get_text(GTK_CLIST(deviceList), row, column, &text) && text ? text : "<none>";
    }
    static std::string rowText(int row, int columns = LIST_COLUMNS) {  // its cells joined by '|'
        std::string text = cell(row, 0);
        for (int c = 1; c < columns; ++c) text += "|" + cell(row, c);
        return text;
    }

    GatedBus bus;
    DialogAnswerer answers;
    TempDir files;  // the folder every file chooser of the test opens in

private:
    // A test that is still running after 30 s has hung somewhere no other
    // wait covers: the failure names the test, and its ctest entry ends at once.
    Watchdog testGuard_{"the end of the test", nullptr, 30000};
};

// "label=response|..." of a dialog's action buttons, left to right.
std::string buttonRow(GtkWidget* dialog);
// An event handed to GTK as the X server would deliver it to this window (the
// widgets' own handlers run, and test processes sharing one display cannot
// steal it); freed after.
void deliver(GdkEvent* event, GdkWindow* to);
// What the title bar's close box makes the window manager send.
inline void closeByTitleBar(GtkWidget* toplevel) { deliver(gdk_event_new(GDK_DELETE), toplevel->window); }
inline bool sensitive(GtkWidget* w) { return gtk_widget_is_sensitive(w); }
inline void setActive(GtkWidget* toggle) { gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(toggle), TRUE); }
