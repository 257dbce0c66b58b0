#include "app/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bus/diag.h"
#include "devices/devices.h"

namespace {

// 0 and the open file, FILEIO_CANNOT_OPEN (errno says why) or
// FILEIO_READ_ERROR for a name that is there but is no regular file.
int openRegular(const char* path, bool forWriting, std::FILE** out) {
    *out = nullptr;
    struct stat named;
    if (::stat(path, &named) != 0) {
        if (!forWriting || errno != ENOENT) return FILEIO_CANNOT_OPEN;
    } else if (!S_ISREG(named.st_mode)) {
        errno = S_ISDIR(named.st_mode) ? EISDIR : EINVAL;
        return FILEIO_READ_ERROR;
    }
    // Without blocking: should a FIFO take the name's place after the check,
    // the open still returns at once, and the check of what was opened refuses it.
    const int flags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (forWriting ? O_WRONLY | O_CREAT : O_RDONLY);
    const int fd = ::open(path, flags, 0666);
    if (fd < 0) return FILEIO_CANNOT_OPEN;
    struct stat opened;
    const bool statted = ::fstat(fd, &opened) == 0;
    int result = 0;
    if (statted && !S_ISREG(opened.st_mode)) {
        errno = EINVAL;
        result = FILEIO_READ_ERROR;
    } else if (!statted || (forWriting && ::ftruncate(fd, 0) != 0) || ::fcntl(fd, F_SETFL, 0) != 0 ||  // blocking again
               (*out = ::fdopen(fd, forWriting ? "wb" : "rb")) == nullptr) {
        result = FILEIO_CANNOT_OPEN;
    }
    if (result != 0) {
        const int why = errno;
        ::close(fd);
        errno = why;
    }
    return result;
}

bool isListEnd(int ch) { return ch == '\n' || ch == '\r'; }

}  // namespace

std::FILE* openRegularFile(const char* path, bool forWriting) {
    std::FILE* file = nullptr;
    openRegular(path, forWriting, &file);
    return file;
}

int read_fileData(std::FILE* file, uint8_t* buffer, int capacity) {
    int count = 0;
    for (;;) {
        const int c = std::fgetc(file);
        if (c == EOF) break;
        // One byte more than fits means the file is not an image we can send whole.
        if (count == capacity) return FILEIO_TOO_LARGE;
        buffer[count++] = static_cast<uint8_t>(c);
    }
    if (std::ferror(file)) return FILEIO_READ_ERROR;
    return count;
}

int read_file(const char* path, uint8_t* buffer, int capacity) {
    std::FILE* file = nullptr;
    const int opened = openRegular(path, false, &file);
    if (opened != 0) return opened;
    const int result = read_fileData(file, buffer, capacity);
    std::fclose(file);
    return result;
}

int saveListFile(const char* path) {
    std::FILE* out = openRegularFile(path, true);
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
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text || errno == ERANGE) return false;
    // strtoul negates a number with a minus sign; its magnitude is what must fit.
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    const unsigned long magnitude = *text == '-' ? 0ul - value : value;
    if (magnitude > UINT32_MAX) return false;  // does not fit: the line is unusable
    *uid = static_cast<uint32_t>(value);
    return true;
}

int readListFile(std::FILE* in) {
    char line[LIST_LINE_MAX + 1] = {};
    int used = 0;
    int read = 0;
    bool full = false;  // no line can change the table any more: the rest is not read
    char block[1 << 16];
    size_t got;
    while (!full && (got = std::fread(block, 1, sizeof block, in)) > 0) {
        for (size_t i = 0; i < got && !full; ++i) {
            const char ch = block[i];
            line[used++] = ch;
            if (!isListEnd(ch) && used < LIST_LINE_MAX) continue;
            // A complete line: ended, or a full piece of a longer one.
            uint32_t uid = 0;
            if ((line[0] == 'U' || line[0] == 'u') && line[1] == ':' && parseListUid(line + 2, &uid)) {
                const int index = findDevUID(uid);
                diag_printf(" dev:%08x\n", uid);
                ++read;
                // The used records are a leading run: a UID in the last one fills the table.
                full = index < 0 || (uid != 0 && index == DEV_MAX - 1);
            }
            std::memset(line, 0, used);  // a short line costs only its own length
            used = 0;
        }
    }
    diag_flush();
    return read;  // a last line without its line end is dropped
}
