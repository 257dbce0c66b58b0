// Setup read and parse, setup send and the press-button request.
//
// Threads: the window's workers of lock bit 2 and the GUI thread run the requests;
// the parse functions run on whichever thread polls the cable (under its lock),
// so confirmation goes only through setup_rec.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "devices/devices.h"

// Reads uid's setup and its six DMX blocks into the device table. 1 when the
// setup request was confirmed (a block whose answer did not come stays
// unknown); -1 when it was not, and nothing else is asked.
int app_setup_read(uint32_t uid);
// Reads each panel in turn (app_setup_read): the one way every caller reads a
// list (the window's discovery, list load and "Read parameters", korvane-cli's
// read and backup). Before each read the status line's "Reading K of N" is set,
// the cancel request is looked at, so no read is cut short, and `progress`,
// when given, hears that `done` of `total` are read and `uid` is next.
struct SetupReads {
    int read = 0;
    int answered = 0;
    std::vector<uint32_t> silent;  // in the order read
    bool cancelled = false;        // the rest were not read
};
using ReadProgress = std::function<void(int done, int total, uint32_t uid)>;
SetupReads app_setup_readEach(const std::vector<uint32_t>& uids, const ReadProgress& progress = nullptr);
// The setup answer's parse function: confirms through setup_rec and fills the
// record of setup_asked (the UID the last setup request went to) only.
void app_setup_parse(uint8_t* frame);
// Tests: the answer record setup_rec and the UID asked, setup_asked.
struct SetupRecords {
    std::atomic<uint32_t>& rec;
    std::atomic<uint32_t>& asked;
};
SetupRecords app_setup_records();
// The parse function of DMX data frames that carry a setup section.
void app_setup_parseDmxHouse(uint8_t* frame);

// Which packets of a setup send the panel confirmed.
struct SetupSent {
    bool setup = false;           // the setup packet: intensity and buttons
    uint8_t blocksSent = 0;       // bit b: the packet of DMX block b went out
    uint8_t blocksConfirmed = 0;  // bit b: and was confirmed
};

// Sends the setup and the DMX blocks whose bit is set in `blocks` (bit b: block
// b was read from a panel or set by the operator); the others are not sent.
// 1 when every packet sent was confirmed, -1 when any was not; `report`, when
// given, says which were.
int app_setup_send(uint32_t uid, const PanelSetup* setup, const uint8_t (*dmx)[DMX_BLOCK_SIZE], uint8_t blocks,
                   SetupSent* report = nullptr);
// Sends frame until uid confirms it: 1, or -1 after five sends.
int app_setup_send_packet(uint8_t* frame, uint32_t uid);
// Presses button btn of uid once, unconfirmed; always 1.
int app_setup_send_simBtn(uint32_t uid, int btn);
