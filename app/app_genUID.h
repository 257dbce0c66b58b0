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

// A UID from the local time now; its description into text (GEN_UID_TEXT_SIZE) unless null.
uint32_t app_genNewUID(char* text);
// Asks the panel oldUid to take newUid (0: one made from the time). Returns 1
// when the panel confirmed under either UID, 0 when five sends were not
// confirmed (0, not -1: the only 1/0 request here).
int app_genUid(uint32_t oldUid, uint32_t newUid);
// The change acknowledgement's parse function: its source into uidAnswUID.
void app_genUid_parse(uint8_t* frame);

// The packing itself, for a given local time; text may be null.
uint32_t app_uidFromTime(const std::tm& local, char* text);
