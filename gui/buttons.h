// The action buttons, their handlers, the workers of lock bit 2 (discovery,
// list load, "Read parameters", "OK/SEND to all") and the list files.
//
// Threads: widgets and handlers belong to the GUI thread. The busy flag thrDisc
// and discoveryMsg are atomics shared with the worker they guard: thrDisc is
// tested and set on the GUI thread and cleared by the worker as its last step
// but one (the lock bit goes last). Workers touch no widget.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

constexpr int32_t THR_BUSY = 255;
// thrDisc: THR_BUSY while a worker of lock bit 2 runs, else 0.
int32_t buttons_thrDisc();

// Each builds its button once and gives the same one afterwards.
GtkWidget* getButtonDiscovery();
GtkWidget* getButtonRead();
GtkWidget* getButtonEdit();
GtkWidget* getButtonDali();
GtkWidget* getButtonInitializeAll();
GtkWidget* getButtonRandomize();
GtkWidget* getButtonSearch();
GtkWidget* getButtonUpdateFw();
GtkWidget* getButtonDmxConsole();
GtkWidget* getButtonIdentify();
GtkWidget* getButtonGenUID();
GtkWidget* getButtonSaveList();
GtkWidget* getButtonLoadList();
GtkWidget* getButtonCancel();  // beside the status line; stops a worker of lock bit 2

void buttonsEnable(uint8_t enabled, uint8_t selected);
// "Cancel" is sensitive only while a worker of lock bit 2 runs and has not
// been asked to stop yet; the status tick calls this.
void cancelEnable();

void buttonDiscoveryAction(GtkWidget* widget, gpointer data);
void buttonReadAction(GtkWidget* widget, gpointer data);
void buttonEditAction(GtkWidget* widget, gpointer data);
void buttonIdentifyAction(GtkWidget* widget, gpointer data);
void buttonUpdateFWAction(GtkWidget* widget, gpointer data);
void buttonGenUIDAction(GtkWidget* widget, gpointer data);
void buttonDmxConsoleAction(GtkWidget* widget, gpointer data);
void buttonDaliAction(GtkWidget* widget, gpointer data);
void buttonInitializeAllAction(GtkWidget* widget, gpointer data);
void buttonRandomizeAction(GtkWidget* widget, gpointer data);
void buttonSearchAction(GtkWidget* widget, gpointer data);
void buttonSaveListAction(GtkWidget* widget, gpointer data);
void buttonLoadListAction(GtkWidget* widget, gpointer data);
void buttonCancelAction(GtkWidget* widget, gpointer data);

void* makeDiscoveryThr(void* arg);
void* makeLoadThr(void* arg);
void* makeReadThr(void* arg);  // "Read parameters"
void* makeSendThr(void* raw);  // "OK/SEND to all": takes over its job

// ---- Kept, though nothing in this program calls them -------------------------
// This module's documented interface: kept whole and correct for what
// is built on the module later; nothing in the program depends on them.

void buttonInfoAction(GtkWidget* widget, gpointer data);  // does nothing
// Starts a discovery without touching discoveryMsg and selected_dev; returns 0.
int makeDiscovery();
