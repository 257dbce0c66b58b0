// Modal dialogs of the window: message boxes, the yes/no question, the file
// chooser and the device setup dialog.
//
// Threads: the GUI thread only; workers hand their messages to the status tick.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "devices/devices.h"

// The dialog most recently opened here (message boxes, chooser, setup dialog).
extern GtkWidget* dialog;

// ---- Message boxes and question -------------------------------------------

void messageInfo_show(const char* text);
void messageError_show(const char* text);
// The GTK response: GTK_RESPONSE_YES, GTK_RESPONSE_NO or GTK_RESPONSE_DELETE_EVENT.
int messageQuestion(GtkWidget* parent, const char* text);

// ---- File chooser -----------------------------------------------------------

constexpr int FILE_FIRMWARE = 0x01;   // open, "Firmware files" then "Any files"
constexpr int FILE_LIST_OPEN = 0x02;  // open, "List files" then "Any files"
constexpr int FILE_LIST_SAVE = 0x40;  // save, "List files", ".lst" appended when missing

extern std::string lastFile;  // folder the chooser opens in; "." at start
extern std::string file;      // last accepted file name

// 1 when a file was accepted (read it with getFilename), 0 otherwise.
int openFileDialog(int flags);
const char* getFilename();
// The save rule: ".lst" appended unless the part from the last '.' is ".lst"
// in any case.
std::string withListExtension(const std::string& name);

// ---- Device setup dialog ----------------------------------------------------

// Shows the setup of `record` (a private copy made with dev_copyByUid) and
// blocks until closed. Returns 0 (cancelled; setup untouched), 1 "OK/SEND" or
// 2 "OK/SEND to all" (setup filled). A confirmed DMX setup writes its block
// into the copy and into the table.
int input_dialog(DeviceRecord* record, PanelSetup* setup);
