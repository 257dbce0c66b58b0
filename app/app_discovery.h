// Discovery: binary search over the UID space, one panel muted per pass.
//
// Threads: runs on the discovery worker; the mute answer may be parsed on any
// thread that polls the cable, so the result goes through discovery_mute_rec.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The pass running, counted from 1; 0 before the first.
extern std::atomic<int32_t> dPass;
// Panels found and muted so far in the run (progress for the caller).
extern std::atomic<int32_t> dFound;

// Finds and mutes up to limit panels, their UIDs into found (room for limit)
// and the device table. Returns how many; 0 also when the port would not open
// (app_discovery_outcome says how it ended). Stops early, between two compare
// steps or before a mute, when the cancel request is raised; a mute under way
// is finished first.
int app_discovery(uint32_t* found, int32_t limit);

// How the last run on this thread ended, beside "nobody left" or the limit.
enum class DiscoveryEnd {
    Done,
    PortClosed,       // the port could not be opened: nothing was sent
    NoMuteConfirm,    // the same candidate failed its mute three passes in a row
    NotStayingMuted,  // a panel found and muted in this run was found again
    Cancelled,        // the cancel request (app/handover.h) stopped it between exchanges
};
constexpr int DISCOVERY_HIGH_NAMED = 4;
struct DiscoveryOutcome {
    DiscoveryEnd end = DiscoveryEnd::Done;
    uint32_t uid = 0;          // the panel that ended the run
    char portError[256] = {};  // with PortClosed: why, in words
    int portStatus = 0;        // and the driver's status
    // Panels found at 80000000 or above, the first few of them by UID: found
    // and muted like any other, but a search that takes such a result for
    // "nobody" misses every panel below them.
    int highCount = 0;
    uint32_t high[DISCOVERY_HIGH_NAMED] = {};
};
// How the last app_discovery on this thread ended.
DiscoveryOutcome app_discovery_outcome();
// The closing box of a run that found `count` panels, the outcome's lines
// included (a panel at 80000000 or above, how the run ended); MSG_ERROR when
// the port could not be opened (with why and what to do next), else MSG_INFO.
int app_discovery_report(int count, char* text, size_t size);
// One pass of 36 compare steps: the UID it closed in on; 0 means no panel, and
// so does 0xFFFFFFFF (the address of every panel, which line noise answering
// every compare also gives). A cancel request ends it early.
uint32_t discoverySearch();
// 1 when the compare against addr was answered (a byte within 15 ms, of five tries); else 0.
int discoveryCompareAddr(uint32_t addr);
// Sends the mute in frame: 1 when uid confirmed it, -1 when five sends were not.
int app_discovery_send_mute_packet(uint8_t* frame, uint32_t uid);
// The mute answer's parse function: its source into discovery_mute_rec.
void app_discovery_parse(uint8_t* frame);
// Tests: the answer record discovery_mute_rec.
std::atomic<uint32_t>& app_discovery_rec();

// ---- Kept, though nothing in this program calls them -------------------------
// This module's documented interface: kept whole and correct for what
// is built on the module later; nothing in the program depends on them.

// The search bounds back to the whole UID space (each search sets its own).
void discovery_search_setup();
