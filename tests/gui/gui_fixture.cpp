#include "tests/gui/gui_fixture.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "app/app_firmware.h"
#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "gui/buttons.h"
#include "gui/handover.h"

DialogAnswerer::DialogAnswerer() {
    GSource* source = g_timeout_source_new(10);
    g_source_set_callback(source, poll, this, nullptr);
    g_source_set_can_recurse(source, TRUE);
    source_ = g_source_attach(source, nullptr);
    g_source_unref(source);
}

gboolean DialogAnswerer::poll(gpointer data) {
    auto* self = static_cast<DialogAnswerer*>(data);
    GtkDialog* dlg = nullptr;
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l && !dlg; l = l->next)
        if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)) &&
            !g_object_get_data(G_OBJECT(l->data), "busy"))
            dlg = GTK_DIALOG(l->data);
    g_list_free(toplevels);
    if (!dlg) return TRUE;
    GObject* object = G_OBJECT(dlg);

    // Answered, yet still open: a file chooser may refuse a response while its
    // folder loads. Give the same answer again now and then.
    if (gpointer answered = g_object_get_data(object, "answered")) {
        if (++self->repeats_ % 5 == 0) gtk_dialog_response(dlg, GPOINTER_TO_INT(answered) - 100000);
        return TRUE;
    }
    if (!g_object_get_data(object, "seen")) {
        g_object_set_data(object, "seen", object);
        gchar* text = nullptr;
        GtkMessageType type = GTK_MESSAGE_OTHER;
        if (GTK_IS_MESSAGE_DIALOG(dlg)) g_object_get(dlg, "text", &text, "message-type", &type, nullptr);
        const gchar* title = gtk_window_get_title(GTK_WINDOW(dlg));
        self->seen.push_back({title ? title : "", text ? text : "", type});
        g_free(text);
    }

    int response = GTK_RESPONSE_DELETE_EVENT;
    if (self->actions_.empty()) {
        ++self->unexpected;
    } else {
        Action action = std::move(self->actions_.front());
        self->actions_.pop_front();
        g_object_set_data(object, "busy", object);
        response = action(dlg);
        g_object_set_data(object, "busy", nullptr);
        if (response == NOT_YET) {
            self->actions_.push_front(std::move(action));
            return TRUE;
        }
    }
    g_object_set_data(object, "answered", GINT_TO_POINTER(response + 100000));
    if (response != GTK_RESPONSE_NONE) gtk_dialog_response(dlg, response);
    return TRUE;
}

int GatedBus::write(PortHandle h, const uint8_t* bytes, uint32_t n, uint32_t* written) {
    bool allMuted = panelCount() > 0;
    for (size_t i = 0; i < panelCount(); ++i) allMuted = allMuted && panelAt(i).muteCount > 0;
    waiting = allMuted && closed;
    while (waiting && closed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    waiting = false;
    return VirtualBus::write(h, bytes, n, written);
}

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
}

void GuiTest::TearDown() {
    EXPECT_TRUE(tickUntil(idle)) << "a worker is still running";
    cable_free();
    port_setDriver(nullptr);
    EXPECT_EQ(answers.unexpected, 0) << "dialogs nobody expected";
    EXPECT_EQ(answers.pending(), 0u) << "dialogs that never opened";
}

bool GuiTest::pumpUntil(const std::function<bool()>& done, int capMs) {
    const gint64 end = g_get_monotonic_time() + capMs * G_GINT64_CONSTANT(1000);
    for (;; g_usleep(1000)) {
        drain();
        if (done()) return true;
        if (g_get_monotonic_time() > end) return false;
    }
}

bool GuiTest::idle() { return thrDisc.load() == 0 && thrTrans.load() == 0 && getLockComponents() == 0; }

std::string buttonRow(GtkWidget* dialog) {
    std::map<int, std::string> byX;
    GList* kids = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dialog))));
    for (GList* l = kids; l; l = l->next)
        byX[GTK_WIDGET(l->data)->allocation.x] =
            gtk_button_get_label(GTK_BUTTON(l->data)) +
            ("=" + std::to_string(gtk_dialog_get_response_for_widget(GTK_DIALOG(dialog), GTK_WIDGET(l->data))));
    g_list_free(kids);
    std::string row;
    for (const auto& button : byX) row += (row.empty() ? "" : "|") + button.second;
    return row;
}

GtkWidget* findButton(GtkWidget* within, const char* label) {
    if (GTK_IS_BUTTON(within) && g_strcmp0(gtk_button_get_label(GTK_BUTTON(within)), label) == 0) return within;
    GtkWidget* found = nullptr;
    if (!GTK_IS_CONTAINER(within)) return found;
    GList* kids = gtk_container_get_children(GTK_CONTAINER(within));
    for (GList* l = kids; l && !found; l = l->next) found = findButton(GTK_WIDGET(l->data), label);
    g_list_free(kids);
    return found;
}

void closeByTitleBar(GtkWidget* window) {
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(window->window));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

TempDir::TempDir() {
    gchar* made = g_dir_make_tmp("korvane-gui-XXXXXX", nullptr);
    path = made ? made : "/nonexistent";
    g_free(made);
}

TempDir::~TempDir() {
    if (std::system(("rm -rf '" + path + "'").c_str()) != 0) ADD_FAILURE() << "cannot remove " << path;
}
