// UID generation: a new UID packed from the local date and time, and the change
// request that gives it to a panel.
//
// Threads: the GUI thread; the acknowledgement is parsed under the cable lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

extern std::atomic<uint32_t> uidAnswUID;

constexpr int GEN_UID_TEXT_SIZE = 64;  // the text is at most 54 characters

uint32_t app_genNewUID(char* text);
int app_genUid(uint32_t oldUid, uint32_t newUid);
void app_genUid_parse(uint8_t* frame);

// The packing itself, for a given local time; text may be null.
uint32_t app_uidFromTime(const std::tm& local, char* text);
