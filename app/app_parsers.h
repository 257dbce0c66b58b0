// Hands the receive assembler the parse function of each bus operation.
// Called once at start-up (and by the tests' set-up), before any bus work.
#pragma once

#include "app/app_discovery.h"
#include "app/app_genUID.h"
#include "app/app_identify.h"
#include "app/app_setup.h"
#include "bus/packet_parser.h"

inline void app_installParsers() {
    PacketParsers p;
    p.dmxHouse = app_setup_parseDmxHouse;
    p.setup = app_setup_parse;
    p.discovery = app_discovery_parse;
    p.identify = app_identify_parse;
    p.genUid = app_genUid_parse;
    packet_setParsers(p);
}
