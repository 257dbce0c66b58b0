// The window's title and icon.
#pragma once

#include <gtk/gtk.h>

constexpr int TITLE_SIZE = 64;

// Writes the window title into buffer (TITLE_SIZE bytes) and returns it.
char* getTitle(char* buffer);
// Loads an image; null (and the loader's message on stderr) when it cannot.
GdkPixbuf* create_pixbuf(const char* fileName);
