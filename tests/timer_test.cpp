// Timing services on the virtual clock, and sleeps on the real one.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <time.h>

#include <cstdlib>

#include "bus/timer.h"

TEST(Timer, SleepsAndBusyWaitsInProtocolUnits) {
    auto took = [](void (*wait)()) {
        const int64_t t = tim_nowUs();
        wait();
        return tim_nowUs() - t;
    };
    EXPECT_EQ(took([] { wait_us(0); }), 0);
    EXPECT_EQ(took([] { wait_us(-5); }), 0);
    EXPECT_EQ(took([] { wait_us(44); }), 4400);
    EXPECT_EQ(took([] { mySleep(0); }), 2000);
    EXPECT_EQ(took([] { mySleep(15); }), 17000);
    EXPECT_EQ(took([] { tim_usleep(15000); }), 15000);
}

TEST(Timer, DeadlinesPassOnlyAfterTheirMillisecondEvenAfterMonthsOfUptime) {
    // Align to the start of a millisecond so the steps below are exact.
    TimeValue tv;
    clock_gettime(0, &tv);
    tim_advanceUs(1000 - tv.tv_usec % 1000);

    const TimeoutMs now = tim_setTimeout(0);
    EXPECT_EQ(tim_isTimeout(now), 0);
    tim_advanceUs(999);
    EXPECT_EQ(tim_isTimeout(now), 0);
    tim_advanceUs(1);
    EXPECT_EQ(tim_isTimeout(now), 1);

    const TimeoutMs fifteen = tim_setTimeout(15);
    tim_advanceUs(15999);
    EXPECT_EQ(tim_isTimeout(fifteen), 0);
    tim_advanceUs(1);
    EXPECT_EQ(tim_isTimeout(fifteen), 1);

    clock_gettime(0, &tv);
    EXPECT_GE(tv.tv_usec, 0);
    EXPECT_LT(tv.tv_usec, 1000000);

    tim_advanceUs(int64_t{30} * 24 * 3600 * 1000000);  // past 2^31 ms since the clock's first use
    const TimeoutMs late = tim_setTimeout(15);
    EXPECT_GT(late, int64_t{1} << 31);
    EXPECT_EQ(tim_isTimeout(late), 0);
    tim_advanceUs(16000);
    EXPECT_EQ(tim_isTimeout(late), 1);
    const int64_t a = clock_gettime_us();
    tim_advanceUs(5);
    EXPECT_EQ(clock_gettime_us() - a, 5);
}

namespace {

int64_t monotonicUs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Exit code 0 when every sleep lasted at least its length (a sleep is never
// early, however loaded the machine) and the thread's timer slack was left as set.
int sleepInRealTime() {
    tim_setVirtualClock(false);
    prctl(PR_SET_TIMERSLACK, 50000UL, 0, 0, 0);
    int64_t t = monotonicUs();
    mySleep(0);
    if (monotonicUs() - t < 2000) return 1;
    t = monotonicUs();
    tim_usleep(1500);
    if (monotonicUs() - t < 1500) return 2;
    if (prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0) != 50000) return 3;
    return 0;
}

}  // namespace

// In a child process of its own, so that the rest of the tests keep the virtual clock.
TEST(TimerRealClock, SleepsAreNeverShortAndLeaveTheTimerSlackAlone) {
    EXPECT_EXIT(std::exit(sleepInRealTime()), ::testing::ExitedWithCode(0), "");
}
