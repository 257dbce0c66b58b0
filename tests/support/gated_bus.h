// Virtual panels whose writes can be held at a gate, so that a test can stop a
// worker at one exact transmission and act while it waits there; and whose
// line a test can disturb: transmissions that pass rejects (a frame or a break
// byte) are lost, or their writes fail, and for a stretch of calls every call
// fails, as a cable pulled out in the middle of an operation and plugged in again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "panels/virtual_bus.h"

// While closed, a write that holdAt picks waits until the gate opens: the
// worker waits, the test thread opens. By default the write that follows the
// muting of every panel (the search is over). Set holdAt before the worker starts.
struct GatedBus : VirtualBus {
    int libraryVersion(uint32_t* v) override { return gone() ? PORT_IO_ERROR : VirtualBus::libraryVersion(v); }
    int list(PortDeviceInfo* cables, int capacity, uint32_t* count) override {
        *count = 0;
        return gone() ? PORT_IO_ERROR : VirtualBus::list(cables, capacity, count);
    }
    int open(const char* serial) override {
        if (gone()) return PORT_DEVICE_NOT_FOUND;
        ++opens;
        return VirtualBus::open(serial);
    }
    int configure(uint32_t baud) override { return gone() ? PORT_IO_ERROR : VirtualBus::configure(baud); }
    int bytesWaiting(uint32_t* n) override { return gone() ? PORT_IO_ERROR : VirtualBus::bytesWaiting(n); }
    int transmitEmpty(bool* empty) override { return gone() ? PORT_IO_ERROR : VirtualBus::transmitEmpty(empty); }
    int read(uint8_t* b, uint32_t n, uint32_t* got) override {
        *got = 0;
        return gone() ? PORT_IO_ERROR : VirtualBus::read(b, n, got);
    }
    int write(const uint8_t* bytes, uint32_t n, uint32_t* written) override;
    // Closing always reaches the bus, so nothing stays open behind the test.
    int close() override {
        ++calls_;
        return VirtualBus::close();
    }
    // Calls number from..to-1 (counted from now) fail.
    void pullBetween(uint64_t from, uint64_t to) {
        calls_ = 0;
        from_ = from;
        to_ = to;
    }
    int mutedPanels();
    std::function<bool(GatedBus&, const uint8_t* bytes, uint32_t n)> holdAt;
    std::function<bool(const std::vector<uint8_t>&)> pass;
    bool refuse = false;  // a transmission pass rejects fails its write instead of being lost
    std::atomic<bool> closed{false}, waiting{false};
    std::atomic<int> opens{0};

private:
    bool gone() {
        const uint64_t n = calls_++;
        return n >= from_ && n < to_;
    }
    std::atomic<uint64_t> calls_{0};
    uint64_t from_ = 0, to_ = 0;
};
// Frames for holdAt: a mute request, the first request of a setup read.
bool isMuteRequest(const uint8_t* bytes, uint32_t n);
bool isSetupRead(const uint8_t* bytes, uint32_t n);
