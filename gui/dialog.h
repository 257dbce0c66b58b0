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
// Asks whether to close the window although work is running: "Cancel", the
// default, and "Close". True only for "Close".
bool messageCloseAnyway(const char* text);

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

// The setup dialog's pieces. Its widgets are rebuilt at every opening; with the
// dialog modal there is one at a time.

constexpr int SETUP_TYPES = 3;   // the choices offered: "Off", "Scene FLASH", "Scene LATCH"
constexpr int SETUP_LEVELS = 3;  // intensity levels offered: 0, 1, 2
constexpr int SETUP_SCENES = 16;

extern const char* radioLabel[4];  // the fourth, "Key", is not offered as a choice
extern char levelIntenzity[SETUP_LEVELS][12];

struct IdentifyTarget {
    uint32_t uid;
    uint8_t mask;  // 1 << button
};

struct DmxButtonContext {
    int b;
    DeviceRecord* record;
};

extern GtkWidget* comboIntenzity;
// Names the DMX blocks that were not read from the panel; hidden when all were.
extern GtkWidget* labelDmxNotRead;
extern GtkWidget* radio[DEV_BUTTONS * SETUP_TYPES];         // 3*b + type
extern GtkWidget* radioExtra[DEV_BUTTONS];                  // a panel's type the dialog does not offer; or null
extern GtkWidget* checkBoxScn[DEV_BUTTONS * SETUP_SCENES];  // 16*b + j: scene j+1
extern GtkWidget* scnSetup[DEV_BUTTONS];                    // the "Called scene" frames
extern GtkWidget* btnIdentify[DEV_BUTTONS];
extern IdentifyTarget btnId[DEV_BUTTONS];

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
