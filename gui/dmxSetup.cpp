#include "gui/dmxSetup.h"

#include <cstdio>
#include <cstring>

#include "gui/dialog.h"

// Threads: everything here runs on the GUI thread.

namespace {

GtkWidget* dmxDialog = nullptr;
GtkWidget* comboAddress = nullptr;
GtkWidget* checkBoxFlashOn = nullptr;
GtkWidget* checkBoxFlashOff = nullptr;
GtkWidget* values[DMX_BLOCK_LEVELS] = {};
GtkWidget* labelAddrAdd[DMX_GRID_COLS] = {};
GtkWidget* labelAddrVal[DMX_GRID_ROWS] = {};
values_entry valuesGuard[DMX_BLOCK_LEVELS] = {};

const char* labelFlashOn = "Send when FLASH turned ON";
const char* labelFlashOff = "Send when FLASH turned OFF";
const char* labelDMXNOTE = "NOTE: DMX is send as 3 packets only!";

// A start address read from the panel that the list does not offer (above 511)
// gets an entry of its own after the 512, so that "OK" keeps it unless the
// operator picks another. -1: no such entry in this opening.
int extraAddr = -1;

int blockStart(const uint8_t* block) { return block[0] | (block[1] << 8); }

GtkWidget* leftLabel(const char* text) {
    GtkWidget* label = gtk_label_new(text);
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_LEFT);
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
    return label;
}

// An action's changes all come from one event; this runs before the next one.
gboolean endAction(gpointer data) {
    static_cast<values_entry*>(data)->inAction = 0;
    return FALSE;
}

}  // namespace

void event_changed(GtkWidget* entry, void* data) {
    values_entry* guard = static_cast<values_entry*>(data);
    if (guard->busy) return;  // the change our own restore below causes
    guard->busy = 1;
    const bool first = !guard->inAction;
    if (first) {
        guard->inAction = 1;
        g_idle_add_full(G_PRIORITY_HIGH, endAction, guard, nullptr);
    }
    if (!event_text_change(guard, gtk_entry_get_text(GTK_ENTRY(entry)), first)) {
        gtk_entry_set_text(GTK_ENTRY(entry), guard->last);
        gtk_widget_error_bell(entry);
    }
    guard->busy = 0;
}

int getDmxStartAddr() {
    const int active = gtk_combo_box_get_active(GTK_COMBO_BOX(comboAddress));
    if (active == DMX_ADDR_ENTRIES && extraAddr >= 0) return extraAddr;
    return active < 0 ? 0 : active;
}

int getDmxSceneActionSetup() {
    int flags = 0;
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checkBoxFlashOn))) flags |= 1;
    if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checkBoxFlashOff))) flags |= 2;
    return flags;
}

GtkWidget* getDmxValuesPanel(const uint8_t* block) {
    GtkWidget* fixed = gtk_fixed_new();
    GtkWidget* vbox = gtk_vbox_new(TRUE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(vbox), 0);
    gtk_fixed_put(GTK_FIXED(fixed), vbox, 0, 0);

    char text[16];
    GtkWidget* header = gtk_hbox_new(TRUE, 2);
    gtk_box_pack_start(GTK_BOX(header), gtk_label_new(" "), FALSE, FALSE, 2);
    for (int c = 0; c < DMX_GRID_COLS; ++c) {
        std::snprintf(text, sizeof text, "+%d", c);
        labelAddrAdd[c] = gtk_label_new(text);
        gtk_box_pack_start(GTK_BOX(header), labelAddrAdd[c], FALSE, FALSE, 2);
    }
    gtk_box_pack_start(GTK_BOX(vbox), header, FALSE, FALSE, 2);

    for (int r = 0; r < DMX_GRID_ROWS; ++r) {
        GtkWidget* row = gtk_hbox_new(TRUE, 2);
        std::snprintf(text, sizeof text, "%3d", 10 * r);
        labelAddrVal[r] = gtk_label_new(text);
        dialog_nameWidget(labelAddrVal[r], "labelAddrVal", r);
        gtk_box_pack_start(GTK_BOX(row), labelAddrVal[r], FALSE, FALSE, 2);
        for (int c = 0; c < DMX_GRID_COLS; ++c) {
            const int k = DMX_GRID_COLS * r + c;
            GtkWidget* entry = gtk_entry_new();
            gtk_entry_set_max_length(GTK_ENTRY(entry), 3);
            gtk_entry_set_width_chars(GTK_ENTRY(entry), 4);
            std::snprintf(text, sizeof text, "%d", block[4 + k]);
            gtk_entry_set_text(GTK_ENTRY(entry), text);
            event_text_init(&valuesGuard[k], text, 0, 255);
            // Connected after the first text, so the guard only sees the operator's edits.
            g_signal_connect(entry, "changed", G_CALLBACK(event_changed), &valuesGuard[k]);
            values[k] = entry;
            dialog_nameWidget(entry, "values", k);
            gtk_box_pack_start(GTK_BOX(row), entry, FALSE, FALSE, 2);
        }
        gtk_box_pack_start(GTK_BOX(vbox), row, FALSE, FALSE, 2);
    }
    return fixed;
}

