#include "tests/gui/gui_fixture.h"

#include <csignal>
#include <cstdlib>
#include <map>
#include <memory>

#include "app/app_firmware.h"
#include "app/app_parsers.h"
#include "app/handover.h"
#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "gui/buttons.h"
#include "gui/dialog.h"

namespace {

constexpr gint64 CLOSE_LIMIT_US = 5 * G_USEC_PER_SEC;
constexpr gint64 RETRY_US = 200 * 1000;

struct DialogState {
    gint64 since = 0;       // when it was first seen
    gint64 answeredAt = 0;  // 0: not answered yet
    bool busy = false;      // its action runs and may pump a nested loop
};

DialogState* stateOf(GtkDialog* dialog) {
    auto* state = static_cast<DialogState*>(g_object_get_data(G_OBJECT(dialog), "korvane-test-answer"));
    if (!state) {
        state = new DialogState;
        g_object_set_data_full(G_OBJECT(dialog), "korvane-test-answer", state,
                               [](gpointer p) { delete static_cast<DialogState*>(p); });
    }
    return state;
}

std::string owned(gchar* text) {
    const std::string s = text ? text : "";
    g_free(text);
    return s;
}

// The seen entry of a dialog: a box's kind and text, or the title.
std::string seenAs(GtkDialog* dialog) {
    if (GTK_IS_MESSAGE_DIALOG(dialog)) {
        gchar* text = nullptr;
        GtkMessageType type = GTK_MESSAGE_OTHER;
        g_object_get(dialog, "text", &text, "message-type", &type, nullptr);
        const char* kinds[] = {"info", "warning", "question", "error", "other"};
        return std::string(type <= GTK_MESSAGE_OTHER ? kinds[type] : "?") + ": " + owned(text);
    }
    const gchar* title = gtk_window_get_title(GTK_WINDOW(dialog));
    return title ? title : "";
}

// What a failure says about a dialog: that, and a chooser's folder and selection.
std::string describeDialog(GtkDialog* dialog) {
    std::string text = "dialog \"" + seenAs(dialog) + "\"";
    if (GTK_IS_FILE_CHOOSER(dialog)) {
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
        text += " in folder \"" + chooserFolder(dialog) + "\" with selection \"" +
                owned(gtk_file_chooser_get_filename(chooser)) + "\"";
    }
    return text;
}

// Every chooser rewrites the settings in the private configuration folder
// the test binary gives GTK: each test starts from the same ones.
void writeChooserSettings() {
    const std::string folder = std::string(g_get_user_config_dir()) + "/gtk-2.0";
    g_mkdir_with_parents(folder.c_str(), 0700);
    // The path bar, not a typed name: an accepted choice is the selected file.
    const char settings[] = "[Filechooser Settings]\nLocationMode=path-bar\nStartupMode=cwd\n";
    if (!g_file_set_contents((folder + "/gtkfilechooser.ini").c_str(), settings, -1, nullptr))
        ADD_FAILURE() << "cannot write the chooser settings in " << folder;
}

GtkWidget* findIn(GtkWidget* within, const std::string& name) {
    if (name == gtk_widget_get_name(within)) return within;
    GtkWidget* found = nullptr;
    GList* kids = GTK_IS_CONTAINER(within) ? gtk_container_get_children(GTK_CONTAINER(within)) : nullptr;
    for (GList* l = kids; l && !found; l = l->next) found = findIn(GTK_WIDGET(l->data), name);
    g_list_free(kids);
    return found;
}

}  // namespace

std::string chooserFolder(GtkDialog* chooser) {
    return owned(gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser)));
}

DialogAnswerer::DialogAnswerer() {
    GSource* source = g_timeout_source_new(10);
    g_source_set_callback(source, poll, this, nullptr);
    g_source_set_can_recurse(source, TRUE);
    source_ = g_source_attach(source, nullptr);
    g_source_unref(source);
}

