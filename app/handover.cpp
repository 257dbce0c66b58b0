#include "app/handover.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "bus/diag.h"

// Threads: see handover.h. slotMutex guards everything below but the atomics.

std::atomic<int32_t> pStatusTop{100};
std::atomic<int32_t> pStatusSt{0};

namespace {

std::atomic<uint32_t> lockComponents{0};
std::atomic<bool> cancelRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "raised from a signal handler");

struct Message {
    int type;
    std::string text;
};

std::mutex slotMutex;
// Never destroyed: a worker may still post while the process exits.
std::condition_variable& slotEmptied = *new std::condition_variable;
int msgType = MSG_NONE;
std::string& message = *new std::string;
bool showing = false;                                        // the window has taken the message and shows it
std::deque<Message>& guiBacklog = *new std::deque<Message>;  // GUI-thread posts made while a box is open

std::mutex statusMutex;  // the status line's state below, taken alone
struct Count {
    int32_t done = 0, total = 0;
};
Count reading, sending;  // "Reading K of N", "Sending K of N"; 0 of 0 outside
std::string& endLine = *new std::string;

std::thread::id guiThread;
bool haveGuiThread = false;
MessageShower shower = nullptr;

bool onGuiThread() { return haveGuiThread && std::this_thread::get_id() == guiThread; }

void echo(int type, const char* text) {
    if (type > 0) {
        diag_printf("INFO: %s\n", text);
        diag_flush();
    } else {
        diag_errPrintf("ERROR: %s\n", text);
    }
}

void post(int type, const char* text) {
    std::unique_lock<std::mutex> lock(slotMutex);
    if (onGuiThread()) {
        // The GUI thread is the one that empties the slot: it must never wait for it.
        if (showing || !guiBacklog.empty()) {
            guiBacklog.push_back({type, text});  // shown after the open box, in order
        } else {
            if (msgType != MSG_NONE && shower) {
                // Show what a worker left first, so the order holds.
                const Message pending{msgType, message};
                showing = true;
                lock.unlock();
                shower(pending.type, pending.text.c_str());
                lock.lock();
                showing = false;
                msgType = MSG_NONE;
            }
            if (msgType == MSG_NONE) {
                message = text;
                msgType = type;
            } else {
                guiBacklog.push_back({type, text});
            }
        }
        slotEmptied.notify_all();
    } else {
        slotEmptied.wait(lock, [] { return msgType == MSG_NONE && guiBacklog.empty(); });
        message = text;  // text before kind
        msgType = type;
    }
    echo(type, text);
}

}  // namespace

uint32_t setLock(uint32_t bits) { return lockComponents.fetch_or(bits) | bits; }

void remLock(uint32_t bits) { lockComponents.fetch_and(~bits); }

uint32_t getLockComponents() { return lockComponents.load(); }

void messageInfo(const char* text) { post(MSG_INFO, text); }

void messageError(const char* text) { post(MSG_ERROR, text); }

void message_setGuiThread(MessageShower s) {
    std::lock_guard<std::mutex> lock(slotMutex);
    guiThread = std::this_thread::get_id();
    haveGuiThread = true;
    shower = s;
}

bool message_take(int* type, std::string* text) {
    std::lock_guard<std::mutex> lock(slotMutex);
    if (msgType == MSG_NONE || showing) return false;
    showing = true;
    *type = msgType;
    *text = message;
    return true;
}

void message_done() {
    std::lock_guard<std::mutex> lock(slotMutex);
    showing = false;
    msgType = MSG_NONE;
    message.clear();
    if (!guiBacklog.empty()) {
        message = guiBacklog.front().text;
        msgType = guiBacklog.front().type;
        guiBacklog.pop_front();
    }
    slotEmptied.notify_all();
}

int message_pendingType() {
    std::lock_guard<std::mutex> lock(slotMutex);
    return msgType;
}

// Raised from a signal handler in korvane-cli: it must never take a lock.
static_assert(std::atomic<bool>::is_always_lock_free, "the cancel request must be lock-free");

void cancel_request() { cancelRequested.store(true); }

void cancel_clear() { cancelRequested.store(false); }

bool cancel_requested() { return cancelRequested.load(); }

namespace {

void setCount(Count& count, int32_t done, int32_t total) {
    std::lock_guard<std::mutex> lock(statusMutex);
    count = {done, total};
}

bool getCount(const Count& count, int32_t* done, int32_t* total) {
    std::lock_guard<std::mutex> lock(statusMutex);
    *done = count.done;
    *total = count.total;
    return count.total > 0;
}

}  // namespace

void status_setReading(int32_t done, int32_t total) { setCount(reading, done, total); }

bool status_reading(int32_t* done, int32_t* total) { return getCount(reading, done, total); }

void status_setSending(int32_t done, int32_t total) { setCount(sending, done, total); }

bool status_sending(int32_t* done, int32_t* total) { return getCount(sending, done, total); }

void status_setEnd(const std::string& text) {
    std::lock_guard<std::mutex> lock(statusMutex);
    endLine = text;
}

std::string status_end() {
    std::lock_guard<std::mutex> lock(statusMutex);
    return endLine;
}

void handover_reset() {
    cancel_clear();
    status_setReading(0, 0);
    status_setSending(0, 0);
    status_setEnd("");
    std::lock_guard<std::mutex> lock(slotMutex);
    msgType = MSG_NONE;
    message.clear();
    showing = false;
    guiBacklog.clear();
    haveGuiThread = false;
    shower = nullptr;
    lockComponents = 0;
    pStatusTop = 100;
    pStatusSt = 0;
    slotEmptied.notify_all();
}
