// The one-slider DMX console: while it is open, a full universe goes out every
// 50 ms with all 512 channels at the slider's level.
//
// Threads: the GUI thread only (a modal dialog and its timeout). Its frames go
// out only while no bus operation holds the cable, so they never cut into a
// worker's exchange.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

constexpr int DMX_UNIVERSE = 512;
constexpr int DMX_CONSOLE_FRAME = DMX_UNIVERSE + 1;  // start code, then the levels

// Opens the console and returns when the operator closes it. Its slider is
// named "vscale".
void dmxConsole();
GtkWidget* getDMXPanel();
// The 50 ms tick: one console frame at the slider's level. Always TRUE.
gboolean sendDMX(gpointer unused = nullptr);
// The console frame for a level: start code 0, then 512 times the level.
void dmxConsole_fillFrame(uint8_t* frame, uint8_t level);
