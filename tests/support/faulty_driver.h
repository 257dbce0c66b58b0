// Wraps another driver and disturbs the line as a test asks: transmissions a
// predicate rejects (a frame or a break byte) are lost (or their writes fail), and for a stretch of calls every call
// fails, as a cable pulled out in the middle of an operation and plugged in again.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "bus/port/port.h"

class FaultyDriver : public PortDriver {
public:
    using Predicate = std::function<bool(const std::vector<uint8_t>&)>;
    explicit FaultyDriver(PortDriver& inner, Predicate pass = nullptr) : inner_(inner), pass_(std::move(pass)) {}

    // Calls number from..to-1 (counted from now) fail.
    void pullBetween(uint64_t from, uint64_t to) {
        calls_ = 0;
        from_ = from;
        to_ = to;
    }

    int libraryVersion(uint32_t* v) override { return gone() ? PORT_IO_ERROR : inner_.libraryVersion(v); }
    int list(PortDeviceInfo* cables, int capacity, uint32_t* count) override {
        *count = 0;
        return gone() ? PORT_IO_ERROR : inner_.list(cables, capacity, count);
    }
    int open(const char* serial) override { return gone() ? PORT_DEVICE_NOT_FOUND : inner_.open(serial); }
    int configure(uint32_t baud) override { return gone() ? PORT_IO_ERROR : inner_.configure(baud); }
    int bytesWaiting(uint32_t* n) override { return gone() ? PORT_IO_ERROR : inner_.bytesWaiting(n); }
    int transmitEmpty(bool* empty) override { return gone() ? PORT_IO_ERROR : inner_.transmitEmpty(empty); }
    int read(uint8_t* b, uint32_t n, uint32_t* got) override {
        *got = 0;
        return gone() ? PORT_IO_ERROR : inner_.read(b, n, got);
    }
    int write(const uint8_t* b, uint32_t n, uint32_t* written) override {
        *written = 0;
        if (gone()) return PORT_IO_ERROR;
        if (pass_ && !pass_(std::vector<uint8_t>(b, b + n))) {
            if (refuse) return PORT_IO_ERROR;
            *written = n;
            return PORT_OK;
        }
        return inner_.write(b, n, written);
    }
    bool refuse = false;  // a transmission the predicate rejects fails its write instead of being lost
    std::string lastError() override { return inner_.lastError(); }
    // Closing always reaches the driver, so nothing stays open behind us.
    int close() override {
        ++calls_;
        return inner_.close();
    }

private:
    bool gone() {
        const uint64_t n = calls_++;
        return n >= from_ && n < to_;
    }

    PortDriver& inner_;
    Predicate pass_;
    std::atomic<uint64_t> calls_{0};
    uint64_t from_ = 0;
    uint64_t to_ = 0;
};
