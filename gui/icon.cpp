// The window's title and icon.
//
// Threads: the GUI thread only.
#include "gui/icon.h"

#include <cstdio>

namespace {

constexpr const char* ICON_FILE = "tivol.png";

}  // namespace

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

std::string findWindowIcon(const std::string& exeDir) {
    const std::string candidates[] = {
        ICON_FILE, exeDir + "/" + ICON_FILE,
        exeDir + "/" KORVANE_ICON_FROM_BINDIR,  // e.g. /usr/bin/../share/icons/...
    };
    for (const std::string& path : candidates)
        if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) return path;
    return "";
}

GdkPixbuf* loadWindowIcon() {
    std::string exeDir = ".";
    if (gchar* exe = g_file_read_link("/proc/self/exe", nullptr)) {
        gchar* dir = g_path_get_dirname(exe);
        exeDir = dir;
        g_free(dir);
        g_free(exe);
    }
    const std::string path = findWindowIcon(exeDir);
    return create_pixbuf(path.empty() ? ICON_FILE : path.c_str());
}
