// Modal dialogs of the window.
//
// Threads: the GUI thread only; nothing here is shared with workers.
#include "gui/dialog.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "app/app_identify.h"
#include "gui/dmxSetup.h"
#include "gui/mainWin.h"

namespace {

GtkWidget* dialog = nullptr;  // the dialog most recently opened here
std::string lastFile = ".";   // the folder the chooser opens in
std::string file;             // the last accepted file name

}  // namespace

void dialog_nameWidget(GtkWidget* widget, const char* name, int index) {
    if (index < 0) {
        gtk_widget_set_name(widget, name);
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s[%d]", name, index);
    gtk_widget_set_name(widget, text);
}

std::string& dialog_lastFile() { return lastFile; }

// ---- Message boxes and question -------------------------------------------

namespace {

void showBox(GtkMessageType type, const char* text) {
    GtkWidget* box =
        gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, type, GTK_BUTTONS_OK, "%s", text);
    dialog = box;
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

}  // namespace

void messageInfo_show(const char* text) { showBox(GTK_MESSAGE_INFO, text); }

void messageError_show(const char* text) { showBox(GTK_MESSAGE_ERROR, text); }

int messageQuestion(GtkWidget* parent, const char* text) {
    GtkWidget* box = gtk_message_dialog_new(parent ? GTK_WINDOW(parent) : nullptr, GTK_DIALOG_DESTROY_WITH_PARENT,
                                            GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO, "%s", text);
    int response = gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    return response;
}

bool messageCloseAnyway(const char* text) {
    GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(window), GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_WARNING,
                                            GTK_BUTTONS_NONE, "%s", text);
    gtk_dialog_add_buttons(GTK_DIALOG(box), "Cancel", GTK_RESPONSE_CANCEL, "Close", GTK_RESPONSE_CLOSE, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(box), GTK_RESPONSE_CANCEL);
    const int response = gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    return response == GTK_RESPONSE_CLOSE;
}

// ---- File chooser -----------------------------------------------------------

std::string withListExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || strcasecmp(name.c_str() + dot, ".lst") != 0) return name + ".lst";
    return name;
}

namespace {

void addFilter(GtkWidget* chooser, const char* name, const char* pattern) {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, name);
    gtk_file_filter_add_pattern(filter, pattern);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
}

}  // namespace

int openFileDialog(int flags) {
    bool openMode = (flags & 0x0F) != 0;
    GtkWidget* chooser;
    if (openMode) {
        chooser =
            gtk_file_chooser_dialog_new("Open File", GTK_WINDOW(window), GTK_FILE_CHOOSER_ACTION_OPEN, GTK_STOCK_CANCEL,
                                        GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
    } else {
        chooser =
            gtk_file_chooser_dialog_new("Save File", GTK_WINDOW(window), GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL,
                                        GTK_RESPONSE_CANCEL, GTK_STOCK_SAVE, GTK_RESPONSE_ACCEPT, nullptr);
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
            // The accepted file's own folder: with a full path typed into the
            // name field, the chooser's current folder is still the old one.
            gchar* folder = g_path_get_dirname(name.c_str());
            lastFile = folder;
            g_free(folder);
            std::printf("FileChooser path = %s\n", lastFile.c_str());
            result = 1;
        }
    }
    if (!result) std::puts("FileChooser Canceled");
    gtk_widget_destroy(chooser);
    return result;
}

const char* getFilename() { return file.c_str(); }

// ---- Device setup dialog ----------------------------------------------------

namespace {

struct IdentifyTarget {
    uint32_t uid;
    uint8_t mask;  // 1 << button
};

struct DmxButtonContext {
    int b;
    DeviceRecord* record;
};

const char* radioLabel[4] = {"Off", "Scene FLASH", "Scene LATCH", "Key"};  // "Key" is not offered as a choice
char levelIntenzity[SETUP_LEVELS][12];

GtkWidget* comboIntenzity = nullptr;
GtkWidget* radio[DEV_BUTTONS * SETUP_TYPES] = {};         // 3*b + type
GtkWidget* radioExtra[DEV_BUTTONS] = {};                  // a panel's type the dialog does not offer; or null
GtkWidget* checkBoxScn[DEV_BUTTONS * SETUP_SCENES] = {};  // 16*b + j: scene j+1
GtkWidget* scnSetup[DEV_BUTTONS] = {};                    // the "Called scene" frames
GtkWidget* btnIdentify[DEV_BUTTONS] = {};
IdentifyTarget btnId[DEV_BUTTONS] = {};

// Names the DMX blocks that were not read from the panel; hidden when all were.
GtkWidget* labelDmxNotRead = nullptr;

// A panel's intensity and button types that the dialog does not offer, kept so
// that confirming without touching them hands them back as they were; -1 none.
int extraIntenzity = -1;
int extraType[DEV_BUTTONS] = {-1, -1, -1, -1, -1, -1};
// Outlives the dialog's buttons, as buttonDmxAction needs.
DmxButtonContext dmxContext[DEV_BUTTONS];

}  // namespace

