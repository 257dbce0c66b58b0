// Answering modal dialogs from a test: a timeout finds the dialog among the
// top-level windows and acts on it while gtk_dialog_run waits.
#pragma once

#include <gtk/gtk.h>

#include <cstring>
#include <functional>
#include <string>

namespace modal {

// Runs the main loop until done() holds, at most capMs of wall time.
template <class Done>
bool pumpUntil(Done done, int capMs = 5000) {
    const gint64 end = g_get_monotonic_time() + capMs * G_GINT64_CONSTANT(1000);
    while (!done() && g_get_monotonic_time() < end) {
        while (gtk_events_pending()) gtk_main_iteration();
        g_usleep(1000);
    }
    return done();
}
inline void pumpFor(int ms) { pumpUntil([] { return false; }, ms); }

inline GtkWidget* findDialog(const char* titlePrefix) {
    GtkWidget* found = nullptr;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        const char* title = gtk_window_get_title(GTK_WINDOW(l->data));
        if (GTK_IS_DIALOG(l->data) && gtk_widget_get_mapped(GTK_WIDGET(l->data)) && title &&
            std::strncmp(title, titlePrefix, std::strlen(titlePrefix)) == 0)
            found = GTK_WIDGET(l->data);
    }
    g_list_free(all);
    return found;
}

// "label=response|..." of the action buttons, left to right on screen.
inline std::string buttonRow(GtkWidget* dlg) {
    GList* kids = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dlg))));
    kids = g_list_sort(kids, [](gconstpointer a, gconstpointer b) {
        return GTK_WIDGET(a)->allocation.x - GTK_WIDGET(b)->allocation.x;
    });
    std::string row;
    for (GList* l = kids; l; l = l->next) {
        row += row.empty() ? "" : "|";
        row += std::string(gtk_button_get_label(GTK_BUTTON(l->data))) + '=' +
               std::to_string(gtk_dialog_get_response_for_widget(GTK_DIALOG(dlg), GTK_WIDGET(l->data)));
    }
    g_list_free(kids);
    return row;
}

inline GtkWidget* findButton(GtkWidget* w, const char* label) {
    if (GTK_IS_BUTTON(w) && g_strcmp0(gtk_button_get_label(GTK_BUTTON(w)), label) == 0) return w;
    GtkWidget* found = nullptr;
    if (!GTK_IS_CONTAINER(w)) return found;
    GList* kids = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList* l = kids; l && !found; l = l->next) found = findButton(GTK_WIDGET(l->data), label);
    g_list_free(kids);
    return found;
}

// What the title bar's close box makes the window manager send.
inline void closeByTitleBar(GtkWidget* w) {
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(w->window));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

inline void setActive(GtkWidget* toggle) { gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(toggle), TRUE); }
inline bool isActive(GtkWidget* toggle) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(toggle)); }

// Acts once on the dialog whose title starts with prefix when it shows. The
// act sets the response (CANCEL by default; GTK_RESPONSE_NONE: none, it closed
// the dialog itself). The response is given even when an assertion in the act
// fails, so that a failing test does not hang.
class OnModal {
public:
    using Act = std::function<void(GtkWidget* dlg, int* response)>;
    OnModal(const char* prefix, Act act) : prefix_(prefix), act_(std::move(act)) {
        source_ = g_timeout_add(20, &OnModal::tick, this);
    }
    ~OnModal() {
        if (source_) g_source_remove(source_);
    }
    bool ran() const { return source_ == 0; }

private:
    static gboolean tick(gpointer self) {
        OnModal* me = static_cast<OnModal*>(self);
        GtkWidget* dlg = findDialog(me->prefix_.c_str());
        if (!dlg) return TRUE;
        me->source_ = 0;
        int response = GTK_RESPONSE_CANCEL;
        me->act_(dlg, &response);
        if (response != GTK_RESPONSE_NONE) gtk_dialog_response(GTK_DIALOG(dlg), response);
        return FALSE;
    }
    std::string prefix_;
    Act act_;
    guint source_ = 0;
};

}  // namespace modal
