#include "app/app_firmware.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/fileio.h"
#include "app/handover.h"
#include "app/worker.h"
#include "bus/cable.h"
#include "bus/diag.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"

// Threads: buttonSendAction runs on the GUI thread; the transfer runs on its own
// detached thread with its own copy of the path and its own image buffer. Each
// frame's five sends hold the cable lock, so nothing cuts into them, while other
// bus work can still run between chunks. thrTrans, the upload's progress for
// firmware_stopLeaves and the cancel note are atomics; doneMutex lets the tests
// wait for a transfer thread to end.

std::atomic<int32_t> fwChunks{0};

namespace {

std::atomic<int32_t> thrTrans{0};

struct TransferArg {
    std::string path;
    uint32_t uid;
};

// The upload's progress for firmware_stopLeaves: set by the uploading thread.
std::atomic<bool> unfinished{false};
std::atomic<int32_t> chunksSent{0};
std::atomic<void (*)(const std::string&)> cancelNote{nullptr};
thread_local bool noted = false;  // this upload has given its cancel note

// Between two frames: a cancel request gets the note once; the upload goes on.
void noteCancel() {
    void (*note)(const std::string&) = cancelNote.load();
    if (noted || !note || !cancel_requested()) return;
    noted = true;
    note(firmware_stopLeaves());
}

std::mutex doneMutex;
std::condition_variable& doneSignal = *new std::condition_variable;  // outlives a transfer still running at exit
int runningThreads = 0;

bool endsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

constexpr int SENDS = 5;            // of every frame
constexpr int REBOOT_GAP_MS = 100;  // after each reboot frame
constexpr int REBOOTING_MS = 1000;  // for the panels to come up in their loader
constexpr int CHUNK_GAP_MS = 5;     // after each chunk frame
constexpr int SETTLE_MS = 1000;     // at the end, before the buttons come back, and after

// Returns how many of the five sends reached the cable.
int sendFiveTimes(uint8_t* frame, int32_t pause) {
    CableHold hold;
    int sent = 0;
    for (int i = 0; i < SENDS; ++i) {
        if (cable_sendDmxPacket(frame) == DMX_FRAME_SIZE) ++sent;
        mySleep(pause);
    }
    return sent;
}

void refuse(const char* path, const char* why) {
    std::string text = "Firmware file ";
    text += path;
    text += ": ";
    text += why;
    text += ". Nothing was sent.";
    messageError(text.c_str());
}

}  // namespace

int makeSendFile(const char* path, uint32_t uid) {
    // Zeroed each time: the last chunk's bytes past the image are always 0x00.
    std::vector<uint8_t> image(FW_IMAGE_MAX + FW_CHUNK, 0);
    errno = 0;
    const int size = read_file(path, image.data(), FW_IMAGE_MAX);
    // A panel must never be rebooted without an image to receive.
    if (size == FILEIO_CANNOT_OPEN) {
        refuse(path, std::strerror(errno ? errno : ENOENT));
        return 0;
    }
    if (size == FILEIO_TOO_LARGE) {
        refuse(path, ("larger than " + std::to_string(FW_IMAGE_MAX) + " bytes").c_str());
        return 0;
    }
    if (size == FILEIO_READ_ERROR) {
        refuse(path, "cannot be read");
        return 0;
    }
    if (size == 0) {
        refuse(path, "empty");
        return 0;
    }

    diag_printf("\nData size: %d\n", size);
    pStatusSt = 0;
    pStatusTop = size / FW_CHUNK;
    fwChunks = (size + FW_CHUNK - 1) / FW_CHUNK;
    const CableSession session;

    uint8_t frame[DMX_FRAME_SIZE] = {};
    packet_fillDmxHeader(frame, KIND_REBOOT, DMX_TARGET_ALL);
    chunksSent = 0;
    unfinished = true;
    noted = false;
    for (int i = 0; i < SENDS; ++i) {
        diag_printf("Send reboot %x\n", uid);
        diag_flush();
        {
            CableHold hold;
            cable_sendDmxPacket(frame);
        }
        noteCancel();
        mySleep(REBOOT_GAP_MS);
    }
    mySleep(REBOOTING_MS);

    int chunks = 0;
    int lost = 0;  // chunks none of whose sends reached the cable
    packet_fillDmxHeader(frame, KIND_FW_CHUNK, DMX_TARGET_ALL);
    for (int k = 0; FW_CHUNK * k < size; ++k) {
        packet_putU16(frame + DMX_CHUNK, static_cast<uint16_t>(k));
        std::memcpy(frame + DMX_BODY, image.data() + static_cast<size_t>(FW_CHUNK) * k, FW_CHUNK);
        diag_printf("Send fw %d/%d\n", k, size / FW_CHUNK);
        noteCancel();
        if (sendFiveTimes(frame, CHUNK_GAP_MS) == 0) ++lost;
        pStatusSt = k + 1;
        chunksSent = k + 1;
        chunks = k + 1;
    }
    unfinished = false;
    // The panels reboot either way; a chunk that never left must not pass for a done upload.
    if (lost > 0) {
        diag_printf("Send FAILED. %d/%d chunks not sent\n", lost, chunks);
        diag_flush();
        constexpr size_t TEXT_MAX = 160;
        char text[TEXT_MAX];
        std::snprintf(text, sizeof text,
                      "Firmware update failed: %d of %d chunks could not be sent. Send the image again.", lost, chunks);
        messageError(text);
    } else {
        diag_printf("Send DONE. %d/%d\n", FW_CHUNK * chunks, size);
        diag_flush();
        char text[64];
        std::snprintf(text, sizeof text, "Firmware: %d chunks sent", chunks);
        status_setEnd(text);
    }
    return 0;
}

