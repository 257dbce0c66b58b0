// A scripted port driver for the tests: records the line's calls (configure,
// write, waiting, read, txempty) in order and serves queued input bytes; and a fixture that puts it under the ftdi
// module, leaving the port closed and the assembler empty before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/port/port.h"
#include "bus/timer.h"

class ScriptDriver : public PortDriver {
public:
    // What the driver reports.
    int versionStatus = PORT_OK;
    int listStatus = PORT_OK;
    int openStatus = PORT_OK;
    std::string error;            // lastError()
    int statusFailure = PORT_OK;  // bytesWaiting and transmitEmpty result while not OK
    int readStatus = PORT_OK;     // read's result: the bytes stay queued while not OK
    uint32_t txPending = 0;       // transmitter busy for so many queries after a write

    // Each feed is one batch: a read never returns bytes of two batches.
    void feed(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> g(mutex_);
        input_.emplace_back(bytes.begin(), bytes.end());
        inputSize_ += bytes.size();
    }
    size_t pending() const {
        std::lock_guard<std::mutex> g(mutex_);
        return inputSize_;
    }

    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> g(mutex_);
        return calls_;
    }
    void clearLog() {
        std::lock_guard<std::mutex> g(mutex_);
        calls_.clear();
    }

    int libraryVersion(uint32_t* v) override {
        *v = 0x10500;
        return versionStatus;
    }
    int list(PortDeviceInfo* cables, int capacity, uint32_t* count) override {
        *count = 0;
        if (listStatus != PORT_OK || capacity < 1) return listStatus;
        cables[0] = PortDeviceInfo{};
        std::snprintf(cables[0].serial, sizeof cables[0].serial, "FT000001");  // one cable
        *count = 1;
        return PORT_OK;
    }
    int open(const char*) override { return openStatus; }
    int configure(uint32_t baud) override {
        auto g = logged("configure " + std::to_string(baud));
        return PORT_OK;
    }
    int bytesWaiting(uint32_t* n) override {
        tim_advanceUs(100);  // a USB round trip
        auto g = logged("waiting");
        *n = static_cast<uint32_t>(inputSize_);
        return statusFailure;
    }
    int read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        tim_advanceUs(100);
        auto g = logged("read " + std::to_string(n));
        *got = 0;
        if (readStatus != PORT_OK || input_.empty()) return readStatus;
        auto& batch = input_.front();
        for (; *got < n && !batch.empty(); ++*got, batch.pop_front()) buffer[*got] = batch.front();
        if (batch.empty()) input_.pop_front();
        inputSize_ -= *got;
        return PORT_OK;
    }
    int write(const uint8_t*, uint32_t n, uint32_t* written) override {
        auto g = logged("write " + std::to_string(n));
        txLeft_ = txPending;
        *written = n;
        return PORT_OK;
    }
    int transmitEmpty(bool* empty) override {
        tim_advanceUs(100);
        auto g = logged("txempty");
        *empty = txLeft_ == 0;
        if (txLeft_ > 0) --txLeft_;
        return statusFailure;
    }
    int close() override { return PORT_OK; }
    std::string lastError() override {
        std::lock_guard<std::mutex> g(mutex_);
        return error;
    }

private:
    // Takes the lock and records the call.
    std::unique_lock<std::mutex> logged(std::string call) {
        std::unique_lock<std::mutex> g(mutex_);
        calls_.push_back(std::move(call));
        return g;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::deque<std::deque<uint8_t>> input_;
    size_t inputSize_ = 0;
    uint32_t txLeft_ = 0;
};

class ScriptedBus : public ::testing::Test {
protected:
    void SetUp() override {
        port_setDriver(&driver);
        cable_free();
        packet_resetAssembler();
    }
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
    }
    ScriptDriver driver;
};
