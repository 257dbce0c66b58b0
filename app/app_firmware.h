// Firmware update: reboot frames, then the image in 64-byte chunks, each frame
// sent five times, on a worker thread of its own.
//
// Threads: started from the GUI thread; the transfer thread owns its copy of the
// path and the image buffer; thrTrans and the progress pair are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

constexpr int FW_IMAGE_MAX = 131072;
constexpr int FW_CHUNK = 64;

// Chunks of the running transfer, the last short one included (the status line's).
extern std::atomic<int32_t> fwChunks;
constexpr int32_t TRANSFER_RUNNING = 0xFF;
// thrTrans: TRANSFER_RUNNING while a transfer runs, else 0.
int32_t firmware_thrTrans();

// Starts the transfer of path's image to uid on a worker of its own, unless
// one runs or path is empty; a thread that would not start is said in a message box.
void buttonSendAction(uint32_t uid, const char* path);
// The transfer worker's body: takes its argument over and returns nullptr.
void* read_send_file_struct(void* raw);
// A ".fw" image goes to makeSendFile; any other name is refused in a message
// box. Always 0: the outcome goes to the operator, not the caller.
int makeProgramDevice(const char* path, uint32_t uid);
// Reboots the panels and sends the image; a file that cannot be used is refused
// before anything is sent, and unsent chunks are reported. Always 0, as above.
int makeSendFile(const char* path, uint32_t uid);

// From the first reboot frame until the last chunk has gone: what stopping the
// upload now would leave ("The panels have been rebooted ... hold 57 of 512
// chunks ..."); empty at any other time. Any thread.
std::string firmware_stopLeaves();
// Called once per upload, between two frames on the uploading thread, when a
// cancel request (app/handover.h) has come: an upload does not stop on it, its
// caller says instead what stopping would leave. Null (the default): nothing.
void firmware_setCancelNote(void (*note)(const std::string& leaves));

// Tests: waits until a started transfer thread has ended.
void firmware_waitIdle();