int makeProgramDevice(const char* path, uint32_t uid) {
    const std::string name = path;
    if (endsWith(name, ".fw")) return makeSendFile(path, uid);
    if (endsWith(name, ".pkg"))
        messageError("Package file not implemented.");
    else
        messageError("Unsupported file extension.");
    return 0;
}

void* read_send_file_struct(void* raw) {
    TransferArg* arg = static_cast<TransferArg*>(raw);
    flushRxBuff();
    makeProgramDevice(arg->path.c_str(), arg->uid);
    delete arg;
    mySleep(SETTLE_MS);
    thrTrans = 0;
    remLock(LOCK_FIRMWARE);
    mySleep(SETTLE_MS);
    std::lock_guard<std::mutex> lock(doneMutex);
    --runningThreads;
    doneSignal.notify_all();  // under the lock: a waiter may go on to destroy everything
    return nullptr;
}

void buttonSendAction(uint32_t uid, const char* path) {
    if (path == nullptr || path[0] == '\0' || thrTrans == TRANSFER_RUNNING) return;
    // The transfer keeps its own copy of the path: the chooser's may change meanwhile.
    TransferArg* arg = new TransferArg{path, uid};
    thrTrans = TRANSFER_RUNNING;
    setLock(LOCK_FIRMWARE);
    {
        std::lock_guard<std::mutex> lock(doneMutex);
        ++runningThreads;
    }
    const int err = worker_startDetached(read_send_file_struct, arg);
    if (err != 0) {
        delete arg;
        {
            std::lock_guard<std::mutex> lock(doneMutex);
            --runningThreads;
        }
        thrTrans = 0;
        remLock(LOCK_FIRMWARE);
        std::string text = "Firmware update could not start: ";
        text += std::strerror(err);
        messageError(text.c_str());
    }
}

std::string firmware_stopLeaves() {
    if (!unfinished) return "";
    constexpr size_t TEXT_MAX = 200;
    char text[TEXT_MAX];
    std::snprintf(text, sizeof text,
                  "The panels have been rebooted to take the new firmware and hold %d of %d chunks: stopping the "
                  "upload now leaves them without firmware until the image is sent again.",
                  chunksSent.load(), fwChunks.load());
    return text;
}

int32_t firmware_thrTrans() { return thrTrans.load(); }

void firmware_setCancelNote(void (*note)(const std::string&)) { cancelNote = note; }

void firmware_waitIdle() {
    std::unique_lock<std::mutex> lock(doneMutex);
    doneSignal.wait(lock, [] { return runningThreads == 0; });
}
