#include "bus/crc.h"

uint16_t crc_ccitt_update(uint16_t crc, uint8_t byte) {
    uint8_t d = static_cast<uint8_t>(byte ^ (crc & 0xFF));
    d = static_cast<uint8_t>(d ^ (d << 4));
    return static_cast<uint16_t>(((static_cast<uint16_t>(d) << 8) | (crc >> 8)) ^ (d >> 4) ^
                                 (static_cast<uint16_t>(d) << 3));
}

uint16_t get_CRC(const uint8_t* data, uint16_t count) {
    uint16_t crc = 0;
    for (uint16_t i = 0; i < count; ++i) crc = crc_ccitt_update(crc, data[i]);
    return crc;
}
