#include "tests/support/script_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bus/timer.h"

std::unique_lock<std::mutex> ScriptDriver::logged(std::string call) {
    std::unique_lock<std::mutex> g(mutex_);
    calls_.push_back(std::move(call));
    return g;
}

void ScriptDriver::feed(const std::vector<uint8_t>& bytes) { feed(bytes.data(), bytes.size()); }

void ScriptDriver::feed(const uint8_t* bytes, size_t n) {
    std::lock_guard<std::mutex> g(mutex_);
    if (n == 0) return;
    input_.emplace_back(bytes, bytes + n);
    inputSize_ += n;
}

size_t ScriptDriver::pending() const {
    std::lock_guard<std::mutex> g(mutex_);
    return inputSize_;
}

std::vector<std::string> ScriptDriver::calls() const {
    std::lock_guard<std::mutex> g(mutex_);
    return calls_;
}

std::vector<ScriptDriver::Write> ScriptDriver::writes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return writes_;
}

size_t ScriptDriver::countCalls(const std::string& prefix) const {
    std::lock_guard<std::mutex> g(mutex_);
    return std::count_if(calls_.begin(), calls_.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
}

void ScriptDriver::clearLog() {
    std::lock_guard<std::mutex> g(mutex_);
    calls_.clear();
    writes_.clear();
}

int ScriptDriver::libraryVersion(uint32_t* v) {
    auto g = logged("libraryVersion");
    *v = version;
    return versionStatus;
}

int ScriptDriver::list(PortDeviceInfo* cables, int capacity, uint32_t* count) {
    auto g = logged("list");
    *count = 0;
    if (listStatus != PORT_OK) return listStatus;
    uint32_t n = 0;
    for (const auto& s : serials) {
        if (static_cast<int>(n) >= capacity) break;
        PortDeviceInfo& info = cables[n];
        info = PortDeviceInfo{};
        info.detailsRead = std::find(failingDetails.begin(), failingDetails.end(), n) == failingDetails.end();
        info.flags = 2;
        info.type = 5;
        info.id = 0x04036001;
        info.locId = 0x100 + n;
        std::snprintf(info.serial, sizeof info.serial, "%s", s.c_str());
        std::snprintf(info.description, sizeof info.description, "Scripted %u", n);
        ++n;
    }
    *count = n;
    return PORT_OK;
}

int ScriptDriver::open(const char* serial) {
    auto g = logged(std::string("open ") + serial);
    return openStatus;
}

std::string ScriptDriver::lastError() {
    std::lock_guard<std::mutex> g(mutex_);
    return error;
}

int ScriptDriver::configure(uint32_t baud) {
    auto g = logged("configure " + std::to_string(baud));
    baud_ = baud;
    return PORT_OK;
}

int ScriptDriver::bytesWaiting(uint32_t* n) {
    tim_advanceUs(100);  // a USB round trip
    auto g = logged("waiting");
    if (statusFailure != PORT_OK) return statusFailure;
    *n = static_cast<uint32_t>(inputSize_);
    return PORT_OK;
}

int ScriptDriver::transmitEmpty(bool* empty) {
    tim_advanceUs(100);
    auto g = logged("txempty");
    if (statusFailure != PORT_OK) return statusFailure;
    *empty = txLeft_ == 0;
    if (txLeft_ > 0) --txLeft_;
    return PORT_OK;
}

int ScriptDriver::read(uint8_t* buffer, uint32_t n, uint32_t* got) {
    tim_advanceUs(100);
    auto g = logged("read " + std::to_string(n));
    *got = 0;
    if (readStatus != PORT_OK) return readStatus;
    uint32_t k = 0;
    if (!input_.empty()) {
        auto& batch = input_.front();
        while (k < n && !batch.empty()) {
            buffer[k++] = batch.front();
            batch.pop_front();
        }
        if (batch.empty()) input_.pop_front();
        inputSize_ -= k;
    }
    *got = k;
    return PORT_OK;
}

int ScriptDriver::write(const uint8_t* buffer, uint32_t n, uint32_t* written) {
    auto g = logged("write " + std::to_string(n));
    writes_.push_back(Write{baud_, std::vector<uint8_t>(buffer, buffer + n)});
    txLeft_ = txPending;
    *written = n;
    return PORT_OK;
}

int ScriptDriver::close() {
    auto g = logged("close");
    return PORT_OK;
}
