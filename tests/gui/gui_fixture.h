// Shared pieces of the window tests: one window per process, fresh virtual
// panels per test, the tick driven by hand, and modal dialogs answered from a
// timeout while gtk_dialog_run waits.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "devices/devices.h"
#include "gui/mainWin.h"
#include "panels/virtual_bus.h"

struct SeenDialog {
    std::string title, text;  // text: message boxes only
    GtkMessageType type;
};

// Each dialog that opens gets the next queued action. It returns the response,
// NOT_YET to be asked again, or GTK_RESPONSE_NONE when it closed the dialog
// itself. A dialog nobody expected is closed and counted. The poll may recurse,
// so an action can open a nested dialog whose action is queued behind its own.
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

    std::vector<SeenDialog> seen;
    int unexpected = 0;

private:
    static gboolean poll(gpointer self);
    std::deque<Action> actions_;
    guint source_ = 0;
    int repeats_ = 0;
};

// While closed, a write that follows the muting of every panel (the search is
// over) waits until the gate opens: the worker waits, the test thread opens.
struct GatedBus : VirtualBus {
    int write(PortHandle h, const uint8_t* bytes, uint32_t n, uint32_t* written) override;
    std::atomic<bool> closed{false}, waiting{false};
};

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static void drain() {
        while (gtk_events_pending()) gtk_main_iteration();
    }
    static void tick() {  // one status tick, then the events it caused
        progress(progressBar);
        drain();
    }
    // False if done never held: a bound against hanging only, as the bus runs
    // on the virtual clock.
    static bool pumpUntil(const std::function<bool()>& done, int capMs = 10000);
    static void pumpFor(int ms) { pumpUntil([] { return false; }, ms); }
    static bool tickUntil(const std::function<bool()>& done) {
        return pumpUntil([&] {
            tick();
            return done();
        });
    }
    static bool idle();
    static void putRecord(int i, const DeviceRecord& record) {
        devices_lock();
        dev[i] = record;
        devices_unlock();
    }
    static int rows() { return GTK_CLIST(deviceList)->rows; }
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
};

// "label=response|..." of a dialog's action buttons, left to right.
std::string buttonRow(GtkWidget* dialog);
GtkWidget* findButton(GtkWidget* within, const char* label);
// What the title bar's close box makes the window manager send.
void closeByTitleBar(GtkWidget* window);
inline void setActive(GtkWidget* toggle) { gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(toggle), TRUE); }
inline bool isActive(GtkWidget* toggle) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(toggle)); }

// A folder of its own under /tmp, removed at the end.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
    void write(const std::string& name, const std::string& bytes) const {
        g_file_set_contents(file(name).c_str(), bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
    }
    std::string path;
};
