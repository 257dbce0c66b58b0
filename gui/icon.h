// The window's title and icon.
#pragma once

#include <gtk/gtk.h>

#include <string>

constexpr int TITLE_SIZE = 64;

// Writes the window title into buffer (TITLE_SIZE bytes) and returns it.
char* getTitle(char* buffer);
// Loads an image; null (and the loader's message on stderr) when it cannot.
GdkPixbuf* create_pixbuf(const char* fileName);

// The window icon: "tivol.png" in the working directory; else beside the
// executable, as in the build tree; else the theme icon of the installed tree
// the executable belongs to. Null, with the loader's message for "tivol.png",
// when there is none.
GdkPixbuf* loadWindowIcon();
// The file loadWindowIcon loads for an executable in exeDir; "" when none exists.
std::string findWindowIcon(const std::string& exeDir);
