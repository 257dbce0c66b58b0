// A scripted port driver for the tests: records every call in order and serves
// queued input bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "bus/port/port.h"

class ScriptDriver : public PortDriver {
public:
    struct Write {
        uint32_t baud;
        std::vector<uint8_t> bytes;
    };

    // What the driver reports.
    uint32_t version = 0x10500;
    int versionStatus = PORT_OK;
    std::vector<std::string> serials{"FT000001"};
    int listStatus = PORT_OK;
    std::vector<uint32_t> failingDetails;  // indices listed without their details
    int openStatus = PORT_OK;
    std::string error;            // lastError()
    int statusFailure = PORT_OK;  // bytesWaiting and transmitEmpty result while not OK
    int readStatus = PORT_OK;     // read's result: the bytes stay queued while not OK
    uint32_t txPending = 0;       // transmitter busy for so many queries after a write

    // Each feed is one batch: a read never returns bytes of two batches.
    void feed(const std::vector<uint8_t>& bytes);
    void feed(const uint8_t* bytes, size_t n);
    size_t pending() const;

    std::vector<std::string> calls() const;
    std::vector<Write> writes() const;
    size_t countCalls(const std::string& prefix) const;
    void clearLog();

    int libraryVersion(uint32_t* v) override;
    int list(PortDeviceInfo* cables, int capacity, uint32_t* count) override;
    int open(const char* serial) override;
    int configure(uint32_t baud) override;
    int bytesWaiting(uint32_t* n) override;
    int read(uint8_t* buffer, uint32_t n, uint32_t* got) override;
    int write(const uint8_t* buffer, uint32_t n, uint32_t* written) override;
    int transmitEmpty(bool* empty) override;
    int close() override;
    std::string lastError() override;

private:
    // Takes the lock and records the call.
    std::unique_lock<std::mutex> logged(std::string call);

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<Write> writes_;
    std::deque<std::deque<uint8_t>> input_;
    size_t inputSize_ = 0;
    uint32_t baud_ = 0;
    uint32_t txLeft_ = 0;
};
