#include "app/app_discovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/handover.h"
#include "bus/cable.h"
#include "bus/diag.h"
#include "bus/packet_structures.h"
#include "bus/port/port.h"
#include "bus/timer.h"
#include "devices/devices.h"

// Threads: the discovery worker runs the search; app_discovery_parse runs on
// whichever thread polls the cable. Each compare step and each mute holds the
// cable lock, so no other thread can take its answer. The search state (dAddr*,
// dPass) is written by the worker alone; nothing else reads it today, and it is
// atomic so that a reader on another thread would need no lock.

std::atomic<int32_t> dPass{0};
std::atomic<int32_t> dFound{0};

namespace {

constexpr int SEARCH_STEPS = 36;
constexpr uint32_t SEARCH_MIDDLE = 0x80000000;  // the first compare's address
constexpr int TRIES = 5;                        // sends of a compare, and of the start
constexpr int START_GAP_MS = 10;                // after each start
constexpr int COMPARE_PAUSE_MS = 45;            // before each compare's send
constexpr int COMPARE_GAP = 44;                 // after it, in 100 µs: the frame's own time on the line
constexpr int ANSWER_MS = 15;                   // a compare's answer is any byte within this
constexpr int MUTE_POLLS = 15;
constexpr int MUTE_POLL_MS = 15;
constexpr int MUTE_FAILURES_TO_STOP = 3;
constexpr int SEARCH_AFTER_START_MS = 3;
constexpr int PASSES_PER_PANEL = 4;  // a run ends after this many passes a panel asked for

std::atomic<uint32_t> dAddrLo{0};
std::atomic<uint32_t> dAddrHi{UID_ALL};
std::atomic<uint32_t> dAddr{SEARCH_MIDDLE};
std::atomic<uint32_t> discovery_mute_rec{0};

thread_local DiscoveryOutcome outcome;

// Ends the run for a panel that breaks the search: the protocol's compare cannot
// reach past it.
void stopAt(DiscoveryEnd end, uint32_t uid) {
    outcome.end = end;
    outcome.uid = uid;
}

// The driver's reason as a sentence of the box.
std::string portReason(const char* reason) {
    std::string text = reason;
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

const char* portNextStep(const char* reason, int status) {
    if (status == PORT_DEVICE_NOT_FOUND)
        return "Plug the cable in, or set KORVANE_PORT to the port the panels are on (korvane --help lists "
               "the choices), then click Discovery again.";
    if (std::strstr(reason, "in use") || std::strstr(reason, "busy"))
        return "Close the other program that uses the port, then click Discovery again.";
    return "Mend what the line above says, then click Discovery again. The README's \"When something goes "
           "wrong\" goes through each case.";
}

void buildRequest(uint8_t* frame, uint32_t destination, uint8_t sub) {
    packet_fillHeader(frame, destination);
    frame[PKT_DATA] = CMD_DISCOVERY;
    frame[PKT_SUB] = sub;
    frame[PKT_LEN] = DISCOVERY_LEN;
}

}  // namespace

void discovery_search_setup() {
    dAddrLo = 0;
    dAddrHi = UID_ALL;
    dAddr = SEARCH_MIDDLE;
}

int discoveryCompareAddr(uint32_t addr) {
    CableHold hold;  // the answer byte is ours alone
    uint8_t frame[PKT_MAX_SIZE];
    buildRequest(frame, UID_ALL, SUB_COMPARE);
    packet_putU32(frame + PKT_DATA + DISCOVERY_LEN, addr);
    frame[PKT_LEN] = DISCOVERY_COMPARE_LEN;
    flushRxBuff();
    for (int i = 0; i < TRIES; ++i) {
        mySleep(COMPARE_PAUSE_MS);
        flushRxBuff();
        cable_sendPacket(frame);
        wait_us(COMPARE_GAP);
        if (waitForBreak(ANSWER_MS)) return 1;
    }
    return 0;
}

uint32_t discoverySearch() {
    uint32_t lo = 0;
    uint32_t hi = UID_ALL;
    uint32_t addr = 0;
    dAddrLo = lo;
    dAddrHi = hi;
    pStatusTop = SEARCH_STEPS - 1;
    for (int step = 1; step <= SEARCH_STEPS; ++step) {
        if (cancel_requested()) break;  // the caller sees the request and drops the result
        addr = static_cast<uint32_t>((static_cast<uint64_t>(lo) + hi) / 2);
        dAddr = addr;
        if (discoveryCompareAddr(addr)) {
            // Noise can answer even the top address; the bound must not wrap.
            if (addr != UID_ALL) lo = addr + 1;
        } else {
            hi = addr;
        }
        dAddrLo = lo;
        dAddrHi = hi;
        pStatusSt = step - 1;
    }
    return addr;
}

int app_discovery_send_mute_packet(uint8_t* frame, uint32_t uid) {
    CableHold hold;
    discovery_mute_rec = 0;
    return cable_sendAndConfirm(
        frame, MUTE_POLLS, [] { mySleep(MUTE_POLL_MS); }, [uid] { return discovery_mute_rec == uid; });
}

void app_discovery_parse(uint8_t* frame) {
    diag_puts("app_discovery_parse");
    if (frame[PKT_LEN] >= DISCOVERY_LEN && frame[PKT_SUB] == SUB_MUTE) discovery_mute_rec = packet_source(frame);
}

int app_discovery(uint32_t* found, int32_t limit) {
    outcome = DiscoveryOutcome{};
    dPass = 0;
    dFound = 0;
    CableSession session;
    if (session.port() < 0) {
        outcome.end = DiscoveryEnd::PortClosed;
        cable_openFailure(outcome.portError, sizeof outcome.portError, &outcome.portStatus);
        return 0;
    }
    uint8_t frame[PKT_MAX_SIZE];
    {
        CableHold hold;
        buildRequest(frame, UID_ALL, SUB_START);
        flushRxBuff();
        for (int i = 0; i < TRIES; ++i) {
            cable_sendPacket(frame);
            mySleep(START_GAP_MS);
        }
    }
    diag_puts("\ndiscovery:");
    mySleep(SEARCH_AFTER_START_MS);

    const int32_t passLimit = PASSES_PER_PANEL * limit;
    if (limit <= 0) return 0;
    int32_t count = 0;
    int32_t passes = 0;
    uint32_t failing = 0;  // the candidate whose mutes failed in the last passes
    int failures = 0;
    do {
        dPass = passes + 1;
        const uint32_t candidate = discoverySearch();
        if (cancel_requested()) {
            stopAt(DiscoveryEnd::Cancelled, 0);
            break;
        }
        // 80000000 and above are panels too (a compare at 7FFFFFFF was answered):
        // muted like any other, so that the search reaches the panels below them.
        if (candidate == 0 || candidate == UID_ALL) {
            diag_puts("No device.");
            break;
        }
        diag_printf("  found=%08X\n", candidate);
        // Muted panels take no part in the search: one found again is not staying muted,
        // and would be found again at every pass.
        if (std::find(found, found + count, candidate) != found + count) {
            stopAt(DiscoveryEnd::NotStayingMuted, candidate);
            break;
        }
        buildRequest(frame, candidate, SUB_MUTE);
        if (app_discovery_send_mute_packet(frame, candidate) == 1) {
            failures = 0;
            if (static_cast<int32_t>(candidate) < 0 && outcome.highCount++ < DISCOVERY_HIGH_NAMED)
                outcome.high[outcome.highCount - 1] = candidate;
            addDevUID(candidate);
            found[count++] = candidate;
            dFound = count;
            if (count >= limit) return count;
        } else {
            diag_puts("          not responding");
            failures = candidate == failing ? failures + 1 : 1;
            failing = candidate;
            // An unmuted candidate keeps winning the search: nothing below it can be reached.
            if (failures >= MUTE_FAILURES_TO_STOP) {
                stopAt(DiscoveryEnd::NoMuteConfirm, candidate);
                break;
            }
        }
        // Every pass counts, confirmed or not: noise that makes a new candidate at
        // every pass must not keep the run going without end either.
        ++passes;
    } while (passes < passLimit && count < limit);
    return count;
}

DiscoveryOutcome app_discovery_outcome() { return outcome; }

std::atomic<uint32_t>& app_discovery_rec() { return discovery_mute_rec; }

int app_discovery_report(int count, char* text, size_t size) {
    const DiscoveryOutcome o = outcome;
    if (o.end == DiscoveryEnd::PortClosed) {
        std::snprintf(text, size, "Discovery: the port could not be opened.\n%s\n%s", portReason(o.portError).c_str(),
                      portNextStep(o.portError, o.portStatus));
        return MSG_ERROR;
    }
    constexpr size_t LINE_MAX = 160;
    char line[LINE_MAX];
    std::snprintf(line, sizeof line, "%d devices found.", count);
    std::string report = line;
    // Each line names a panel and says what to do, or how the run ended.
    for (int i = 0; i < std::min(o.highCount, DISCOVERY_HIGH_NAMED); ++i) {
        std::snprintf(line, sizeof line,
                      "\nPanel %08X: a UID of 80000000 or above can hide the panels below it from a search; give it a "
                      "UID below 80000000.",
                      o.high[i]);
        report += line;
    }
    if (o.highCount > DISCOVERY_HIGH_NAMED) {
        std::snprintf(line, sizeof line,
                      "\n%d more panels have a UID of 80000000 or above: give them UIDs below 80000000.",
                      o.highCount - DISCOVERY_HIGH_NAMED);
        report += line;
    }
    if (o.end == DiscoveryEnd::NoMuteConfirm || o.end == DiscoveryEnd::NotStayingMuted) {
        std::snprintf(line, sizeof line, "\nPanel %08X %s: the search stopped there.", o.uid,
                      o.end == DiscoveryEnd::NoMuteConfirm ? "does not confirm its mute" : "does not stay muted");
        report += line;
    }
    if (o.end == DiscoveryEnd::Cancelled) report += "\n(cancelled)";
    std::snprintf(text, size, "%s", report.c_str());
    return MSG_INFO;
}
