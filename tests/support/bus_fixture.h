// A fixture that puts a scripted driver under the ftdi module and leaves the
// port closed and the assembler empty before and after each test.
#pragma once

#include <gtest/gtest.h>

#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/port/port.h"
#include "tests/support/script_driver.h"

class ScriptedBus : public ::testing::Test {
protected:
    void SetUp() override {
        port_setDriver(&driver);
        cable_free();
        packet_resetAssembler();
        driver.clearLog();
    }
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
    }
    ScriptDriver driver;
};
