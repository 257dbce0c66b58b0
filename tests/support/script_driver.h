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
    int countStatus = PORT_OK;
    std::vector<uint32_t> failingDetails;  // indices whose details query fails
    int openStatus = PORT_OK;
    std::string error;            // lastError()
    int statusFailure = PORT_OK;  // getStatus result while not OK
    int writeFailure = PORT_OK;
    uint32_t txPending = 0;       // bytes "still on the wire" for so many status queries

    // Each feed is one batch: a read never returns bytes of two batches.
    void feed(const std::vector<uint8_t>& bytes);
    void feed(const uint8_t* bytes, size_t n);
    size_t pending() const;

    std::vector<std::string> calls() const;
    std::vector<Write> writes() const;
    size_t countCalls(const std::string& prefix) const;
    void clearLog();

    int libraryVersion(uint32_t* v) override;
    int deviceCount(uint32_t* count) override;
    int deviceDetails(uint32_t index, PortDeviceInfo* info) override;
    int listSerials(char* const* buffers, int capacity, uint32_t* count) override;
    int openBySerial(const char* serial, PortHandle* handle) override;
    int reset(PortHandle h) override;
    int setTimeouts(PortHandle h, uint32_t readMs, uint32_t writeMs) override;
    int setBaudRate(PortHandle h, uint32_t baud) override;
    int setDataCharacteristics(PortHandle h, uint8_t bits, uint8_t stop, uint8_t parity) override;
    int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) override;
    int read(PortHandle h, uint8_t* buffer, uint32_t n, uint32_t* got) override;
    int write(PortHandle h, const uint8_t* buffer, uint32_t n, uint32_t* written) override;
    int close(PortHandle h) override;
    std::string lastError() override;

private:
    void log(std::string call);

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<Write> writes_;
    std::deque<std::deque<uint8_t>> input_;
    size_t inputSize_ = 0;
    uint32_t baud_ = 0;
    uint32_t txLeft_ = 0;
};
