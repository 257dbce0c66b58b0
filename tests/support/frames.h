// Frame builders and a recording dispatch table for the tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bus/packet_parser.h"

using Bytes = std::vector<uint8_t>;

// A command frame with its checksum filled in.
Bytes commandFrame(uint32_t destination, uint32_t source, const Bytes& data);
// A 76-byte DMX frame of the given kind with bytes 10.. from body and its CRC.
Bytes dmxFrame(uint8_t kind, const Bytes& body);

// Records which parse function got which frame, in order.
struct Dispatched {
    std::string parser;
    Bytes frame;
};
void recorder_install();
std::vector<Dispatched>& recorder_frames();

// Captures what a block prints on standard output.
template <class F>
std::string captureStdout(F&& fn) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
