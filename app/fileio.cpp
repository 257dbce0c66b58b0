#include "app/fileio.h"

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