GtkWidget* getEntryIntenzity(int active) {
    GtkWidget* combo = gtk_combo_box_text_new();
    for (int i = 0; i < SETUP_LEVELS; ++i) {
        std::snprintf(levelIntenzity[i], sizeof levelIntenzity[i], "%d", i);
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), levelIntenzity[i]);
    }
    extraIntenzity = -1;
    if (active >= 0 && active < SETUP_LEVELS) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), active);
    } else {
        extraIntenzity = active;
        char text[48];
        // The setup send keeps only the two low bits: say so, so that confirming
        // an untouched dialog changes nothing unseen.
        if ((active & 3) != active)
            std::snprintf(text, sizeof text, "%d (panel): will be sent as %d", active, active & 3);
        else
            std::snprintf(text, sizeof text, "%d (panel)", active);
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), text);
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), SETUP_LEVELS);
    }
    comboIntenzity = combo;
    dialog_nameWidget(combo, "comboIntenzity");
    return combo;
}

GtkWidget* getSetupIntenzity(const DeviceRecord* record) {
    GtkWidget* frame = gtk_frame_new("Intensity");
    GtkWidget* hbox = gtk_hbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(hbox), 5);
    GtkWidget* label = gtk_label_new("Select backlight intensity:");
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_LEFT);
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
    gtk_box_pack_start(GTK_BOX(hbox), label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(hbox), getEntryIntenzity(record->intensity), FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(frame), hbox);
    return frame;
}

GtkWidget* getButtonIdentifyBtn(int b, uint32_t uid) {
    btnId[b].uid = uid;
    btnId[b].mask = static_cast<uint8_t>(1u << b);
    GtkWidget* button = gtk_button_new_with_label("Identify");
    g_signal_connect(button, "clicked", G_CALLBACK(btnIdentifyAction), &btnId[b]);
    btnIdentify[b] = button;
    dialog_nameWidget(button, "btnIdentify", b);
    return button;
}

GtkWidget* getRadioSetup(int b, const DeviceRecord* record) {
    GtkWidget* column = gtk_vbox_new(TRUE, 1);
    gtk_container_set_border_width(GTK_CONTAINER(column), 5);
    GtkWidget* first = nullptr;
    for (int t = 0; t < SETUP_TYPES; ++t) {
        GtkWidget* r = first ? gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(first), radioLabel[t])
                             : gtk_radio_button_new_with_label(nullptr, radioLabel[t]);
        if (!first) first = r;
        radio[SETUP_TYPES * b + t] = r;
        dialog_nameWidget(r, "radio", SETUP_TYPES * b + t);
        gtk_box_pack_start(GTK_BOX(column), r, FALSE, FALSE, 0);
    }
    const int type = record->btn[b].type;
    radioExtra[b] = nullptr;
    extraType[b] = -1;
    if (type < SETUP_TYPES) {
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio[SETUP_TYPES * b + type]), TRUE);
    } else {
        // Shown as what it is, so that it is not turned into "Off" unseen.
        char text[32];
        if (type == 3)
            std::snprintf(text, sizeof text, "%s (%d)", radioLabel[3], type);
        else
            std::snprintf(text, sizeof text, "Type %d (panel)", type);
        radioExtra[b] = gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(first), text);
        dialog_nameWidget(radioExtra[b], "radioExtra", b);
        extraType[b] = type;
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radioExtra[b]), TRUE);
        gtk_box_pack_start(GTK_BOX(column), radioExtra[b], FALSE, FALSE, 0);
    }
    gtk_box_pack_start(GTK_BOX(column), getButtonIdentifyBtn(b, record->uid), FALSE, FALSE, 0);
    return column;
}

GtkWidget* getCheckboxScn(int b, int j) {
    char text[16];
    std::snprintf(text, sizeof text, "Scn %d", j + 1);
    GtkWidget* check = gtk_check_button_new_with_label(text);
    checkBoxScn[SETUP_SCENES * b + j] = check;
    dialog_nameWidget(check, "checkBoxScn", SETUP_SCENES * b + j);
    return check;
}

GtkWidget* getScnSetupPart(int b, const DeviceRecord* record, int top, int bottom) {
    GtkWidget* column = gtk_vbox_new(TRUE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(column), 5);
    for (int j : {top, bottom}) {
        GtkWidget* check = getCheckboxScn(b, j);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), (record->btn[b].scn >> j) & 1);
        gtk_box_pack_start(GTK_BOX(column), check, FALSE, FALSE, 0);
    }
    return column;
}