GtkWidget* getDmxSetupPanel(const uint8_t* block) {
    static char addr[DMX_ADDR_ENTRIES][8];

    GtkWidget* fixed = gtk_fixed_new();
    GtkWidget* vbox = gtk_vbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(vbox), 0);
    gtk_fixed_put(GTK_FIXED(fixed), vbox, 0, 0);

    GtkWidget* addrRow = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(addrRow), leftLabel("Select start address:"), FALSE, FALSE, 0);
    comboAddress = gtk_combo_box_text_new();
    dialog_nameWidget(comboAddress, "comboAddress");
    std::snprintf(addr[0], sizeof addr[0], "Unused");
    for (int i = 1; i < DMX_ADDR_ENTRIES; ++i) std::snprintf(addr[i], sizeof addr[i], "%d", i);
    for (int i = 0; i < DMX_ADDR_ENTRIES; ++i)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(comboAddress), addr[i]);
    const int start = blockStart(block);
    extraAddr = -1;
    if (start < DMX_ADDR_ENTRIES) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), start);
    } else {
        extraAddr = start;
        char text[32];
        std::snprintf(text, sizeof text, "Address %d (panel)", start);
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(comboAddress), text);
        gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), DMX_ADDR_ENTRIES);
    }
    gtk_box_pack_start(GTK_BOX(addrRow), comboAddress, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(vbox), addrRow, FALSE, FALSE, 2);

    checkBoxFlashOn = gtk_check_button_new_with_label(labelFlashOn);
    dialog_nameWidget(checkBoxFlashOn, "checkBoxFlashOn");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checkBoxFlashOn), (block[3] & 1) != 0);
    gtk_box_pack_start(GTK_BOX(vbox), checkBoxFlashOn, FALSE, FALSE, 2);
    checkBoxFlashOff = gtk_check_button_new_with_label(labelFlashOff);
    dialog_nameWidget(checkBoxFlashOff, "checkBoxFlashOff");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checkBoxFlashOff), (block[3] & 2) != 0);
    gtk_box_pack_start(GTK_BOX(vbox), checkBoxFlashOff, FALSE, FALSE, 2);

    GtkWidget* note = leftLabel(labelDMXNOTE);
    GdkColor red;
    gdk_color_parse("#FF0000", &red);
    gtk_widget_modify_fg(note, GTK_STATE_NORMAL, &red);
    gtk_box_pack_start(GTK_BOX(vbox), note, FALSE, FALSE, 2);

    gtk_box_pack_start(GTK_BOX(vbox), getDmxValuesPanel(block), FALSE, FALSE, 2);

    GtkWidget* clearRow = gtk_hbox_new(FALSE, 0);
    GtkWidget* clear = gtk_button_new_with_label("Clear setup");
    g_signal_connect(clear, "clicked", G_CALLBACK(buttonClearAction), const_cast<uint8_t*>(block));
    gtk_box_pack_start(GTK_BOX(clearRow), clear, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(vbox), clearRow, FALSE, FALSE, 2);
    return fixed;
}

