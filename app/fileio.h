// File input and output: a firmware image read whole, and the device list files.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int FILEIO_CANNOT_OPEN = -1;
constexpr int FILEIO_TOO_LARGE = -2;   // more bytes than the buffer holds: nothing usable
constexpr int FILEIO_READ_ERROR = -3;

// Returns the number of bytes read, or one of the negative results above.
int read_file(const char* path, uint8_t* buffer, int capacity);
int read_fileData(std::FILE* file, uint8_t* buffer, int capacity);

// Device list files: lines "U:%08X\r\n" as written; read loosely.
constexpr int LIST_LINE_MAX = 256;
// Writes "U:%08X\r\n" for each listed device: 0, or -1 when the file cannot be
// created, -2 when writing or closing it fails.
int saveListFile(const char* path);
// Reads list lines into the device table (find or insert). Returns how many
// numbers were read, duplicates and 0 included.
int readListFile(std::FILE* in);
// The number of one list line (the text after "U:"), as "%x" reads it; false
// when there is none or it does not fit in 32 bits.
bool parseListUid(const char* text, uint32_t* uid);
