// Virtual panels whose writes can be held at a gate, so that a test can stop a
// worker at one exact transmission and act while it waits there.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "panels/virtual_bus.h"

// While closed, a write that holdAt picks waits until the gate opens: the
// worker waits, the test thread opens. By default the write that follows the
// muting of every panel (the search is over). Set holdAt before the worker starts.
struct GatedBus : VirtualBus {
    int write(const uint8_t* bytes, uint32_t n, uint32_t* written) override;
    int open(const char* serial) override {
        ++opens;
        return VirtualBus::open(serial);
    }
    int mutedPanels();
    std::function<bool(GatedBus&, const uint8_t* bytes, uint32_t n)> holdAt;
    std::atomic<bool> closed{false}, waiting{false};
    std::atomic<int> opens{0};
};
// Frames for holdAt: a mute request, the first request of a setup read.
bool isMuteRequest(const uint8_t* bytes, uint32_t n);
bool isSetupRead(const uint8_t* bytes, uint32_t n);
