// Waits that end. Every wait in a test has its own deadline and, past it,
// records a failure naming what it waited for: a test fails, it never hangs.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Far beyond what any wait here needs, even on a loaded machine, and well
// inside the ctest limit of the test's entry.
constexpr int WAIT_LIMIT_MS = 10000;

// Polls done (after each call of step, if given) until it holds. Past limitMs:
// a failure "gave up waiting for <what>", and false.
bool waitFor(const std::string& what, const std::function<bool()>& done, int limitMs = WAIT_LIMIT_MS,
             const std::function<void()>& step = nullptr);

// Guards a call that may block the thread that makes it (a handler, a join, a
// child's exit). Unless done() comes within limitMs it records the failure and
// runs rescue, which should let the call return. Without a rescue, or if the
// call still has not returned another limitMs later, it ends the process: a
// blocked call may still use the test's state, so nothing else is safe.
class Watchdog {
public:
    explicit Watchdog(std::string what, std::function<void()> rescue = nullptr, int limitMs = WAIT_LIMIT_MS);
    ~Watchdog() { done(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    // The guarded call has returned. True unless the limit had passed.
    bool done();

private:
    void watch();
    std::string what_;
    std::function<void()> rescue_;
    int limitMs_;
    std::mutex mutex_;
    std::condition_variable signal_;
    bool returned_ = false;
    bool late_ = false;
    std::thread watcher_;
};

// Joins t within the limit (see Watchdog).
void joinWithin(std::thread& t, const std::string& what, int limitMs = WAIT_LIMIT_MS);
