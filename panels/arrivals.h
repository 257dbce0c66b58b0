// Bytes on their way to a receiver, ordered by arrival time. Two bytes less than
// one byte time apart overlap on the line and collide: the receiver gets one
// byte, the wired-AND of both.
//
// Threads: none of its own; its owner guards it.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <vector>

class ArrivalQueue {
public:
    static constexpr int64_t BYTE_US = 44;  // one byte at 250000 baud, 8N2
    explicit ArrivalQueue(int64_t byteUs = BYTE_US) : byteUs_(byteUs) {}

    void add(int64_t atUs, uint8_t byte) {
        auto it = bytes_.lower_bound(atUs - byteUs_ + 1);
        if (it != bytes_.end() && it->first < atUs + byteUs_) {
            it->second &= byte;
            return;
        }
        bytes_.emplace(atUs, byte);
    }

    // One byte every byte time from startUs on.
    void addBytes(int64_t startUs, const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) add(startUs + static_cast<int64_t>(i) * byteUs_, bytes[i]);
    }

    int64_t nextUs() const { return bytes_.empty() ? std::numeric_limits<int64_t>::max() : bytes_.begin()->first; }

    // Hands every byte due by nowUs to sink, in order, and forgets it.
    template <class Sink>
    void takeDue(int64_t nowUs, Sink&& sink) {
        while (!bytes_.empty() && bytes_.begin()->first <= nowUs) {
            sink(bytes_.begin()->second);
            bytes_.erase(bytes_.begin());
        }
    }

    int64_t lastUs() const { return bytes_.empty() ? std::numeric_limits<int64_t>::min() : bytes_.rbegin()->first; }

    size_t size() const { return bytes_.size(); }
    int64_t byteUs() const { return byteUs_; }
    void clear() { bytes_.clear(); }

private:
    int64_t byteUs_;
    std::map<int64_t, uint8_t> bytes_;
};
