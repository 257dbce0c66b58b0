// The tests' entry point: bus timing runs on the virtual clock from the start.
#include <gtest/gtest.h>

#include "bus/timer.h"

int main(int argc, char** argv) {
    tim_setVirtualClock(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
