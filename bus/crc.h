// CRC-16 of DMX frames: CRC-CCITT, reflected (0x8408), initial 0, no final XOR.
//
// Threads: no state; any thread.
#pragma once

#include <cstdint>

// The CRC after one more byte.
uint16_t crc_ccitt_update(uint16_t crc, uint8_t byte);
// The CRC of count bytes, from 0.
uint16_t get_CRC(const uint8_t* data, uint16_t count);
