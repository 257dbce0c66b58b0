// Byte layouts of the three transmissions: command frame, DMX frame, console frame.
// All multi-byte fields are little-endian.
//
// Threads: no state; a frame belongs to the thread that builds it.
#pragma once

#include <cstdint>

constexpr uint8_t SYNC0 = 0x91;
constexpr uint8_t SYNC1 = 0x29;
constexpr uint8_t SYNC2 = 0xA9;
constexpr uint8_t KIND_COMMAND = 0xFD;
constexpr uint8_t KIND_DMX_DATA = 0x01;
constexpr uint8_t KIND_FW_CHUNK = 0xFE;
constexpr uint8_t KIND_REBOOT = 0xFF;
constexpr uint32_t COMMAND_WORD = 0xFDA92991;  // sync and kind read as one word
constexpr uint32_t UID_ALL = 0xFFFFFFFF;       // every panel; also our own source address

// Every frame: the sync bytes, then the kind.
constexpr int FRAME_KIND = 3;

// Command frame
constexpr int PKT_DEST = 4;
constexpr int PKT_SRC = 8;
constexpr int PKT_RESERVED = 12;
constexpr int PKT_CHECKSUM = 16;
constexpr int PKT_LEN = 18;
constexpr int PKT_DATA = 19;
constexpr int PKT_HEADER_SIZE = 19;
constexpr int PKT_DATA_MAX = 255;
constexpr int PKT_MAX_SIZE = PKT_HEADER_SIZE + PKT_DATA_MAX;
constexpr int PKT_SUB = PKT_DATA + 1;  // data byte 1: the sub-command (discovery, services)

// Command numbers: a command frame's first data byte.
constexpr uint8_t CMD_SETUP = 0x01;
constexpr uint8_t CMD_DISCOVERY = 0x02;
constexpr uint8_t CMD_SERVICE = 0x03;  // the next byte's high nibble says which service

// Discovery sub-commands (data byte 1); a compare carries a 4-byte address after it.
constexpr uint8_t SUB_MUTE = 0x00;  // also the mute's confirmation
constexpr uint8_t SUB_START = 0x01;
constexpr uint8_t SUB_COMPARE = 0x02;
constexpr int DISCOVERY_LEN = 2;          // command and sub-command
constexpr int DISCOVERY_COMPARE_LEN = 6;  // and the address

// Services (data byte 1 of CMD_SERVICE): the high nibble is the service. The
// UID change is acknowledged with its nibble and a low nibble of 1 to 15; the
// identify with SUB_IDENTIFY itself.
constexpr uint8_t SERVICE_MASK = 0xF0;
constexpr uint8_t SUB_UID_CHANGE = 0x10;
constexpr uint8_t SUB_IDENTIFY = 0x20;
constexpr uint8_t UID_CHANGE_COUNT = 4;  // data byte 2: the bytes that follow, the new UID
// Identify: data byte 2 counts the bytes after it: the time, then an optional button mask.
constexpr uint8_t IDENTIFY_COUNT_PANEL = 2;
constexpr uint8_t IDENTIFY_COUNT_BUTTONS = 3;
constexpr uint16_t IDENTIFY_MS = 15000;  // how long the panel makes itself known
constexpr int IDENTIFY_TIME = 3;         // data offset of IDENTIFY_MS
constexpr int IDENTIFY_MASK = 5;         // data offset of the button mask

// Setup records: tag, length, value; the data of command-1 frames after the command.
constexpr uint8_t DEV_TAG_BUTTON = 0x08;     // value: index, type, scene mask (2)
constexpr uint8_t DEV_TAG_INTENSITY = 0x09;  // value: intensity
constexpr uint8_t DEV_TAG_ACTIVE = 0x0A;     // value: active bits; in a request, the button to press
constexpr uint8_t DEV_TAG_DMX = 0x0B;        // value: index, then the 74-byte block (only the index to ask)
constexpr uint8_t DEV_TAG_VERSION = 0xA0;    // value: major, minor
constexpr int SETUP_REC_HEAD = 2;            // tag and length
constexpr uint8_t BUTTON_REC_LEN = 4;
constexpr int BUTTON_REC_SIZE = SETUP_REC_HEAD + BUTTON_REC_LEN;

// DMX frame
constexpr int DMX_FRAME_SIZE = 76;
constexpr int DMX_TARGET = 4;
constexpr int DMX_CHUNK = 8;
constexpr int DMX_BODY = 10;
constexpr int DMX_BODY_SIZE = 64;
constexpr int DMX_CRC = 74;
constexpr uint16_t DMX_TARGET_ALL = 0xFFFF;

// A DMX data frame's body: the letter S, a byte not read, then tagged sections
// (tag, length N, N bytes): optional F and L sections, then the buttons' states,
// one entry a button: state, type, scene mask (2).
constexpr uint8_t DMX_HOUSE_MARK = 0x53;  // 'S'
constexpr int DMX_SECTIONS = DMX_BODY + 2;
constexpr uint8_t SECTION_F = 0x46;
constexpr uint8_t SECTION_L = 0x4C;
constexpr uint8_t SECTION_BUTTONS = 0x43;
constexpr int BUTTON_STATE_SIZE = 4;

// Console frame: start code and 512 levels
constexpr int CONSOLE_FRAME_SIZE = 513;

// A command header to destination from UID_ALL: reserved and checksum 0, no data.
void packet_fillHeader(uint8_t* frame, uint32_t destination);
// A DMX frame's sync, kind and target (0xFFFF: every panel); the rest untouched.
void packet_fillDmxHeader(uint8_t* frame, uint8_t kind, uint16_t target);
// Appends n data bytes; what would pass 255 data bytes is dropped.
void packet_fillData(uint8_t* frame, const uint8_t* src, uint8_t n);
// The additive checksum over header and data, into PKT_CHECKSUM.
void packet_fillCrc(uint8_t* frame);

// Little-endian fields; no failure.
uint32_t packet_getU32(const uint8_t* p);
void packet_putU32(uint8_t* p, uint32_t v);
uint16_t packet_getU16(const uint8_t* p);
void packet_putU16(uint8_t* p, uint16_t v);

inline int packet_length(const uint8_t* frame) { return PKT_HEADER_SIZE + frame[PKT_LEN]; }
inline uint32_t packet_source(const uint8_t* frame) { return packet_getU32(frame + PKT_SRC); }
inline uint32_t packet_destination(const uint8_t* frame) { return packet_getU32(frame + PKT_DEST); }
