// Firmware update: reboot frames, then the image in 64-byte chunks, each frame
// sent five times, on a worker thread of its own.
//
// Threads: started from the GUI thread; the transfer thread owns its copy of the
// path and the image buffer; thrTrans and the progress pair are atomics.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int FW_IMAGE_MAX = 131072;
constexpr int FW_CHUNK = 64;

extern std::atomic<int32_t> thrTrans;  // 0xFF while a transfer runs
extern std::atomic<int32_t> fwChunks;  // chunks of the running transfer, the last short one included

void buttonSendAction(uint32_t uid, const char* path);
void* read_send_file_struct(void* arg);
int makeProgramDevice(const char* path, uint32_t uid);
int makeSendFile(const char* path, uint32_t uid);

// Tests: waits until a started transfer thread has ended.
void firmware_waitIdle();
