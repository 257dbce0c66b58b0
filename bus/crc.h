// CRC-16 of DMX frames: CRC-CCITT, reflected (0x8408), initial 0, no final XOR.
#pragma once

#include <cstdint>

uint16_t crc_ccitt_update(uint16_t crc, uint8_t byte);
uint16_t get_CRC(const uint8_t* data, uint16_t count);
