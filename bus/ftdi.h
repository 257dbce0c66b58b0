// The FTDI port: start-up listing, open by serial number with the DMX512 line
// settings, the break made by a baud switch, drained writes and bounded reads.
//
// Threads: called from the GUI thread and from workers, always under the cable
// lock (bus/cable.h), which serialises every use of this module's state.
#pragma once

#include <cstddef>
#include <cstdint>

// Prints "Library version = 0x..." and returns the version word; 0 (nothing
// printed) when the driver has no library to ask.
uint32_t printLibVersion();
// Prints the count and each cable's details; nothing when the bus cannot be listed.
void printDeviceList();
// Lists the cables' serial numbers into the module's list; returns how many, 0 when listing failed.
uint32_t readDevices();
// Puts the open port at 250000 baud, 8N2; nothing when none is open.
void setupFTParam();
// Opens the cable at index (clamped to 0..49) and sets its line. Returns the
// index; -1 when it would not open; 1 when the cables could not be listed, which
// looks like an index: callers use openDevice. A failure is printed once, until it changes.
int32_t openDeviceFTDI(int32_t index);
// openDeviceFTDI, then the open index; -1 when no port is open.
int32_t openDevice(int32_t index);
// Closes the open port, if any.
void closeDevice();
// The open port's index; -1 when none is open.
int32_t getOpenDevice();
// The serial number the open device was opened by (a tty's is its path); false
// when none is open.
bool getOpenSerial(char* text, size_t size);
// Why the last open failed, for the operator: the driver's reason and the
// status. False when the last open succeeded (or none was tried).
bool getOpenError(char* text, size_t size);
// The same in parts: the reason in words and the status apart.
bool getOpenFailure(char* reason, size_t size, int* status);
// Reads what has arrived, at most n bytes, into buffer (zeroed first). Returns
// the count; -1 when nothing waits or the read failed (a failed port is closed);
// -2 when no port is open.
int32_t getResponse(uint8_t* buffer, int32_t n);
// The break: one 0x00 at 15625 baud, drained, then 250000 again. A failed write
// closes the port.
void sendBreak();
// A break, then the n bytes, drained. Returns the bytes written; -1 when no port
// is open or the write failed (the port is then closed).
int32_t sendData(const uint8_t* buffer, int32_t n);
