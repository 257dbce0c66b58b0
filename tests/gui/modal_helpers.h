// Driving the modal dialogs from a test: a timeout finds the dialog among the
// top-level windows and acts on it while gtk_dialog_run waits.
#pragma once

#include <gtk/gtk.h>

#include <cstring>
#include <functional>
#include <string>

namespace modal {

// Runs the main loop for about ms milliseconds of wall time.
inline void pumpFor(int ms) {
    const gint64 end = g_get_monotonic_time() + static_cast<gint64>(ms) * 1000;
    while (g_get_monotonic_time() < end) {
        while (gtk_events_pending()) gtk_main_iteration();
        g_usleep(1000);
    }
}

// Runs the main loop until done() holds, at most capMs; returns done().
template <class Done>
bool pumpUntil(Done done, int capMs = 5000) {
    const gint64 end = g_get_monotonic_time() + static_cast<gint64>(capMs) * 1000;
    while (!done() && g_get_monotonic_time() < end) {
        while (gtk_events_pending()) gtk_main_iteration();
        g_usleep(1000);
    }
    return done();
}

// The shown dialog whose title starts with prefix, or null.
inline GtkWidget* findDialog(const char* prefix) {
    GtkWidget* found = nullptr;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        const char* title = gtk_window_get_title(GTK_WINDOW(w));
        if (GTK_IS_DIALOG(w) && gtk_widget_get_mapped(w) && title &&
            std::strncmp(title, prefix, std::strlen(prefix)) == 0)
            found = w;
    }
    g_list_free(all);
    return found;
}

// Labels of the dialog's action buttons, left to right as shown.
inline std::string buttonRow(GtkWidget* dlg) {
    GList* kids = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dlg))));
    kids = g_list_sort(kids, [](gconstpointer a, gconstpointer b) {
        return GTK_WIDGET(a)->allocation.x - GTK_WIDGET(b)->allocation.x;
    });
    std::string row;
    for (GList* l = kids; l; l = l->next) {
        if (!GTK_IS_BUTTON(l->data)) continue;
        if (!row.empty()) row += '|';
        row += gtk_button_get_label(GTK_BUTTON(l->data));
        row += '=' + std::to_string(gtk_dialog_get_response_for_widget(GTK_DIALOG(dlg), GTK_WIDGET(l->data)));
    }
    g_list_free(kids);
    return row;
}

// The first button labelled label inside w, or null.
inline GtkWidget* findButton(GtkWidget* w, const char* label) {
    if (GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) &&
        std::strcmp(gtk_button_get_label(GTK_BUTTON(w)), label) == 0)
        return w;
    if (!GTK_IS_CONTAINER(w)) return nullptr;
    GtkWidget* found = nullptr;
    GList* kids = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList* l = kids; l && !found; l = l->next) found = findButton(GTK_WIDGET(l->data), label);
    g_list_free(kids);
    return found;
}

// What the window manager does when the title bar's close box is clicked.
inline void closeByTitleBar(GtkWidget* w) {
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(w->window));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

inline void setActive(GtkWidget* toggle, bool on) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(toggle), on);
}
inline bool isActive(GtkWidget* toggle) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(toggle)); }

// Acts on the dialog titled prefix... once it is shown. act gets the dialog and
// the response to give (CANCEL unless act changes it); GTK_RESPONSE_NONE gives
// none, for an act that closes the dialog itself. A failed assertion inside act
// still ends the dialog, so a test never hangs on it.
class OnModal {
public:
    using Act = std::function<void(GtkWidget* dlg, int* response)>;

    OnModal(const char* prefix, Act act) : prefix_(prefix), act_(std::move(act)) {
        source_ = g_timeout_add(20, &OnModal::tick, this);
    }
    ~OnModal() {
        if (source_) g_source_remove(source_);
    }
    OnModal(const OnModal&) = delete;
    OnModal& operator=(const OnModal&) = delete;

    bool ran() const { return ran_; }

private:
    static gboolean tick(gpointer self) {
        OnModal* me = static_cast<OnModal*>(self);
        GtkWidget* dlg = findDialog(me->prefix_.c_str());
        if (!dlg) return TRUE;
        me->source_ = 0;
        me->ran_ = true;
        int response = GTK_RESPONSE_CANCEL;
        me->act_(dlg, &response);
        if (response != GTK_RESPONSE_NONE) gtk_dialog_response(GTK_DIALOG(dlg), response);
        return FALSE;
    }

    std::string prefix_;
    Act act_;
    guint source_ = 0;
    bool ran_ = false;
};

}  // namespace modal