gboolean DialogAnswerer::poll(gpointer data) {
    auto* self = static_cast<DialogAnswerer*>(data);
    std::vector<GtkDialog*> open;
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l; l = l->next)
        if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
            open.push_back(GTK_DIALOG(g_object_ref(l->data)));
    g_list_free(toplevels);

    GtkDialog* next = nullptr;
    for (GtkDialog* dialog : open) {
        DialogState* state = stateOf(dialog);
        if (state->busy) continue;
        if (state->answeredAt == 0) {
            if (!next) next = dialog;
        } else if (g_get_monotonic_time() - state->answeredAt > CLOSE_LIMIT_US) {
            // No second answer: a dialog that refuses the first one has failed the test.
            ADD_FAILURE() << describeDialog(dialog) << " still open 5 s after its answer";
            gtk_widget_hide(GTK_WIDGET(dialog));  // ends its gtk_dialog_run
        }
    }
    if (next) self->answer(next);
    for (GtkDialog* dialog : open) g_object_unref(dialog);
    return TRUE;
}

void DialogAnswerer::answer(GtkDialog* dialog) {
    DialogState* state = stateOf(dialog);
    if (state->since == 0) {
        state->since = g_get_monotonic_time();
        seen.push_back(seenAs(dialog));
    }

    int response = GTK_RESPONSE_DELETE_EVENT;
    if (actions_.empty()) {
        ADD_FAILURE() << "a " << describeDialog(dialog) << " nobody expected";
    } else {
        Action action = std::move(actions_.front());
        actions_.pop_front();
        state->busy = true;
        response = action(dialog);
        state->busy = false;
        if (response == NOT_YET) {
            if (g_get_monotonic_time() - state->since <= WAIT_LIMIT_MS * G_GINT64_CONSTANT(1000)) {
                actions_.push_front(std::move(action));
                return;
            }
            ADD_FAILURE() << "gave up waiting to answer the " << describeDialog(dialog) << " after " << WAIT_LIMIT_MS
                          << " ms";
            response = GTK_RESPONSE_CANCEL;
        }
    }
    state->answeredAt = g_get_monotonic_time();
    if (response != GTK_RESPONSE_NONE) gtk_dialog_response(dialog, response);
}

DialogAnswerer::Action chooseFile(const std::string& folder, const std::string& name,
                                  const std::function<void()>& swap) {
    auto lastTry = std::make_shared<gint64>(0);
    return [=](GtkDialog* dialog) {
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
        const gint64 now = g_get_monotonic_time();
        const bool retry = now - *lastTry > RETRY_US;
        if (retry) *lastTry = now;
        const bool save = gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE;
        const std::string path = folder + "/" + name;
        if (save ? chooserFolder(dialog) != folder : owned(gtk_file_chooser_get_filename(chooser)) != path) {
            if (retry && save) gtk_file_chooser_set_current_folder(chooser, folder.c_str());
            if (retry && !save) gtk_file_chooser_set_filename(chooser, path.c_str());
            return DialogAnswerer::NOT_YET;
        }
        if (save) gtk_file_chooser_set_current_name(chooser, name.c_str());
        if (swap) swap();
        return int(GTK_RESPONSE_ACCEPT);
    };
}

void GuiTest::SetUp() {
    writeChooserSettings();
    dialog_lastFile() = files.path;
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
}

void GuiTest::TearDown() {
    bus.closed = false;  // a worker held at the gate goes on
    tickUntil("the workers to end", idle);
    cable_free();
    port_setDriver(nullptr);
    EXPECT_EQ(answers.pending(), 0u) << "dialogs that never opened";
    testGuard_.done();
}

bool GuiTest::idle() { return buttons_thrDisc() == 0 && firmware_thrTrans() == 0 && getLockComponents() == 0; }

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

GtkWidget* named(const std::string& name, int index) {
    const std::string wanted = index < 0 ? name : name + "[" + std::to_string(index) + "]";
    GtkWidget* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l && !found; l = l->next) found = findIn(GTK_WIDGET(l->data), wanted);
    g_list_free(windows);
    return found;
}

void deliver(GdkEvent* event, GdkWindow* to) {
    event->any.window = GDK_WINDOW(g_object_ref(to));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
}

// The main of the window tests and of the emulated cable's: GTK set up for
// tests, bus timing on the virtual clock, the bus operations' parsers in place.
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
