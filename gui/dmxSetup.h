// The DMX setup dialog: start address, send flags and the 70 levels of one
// button's DMX button block.
//
// Threads: the GUI thread only (the dialog runs modally over the setup dialog);
// the module's widgets and guards are rebuilt at every opening.
//
// The widgets the tests look for carry their variable's name: "comboAddress",
// "checkBoxFlashOn", "checkBoxFlashOff", "values[k]", "labelAddrVal[r]".
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

#include "devices/devices.h"
#include "gui/event_text.h"

constexpr int DMX_ADDR_ENTRIES = 512;  // "Unused", then 1 to 511
constexpr int DMX_GRID_ROWS = 7;
constexpr int DMX_GRID_COLS = 10;

// Shows the dialog for button b (0 to 5) of record; on "OK" writes the button's
// DMX block into record and into the device table, where it counts as known
// from then on. Returns 0.
int dmxSetup_dialog(DeviceRecord* record, GtkWidget* parent, int b);

// The "changed" handler of a level field: applies the entry guard (guard is the
// field's values_entry), restoring the field's text when the guard refuses it.
void event_changed(GtkWidget* entry, void* data);

GtkWidget* getDmxSetupPanel(const uint8_t* block);
GtkWidget* getDmxValuesPanel(const uint8_t* block);
gboolean dmxSetupUdate(gpointer unused);
void buttonClearAction(GtkWidget* widget, gpointer block);

// The start address the active list entry stands for: its index, or the
// panel's own address when the extra entry for an address the list does not
// offer is active.
int getDmxStartAddr();
int getDmxSceneActionSetup();