GtkWidget* getScnSetup(int b, DeviceRecord* record) {
    GtkWidget* frame = gtk_frame_new("Called scene");
    GtkWidget* vbox = gtk_vbox_new(FALSE, 2);
    GtkWidget* scenes = gtk_hbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(scenes), 5);
    for (int c = 0; c < 8; ++c)
        gtk_box_pack_start(GTK_BOX(scenes), getScnSetupPart(b, record, c, c + 8), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(vbox), scenes, FALSE, FALSE, 0);

    GtkWidget* dmxRow = gtk_hbox_new(FALSE, 0);
    GtkWidget* dmx = gtk_button_new_with_label("DMX setup...");
    dmxContext[b].b = b;
    dmxContext[b].record = record;
    g_signal_connect(dmx, "clicked", G_CALLBACK(buttonDmxAction), &dmxContext[b]);
    gtk_box_pack_start(GTK_BOX(dmxRow), dmx, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(vbox), dmxRow, FALSE, FALSE, 0);

    gtk_container_add(GTK_CONTAINER(frame), vbox);
    scnSetup[b] = frame;
    dialog_nameWidget(frame, "scnSetup", b);
    return frame;
}

GtkWidget* getSetupBtn(DeviceRecord* record, int b) {
    char title[32];
    std::snprintf(title, sizeof title, "Button %d setup", b + 1);
    GtkWidget* frame = gtk_frame_new(title);
    GtkWidget* hbox = gtk_hbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(hbox), 5);
    gtk_box_pack_start(GTK_BOX(hbox), getRadioSetup(b, record), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(hbox), getScnSetup(b, record), TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(frame), hbox);
    return frame;
}

GtkWidget* getSetupPanel(DeviceRecord* record) {
    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_size_request(scrolled, 800, 500);
    // A horizontal bar only when the dialog is made narrower than the setup.
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_ALWAYS);
    GtkWidget* fixed = gtk_fixed_new();
    GtkWidget* vbox = gtk_vbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(vbox), 0);
    gtk_box_pack_start(GTK_BOX(vbox), getSetupIntenzity(record), FALSE, FALSE, 2);
    for (int b = 0; b < DEV_BUTTONS; ++b) gtk_box_pack_start(GTK_BOX(vbox), getSetupBtn(record, b), FALSE, FALSE, 2);
    gtk_fixed_put(GTK_FIXED(fixed), vbox, 0, 0);
    gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(scrolled), fixed);
    return scrolled;
}

int getValueIntenzity() {
    const int active = gtk_combo_box_get_active(GTK_COMBO_BOX(comboIntenzity));
    if (active == SETUP_LEVELS && extraIntenzity >= 0) return extraIntenzity;
    return active < 0 ? 0 : active;
}

int getValueType(int b) {
    for (int t = 0; t < SETUP_TYPES; ++t)
        if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio[SETUP_TYPES * b + t]))) return t;
    if (radioExtra[b] && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radioExtra[b]))) return extraType[b];
    return 0;
}

uint16_t getCheckboxScnValue(int b) {
    uint16_t mask = 0;
    for (int j = 0; j < SETUP_SCENES; ++j)
        if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checkBoxScn[SETUP_SCENES * b + j])))
            mask = static_cast<uint16_t>(mask | (1u << j));
    return mask;
}

std::string dmxNotReadText(uint8_t known) {
    std::string numbers;
    int count = 0;
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        if (known & (1u << b)) continue;
        numbers += (count++ ? ", " : "") + std::to_string(b + 1);
    }
    if (count == 0) return "";
    if (count == 1) return "DMX block " + numbers + " not read: it stays unchanged on the panel";
    return "DMX blocks " + numbers + " not read: they stay unchanged on the panel";
}

namespace {

void showDmxNotRead(const DeviceRecord* record) {
    const std::string text = dmxNotReadText(record->dmxKnown);
    if (text != gtk_label_get_text(GTK_LABEL(labelDmxNotRead)))
        gtk_label_set_text(GTK_LABEL(labelDmxNotRead), text.c_str());
    gtk_widget_set_visible(labelDmxNotRead, !text.empty());
}

}  // namespace

gboolean updateSetup(gpointer record) {
    // A block the operator sets in the DMX setup dialog is known from then on.
    showDmxNotRead(static_cast<const DeviceRecord*>(record));
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        int t = -1;
        for (int i = 0; i < SETUP_TYPES && t < 0; ++i)
            if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio[SETUP_TYPES * b + i]))) t = i;
        // A panel's own type shown as an extra choice is an active choice too.
        if (t < 0 && radioExtra[b] && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radioExtra[b]))) t = extraType[b];
        if (t < 0) {
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio[static_cast<ptrdiff_t>(SETUP_TYPES) * b]), TRUE);
            t = 0;
        }
        gtk_widget_set_sensitive(scnSetup[b], t == 1 || t == 2);
    }
    return TRUE;
}

