// Identify: asks one panel, or some of its buttons, to make itself known.
//
// Threads: the GUI thread; the acknowledgement is parsed under the cable lock.
#pragma once

#include <atomic>
#include <cstdint>

// Asks uid to make itself known for 15 s; mask's low byte picks buttons (0: the
// whole panel). 1 when it confirmed, -1 when five sends were not confirmed.
int app_identify_send(uint32_t uid, uint32_t mask);
// Sends frame until uid confirms it: 1, or -1 after five sends.
int app_identify_send_packet(uint8_t* frame, uint32_t uid);
// The acknowledgement's parse function: its source into identify_rec.
void app_identify_parse(uint8_t* frame);
// Tests: the answer record identify_rec.
std::atomic<uint32_t>& app_identify_rec();
