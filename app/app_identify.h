// Identify: asks one panel, or some of its buttons, to make itself known.
//
// Threads: the GUI thread; the acknowledgement is parsed under the cable lock.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> identify_rec;

int app_identify_send(uint32_t uid, uint32_t mask);
int app_identify_send_packet(uint8_t* frame, uint32_t uid);
void app_identify_parse(uint8_t* frame);
