// UID generation: a new UID packed from the local date and time, the change
// request that gives it to a panel, and the search for a UID no panel has.
//
// Threads: the GUI thread (korvane-cli: its one thread); the answers are parsed
// under the cable lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

constexpr int GEN_UID_TEXT_SIZE = 64;  // the text is at most 54 characters
// The highest UID discovery finds (it reads a search result as signed): the
// highest a panel may be given.
constexpr uint32_t UID_NEW_MAX = 0x7FFFFFFF;
// UIDs of the clock that a UID search tries, one a two-second step.
constexpr int UID_CLOCK_TRIES = 5;

// A UID from the local time now; its description into text (GEN_UID_TEXT_SIZE) unless null.
uint32_t app_genNewUID(char* text);
// Asks the panel oldUid to take newUid (0: one made from the time). Returns 1
// when the panel confirmed under either UID, 0 when five sends were not
// confirmed (0, not -1: the only 1/0 request here).
int app_genUid(uint32_t oldUid, uint32_t newUid);
// The change acknowledgement's parse function: its source into uidAnswUID.
void app_genUid_parse(uint8_t* frame);
// Tests: the answer record uidAnswUID.
std::atomic<uint32_t>& app_genUid_rec();

// 1 when some panel answers to uid, -1 when none does: the read-setup request,
// which every panel answers and which changes nothing.
int app_uidAnswers(uint32_t uid);
// A UID no panel answers to: `wanted`, or with 0 one from the clock, and while
// a panel answers to it the clock's next two-second step, UID_CLOCK_TRIES UIDs
// at most. 0 when a panel answers to each; `tried` is the last one asked.
uint32_t app_freeUid(uint32_t wanted, uint32_t* tried);

// Tests: the calendar clock UIDs are made from (null: the system's).
void app_setUidClock(std::time_t (*now)());

// The packing itself, for a given local time; text may be null.
uint32_t app_uidFromTime(const std::tm& local, char* text);
