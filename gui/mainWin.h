// The main window: the device list, the button groups, the progress bar and the
// 50 ms status tick that brings the workers' results to the screen.
//
// Threads: every widget here belongs to the GUI thread. selected_dev is also
// written by the discovery worker (an atomic); compEnabled and the tick's row
// cache are touched by the GUI thread only.
//
// The widgets other modules or the tests look for carry their variable's name
// (gtk_widget_set_name): "progressBar", "statusText", "statusPort",
// "scrolledDeviceList".
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "gui/icon.h"

constexpr int LIST_COLUMNS = 10;
constexpr int32_t NO_DEVICE = -1;

extern GtkWidget* window;
extern GtkWidget* deviceList;
extern std::atomic<int32_t> selected_dev;  // UID of the selected device, -1 none

// Builds the window, starts the tick and runs the main loop until the window
// is destroyed.
void createGUI();
// The same without the main loop and without the timer: tests drive the tick
// themselves. Returns the shown window.
GtkWidget* buildGUI();
// Benchmarks: starts the 50 ms tick as createGUI does.
void mainWin_startTick();

GtkWidget* getDevPanel();
GtkWidget* getButtonsPanel();
GtkWidget* getBtnGroup1();
GtkWidget* getBtnGroup2();
GtkWidget* getDeviceList();
GtkWidget* getProgressBar();
GtkWidget* getStatusLine();  // the two status labels and "Cancel"

// "select_row" of the device list; event may be null.
void selection_made(GtkWidget* list, gint row, gint column, GdkEventButton* event, gpointer data);
void destroy(gpointer data);
// The title bar's close: true when the window may close. While closing would
// leave panels broken (an upload under way, a setup sent to several panels),
// only once the operator has chosen "Close" in a question that says so.
bool mainWin_mayClose();
void updateWindowTitle();

// The status tick: cable poll, bar, one message, buttons, list. Always TRUE.
gboolean progress(gpointer data);
void componentEnable(uint8_t enabled);
int32_t checkCableData();

// What the port label says for a port state of cable_portState and its text,
// given KORVANE_PORT.
std::string portStatusText(int32_t state, const char* text, const char* choice);

// Tests: how many cells the tick has written; forgets the row texts (and a
// pause between open tries); installs the GUI thread's message shower again
// (after handover_reset).
long mainWin_cellsSet();
void mainWin_resetRowCache();
void mainWin_installShower();

// ---- Kept, though nothing in this program calls them -------------------------
// This module's documented interface: kept whole and correct for what
// is built on the module later; nothing in the program depends on them.

// The "DALI" and "Utility" groups, built but not placed in the window.
GtkWidget* getBtnGroup3();
GtkWidget* getBtnGroup4();
// The tick's bar and message steps alone.
void updateProgressBar(int32_t done, int32_t total);
