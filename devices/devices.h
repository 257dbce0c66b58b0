// The device table: the configurator's memory of the panels on the bus, 200
// fixed records, one per UID.
//
// Threads: written by workers and by the parse functions (under the cable lock),
// read by the window's tick. One mutex guards the table; every operation holds
// it only for its own few steps and never across a bus wait. Readers that show a
// record take a copy with dev_copyRecord, never a half-written one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bus/packet_structures.h"

constexpr int DEV_MAX = 200;
constexpr int DEV_BUTTONS = 6;
constexpr int DMX_BLOCK_SIZE = 74;
constexpr int DMX_BLOCK_LEVELS = 70;

struct ButtonSetup {
    uint8_t type;  // 0 off, 1 scene flash, 2 scene latch; others stored as received
    uint16_t scn;  // bit k: scene k+1
};

// The intensity and the six button setups: what the setup dialog fills and the
// setup sender takes.
struct PanelSetup {
    uint8_t intensity;
    ButtonSetup btn[DEV_BUTTONS];
};

// DMX button block, byte for byte as on the bus:
// 0-1 start address (LE), 2 number of levels, 3 flags, 4..73 levels.
using DmxBlock = uint8_t[DMX_BLOCK_SIZE];

struct DeviceRecord {
    uint32_t uid;  // 0: free
    uint8_t intensity;
    ButtonSetup btn[DEV_BUTTONS];
    uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE];
    // Bit b: DMX block b holds what was read from this panel or set by the
    // operator. A block without its bit is unknown and must never be sent.
    uint8_t dmxKnown;
    uint8_t act;  // bit b: the scene of button b+1 is on
    uint8_t verMajor;
    uint8_t verMinor;
};

// Claims the first free record for uid (even if uid is already there): its
// index, or -1 when the table is full.
int addDevUID(uint32_t uid);
// The record with that UID, or null. The pointer stays valid for the program's
// life (the table is a fixed array), but any thread may empty the record or give
// it to another panel: read through it only under devices_lock(), or take a
// copy instead (dev_copyByUid).
DeviceRecord* getDevUID(uint32_t uid);
// The index of the record with that UID, claiming a free one when there is
// none; -1 when the table is full. The getters and setters below find the same way.
int findDevUID(uint32_t uid);
// Empties the table; always 0.
int dev_removeAll();
// Clears every record but its UID; always 0.
int dev_removeAllSetup();

// The stored value; -1 when the table is full (or btn is out of range).
int dev_getIntenzity(uint32_t uid);
int dev_getBtnType(uint32_t uid, int btn);

// The setters take a pointer to a setup record's length byte; the value follows.
// A record too short for its value, or a table with no room, changes nothing.
// Always 0.
int dev_setIntenzity(uint32_t uid, const uint8_t* rec);
int dev_setBtn(uint32_t uid, const uint8_t* rec);
int dev_setVer(uint32_t uid, const uint8_t* ver);  // ver: major, minor
// A scene went on (state != 0) or off: the matching buttons of every panel follow.
void dev_setActBtn(uint8_t state, uint8_t type, uint16_t scn);

// A panel's answer updates only a record already in the table, never claims one:
// stores one setup record (tag, and a pointer to its length byte) with the
// setters' checks. False when no record has that UID (0 never has). The tags
// are the wire's (bus/packet_structures.h).
bool dev_updateFromAnswer(uint32_t uid, uint8_t tag, const uint8_t* rec);
// A new read of the panel has begun: none of its DMX blocks counts as read.
void dev_forgetDmxBlocks(uint32_t uid);

// The version column's text, "major.minor", for versions 1 to 3: true; false
// (text untouched) for any other, which the window shows as not read yet.
bool dev_versionText(const DeviceRecord& record, char* text, size_t size);

// Consistent copies for readers on other threads.
bool dev_copyRecord(int index, DeviceRecord* out);  // false: index out of range or record free
bool dev_copyByUid(uint32_t uid, DeviceRecord* out);
int dev_count();                // length of the leading run of used records
uint32_t dev_uidAt(int index);  // 0 when free or out of range
// Writes one DMX button block of the record with that UID (the DMX setup dialog)
// and marks it known.
// False when no record has that UID or btn is out of range.
bool dev_storeDmxBlock(uint32_t uid, int btn, const uint8_t* block);

// The table's lock, for direct use of the table; taken by every function above.
void devices_lock();
void devices_unlock();
// Tests and benchmarks: the table itself, dev (DEV_MAX records), to read or
// write under devices_lock().
DeviceRecord* devices_table();

// ---- Kept, though nothing in this program calls them -------------------------
// This module's documented interface: kept whole and correct for what
// is built on the module later; nothing in the program depends on them.

int dev_getBtnScn(uint32_t uid, int btn);
int dev_setAct(uint32_t uid, const uint8_t* rec);
int dev_setDmxBtn(uint32_t uid, const uint8_t* rec);
// dev_versionText of uid's record into text (8 bytes).
void dev_getVerStr(uint32_t uid, char* text);
// The arr[0] numbers that follow, each with a dot (the third as a letter above
// 0x40), then "; ", cut to fit size bytes.
void getVerStr(char* text, size_t size, const uint8_t* arr);
