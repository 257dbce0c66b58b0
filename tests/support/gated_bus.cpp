#include "tests/support/gated_bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bus/packet_parser.h"
#include "bus/packet_structures.h"
#include "tests/support/bounded.h"

int GatedBus::mutedPanels() {
    int muted = 0;
    for (size_t i = 0; i < panelCount(); ++i) muted += panelAt(i).muteCount > 0;
    return muted;
}

bool isMuteRequest(const uint8_t* b, uint32_t n) {
    return n > PKT_DATA + 1 && b[3] == KIND_COMMAND && b[PKT_DATA] == 0x02 && b[PKT_DATA + 1] == 0x00 &&
           packet_destination(b) != UID_ALL;
}

bool isSetupRead(const uint8_t* b, uint32_t n) {
    return n > PKT_DATA && b[3] == KIND_COMMAND && b[PKT_LEN] == 1 && b[PKT_DATA] == 0x01;
}

int GatedBus::write(const uint8_t* bytes, uint32_t n, uint32_t* written) {
    *written = 0;
    if (gone()) return PORT_IO_ERROR;
    if (pass && !pass(std::vector<uint8_t>(bytes, bytes + n))) {
        if (refuse) return PORT_IO_ERROR;
        *written = n;
        return PORT_OK;
    }
    const bool hold =
        holdAt ? holdAt(*this, bytes, n) : panelCount() > 0 && mutedPanels() == static_cast<int>(panelCount());
    waiting = hold && closed;
    // The test opens the gate; one that never does fails here rather than
    // leave the worker held past the end of its test.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * WAIT_LIMIT_MS);
    while (waiting && closed) {
        if (std::chrono::steady_clock::now() > limit) {
            ADD_FAILURE() << "a write held at the gate was never let through";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waiting = false;
    return VirtualBus::write(bytes, n, written);
}
