// Modal dialogs of the window.
//
// Threads: the GUI thread only; nothing here is shared with workers.
#include "gui/dialog.h"

#include <strings.h>

#include <cstdio>

#include "gui/mainWin.h"

GtkWidget* dialog = nullptr;
std::string lastFile = ".";
std::string file;

// ---- Message boxes and question -------------------------------------------

static void showBox(GtkMessageType type, const char* text) {
    GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, type,
                                            GTK_BUTTONS_OK, "%s", text);
    dialog = box;
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

void messageInfo_show(const char* text) { showBox(GTK_MESSAGE_INFO, text); }

void messageError_show(const char* text) { showBox(GTK_MESSAGE_ERROR, text); }

int messageQuestion(GtkWidget* parent, const char* text) {
    GtkWidget* box = gtk_message_dialog_new(parent ? GTK_WINDOW(parent) : nullptr, GTK_DIALOG_DESTROY_WITH_PARENT,
                                            GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO, "%s", text);
    int response = gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    return response;
}

// ---- File chooser -----------------------------------------------------------

std::string withListExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || strcasecmp(name.c_str() + dot, ".lst") != 0) return name + ".lst";
    return name;
}

static void addFilter(GtkWidget* chooser, const char* name, const char* pattern) {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, name);
    gtk_file_filter_add_pattern(filter, pattern);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
}

int openFileDialog(int flags) {
    bool openMode = (flags & 0x0F) != 0;
    GtkWidget* chooser;
    if (openMode) {
        chooser = gtk_file_chooser_dialog_new("Open File", GTK_WINDOW(window), GTK_FILE_CHOOSER_ACTION_OPEN,
                                              GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN,
                                              GTK_RESPONSE_ACCEPT, nullptr);
    } else {
        chooser = gtk_file_chooser_dialog_new("Save File", GTK_WINDOW(window), GTK_FILE_CHOOSER_ACTION_SAVE,
                                              GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_SAVE,
                                              GTK_RESPONSE_ACCEPT, nullptr);
    }
    dialog = chooser;
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), lastFile.c_str());

    if (flags & FILE_FIRMWARE) {
        addFilter(chooser, "Firmware files", "*.fw");
        addFilter(chooser, "Any files", "*");
    } else if (flags & (FILE_LIST_OPEN | FILE_LIST_SAVE)) {
        addFilter(chooser, "List files", "*.lst");
        if (flags & FILE_LIST_OPEN) addFilter(chooser, "Any files", "*");
    }

    int result = 0;
    if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
        gchar* chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
        if (chosen) {
            std::string name = chosen;
            g_free(chosen);
            if (flags & FILE_LIST_SAVE) name = withListExtension(name);
            std::printf("FileChooser = %s\n", name.c_str());
            file = name;
            gchar* folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser));
            if (folder) {
                lastFile = folder;
                g_free(folder);
            }
            std::printf("FileChooser path = %s\n", lastFile.c_str());
            result = 1;
        }
    }
    if (!result) std::puts("FileChooser Canceled");
    gtk_widget_destroy(chooser);
    return result;
}

const char* getFilename() { return file.c_str(); }
