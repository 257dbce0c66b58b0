#include "app/app_setup.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "app/handover.h"
#include "bus/cable.h"
#include "bus/diag.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"

// Threads: see app_setup.h. Each request holds the cable lock from its first
// send to its last poll, so its answer is parsed under that lock on this thread;
// between two requests of a read or a send, other exchanges may take the cable.

namespace {

std::atomic<uint32_t> setup_rec{0};
std::atomic<uint32_t> setup_asked{0};

constexpr int POLLS = 55;
constexpr int POLL_US = 15000;
constexpr int BLOCK_GAP = 1500;  // before each DMX block's packet, in 100 µs
constexpr int PRESS_US = 1000;   // after a press: the panel takes it before the next frame

void setData(uint8_t* frame, std::initializer_list<uint8_t> bytes) {
    int i = 0;
    for (uint8_t b : bytes) frame[PKT_DATA + i++] = b;
    frame[PKT_LEN] = static_cast<uint8_t>(i);
}

}  // namespace

SetupRecords app_setup_records() { return {setup_rec, setup_asked}; }

int app_setup_send_packet(uint8_t* frame, uint32_t uid) {
    CableHold hold;
    setup_asked = uid;
    setup_rec = 0;
    return cable_sendAndConfirm(
        frame, POLLS, [] { tim_usleep(POLL_US); }, [uid] { return setup_rec == uid; });
}

int app_setup_read(uint32_t uid) {
    const CableSession session;
    uint8_t frame[PKT_MAX_SIZE];
    packet_fillHeader(frame, uid);
    setData(frame, {CMD_SETUP});
    {
        CableHold hold;
        if (app_setup_send_packet(frame, uid) != 1) return -1;
        // From here the record holds this read: a block counts as read once its answer came.
        dev_forgetDmxBlocks(uid);
    }
    for (uint8_t i = 0; i < DEV_BUTTONS; ++i) {
        setData(frame, {CMD_SETUP, DEV_TAG_DMX, 1, i});  // the block's index alone
        app_setup_send_packet(frame, uid);
    }
    return 1;
}

SetupReads app_setup_readEach(const std::vector<uint32_t>& uids, const ReadProgress& progress) {
    SetupReads r;
    const int total = static_cast<int>(uids.size());
    for (int i = 0; i < total; ++i) {
        if (cancel_requested()) {
            r.cancelled = true;
            break;
        }
        status_setReading(i + 1, total);
        if (progress) progress(i, total, uids[i]);
        if (app_setup_read(uids[i]) > 0)
            ++r.answered;
        else
            r.silent.push_back(uids[i]);
        ++r.read;
    }
    status_setReading(0, 0);
    return r;
}

void app_setup_parse(uint8_t* frame) {
    const int len = frame[PKT_LEN];
    if (len <= 2) return;
    diag_puts("app_setup_parse");
    const uint8_t* data = frame + PKT_DATA;
    if (data[0] != CMD_SETUP) return;
    const uint32_t uid = packet_source(frame);
    if (uid == 0) return;  // no panel's address: it confirms nothing and fills no record
    // Only the panel last asked fills its record, and only a record already listed:
    // an answer under another UID must not land in that panel's record nor add a row.
    const bool store = uid == setup_asked;
    // Bytes past the frame's data are never read: a record that does not fit ends the walk.
    auto at = [&](int i) -> int { return i < len ? data[i] : 0; };
    int pos = 1;
    while (pos + 1 < len) {
        const uint8_t tag = data[pos];
        const int valueLen = data[pos + 1];
        if (pos + SETUP_REC_HEAD + valueLen > len) break;
        const uint8_t* rec = data + pos + 1;
        if (tag == DEV_TAG_ACTIVE) diag_printf("ACT:%d %d %d\n", valueLen, at(pos + 2), at(pos + 3));
        if (tag == DEV_TAG_DMX) diag_printf("DMX:%d %d\n", valueLen, at(pos + 2));
        if (tag != DEV_TAG_BUTTON && tag != DEV_TAG_INTENSITY && tag != DEV_TAG_ACTIVE && tag != DEV_TAG_DMX &&
            tag != DEV_TAG_VERSION)
            break;
        if (store) dev_updateFromAnswer(uid, tag, rec);
        pos += SETUP_REC_HEAD + valueLen;
    }
    setup_rec = uid;
}

