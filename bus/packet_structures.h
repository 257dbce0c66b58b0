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

// Command numbers: a command frame's first data byte.
constexpr uint8_t CMD_SETUP = 0x01;
constexpr uint8_t CMD_DISCOVERY = 0x02;
constexpr uint8_t CMD_SERVICE = 0x03;  // the next byte's high nibble: 0x10 UID change, 0x20 identify

// Command frame
constexpr int PKT_DEST = 4;
constexpr int PKT_SRC = 8;
constexpr int PKT_RESERVED = 12;
constexpr int PKT_CHECKSUM = 16;
constexpr int PKT_LEN = 18;
constexpr int PKT_DATA = 19;
constexpr int PKT_HEADER_SIZE = 19;
constexpr int PKT_MAX_SIZE = 274;

// DMX frame
constexpr int DMX_FRAME_SIZE = 76;
constexpr int DMX_TARGET = 4;
constexpr int DMX_CHUNK = 8;
constexpr int DMX_BODY = 10;
constexpr int DMX_BODY_SIZE = 64;
constexpr int DMX_CRC = 74;

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
