// Cable transactions: open on demand, framed sends with their check values,
// feeding the receive assembler, and the small waits of the protocol.
//
// Threads: the GUI thread (status tick, handlers, DMX console) and the worker
// threads. One recursive lock, the cable lock, serialises everything here and
// below (ftdi, the driver, the receive assembler and so the parse functions):
//  - every function below takes it for its own duration;
//  - a bus operation holds it (CableHold) across each exchange, never across a
//    whole operation: a send and the polls of its answer, or a whole discovery
//    compare step, so that no other thread reads its answer bytes, closes the
//    port under it or interleaves a transmission, while between two exchanges
//    another operation's exchange may run;
//  - it is handed on in the order it was asked for, so a GUI-thread exchange
//    waits for at most the one exchange in progress;
//  - the status tick never waits for it: cable_poll skips the tick's read when an
//    exchange holds or awaits the lock, and polls (so unsolicited frames reach
//    the device table) whenever none does.
// An operation runs as a CableSession: it opens the port at its start and frees
// it at its end, which closes the port only once no other operation is running
// (else the last one to end closes it) and no CableKeep holds it.
// Lock order: cable lock, then the device table's lock; never the other way.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int RESP_BUFF_SIZE = 1256;
constexpr int RESP_TEXT_MAX = 255;

// Opens the port unless it is open. Returns its index; -1 when it would not open.
int32_t cable_open();
// Closes the port, or leaves that to the last running operation's end
// (CableSession), or to the end of the CableKeep that holds it.
void cable_free();
// Feeds one read to the assembler. Returns the bytes fed, or getResponse's -1 / -2.
int32_t cable_response();
// Opens if needed, drops a half-collected frame, fills the checksum and sends
// (break first). Returns sendData's result: the bytes sent, or -1.
int32_t cable_sendPacket(uint8_t* frame);
// The same for a DMX frame, its CRC filled; DMX_FRAME_SIZE bytes, or -1.
int32_t cable_sendDmxPacket(uint8_t* frame);
// 1 as soon as a byte arrives (it is consumed); 0 after ms milliseconds.
int32_t waitForBreak(int32_t ms);
// Reads and drops whatever has arrived.
void flushRxBuff();
// Empties the collected text (every send does).
void clearRespBuff();

// The index cable_open last gave; -1 when closed.
int32_t cable_device();
// Why the port could not be opened at the last try (getOpenError); false when it was.
bool cable_openError(char* text, size_t size);
// The same in parts (getOpenFailure).
bool cable_openFailure(char* reason, size_t size, int* status);

void cable_lock();
void cable_unlock();
bool cable_tryLock();  // false at once when another thread holds it

// Holds the cable lock for one exchange.
class CableHold {
public:
    CableHold() { cable_lock(); }
    ~CableHold() { cable_unlock(); }
    CableHold(const CableHold&) = delete;
    CableHold& operator=(const CableHold&) = delete;
};

// Tests: how many threads wait for the cable lock.
int cable_lockWaiters();

// Marks one bus operation from its start to its end (see above).
void cable_beginUse();
void cable_endUse();

// One bus operation's use of the port: opens it on construction (port() is
// cable_open's result) and frees it on destruction (cable_free, see above),
// unless keepOpen() was called: then the port stays open after the operation.
// An operation of one exchange holds the cable lock throughout (Held): the open
// and the exchange then cost one wait for the lock, not two.
class CableSession {
public:
    enum Span { PerExchange, Held };
    explicit CableSession(Span span = PerExchange) : held_(span == Held) {
        cable_beginUse();
        if (held_) cable_lock();
        port_ = cable_open();
    }
    ~CableSession() {
        if (!keepOpen_) cable_free();
        if (held_) cable_unlock();
        cable_endUse();
    }
    CableSession(const CableSession&) = delete;
    CableSession& operator=(const CableSession&) = delete;

    int32_t port() const { return port_; }
    void keepOpen() { keepOpen_ = true; }

private:
    const bool held_;
    int32_t port_ = -1;
    bool keepOpen_ = false;
};

// Holds the port open across several operations: while it lives, no session's
// end closes the port; its own end closes it (korvane-cli holds it for a whole
// command, so that no other program takes it between two operations).
void cable_beginKeep();
void cable_endKeep();
class CableKeep {
public:
    CableKeep() { cable_beginKeep(); }
    ~CableKeep() {
        cable_endKeep();
        cable_free();
    }
    CableKeep(const CableKeep&) = delete;
    CableKeep& operator=(const CableKeep&) = delete;
};

// Send and confirm, the shape of every confirmed request: up to 5 sends, each
// followed by up to `polls` polls, each a pause then cable_response, until
// answered() holds. The cable stays held throughout. Returns 1, or -1 when no
// send was answered.
constexpr int CABLE_SENDS = 5;
template <class Answered>
int32_t cable_sendAndConfirm(uint8_t* frame, int polls, void (*pause)(), Answered answered) {
    CableHold hold;
    for (int send = 0; send < CABLE_SENDS; ++send) {
        cable_sendPacket(frame);
        for (int poll = 0; poll < polls; ++poll) {
            pause();
            cable_response();
            if (answered()) return 1;
        }
    }
    return -1;
}

// The status tick's cable step: opens the port if needed and feeds one read to
// the assembler. Returns the negative result of cable_open, the result of
// cable_response, or CABLE_BUSY without waiting when an operation holds the cable.
constexpr int32_t CABLE_BUSY = -100;
int32_t cable_poll();

// The port as the status line shows it, without waiting: CABLE_BUSY while an
// operation holds the cable; else 1 with the open port's serial number (a tty's
// path) in text, -1 with why the last open failed, 0 when it is just closed.
int32_t cable_portState(char* text, size_t size);

// A raw transmission (the DMX console's frames) that never cuts into an exchange:
// sent only when no operation holds the cable, CABLE_BUSY otherwise.
int32_t cable_trySendRaw(const uint8_t* data, int32_t n);

// ---- Kept, though nothing in this program calls them -------------------------
// This module's documented interface: kept whole and correct for what
// is built on the module later; nothing in the program depends on them.
// The raw and text-pattern exchanges take the cable lock like the rest.

// Polls up to `passes` times, 1 ms apart, for pattern in the collected text
// (emptied first when clear != 0): 1 when found, else 0.
int32_t waitForResponse_clr(const char* pattern, int32_t passes, int32_t clear);
// Adds one read to the collected text (at most RESP_TEXT_MAX characters): 1
// when it now holds pattern, else 0.
int32_t checkResponse(const char* pattern);
// Raw send and read (sendData, getResponse) under the cable lock, with their results.
int32_t devSend(const uint8_t* data, int32_t n);
int32_t devRead(uint8_t* buffer, int32_t n);
