// Virtual panels served on a pseudo-terminal, in real time: the configurator
// opens the slave side as a serial tty (KORVANE_PORT=/dev/pts/N) and talks to the
// panels as through a cable.
//
// A pseudo-terminal carries no baud rate and no break: the 0x00 byte that made
// the break arrives as a plain byte. PtyFramer therefore takes a 0x00 byte
// directly before a sync pattern, or before a console frame's start code, as
// the break; a good frame found after a 0x00 byte inside a would-be console
// frame or a cut frame wins over it.
//
// Threads: a PtyServer is driven by one thread at a time (the one in serve() or
// step()); the only thing another thread may touch meanwhile is the stop flag
// handed to serve(). Its clock is the system's steady clock, never the virtual one.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "panels/arrivals.h"
#include "panels/panel_set.h"
#include "panels/virtual_panel.h"

class PtyFramer {
public:
    // Feeds bytes received at nowUs; returns each complete transmission found
    // (the bytes after the break: a frame, or a console frame with its start code).
    std::vector<std::vector<uint8_t>> feed(const uint8_t* bytes, size_t n, int64_t nowUs);
    // A partial transmission that has waited longer than this since its last
    // byte loses its break and the stream is searched again from there.
    std::vector<std::vector<uint8_t>> expire(int64_t nowUs, int64_t staleUs = 100000);
    size_t held() const { return buf_.size(); }

private:
    std::vector<std::vector<uint8_t>> parse();
    size_t innerFrame(size_t from, size_t to) const;

    std::vector<uint8_t> buf_;
    int64_t lastByteUs_ = 0;
};

class PtyServer {
public:
    PtyServer();
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pseudo-terminal; false with a reason when it cannot.
    bool open(std::string* error = nullptr);
    const std::string& slavePath() const { return path_; }

    VirtualPanel& addPanel(uint32_t uid);
    void addDemoPanels();
    void addRandomPanels(int count, uint32_t seed);
    void setAnswerDelayUs(int64_t us);  // for every panel now served
    std::vector<uint32_t> uids() const;
    VirtualPanel* panel(uint32_t uid);

    // One line per transmission heard, or none (null).
    void setLog(FILE* log) { log_ = log; }

    // Serves until stop becomes true; it is looked at every 20 ms at least.
    void serve(const std::atomic<bool>& stop);
    // One round: waits up to maxWaitUs for input or the next answer, then
    // handles what came and what is due.
    void step(int64_t maxWaitUs);

    size_t transmissionsHeard() const { return transmissions_; }
    const std::vector<uint8_t>& lastUniverse() const { return universe_; }

private:
    void hear(const std::vector<uint8_t>& t, int64_t now);
    void reports(int64_t now);
    void flushDue(int64_t now);

    int master_ = -1;
    int slave_ = -1;  // kept open so the master never sees the line hang up
    std::string path_;
    FILE* log_ = nullptr;

    PanelSet panels_;
    PtyFramer framer_;
    ArrivalQueue out_{44};
    std::vector<uint8_t> pendingWrite_;
    size_t transmissions_ = 0;
    int64_t lastInputUs_ = 0;
    std::vector<uint8_t> universe_;
};
