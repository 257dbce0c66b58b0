// Wraps another driver and swallows the transmissions a predicate rejects, as if
// they were lost on the line: lets a test decide which requests a panel hears.
#pragma once

#include <functional>
#include <vector>

#include "bus/port/port.h"

class FilterDriver : public PortDriver {
public:
    using Predicate = std::function<bool(const std::vector<uint8_t>&)>;
    FilterDriver(PortDriver& inner, Predicate pass) : inner_(inner), pass_(std::move(pass)) {}

    int libraryVersion(uint32_t* v) override { return inner_.libraryVersion(v); }
    int deviceCount(uint32_t* c) override { return inner_.deviceCount(c); }
    int deviceDetails(uint32_t i, PortDeviceInfo* info) override { return inner_.deviceDetails(i, info); }
    int listSerials(char* const* b, int cap, uint32_t* c) override { return inner_.listSerials(b, cap, c); }
    int openBySerial(const char* s, PortHandle* h) override { return inner_.openBySerial(s, h); }
    int reset(PortHandle h) override { return inner_.reset(h); }
    int setTimeouts(PortHandle h, uint32_t r, uint32_t w) override { return inner_.setTimeouts(h, r, w); }
    int setBaudRate(PortHandle h, uint32_t baud) override { return inner_.setBaudRate(h, baud); }
    int setDataCharacteristics(PortHandle h, uint8_t b, uint8_t s, uint8_t p) override {
        return inner_.setDataCharacteristics(h, b, s, p);
    }
    int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) override { return inner_.getStatus(h, rx, tx); }
    int read(PortHandle h, uint8_t* b, uint32_t n, uint32_t* got) override { return inner_.read(h, b, n, got); }
    int write(PortHandle h, const uint8_t* b, uint32_t n, uint32_t* written) override {
        // Frames only; the break byte goes through so the line stays as it was.
        if (n > 1 && !pass_(std::vector<uint8_t>(b, b + n))) {
            *written = n;
            return PORT_OK;
        }
        return inner_.write(h, b, n, written);
    }
    int close(PortHandle h) override { return inner_.close(h); }

private:
    PortDriver& inner_;
    Predicate pass_;
};
