// Receive assembler: cuts the byte stream from the cable into frames, checks them
// and hands each good one to the parse function of the operation that owns it.
//
// Threads: fed only through the cable layer, whose lock the feeding thread holds,
// so the parse functions also run under that lock.
#pragma once

#include <cstdint>

constexpr int PACKET_BUFFER_SIZE = 276;

using ParseFn = void (*)(uint8_t* frame);

// Who takes which frame; an empty entry drops such frames.
struct PacketParsers {
    ParseFn dmxHouse = nullptr;   // DMX data frame, kind 0x01, CRC good
    ParseFn setup = nullptr;      // command 1
    ParseFn discovery = nullptr;  // command 2
    ParseFn identify = nullptr;   // command 3, data byte 1 in 0x20..0x2F
    ParseFn genUid = nullptr;     // command 3, data byte 1 in 0x10..0x1F
};

// Replaces the whole set (set at start-up, before the bus is used).
void packet_setParsers(const PacketParsers& parsers);

// Takes n bytes from the cable; each frame they complete is dispatched at once.
void packet_receive(const uint8_t* data, int32_t n);
// The same for one byte; a full buffer drops its oldest byte first.
void appendByte(uint8_t c);
// Drops the oldest byte held.
void shiftData();

int32_t packet_received();     // bytes held
void packet_dropHeld();        // drops the bytes held: a frame being collected, and those behind it
void packet_resetAssembler();  // the same (tests)
