// The window's title and icon.
//
// Threads: the GUI thread only.
#include "gui/icon.h"

#include <cstdio>

char* getTitle(char* buffer) {
    std::snprintf(buffer, TITLE_SIZE, "Korvane Control 1.1.");
    return buffer;
}

GdkPixbuf* create_pixbuf(const char* fileName) {
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(fileName, &error);
    if (!pixbuf) {
        std::fprintf(stderr, "%s\n", error ? error->message : fileName);
        if (error) g_error_free(error);
    }
    return pixbuf;
}
