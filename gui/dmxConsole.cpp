#include "gui/dmxConsole.h"

#include <cstring>

#include "bus/cable.h"
#include "gui/mainWin.h"

// Threads: everything here runs on the GUI thread; the cable has its own lock.

namespace {

GtkWidget* dmxWin = nullptr;
GtkObject* adj1 = nullptr;
GtkWidget* vscale = nullptr;

}  // namespace

void dmxConsole_fillFrame(uint8_t* frame, uint8_t level) {
    frame[0] = 0;
    std::memset(frame + 1, level, DMX_UNIVERSE);
}

gboolean sendDMX(gpointer) {
    const int level = static_cast<int>(gtk_adjustment_get_value(GTK_ADJUSTMENT(adj1)));
    uint8_t frame[DMX_CONSOLE_FRAME];
    dmxConsole_fillFrame(frame, static_cast<uint8_t>(level & 0xFF));
    // Skipped while an operation holds the cable: a frame never lands inside
    // another exchange, and the next tick sends the level again anyway.
    cable_trySendRaw(frame, DMX_CONSOLE_FRAME);
    return TRUE;
}

GtkWidget* getDMXPanel() {
    GtkWidget* fixed = gtk_fixed_new();
    GtkWidget* hbox = gtk_hbox_new(FALSE, 2);
    gtk_container_set_border_width(GTK_CONTAINER(hbox), 0);
    // Upper 256 with a page of 1: the slider reaches exactly 0 to 255.
    adj1 = gtk_adjustment_new(0, 0, 256, 1, 1, 1);
    vscale = gtk_vscale_new(GTK_ADJUSTMENT(adj1));
    gtk_widget_set_name(vscale, "vscale");
    gtk_scale_set_digits(GTK_SCALE(vscale), 0);
    gtk_range_set_inverted(GTK_RANGE(vscale), TRUE);
    gtk_widget_set_size_request(vscale, 44, 135);
    gtk_box_pack_start(GTK_BOX(hbox), vscale, TRUE, TRUE, 30);
    gtk_fixed_put(GTK_FIXED(fixed), hbox, 0, 0);
    return fixed;
}

void dmxConsole() {
    dmxWin =
        gtk_dialog_new_with_buttons("DMX output", window ? GTK_WINDOW(window) : nullptr, GTK_DIALOG_DESTROY_WITH_PARENT,
                                    GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, nullptr);
    GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dmxWin));
    gtk_box_pack_start(GTK_BOX(content), getDMXPanel(), TRUE, TRUE, 0);

    // Release the port afterwards only if it is ours: another user of an open
    // port (the status tick, a worker) keeps it.
    const bool openedHere = cable_device() < 0;
    cable_open();
    const guint timer = g_timeout_add(50, sendDMX, nullptr);
    gtk_widget_show_all(dmxWin);
    gtk_dialog_run(GTK_DIALOG(dmxWin));

    g_source_remove(timer);
    gtk_widget_destroy(dmxWin);
    dmxWin = nullptr;
    vscale = nullptr;
    adj1 = nullptr;
    if (openedHere) cable_free();
}
