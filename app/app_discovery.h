// Discovery: binary search over the UID space, one panel muted per pass.
//
// Threads: runs on the discovery worker; the mute answer may be parsed on any
// thread that polls the cable, so the result goes through discovery_mute_rec.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> dAddrLo;
extern std::atomic<uint32_t> dAddrHi;
extern std::atomic<uint32_t> dAddr;
extern std::atomic<uint32_t> discovery_mute_rec;

int app_discovery(uint32_t* found, int32_t limit);
uint32_t discoverySearch();
int discoveryCompareAddr(uint32_t addr);
int app_discovery_send_mute_packet(uint8_t* frame, uint32_t uid);
void discovery_search_setup();
void app_discovery_parse(uint8_t* frame);