void btnIdentifyAction(GtkWidget*, gpointer target) {
    const IdentifyTarget* id = static_cast<const IdentifyTarget*>(target);
    app_identify_send(id->uid, id->mask);  // a silent panel stays silent here
}

void buttonDmxAction(GtkWidget* widget, gpointer context) {
    const DmxButtonContext* ctx = static_cast<const DmxButtonContext*>(context);
    dmxSetup_dialog(ctx->record, gtk_widget_get_toplevel(widget), ctx->b);
}

// Opens the dialog as large as its setup, so that all 16 scenes of every button
// show without scrolling, within the screen; the scrolled panel's 800 x 500
// stays the least it can be made.
namespace {

void fitToSetup(GtkWidget* dlg, GtkWidget* scrolled) {
    GtkWidget* viewport = gtk_bin_get_child(GTK_BIN(scrolled));
    GtkRequisition setup, asked, bar = {0, 0};
    gtk_widget_size_request(gtk_bin_get_child(GTK_BIN(viewport)), &setup);
    gtk_widget_size_request(dlg, &asked);
    if (GtkWidget* vbar = gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(scrolled)))
        gtk_widget_size_request(vbar, &bar);
    gint spacing = 0;
    gtk_widget_style_get(scrolled, "scrollbar-spacing", &spacing, nullptr);
    int min = 0, minHigh = 0;
    gtk_widget_get_size_request(scrolled, &min, &minHigh);
    // The dialog around the panel, the viewport's frame, and room for the
    // vertical bar in case the screen is too low for the whole setup.
    const int width = asked.width - min + setup.width + 2 * viewport->style->xthickness + bar.width + spacing;
    const int height = asked.height - minHigh + setup.height + 2 * viewport->style->ythickness;
    GdkScreen* screen = gtk_widget_get_screen(dlg);
    gtk_window_set_default_size(GTK_WINDOW(dlg), std::min(width, gdk_screen_get_width(screen) - 40),
                                std::min(height, gdk_screen_get_height(screen) - 80));
}

}  // namespace

int input_dialog(DeviceRecord* record, PanelSetup* setup) {
    char title[32];
    std::snprintf(title, sizeof title, "Setup %08X", record->uid);
    GtkWidget* dlg = gtk_dialog_new_with_buttons(title, window ? GTK_WINDOW(window) : nullptr,
                                                 GTK_DIALOG_DESTROY_WITH_PARENT, "OK/SEND to all", GTK_RESPONSE_YES,
                                                 "OK/SEND", GTK_RESPONSE_OK, "CANCEL", GTK_RESPONSE_CANCEL, nullptr);
    dialog = dlg;
    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dlg));
    // Above the scrolled setup, so it is in sight before anything is confirmed.
    labelDmxNotRead = gtk_label_new("");
    dialog_nameWidget(labelDmxNotRead, "labelDmxNotRead");
    gtk_misc_set_alignment(GTK_MISC(labelDmxNotRead), 0.0f, 0.5f);
    GdkColor red;
    gdk_color_parse("#FF0000", &red);
    gtk_widget_modify_fg(labelDmxNotRead, GTK_STATE_NORMAL, &red);
    gtk_box_pack_start(GTK_BOX(content), labelDmxNotRead, FALSE, FALSE, 2);
    GtkWidget* panel = getSetupPanel(record);
    gtk_box_pack_start(GTK_BOX(content), panel, TRUE, TRUE, 0);
    gtk_widget_show_all(panel);  // shown widgets only count in the sizes asked
    fitToSetup(dlg, panel);
    std::printf("\n\ndev ver = %x\n\n", (record->verMajor << 8) | record->verMinor);
    const guint timer = g_timeout_add(100, updateSetup, record);
    gtk_widget_show_all(dlg);
    showDmxNotRead(record);

    const gint response = gtk_dialog_run(GTK_DIALOG(dlg));
    int result = 0;
    if (response == GTK_RESPONSE_OK || response == GTK_RESPONSE_YES) {
        setup->intensity = static_cast<uint8_t>(getValueIntenzity());
        for (int b = 0; b < DEV_BUTTONS; ++b) {
            setup->btn[b].type = static_cast<uint8_t>(getValueType(b));
            setup->btn[b].scn = getCheckboxScnValue(b);
        }
        result = response == GTK_RESPONSE_YES ? 2 : 1;
    }

    g_source_remove(timer);
    gtk_widget_destroy(dlg);
    labelDmxNotRead = nullptr;
    if (dialog == dlg) dialog = nullptr;
    return result;
}
