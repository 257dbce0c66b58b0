// File input and output: a firmware image read whole, and the device list files.
//
// Every file is opened without blocking and only if it is a regular file: a
// FIFO, a device, a socket or a folder is refused before a byte is read or
// written, so no name the operator picks can hold the caller.
//
// Threads: no state of its own (the device table guards itself). The GUI thread
// reads and writes list files; the firmware transfer worker reads its image.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int FILEIO_CANNOT_OPEN = -1;
constexpr int FILEIO_TOO_LARGE = -2;   // more bytes than the buffer holds: nothing usable
constexpr int FILEIO_READ_ERROR = -3;  // also: not a regular file

// An existing regular file for reading ("rb"), or one created or emptied for
// writing ("wb"); null with errno set otherwise. Anything but a regular file
// is left exactly as it was, and a file that exists is emptied only once it is
// known to be a regular file.
std::FILE* openRegularFile(const char* path, bool forWriting);

// Returns the number of bytes read, or one of the negative results above.
int read_file(const char* path, uint8_t* buffer, int capacity);
int read_fileData(std::FILE* file, uint8_t* buffer, int capacity);

// Device list files: lines "U:%08X\r\n" as written; read loosely.
constexpr int LIST_LINE_MAX = 256;
// Writes "U:%08X\r\n" for each listed device: 0, or -1 when the file cannot be
// created (or is not a regular file), -2 when writing or closing it fails.
int saveListFile(const char* path);
// Reads list lines into the device table (find or insert) until the end of the
// file or until the table is full. Returns how many numbers were read,
// duplicates and 0 included.
int readListFile(std::FILE* in);
// The number of one list line (the text after "U:"), as "%x" reads it; false
// when there is none or it does not fit in 32 bits.
bool parseListUid(const char* text, uint32_t* uid);
