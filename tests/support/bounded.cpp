#include "tests/support/bounded.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

using Clock = std::chrono::steady_clock;

bool waitFor(const std::string& what, const std::function<bool()>& done, int limitMs,
             const std::function<void()>& step) {
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (step) step();
        if (done()) return true;
        if (Clock::now() > end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "gave up waiting for " << what << " after " << limitMs << " ms";
    return false;
}

Watchdog::Watchdog(std::string what, std::function<void()> rescue, int limitMs)
    : what_(std::move(what)), rescue_(std::move(rescue)), limitMs_(limitMs), watcher_([this] { watch(); }) {}

void Watchdog::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto limit = std::chrono::milliseconds(limitMs_);
    if (signal_.wait_for(lock, limit, [this] { return returned_; })) return;
    late_ = true;
    ADD_FAILURE() << "gave up waiting for " << what_ << " after " << limitMs_ << " ms";
    if (rescue_) {
        lock.unlock();
        rescue_();
        lock.lock();
        if (signal_.wait_for(lock, limit, [this] { return returned_; })) return;
    }
    std::fprintf(stderr, "still waiting for %s: ending the test process\n", what_.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(2);
}

bool Watchdog::done() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        returned_ = true;
    }
    signal_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    return !late_;
}

void joinWithin(std::thread& t, const std::string& what, int limitMs) {
    Watchdog watch("the end of " + what, nullptr, limitMs);
    t.join();
}
