// Wraps another driver and disturbs the line as a test asks: transmissions a
// predicate rejects are lost, and for a stretch of calls every call fails, as a
// cable pulled out in the middle of an operation and plugged in again.
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
    int deviceCount(uint32_t* c) override { return gone() ? PORT_IO_ERROR : inner_.deviceCount(c); }
    int deviceDetails(uint32_t i, PortDeviceInfo* info) override {
        return gone() ? PORT_IO_ERROR : inner_.deviceDetails(i, info);
    }
    int listSerials(char* const* b, int cap, uint32_t* c) override {
        return gone() ? PORT_IO_ERROR : inner_.listSerials(b, cap, c);
    }
    int openBySerial(const char* s, PortHandle* h) override {
        return gone() ? PORT_DEVICE_NOT_FOUND : inner_.openBySerial(s, h);
    }
    int reset(PortHandle h) override { return gone() ? PORT_IO_ERROR : inner_.reset(h); }
    int setTimeouts(PortHandle h, uint32_t r, uint32_t w) override {
        return gone() ? PORT_IO_ERROR : inner_.setTimeouts(h, r, w);
    }
    int setBaudRate(PortHandle h, uint32_t baud) override { return gone() ? PORT_IO_ERROR : inner_.setBaudRate(h, baud); }
    int setDataCharacteristics(PortHandle h, uint8_t b, uint8_t s, uint8_t p) override {
        return gone() ? PORT_IO_ERROR : inner_.setDataCharacteristics(h, b, s, p);
    }
    int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) override {
        return gone() ? PORT_IO_ERROR : inner_.getStatus(h, rx, tx);
    }
    int read(PortHandle h, uint8_t* b, uint32_t n, uint32_t* got) override {
        *got = 0;
        return gone() ? PORT_IO_ERROR : inner_.read(h, b, n, got);
    }
    int write(PortHandle h, const uint8_t* b, uint32_t n, uint32_t* written) override {
        *written = 0;
        if (gone()) return PORT_IO_ERROR;
        // Frames only; the break byte goes through so the line stays as it was.
        if (n > 1 && pass_ && !pass_(std::vector<uint8_t>(b, b + n))) {
            *written = n;
            return PORT_OK;
        }
        return inner_.write(h, b, n, written);
    }
    std::string lastError() override { return inner_.lastError(); }
    // Closing a handle always reaches the driver, so nothing stays open behind us.
    int close(PortHandle h) override {
        ++calls_;
        return inner_.close(h);
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
