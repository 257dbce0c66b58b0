// Timing services on the virtual clock.
#include <gtest/gtest.h>

#include "bus/timer.h"

TEST(Timer, SleepsAndBusyWaitsInProtocolUnits) {
    int64_t t = tim_nowUs();
    wait_us(0);
    wait_us(-5);
    EXPECT_EQ(tim_nowUs(), t);
    wait_us(44);
    EXPECT_EQ(tim_nowUs() - t, 4400);
    t = tim_nowUs();
    mySleep(0);
    EXPECT_EQ(tim_nowUs() - t, 2000);
    t = tim_nowUs();
    mySleep(15);
    EXPECT_EQ(tim_nowUs() - t, 17000);
    t = tim_nowUs();
    tim_usleep(15000);
    EXPECT_EQ(tim_nowUs() - t, 15000);
}

TEST(Timer, DeadlinesPassOnlyAfterTheirMillisecond) {
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
}

TEST(Timer, DeadlinesHoldAfterMonthsOfUptime) {
    tim_setTimeout(0);                                 // the clock counts from its first use
    tim_advanceUs(int64_t{30} * 24 * 3600 * 1000000);  // past 2^31 ms
    const TimeoutMs deadline = tim_setTimeout(15);
    EXPECT_GT(deadline, int64_t{1} << 31);
    EXPECT_EQ(tim_isTimeout(deadline), 0);
    tim_advanceUs(16000);
    EXPECT_EQ(tim_isTimeout(deadline), 1);
    const int64_t a = clock_gettime_us();
    tim_advanceUs(5);
    EXPECT_EQ(clock_gettime_us() - a, 5);
}
