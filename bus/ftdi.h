// The FTDI port: start-up listing, open by serial number with the DMX512 line
// settings, the break made by a baud switch, drained writes and bounded reads.
//
// Threads: called from the GUI thread and from workers, always under the cable
// lock (bus/cable.h), which serialises every use of this module's state.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t printLibVersion();
void printDeviceList();
uint32_t readDevices();
void setupFTParam();
int32_t openDeviceFTDI(int32_t index);
int32_t openDevice(int32_t index);
void closeDevice();
int32_t getOpenDevice();
// The serial number the open device was opened by (a tty's is its path); false
// when none is open.
bool getOpenSerial(char* text, size_t size);
// Why the last open failed, for the operator: the driver's reason and the
// status. False when the last open succeeded (or none was tried).
bool getOpenError(char* text, size_t size);
int32_t getResponse(uint8_t* buffer, int32_t n);
void sendBreak();
int32_t sendData(const uint8_t* buffer, int32_t n);