gboolean dmxSetupUdate(gpointer) {
    // An index is at most 511; only the extra entry can stand for more, and an
    // address above 512 leaves no level in reach, so every row greys out.
    const int a = getDmxStartAddr();
    char text[16];
    for (int r = 0; r < DMX_GRID_ROWS; ++r) {
        const int s = a + DMX_GRID_COLS * r;
        if (labelAddrVal[r] == nullptr) continue;
        if (a == 0 || s > 512)
            std::snprintf(text, sizeof text, "---");
        else
            std::snprintf(text, sizeof text, "%3d", s);
        gtk_label_set_text(GTK_LABEL(labelAddrVal[r]), text);
        for (int c = 0; c < DMX_GRID_COLS; ++c) {
            GtkWidget* field = values[DMX_GRID_COLS * r + c];
            if (field == nullptr) continue;
            const bool inReach = s + c <= 512;
            gtk_editable_set_editable(GTK_EDITABLE(field), inReach);
            gtk_widget_set_sensitive(field, inReach);
        }
    }
    return TRUE;
}

void buttonClearAction(GtkWidget*, gpointer) {
    // The block itself changes only on "OK".
    gtk_combo_box_set_active(GTK_COMBO_BOX(comboAddress), 0);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checkBoxFlashOn), FALSE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checkBoxFlashOff), FALSE);
    for (GtkWidget* field : values) gtk_entry_set_text(GTK_ENTRY(field), "0");
}

int dmxSetup_dialog(DeviceRecord* record, GtkWidget* parent, int b) {
    if (record == nullptr || b < 0 || b >= DEV_BUTTONS) return 0;
    char title[64];
    std::snprintf(title, sizeof title, "DMX setup %08X button %d", record->uid, b + 1);
    GtkWidget* dlg =
        gtk_dialog_new_with_buttons(title, parent ? GTK_WINDOW(parent) : nullptr, GTK_DIALOG_DESTROY_WITH_PARENT, "OK",
                                    GTK_RESPONSE_OK, "CANCEL", GTK_RESPONSE_CANCEL, nullptr);
    dmxDialog = dlg;
    uint8_t* block = record->dmx[b];
    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dlg));
    GtkWidget* panel = getDmxSetupPanel(block);
    gtk_container_set_border_width(GTK_CONTAINER(panel), 6);  // the grid's last column off the edge
    gtk_box_pack_start(GTK_BOX(content), panel, TRUE, TRUE, 0);
    const guint timer = g_timeout_add(100, dmxSetupUdate, nullptr);
    gtk_widget_show_all(dlg);

    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_OK) {
        uint8_t out[DMX_BLOCK_SIZE];
        const int start = getDmxStartAddr();
        out[0] = static_cast<uint8_t>(start & 0xFF);
        out[1] = static_cast<uint8_t>((start >> 8) & 0xFF);
        out[2] = DMX_BLOCK_LEVELS;
        out[3] = static_cast<uint8_t>(getDmxSceneActionSetup());
        // Greyed fields are stored too: they still hold the block's levels.
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k)
            out[4 + k] = static_cast<uint8_t>(event_text_value(gtk_entry_get_text(GTK_ENTRY(values[k]))));
        // The caller's record is a copy: the table gets the block too, so that a
        // confirmed DMX setup outlives a cancelled setup dialog.
        std::memcpy(block, out, DMX_BLOCK_SIZE);
        record->dmxKnown = static_cast<uint8_t>(record->dmxKnown | 1u << b);
        dev_storeDmxBlock(record->uid, b, out);
    }

    g_source_remove(timer);
    gtk_widget_destroy(dlg);
    dmxDialog = nullptr;
    comboAddress = checkBoxFlashOn = checkBoxFlashOff = nullptr;
    for (auto& w : values) w = nullptr;
    for (auto& w : labelAddrAdd) w = nullptr;
    for (auto& w : labelAddrVal) w = nullptr;
    return 0;
}
