// Modal dialogs of the window: message boxes, the yes/no question, the file
// chooser and the device setup dialog.
//
// Threads: the GUI thread only; workers hand their messages to the status tick.
//
// The setup dialog's widgets that the tests look for carry their variable's
// name (dialog_nameWidget): "comboIntenzity", "labelDmxNotRead", "radio[3*b+t]",
// "radioExtra[b]", "checkBoxScn[16*b+j]", "scnSetup[b]", "btnIdentify[b]".
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "devices/devices.h"

// Names a widget after its variable, "name[index]" for an element of an array,
// so that it is found by name (gtk_widget_get_name).
void dialog_nameWidget(GtkWidget* widget, const char* name, int index = -1);

// ---- Message boxes and question -------------------------------------------

void messageInfo_show(const char* text);
void messageError_show(const char* text);
// The GTK response: GTK_RESPONSE_YES, GTK_RESPONSE_NO or GTK_RESPONSE_DELETE_EVENT.
int messageQuestion(GtkWidget* parent, const char* text);
// Asks whether to close the window although work is running: "Cancel", the
// default, and "Close". True only for "Close".
bool messageCloseAnyway(const char* text);

// ---- File chooser -----------------------------------------------------------

constexpr int FILE_FIRMWARE = 0x01;   // open, "Firmware files" then "Any files"
constexpr int FILE_LIST_OPEN = 0x02;  // open, "List files" then "Any files"
constexpr int FILE_LIST_SAVE = 0x40;  // save, "List files", ".lst" appended when missing

// 1 when a file was accepted (read it with getFilename), 0 otherwise.
int openFileDialog(int flags);
const char* getFilename();
// The save rule: ".lst" appended unless the part from the last '.' is ".lst"
// in any case.
std::string withListExtension(const std::string& name);
// Tests: the folder the chooser opens in (lastFile; "." at start).
std::string& dialog_lastFile();

// ---- Device setup dialog ----------------------------------------------------

// Shows the setup of `record` (a private copy made with dev_copyByUid) and
// blocks until closed. Returns 0 (cancelled; setup untouched), 1 "OK/SEND" or
// 2 "OK/SEND to all" (setup filled). A confirmed DMX setup writes its block
// into the copy and into the table.
int input_dialog(DeviceRecord* record, PanelSetup* setup);

// The setup dialog's pieces. Its widgets are rebuilt at every opening; with the
// dialog modal there is one at a time.

constexpr int SETUP_TYPES = 3;   // the choices offered: "Off", "Scene FLASH", "Scene LATCH"
constexpr int SETUP_LEVELS = 3;  // intensity levels offered: 0, 1, 2
constexpr int SETUP_SCENES = 16;

GtkWidget* getSetupPanel(DeviceRecord* record);
GtkWidget* getSetupIntenzity(const DeviceRecord* record);
GtkWidget* getSetupBtn(DeviceRecord* record, int b);
GtkWidget* getRadioSetup(int b, const DeviceRecord* record);
GtkWidget* getScnSetup(int b, DeviceRecord* record);
GtkWidget* getScnSetupPart(int b, const DeviceRecord* record, int top, int bottom);
// An intensity above 2 gets an extra entry naming it, active, after the three;
// one the setup send cannot carry (4 to 7) says what it will be sent as.
GtkWidget* getEntryIntenzity(int active);
GtkWidget* getCheckboxScn(int b, int j);
GtkWidget* getButtonIdentifyBtn(int b, uint32_t uid);

// "DMX blocks 2, 5 not read: they stay unchanged on the panel" for the blocks
// without their bit in known (numbered from 1); empty when every block is known.
std::string dmxNotReadText(uint8_t known);

// Read-outs. A panel's value the dialog does not offer comes back unchanged
// while its extra entry or choice stays active.
int getValueIntenzity();
int getValueType(int b);
uint16_t getCheckboxScnValue(int b);

gboolean updateSetup(gpointer record);
void btnIdentifyAction(GtkWidget* widget, gpointer target);
void buttonDmxAction(GtkWidget* widget, gpointer context);
