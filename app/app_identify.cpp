#include "app/app_identify.h"

#include <cstdio>

#include "bus/cable.h"
#include "bus/diag.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"

// Threads: see app_identify.h; the exchange holds the cable lock throughout.

std::atomic<uint32_t> identify_rec{0};

namespace {
constexpr uint8_t SUB_IDENTIFY = 0x20;
}  // namespace

int app_identify_send_packet(uint8_t* frame, uint32_t uid) {
    CableHold hold;
    identify_rec = 0;
    return cable_sendAndConfirm(
        frame, 15, [] { mySleep(15); }, [uid] { return identify_rec == uid; });
}

int app_identify_send(uint32_t uid, uint32_t mask) {
    CableUse use;
    CableHold hold;
    cable_open();
    uint8_t frame[PKT_MAX_SIZE];
    packet_fillHeader(frame, uid);
    uint8_t* data = frame + PKT_DATA;
    data[0] = CMD_SERVICE;
    data[1] = SUB_IDENTIFY;
    data[3] = 0x98;  // 15000, low byte first
    data[4] = 0x3A;
    const uint8_t buttons = static_cast<uint8_t>(mask);
    if (buttons == 0) {
        data[2] = 0x02;
        frame[PKT_LEN] = 5;
    } else {
        data[2] = 0x03;
        data[5] = buttons;
        frame[PKT_LEN] = 6;
    }
    const int result = app_identify_send_packet(frame, uid);
    cable_free();
    return result;
}

void app_identify_parse(uint8_t* frame) {
    if (frame[PKT_LEN] < 3) return;
    diag_puts("app_identify_parse");
    if (frame[PKT_DATA] == CMD_SERVICE && frame[PKT_DATA + 1] == SUB_IDENTIFY) identify_rec = packet_source(frame);
}
