#include "app/app_discovery.h"

#include <cstdio>

#include "bus/cable.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"
#include "devices/devices.h"
#include "gui/handover.h"

// Threads: the discovery worker runs the search; app_discovery_parse runs on
// whichever thread polls the cable. Each compare step and each mute holds the
// cable lock, so no other thread can take its answer; the search state is atomic
// because the window may read it.

std::atomic<uint32_t> dAddrLo{0};
std::atomic<uint32_t> dAddrHi{0xFFFFFFFF};
std::atomic<uint32_t> dAddr{0x80000000};
std::atomic<uint32_t> discovery_mute_rec{0};

namespace {

constexpr uint8_t CMD_DISCOVERY = 0x02;
constexpr uint8_t SUB_MUTE = 0x00;
constexpr uint8_t SUB_START = 0x01;
constexpr uint8_t SUB_COMPARE = 0x02;
constexpr int SEARCH_STEPS = 36;
constexpr int TRIES = 5;

void buildRequest(uint8_t* frame, uint32_t destination, uint8_t sub) {
    packet_fillHeader(frame, destination);
    frame[PKT_DATA] = CMD_DISCOVERY;
    frame[PKT_DATA + 1] = sub;
    frame[PKT_LEN] = 2;
}

}  // namespace

void discovery_search_setup() {
    dAddrLo = 0;
    dAddrHi = 0xFFFFFFFF;
    dAddr = 0x80000000;
}

int discoveryCompareAddr(uint32_t addr) {
    CableHold hold;  // the answer byte is ours alone
    uint8_t frame[PKT_MAX_SIZE];
    buildRequest(frame, UID_ALL, SUB_COMPARE);
    packet_putU32(frame + PKT_DATA + 2, addr);
    frame[PKT_LEN] = 6;
    flushRxBuff();
    for (int i = 0; i < TRIES; ++i) {
        mySleep(45);
        flushRxBuff();
        cable_sendPacket(frame);
        wait_us(44);
        if (waitForBreak(15)) return 1;
    }
    return 0;
}

uint32_t discoverySearch() {
    uint32_t lo = 0;
    uint32_t hi = 0xFFFFFFFF;
    uint32_t addr = 0;
    dAddrLo = lo;
    dAddrHi = hi;
    pStatusTop = 35;
    for (int step = 1; step <= SEARCH_STEPS; ++step) {
        addr = static_cast<uint32_t>((static_cast<uint64_t>(lo) + hi) / 2);
        dAddr = addr;
        if (discoveryCompareAddr(addr)) {
            // Noise can answer even the top address; the bound must not wrap.
            if (addr != 0xFFFFFFFF) lo = addr + 1;
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
    return cable_sendAndConfirm(frame, 15, [] { mySleep(15); }, [uid] { return discovery_mute_rec == uid; });
}

void app_discovery_parse(uint8_t* frame) {
    std::puts("app_discovery_parse");
    if (frame[PKT_LEN] >= 2 && frame[PKT_DATA + 1] == SUB_MUTE) discovery_mute_rec = packet_source(frame);
}

int app_discovery(uint32_t* found, int32_t limit) {
    uint8_t frame[PKT_MAX_SIZE];
    {
        CableHold hold;
        if (cable_open() < 0) return 0;
        buildRequest(frame, UID_ALL, SUB_START);
        flushRxBuff();
        for (int i = 0; i < 5; ++i) {
            cable_sendPacket(frame);
            mySleep(10);
        }
    }
    std::puts("\ndiscovery:");
    mySleep(3);

    const int32_t passLimit = 4 * limit;
    if (limit <= 0) {
        cable_free();
        return 0;
    }
    int32_t count = 0;
    int32_t passes = 0;
    do {
        const uint32_t candidate = discoverySearch();
        if (static_cast<int32_t>(candidate) <= 0) {
            std::puts("No device.");
            break;
        }
        std::printf("  found=%08X\n", candidate);
        buildRequest(frame, candidate, SUB_MUTE);
        if (app_discovery_send_mute_packet(frame, candidate) == 1) {
            addDevUID(candidate);
            found[count++] = candidate;
            if (count >= limit) {
                cable_free();
                return count;
            }
        } else {
            std::puts("          not responding");
        }
        // Every pass counts, confirmed or not: a panel that answers compares but
        // never confirms its mute must not keep the run going without end.
        ++passes;
    } while (passes < passLimit && count < limit);
    cable_free();
    return count;
}
