#include "bus/timer.h"

#include <sys/prctl.h>
#include <ctime>

#include <cerrno>

#include <atomic>
#include <mutex>

// Threads: every thread. The real clock's base and each reader's offset are set
// once (call_once); virtual time is one atomic counter; nothing else is shared.

namespace {

std::atomic<bool> virtualClock{false};
std::atomic<int64_t> virtualNow{0};
thread_local int64_t movedHere = 0;  // virtual time this thread moved on

void moveVirtual(int64_t us) {
    virtualNow.fetch_add(us);
    movedHere += us;
}

int64_t monotonicUs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The counter every reader subtracts its offset from.
int64_t counterUs() { return virtualClock.load(std::memory_order_relaxed) ? virtualNow.load() : monotonicUs(); }

// One reader's base: its first use is zero.
struct ClockReader {
    std::once_flag once;
    int64_t offset = 0;

    int64_t elapsedUs() {
        std::call_once(once, [this] { offset = counterUs(); });
        return counterUs() - offset;
    }
};

ClockReader sharedClock;   // clock_gettime, tim_setTimeout, tim_isTimeout
ClockReader microClock;    // clock_gettime_us
ClockReader processClock;  // tim_nowUs

int64_t currentMs() {
    TimeValue tv;
    clock_gettime(0, &tv);
    return tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

void sleepUs(int64_t us) {
    if (us <= 0) return;
    if (virtualClock.load(std::memory_order_relaxed)) {
        moveVirtual(us);
        return;
    }
    // To an absolute deadline, so an interrupted sleep resumes without adding
    // time, and with the thread's timer slack (50 µs by default) lowered for the
    // sleep alone: each exchange's pauses are the protocol's, not the kernel's
    // wake-up batching on top of them.
    timespec deadline;
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    const int64_t ns = deadline.tv_nsec + (us % 1000000) * 1000;
    deadline.tv_sec += static_cast<time_t>(us / 1000000 + ns / 1000000000);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000);
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 1) prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
    if (slack > 1) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
}

}  // namespace

void mySleep(int32_t ms) { sleepUs((static_cast<int64_t>(ms) + 2) * 1000); }

void wait_us(int32_t n) {
    if (n <= 0) return;
    const int64_t target = static_cast<int64_t>(n) * 100;
    if (virtualClock.load(std::memory_order_relaxed)) {
        moveVirtual(target);
        return;
    }
    // A busy-wait on purpose: the bus gaps are shorter than a scheduler's sleep is exact.
    const int64_t start = monotonicUs();
    while (monotonicUs() - start < target) {
    }
}

void tim_usleep(int64_t us) { sleepUs(us); }

int clock_gettime(int /*clockId*/, TimeValue* tv) {
    const int64_t u = sharedClock.elapsedUs();
    tv->tv_sec = u / 1000000;
    tv->tv_usec = u % 1000000;
    return 0;
}

int64_t clock_gettime_us() { return microClock.elapsedUs(); }

TimeoutMs tim_setTimeout(int32_t ms) { return currentMs() + ms; }

int tim_isTimeout(TimeoutMs deadline) { return deadline < currentMs() ? 1 : 0; }

int64_t tim_nowUs() { return processClock.elapsedUs(); }

void tim_setVirtualClock(bool on) { virtualClock.store(on); }

void tim_advanceUs(int64_t us) {
    if (us > 0 && virtualClock.load(std::memory_order_relaxed)) moveVirtual(us);
}

int64_t tim_threadVirtualUs() { return movedHere; }
