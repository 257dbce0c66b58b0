#include "app/app_identify.h"

#include <cstdio>

#include "bus/cable.h"
#include "bus/diag.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"

// Threads: see app_identify.h; the exchange holds the cable lock throughout.

namespace {

std::atomic<uint32_t> identify_rec{0};

constexpr int POLLS = 15;
constexpr int POLL_MS = 15;

}  // namespace

int app_identify_send_packet(uint8_t* frame, uint32_t uid) {
    CableHold hold;
    identify_rec = 0;
    return cable_sendAndConfirm(
        frame, POLLS, [] { mySleep(POLL_MS); }, [uid] { return identify_rec == uid; });
}

int app_identify_send(uint32_t uid, uint32_t mask) {
    const CableSession session(CableSession::Held);
    uint8_t frame[PKT_MAX_SIZE];
    packet_fillHeader(frame, uid);
    uint8_t* data = frame + PKT_DATA;
    data[0] = CMD_SERVICE;
    data[1] = SUB_IDENTIFY;
    packet_putU16(data + IDENTIFY_TIME, IDENTIFY_MS);
    const uint8_t buttons = static_cast<uint8_t>(mask);
    if (buttons == 0) {
        data[2] = IDENTIFY_COUNT_PANEL;
        frame[PKT_LEN] = IDENTIFY_MASK;
    } else {
        data[2] = IDENTIFY_COUNT_BUTTONS;
        data[IDENTIFY_MASK] = buttons;
        frame[PKT_LEN] = IDENTIFY_MASK + 1;
    }
    return app_identify_send_packet(frame, uid);
}

void app_identify_parse(uint8_t* frame) {
    if (frame[PKT_LEN] < 3) return;
    diag_puts("app_identify_parse");
    if (frame[PKT_DATA] == CMD_SERVICE && frame[PKT_SUB] == SUB_IDENTIFY) identify_rec = packet_source(frame);
}

std::atomic<uint32_t>& app_identify_rec() { return identify_rec; }
