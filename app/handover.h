// What worker threads leave for the window: the progress pair, the one-message
// slot and the lock bits; and the cancel request that goes the other way. No
// display is needed here, so it is tested without one.
//
// Threads: written by workers and the GUI thread, read by the status tick.
// The progress pair and the lock bits are atomics (setLock/remLock are atomic
// read-modify-writes, so two workers never undo each other's bit). The message
// slot is guarded by slotMutex; a worker that posts while a message is pending
// sleeps on a condition variable until the window empties the slot. A post from
// the GUI thread never waits for the GUI thread: see messageInfo. The cancel
// request is one lock-free atomic. The status line's state (a worker's setup
// reads or sends, the end line) is guarded by a mutex of its own, taken alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

extern std::atomic<int32_t> pStatusTop;  // steps of the running job
extern std::atomic<int32_t> pStatusSt;   // steps done

constexpr uint32_t LOCK_FIRMWARE = 1;
constexpr uint32_t LOCK_DISCOVERY = 2;

uint32_t setLock(uint32_t bits);  // returns the new set
void remLock(uint32_t bits);      // clears them; the others stay
uint32_t getLockComponents();     // the bits set now

constexpr int MSG_NONE = 0;
constexpr int MSG_INFO = 1;
constexpr int MSG_ERROR = -1;

// Posts a message for the operator from any thread and echoes it ("INFO: %s" on
// standard output, "ERROR: %s" on standard error). A worker waits while the slot
// is full. On the GUI thread a pending message is shown first, through the shower
// the window installs, so that nothing is lost, the order holds and nothing waits.
void messageInfo(const char* text);
void messageError(const char* text);

// The window's side.
using MessageShower = void (*)(int type, const char* text);
void message_setGuiThread(MessageShower shower);  // call on the GUI thread
// Takes the pending message for showing: true with its kind and text; the slot
// stays full until message_done, so posters keep waiting meanwhile.
bool message_take(int* type, std::string* text);
void message_done();        // the box was closed: the slot is empty again
int message_pendingType();  // msgType: 0, 1 or -1

// A request to stop long bus work at its next boundary between exchanges: a
// discovery between compare steps and passes, whole-site work between panels.
// No exchange is cut short. Whoever starts the work clears it first. Raising it
// only stores to a lock-free atomic, so a signal handler may do it.
void cancel_request();
void cancel_clear();
bool cancel_requested();

// What the window's status line shows besides the progress bar. A worker
// reading setups publishes K of N (0 of 0 outside that phase); an operation
// that ends without a box leaves one line saying how it ended. Any thread.
void status_setReading(int32_t done, int32_t total);
bool status_reading(int32_t* done, int32_t* total);  // false outside a read phase
// The same for a setup sent to several panels: "Sending K of N".
void status_setSending(int32_t done, int32_t total);
bool status_sending(int32_t* done, int32_t* total);
void status_setEnd(const std::string& text);
std::string status_end();

void handover_reset();  // tests: empty slot, no locks, progress 0 of 100, no cancel, no status
