#include "app/fileio.h"

#include <cctype>
#include <cstring>

#include "devices/devices.h"

int read_fileData(std::FILE* file, uint8_t* buffer, int capacity) {
    int count = 0;
    for (;;) {
        const int c = std::fgetc(file);
        if (c == EOF) break;
        // One byte more than fits means the file is not an image we can send whole.
        if (count == capacity) return FILEIO_TOO_LARGE;
        buffer[count++] = static_cast<uint8_t>(c);
    }
    if (std::ferror(file)) return FILEIO_READ_ERROR;  // a folder, an I/O error
    return count;
}

int read_file(const char* path, uint8_t* buffer, int capacity) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return FILEIO_CANNOT_OPEN;
    const int result = read_fileData(file, buffer, capacity);
    std::fclose(file);
    return result;
}

namespace {

bool isListEnd(int ch) { return ch == '\n' || ch == '\r'; }

int hexValue(int ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

}  // namespace

int saveListFile(const char* path) {
    std::FILE* out = std::fopen(path, "wb");
    if (!out) return -1;
    bool ok = true;
    for (int i = 0; i < DEV_MAX; ++i) {
        const uint32_t uid = dev_uidAt(i);
        if (uid == 0) break;
        char line[16];
        const int n = std::snprintf(line, sizeof line, "U:%08X\r\n", uid);
        if (std::fwrite(line, 1, n, out) != static_cast<size_t>(n)) ok = false;
    }
    if (std::fclose(out) != 0) ok = false;
    return ok ? 0 : -2;
}

bool parseListUid(const char* text, uint32_t* uid) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hexValue(p[2]) >= 0) p += 2;
    uint64_t value = 0;
    int digits = 0;
    for (; hexValue(*p) >= 0; ++p, ++digits) {
        value = value * 16 + hexValue(*p);
        if (value > 0xFFFFFFFFull) return false;  // does not fit: the line is unusable
    }
    if (digits == 0) return false;
    *uid = negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(value)) : static_cast<uint32_t>(value);
    return true;
}

int readListFile(std::FILE* in) {
    char line[LIST_LINE_MAX + 1] = {};
    int used = 0;
    int read = 0;
    int ch;
    while ((ch = std::fgetc(in)) != EOF) {
        line[used++] = static_cast<char>(ch);
        if (!isListEnd(ch) && used < LIST_LINE_MAX) continue;
        // A complete line: ended, or a full piece of a longer one.
        uint32_t uid = 0;
        if ((line[0] == 'U' || line[0] == 'u') && line[1] == ':' && parseListUid(line + 2, &uid)) {
            findDevUID(uid);
            std::printf(" dev:%08x\n", uid);
            ++read;
        }
        std::memset(line, 0, sizeof line);
        used = 0;
    }
    std::fflush(stdout);
    return read;  // a last line without its line end is dropped
}

