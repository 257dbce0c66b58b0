// Reading a firmware image file whole.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int FILEIO_CANNOT_OPEN = -1;
constexpr int FILEIO_TOO_LARGE = -2;   // more bytes than the buffer holds: nothing usable
constexpr int FILEIO_READ_ERROR = -3;

// Returns the number of bytes read, or one of the negative results above.
int read_file(const char* path, uint8_t* buffer, int capacity);
int read_fileData(std::FILE* file, uint8_t* buffer, int capacity);
