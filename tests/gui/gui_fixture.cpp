#include "tests/gui/gui_fixture.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/app_firmware.h"
#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "devices/devices.h"
#include "gui/buttons.h"
#include "gui/handover.h"
#include "gui/mainWin.h"

// ---- DialogAnswerer -----------------------------------------------------------

void DialogAnswerer::start() { source_ = g_timeout_add(10, poll, this); }

void DialogAnswerer::stop() {
    if (source_) g_source_remove(source_);
    source_ = 0;
}

gboolean DialogAnswerer::poll(gpointer data) {
    auto* self = static_cast<DialogAnswerer*>(data);
    GList* toplevels = gtk_window_list_toplevels();
    GtkDialog* found = nullptr;
    for (GList* l = toplevels; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (GTK_IS_DIALOG(w) && gtk_widget_get_visible(w)) {
            found = GTK_DIALOG(w);
            break;
        }
    }
    g_list_free(toplevels);
    if (!found) return TRUE;

    // Answered, yet still open: a file chooser may refuse a response while its
    // folder loads. Give the same answer again now and then.
    if (gpointer answered = g_object_get_data(G_OBJECT(found), "answered")) {
        const int polls = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(found), "polls")) + 1;
        g_object_set_data(G_OBJECT(found), "polls", GINT_TO_POINTER(polls));
        if (polls % 5 == 0) gtk_dialog_response(found, GPOINTER_TO_INT(answered) - 100000);
        return TRUE;
    }

    if (!g_object_get_data(G_OBJECT(found), "seen")) {
        g_object_set_data(G_OBJECT(found), "seen", GINT_TO_POINTER(1));
        SeenDialog s;
        const gchar* title = gtk_window_get_title(GTK_WINDOW(found));
        s.title = title ? title : "";
        if (GTK_IS_MESSAGE_DIALOG(found)) {
            s.isMessage = true;
            gchar* text = nullptr;
            g_object_get(found, "text", &text, "message-type", &s.type, nullptr);
            s.text = text ? text : "";
            g_free(text);
        }
        s.sensitiveDiscovery = buttonDiscovery && gtk_widget_get_sensitive(buttonDiscovery);
        self->seen.push_back(s);
    }

    int response = GTK_RESPONSE_DELETE_EVENT;
    if (self->actions_.empty()) {
        ++self->unexpected;
    } else {
        response = self->actions_.front()(found);
        if (response == NOT_YET) return TRUE;
        self->actions_.pop_front();
    }
    g_object_set_data(G_OBJECT(found), "answered", GINT_TO_POINTER(response + 100000));
    gtk_dialog_response(found, response);
    return TRUE;
}

// ---- GatedBus -------------------------------------------------------------------

void GatedBus::close_gate() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
}

void GatedBus::open_gate() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    opened_.notify_all();
}

bool GatedBus::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
}

int GatedBus::write(PortHandle h, const uint8_t* b, uint32_t n, uint32_t* written) {
    bool allMuted = bus_.panelCount() > 0;
    for (size_t i = 0; i < bus_.panelCount(); ++i) allMuted = allMuted && bus_.panelAt(i).muteCount > 0;
    if (allMuted) {
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_ = closed_;
        opened_.wait(lock, [this] { return !closed_; });
        waiting_ = false;
    }
    return bus_.write(h, b, n, written);
}

// ---- GuiTest -------------------------------------------------------------------

void GuiTest::SetUp() {
    if (!window) buildGUI();
    drain();
    port_setDriver(&bus);
    cable_free();
    packet_resetAssembler();
    dev_removeAll();
    gtk_clist_clear(GTK_CLIST(deviceList));
    mainWin_resetRowCache();
    handover_reset();
    mainWin_installShower();
    selected_dev = NO_DEVICE;
    discoveryMsg = 0;
    answers.start();
}

void GuiTest::TearDown() {
    EXPECT_TRUE(tickUntil(idle)) << "a worker is still running";
    answers.stop();
    cable_free();
    port_setDriver(nullptr);
    EXPECT_EQ(answers.unexpected, 0) << "dialogs nobody expected";
    EXPECT_EQ(answers.pending(), 0) << "dialogs that never opened";
}

void GuiTest::drain() {
    while (gtk_events_pending()) gtk_main_iteration();
}

void GuiTest::tick() {
    progress(progressBar);
    drain();
}

bool GuiTest::tickUntil(const std::function<bool()>& pred) {
    // A bound against hanging only: the bus runs on the virtual clock.
    for (int i = 0; i < 20000; ++i) {
        tick();
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool GuiTest::idle() { return thrDisc.load() == 0 && thrTrans.load() == 0 && getLockComponents() == 0; }

void GuiTest::putRecord(int i, const DeviceRecord& record) {
    devices_lock();
    dev[i] = record;
    devices_unlock();
}

std::string GuiTest::cell(int row, int column) {
    gchar* text = nullptr;
    if (!gtk_clist_get_text(GTK_CLIST(deviceList), row, column, &text) || !text) return "<none>";
    return text;
}

int GuiTest::rows() { return GTK_CLIST(deviceList)->rows; }

// ---- Files -----------------------------------------------------------------------

TempDir::TempDir() {
    char pattern[] = "/tmp/korvane-gui-XXXXXX";
    path_ = mkdtemp(pattern);
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeWhole(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}
