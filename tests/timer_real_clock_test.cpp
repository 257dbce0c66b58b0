// Sleeps on the real clock, each in a child process of its own so that the rest
// of the tests keep the virtual clock.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <time.h>

#include <cstdlib>

#include "bus/timer.h"

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

TEST(TimerRealClock, SleepsAreNeverShortAndLeaveTheTimerSlackAlone) {
    EXPECT_EXIT(std::exit(sleepInRealTime()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
