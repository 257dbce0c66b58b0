// A fixture that puts the virtual panels under the ftdi module, with the bus
// operations' parsers installed and the device table empty.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "app/app_parsers.h"
#include "app/handover.h"
#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/packet_structures.h"
#include "bus/port/port.h"
#include "devices/devices.h"
#include "tests/support/gated_bus.h"

using Data = std::vector<uint8_t>;

class SimBus : public ::testing::Test {
protected:
    void SetUp() override {
        port_setDriver(&bus);
        cable_free();
        packet_resetAssembler();
        app_installParsers();
        dev_removeAll();
        handover_reset();
    }
    void TearDown() override {
        cable_free();
        port_setDriver(nullptr);
    }

    // The data bytes of every command frame the configurator sent after a break.
    std::vector<Data> commandsHeard() const {
        std::vector<Data> out;
        for (const auto& t : bus.heard()) {
            if (!t.afterBreak || t.bytes.size() < PKT_HEADER_SIZE || t.bytes[3] != KIND_COMMAND) continue;
            out.emplace_back(t.bytes.begin() + PKT_DATA, t.bytes.end());
        }
        return out;
    }
    size_t countHeard(const Data& prefix) const {
        size_t n = 0;
        for (const auto& d : commandsHeard())
            if (d.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), d.begin())) ++n;
        return n;
    }

    GatedBus bus;
};