void app_setup_parseDmxHouse(uint8_t* frame) {
    // The body's sections: firmware and backlight (skipped), then the buttons.
    constexpr int DMX_LAST_BYTE = DMX_CRC - 1;
    constexpr int BUTTONS_LEN = DEV_BUTTONS * BUTTON_STATE_SIZE;
    diag_puts("DMX Data packet.");
    if (frame[DMX_BODY] != DMX_HOUSE_MARK) return;
    int pos = DMX_SECTIONS;
    // Skips an optional section; false when it would run past the body.
    auto skip = [&](uint8_t tag) {
        if (frame[pos] != tag) return true;
        const int next = pos + SETUP_REC_HEAD + frame[pos + 1];
        if (next > DMX_LAST_BYTE) return false;
        pos = next;
        return true;
    };
    if (!skip(SECTION_F) || !skip(SECTION_L)) return;
    if (frame[pos] != SECTION_BUTTONS) return;
    diag_puts("Btn:");
    if (frame[pos + 1] != BUTTONS_LEN) return;
    if (pos + SETUP_REC_HEAD + BUTTONS_LEN > DMX_LAST_BYTE + 1) return;
    for (int e = 0; e < DEV_BUTTONS; ++e) {
        const uint8_t* entry = frame + pos + SETUP_REC_HEAD + static_cast<ptrdiff_t>(BUTTON_STATE_SIZE) * e;
        const uint16_t scn = packet_getU16(entry + 2);
        dev_setActBtn(entry[0], entry[1], scn);
        diag_printf(" btn:%02X\ttype:%d\tscn%04X\n", entry[0], entry[1], scn);
    }
}

int app_setup_send(uint32_t uid, const PanelSetup* setup, const uint8_t (*dmx)[DMX_BLOCK_SIZE], uint8_t blocks,
                   SetupSent* report) {
    SetupSent unused;
    SetupSent& sentReport = report ? *report : unused;
    sentReport = SetupSent{};
    const CableSession session;
    uint8_t frame[PKT_MAX_SIZE];
    packet_fillHeader(frame, uid);
    // The command, the intensity record, then a button record a button.
    constexpr int BUTTONS_AT = 1 + SETUP_REC_HEAD + 1;
    constexpr int SETUP_LEN = BUTTONS_AT + DEV_BUTTONS * BUTTON_REC_SIZE;
    // The command, the record's head and the block's index, then the block.
    constexpr int BLOCK_AT = 1 + SETUP_REC_HEAD + 1;
    constexpr int BLOCK_LEN = BLOCK_AT + DMX_BLOCK_SIZE;
    uint8_t* data = frame + PKT_DATA;
    data[0] = CMD_SETUP;
    data[1] = DEV_TAG_INTENSITY;
    data[2] = 1;
    data[3] = setup->intensity & 3;  // a write carries two bits
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        uint8_t* rec = data + BUTTONS_AT + static_cast<ptrdiff_t>(BUTTON_REC_SIZE) * b;
        rec[0] = DEV_TAG_BUTTON;
        rec[1] = BUTTON_REC_LEN;
        rec[2] = static_cast<uint8_t>(b);
        rec[3] = setup->btn[b].type;
        packet_putU16(rec + 4, setup->btn[b].scn);
    }
    frame[PKT_LEN] = SETUP_LEN;

    diag_fputs("Sending setup");
    if (app_setup_send_packet(frame, uid) != 1) {
        diag_printf(" ...%d\n", -1);
        return -1;
    }
    diag_printf(" ...%d\n", 1);
    sentReport.setup = true;

    int result = 1;
    for (int i = 0; i < DEV_BUTTONS; ++i) {
        // A block never read from the panel nor set by the operator holds zeros or
        // another panel's levels: sending it would erase the panel's own.
        if ((blocks & 1u << i) == 0) continue;
        const uint8_t* block = dmx[i];
        data[0] = CMD_SETUP;
        data[1] = DEV_TAG_DMX;
        data[2] = 1 + DMX_BLOCK_SIZE;
        data[3] = static_cast<uint8_t>(i);
        std::memcpy(data + BLOCK_AT, block, DMX_BLOCK_SIZE);
        frame[PKT_LEN] = BLOCK_LEN;
        const uint8_t* levels = block + 4;  // after start (2), count and flags
        diag_printf("Start: %d: %d %d %d\n", static_cast<int16_t>(packet_getU16(block)), levels[0], levels[1],
                    levels[2]);
        wait_us(BLOCK_GAP);
        diag_printf("Sending dmx setup %d", i);
        const int sent = app_setup_send_packet(frame, uid);
        diag_printf(" ...%d\n", sent == 1 ? 1 : -1);
        sentReport.blocksSent |= static_cast<uint8_t>(1u << i);
        if (sent == 1) sentReport.blocksConfirmed |= static_cast<uint8_t>(1u << i);
        if (sent != 1) result = -1;
    }
    return result;
}

int app_setup_send_simBtn(uint32_t uid, int btn) {
    // The port stays open after a press: the panel answers it with its button
    // states (DMX data frames), which the status tick reads from the open port.
    CableSession session(CableSession::Held);
    session.keepOpen();
    uint8_t frame[PKT_MAX_SIZE];
    packet_fillHeader(frame, uid);
    setData(frame, {CMD_SETUP, DEV_TAG_ACTIVE, 1, static_cast<uint8_t>(btn)});
    cable_sendPacket(frame);
    tim_usleep(PRESS_US);
    return 1;
}
