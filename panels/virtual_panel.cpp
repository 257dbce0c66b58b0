#include "panels/virtual_panel.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "bus/crc.h"
#include "bus/packet_structures.h"

// Threads: none of its own; see the header.

namespace {

constexpr int64_t BYTE_US = 44;        // one byte at 250000 baud, 8N2
constexpr int64_t ANSWER_GAP_US = 88;  // between two answers to one request

bool hasSync(const uint8_t* b) { return b[0] == SYNC0 && b[1] == SYNC1 && b[2] == SYNC2; }

void fillDmxBlock(uint8_t* block, uint16_t start, uint8_t flags, uint32_t pattern) {
    std::memset(block, 0, DMX_BLOCK_SIZE);
    packet_putU16(block, start);
    block[2] = DMX_BLOCK_LEVELS;
    block[3] = flags;
    for (int j = 0; j < DMX_BLOCK_LEVELS; ++j) block[4 + j] = static_cast<uint8_t>((j * 37 + pattern * 11) & 0xFF);
}

}  // namespace

VirtualPanel::VirtualPanel(uint32_t id) : uid(id) {}

bool panels_isGoodCommandFrame(const uint8_t* bytes, size_t n) {
    if (n < static_cast<size_t>(PKT_HEADER_SIZE) || !hasSync(bytes) || bytes[3] != KIND_COMMAND) return false;
    if (n != static_cast<size_t>(PKT_HEADER_SIZE) + bytes[PKT_LEN]) return false;
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        if (i != PKT_CHECKSUM && i != PKT_CHECKSUM + 1) sum += bytes[i];
    return static_cast<uint16_t>(sum) == packet_getU16(bytes + PKT_CHECKSUM);
}

bool panels_isGoodDmxFrame(const uint8_t* bytes, size_t n) {
    if (n != static_cast<size_t>(DMX_FRAME_SIZE) || !hasSync(bytes)) return false;
    return get_CRC(bytes, DMX_CRC) == packet_getU16(bytes + DMX_CRC);
}

int panels_frameLength(const uint8_t* bytes, size_t n) {
    static const uint8_t sync[3] = {SYNC0, SYNC1, SYNC2};
    for (size_t i = 0; i < n && i < 3; ++i)
        if (bytes[i] != sync[i]) return -1;
    if (n < 4) return 0;
    switch (bytes[3]) {
        case KIND_COMMAND: return n < static_cast<size_t>(PKT_HEADER_SIZE) ? 0 : PKT_HEADER_SIZE + bytes[PKT_LEN];
        case KIND_DMX_DATA:
        case KIND_FW_CHUNK:
        case KIND_REBOOT: return DMX_FRAME_SIZE;
        default: return -1;
    }
}

std::vector<uint8_t> VirtualPanel::firmwareImage() const {
    std::vector<uint8_t> image;
    if (firmwareChunks.empty()) return image;
    const int chunks = firmwareChunks.rbegin()->first + 1;
    image.assign(static_cast<size_t>(chunks) * 64, 0xFF);
    for (const auto& [index, bytes] : firmwareChunks)
        std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(index) * 64);
    return image;
}

PanelSetup VirtualPanel::setup() const {
    PanelSetup s{};
    s.intensity = intensity;
    for (int b = 0; b < DEV_BUTTONS; ++b) s.btn[b] = btn[b];
    return s;
}

std::vector<uint8_t> VirtualPanel::commandFrame(const std::vector<uint8_t>& data) const {
    std::vector<uint8_t> f(PKT_HEADER_SIZE + data.size());
    packet_fillHeader(f.data(), UID_ALL);
    packet_putU32(f.data() + PKT_SRC, uid);
    f[PKT_LEN] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.begin() + PKT_DATA);
    packet_fillCrc(f.data());
    return f;
}

std::vector<uint8_t> VirtualPanel::setupAnswerFrame() const {
    std::vector<uint8_t> d{0x01, 0x09, 0x01, intensity};
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        d.insert(d.end(), {0x08, 0x04, static_cast<uint8_t>(b), btn[b].type, static_cast<uint8_t>(btn[b].scn & 0xFF),
                           static_cast<uint8_t>(btn[b].scn >> 8)});
    }
    d.insert(d.end(), {0x0A, 0x01, act, 0xA0, 0x02, verMajor, verMinor});
    return commandFrame(d);
}

std::vector<uint8_t> VirtualPanel::dmxBlockAnswerFrame(int index) const {
    std::vector<uint8_t> d{0x01, 0x0B, 0x4B, static_cast<uint8_t>(index)};
    d.insert(d.end(), dmx[index], dmx[index] + DMX_BLOCK_SIZE);
    return commandFrame(d);
}

std::vector<uint8_t> VirtualPanel::buttonStateFrame() const {
    std::vector<uint8_t> f(DMX_FRAME_SIZE, 0);
    packet_fillDmxHeader(f.data(), KIND_DMX_DATA, 0xFFFF);
    f[10] = 'S';
    f[11] = 0x01;
    size_t i = 12;
    // Firmware and backlight sections: the configurator skips them.
    for (uint8_t b : {uint8_t{'F'}, uint8_t{2}, verMajor, verMinor, uint8_t{'L'}, uint8_t{1}, intensity}) f[i++] = b;
    f[i++] = 0x43;
    f[i++] = 24;
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        f[i++] = sceneOn[b] ? 1 : 0;
        f[i++] = btn[b].type;
        f[i++] = static_cast<uint8_t>(btn[b].scn & 0xFF);
        f[i++] = static_cast<uint8_t>(btn[b].scn >> 8);
    }
    packet_putU16(f.data() + DMX_CRC, get_CRC(f.data(), DMX_CRC));
    return f;
}

// Counts a request it would act on; false when answerEvery makes it miss this one.
bool VirtualPanel::admit() {
    ++requestCount;
    return faults.answerEvery <= 1 || requestCount % faults.answerEvery == 0;
}

void VirtualPanel::toggle(int button) {
    sceneOn[button] = !sceneOn[button];
    act = 0;
    for (int b = 0; b < DEV_BUTTONS; ++b)
        if (sceneOn[b]) act |= static_cast<uint8_t>(1u << b);
}

void VirtualPanel::finish(std::vector<Answer>& answers) const {
    if (faults.silent) {
        answers.clear();
        return;
    }
    for (auto& a : answers) {
        std::vector<uint8_t>& f = a.bytes;
        // Compare answers are bare bytes, not frames: nothing to disturb.
        if (f.size() < static_cast<size_t>(PKT_HEADER_SIZE)) continue;
        const bool command = f[3] == KIND_COMMAND;
        if (faults.answerAs && command) {
            packet_putU32(f.data() + PKT_SRC, *faults.answerAs);
            packet_fillCrc(f.data());
        }
        if (faults.corruptAnswers) f[f.size() / 2] ^= 0x5A;
        const bool dmxBlock = command && f[PKT_LEN] >= 2 && f[PKT_DATA] == 0x01 && f[PKT_DATA + 1] == 0x0B;
        if (faults.brief || (faults.cutDmxBlocks && dmxBlock)) f.resize(f.size() * 2 / 3);
        if (faults.rambling) {
            const uint8_t tail[] = {0x00, 0x55, SYNC0, SYNC1, SYNC2, KIND_COMMAND};
            f.insert(f.end(), tail, tail + sizeof tail);
            for (int i = 0; i < 14; ++i) f.push_back(static_cast<uint8_t>((uid >> (i % 4 * 8)) + i * 29));
        }
        if (faults.falseStart) {
            std::vector<uint8_t> header(PKT_HEADER_SIZE);
            packet_fillHeader(header.data(), UID_ALL);
            packet_putU32(header.data() + PKT_SRC, uid);
            header[PKT_LEN] = 250;  // its checksum is whatever: its data never comes
            f.insert(f.begin(), header.begin(), header.end());
        }
    }
}

std::vector<VirtualPanel::Answer> VirtualPanel::hear(const uint8_t* bytes, size_t n) {
    std::vector<Answer> answers;
    if (n < 4 || !hasSync(bytes)) return answers;
    switch (bytes[3]) {
        case KIND_COMMAND:
            if (panels_isGoodCommandFrame(bytes, n)) hearCommand(bytes, n, answers);
            break;
        case KIND_FW_CHUNK:
        case KIND_REBOOT:
            if (panels_isGoodDmxFrame(bytes, n)) hearDmxFrame(bytes);
            break;
        default:  // other panels' reports and anything unknown
            break;
    }
    finish(answers);
    return answers;
}

namespace {

// Several answers to one request follow each other on the wire.
void pushAnswer(std::vector<PanelAnswer>& answers, std::vector<uint8_t> bytes, int64_t delayUs) {
    int64_t at = delayUs;
    if (!answers.empty()) {
        const PanelAnswer& last = answers.back();
        at = last.delayUs + static_cast<int64_t>(last.bytes.size()) * BYTE_US + ANSWER_GAP_US;
    }
    answers.push_back({std::move(bytes), at});
}

}  // namespace

void VirtualPanel::hearCommand(const uint8_t* f, size_t, std::vector<Answer>& answers) {
    // Frames from other panels (their answers go to all) are not requests.
    if (packet_source(f) != UID_ALL) return;
    const uint32_t dest = packet_destination(f);
    if (dest != uid && dest != UID_ALL) return;
    const int len = f[PKT_LEN];
    const uint8_t* d = f + PKT_DATA;
    if (len < 1) return;
    const int64_t delay = faults.answerDelayUs;

    switch (d[0]) {
        case 0x01: hearSetup(d, len, answers); return;
        case 0x02:
            if (len < 2) return;
            if (d[1] == 0x01) {
                muted = false;
            } else if (d[1] == 0x02 && len >= 6) {
                const uint32_t addr = packet_getU32(d + 2);
                if (muted || addr >= uid || !admit()) return;
                // Any byte will do; these differ between panels so that collisions show.
                pushAnswer(answers, {static_cast<uint8_t>(uid | 0x80), static_cast<uint8_t>(uid >> 8)}, delay);
            } else if (d[1] == 0x00) {
                if (!admit() || faults.noMuteConfirm) return;
                muted = !faults.noStayMuted;
                ++muteCount;
                pushAnswer(answers, commandFrame({0x02, 0x00}), delay);
            }
            return;
        case 0x03:
            if (len < 3) return;
            if (d[1] == 0x20) {
                if (!admit()) return;
                ++identifyCount;
                lastIdentifyMask = len >= 6 ? d[5] : 0;
                pushAnswer(answers, commandFrame({0x03, 0x20, 0x00}), delay);
            } else if (d[1] == 0x10 && d[2] == 0x04 && len >= 7) {
                if (!admit()) return;
                const uint32_t newUid = packet_getU32(d + 3);
                ++uidChangeCount;
                if (!faults.ackUidUnderNewUid) pushAnswer(answers, commandFrame({0x03, 0x11, 0x00}), delay);
                uid = newUid;
                if (faults.ackUidUnderNewUid) pushAnswer(answers, commandFrame({0x03, 0x11, 0x00}), delay);
            }
            return;
        default: return;
    }
}

void VirtualPanel::hearSetup(const uint8_t* d, int len, std::vector<Answer>& answers) {
    const int64_t delay = faults.answerDelayUs;
    if (len == 1) {
        if (!admit()) return;
        ++setupReads;
        pushAnswer(answers, setupAnswerFrame(), delay);
        return;
    }

    // Walk the records first: a request it does not take is not counted.
    struct Record {
        uint8_t tag;
        uint8_t len;
        const uint8_t* v;
    };
    std::vector<Record> records;
    for (int i = 1; i + 1 < len;) {
        const uint8_t tag = d[i];
        const uint8_t rlen = d[i + 1];
        if (i + 2 + rlen > len) break;
        const uint8_t* v = d + i + 2;
        const bool taken = (tag == 0x09 && rlen >= 1) || (tag == 0x08 && rlen >= 4 && v[0] < DEV_BUTTONS) ||
                           (tag == 0x0B && (rlen == 1 || rlen == 75) && v[0] < DEV_BUTTONS) ||
                           (tag == 0x0A && rlen == 1 && v[0] < DEV_BUTTONS);
        if (!taken) break;
        records.push_back({tag, rlen, v});
        i += 2 + rlen;
    }
    if (records.empty() || !admit()) return;

    bool wroteSetup = false;
    std::vector<int> blocks;  // block answers, in request order
    bool pressed = false;
    const bool keep = !faults.dropsWrites;
    for (const Record& r : records) {
        switch (r.tag) {
            case 0x09:
                if (keep) intensity = r.v[0];
                wroteSetup = true;
                break;
            case 0x08:
                if (keep) btn[r.v[0]].type = r.v[1];
                if (keep) btn[r.v[0]].scn = packet_getU16(r.v + 2);
                wroteSetup = true;
                break;
            case 0x0B:
                if (r.len == 75) {
                    if (keep) std::memcpy(dmx[r.v[0]], r.v + 1, DMX_BLOCK_SIZE);
                    ++dmxWrites;
                } else {
                    ++dmxReads;
                }
                blocks.push_back(r.v[0]);
                break;
            case 0x0A:
                toggle(r.v[0]);
                ++pressCount;
                lastPressButton = r.v[0];
                pressed = true;
                break;
        }
    }
    if (wroteSetup) {
        ++setupWrites;
        pushAnswer(answers, setupAnswerFrame(), delay);
    }
    for (int b : blocks) pushAnswer(answers, dmxBlockAnswerFrame(b), delay);
    if (pressed) pushAnswer(answers, buttonStateFrame(), delay);
}

void VirtualPanel::hearDmxFrame(const uint8_t* f) {
    if (f[3] == KIND_REBOOT) {
        // A reboot starts a new image.
        ++rebootCount;
        firmwareChunks.clear();
        chunkFrames = 0;
        return;
    }
    std::array<uint8_t, 64> chunk;
    std::memcpy(chunk.data(), f + DMX_BODY, chunk.size());
    firmwareChunks[packet_getU16(f + DMX_CHUNK)] = chunk;
    ++chunkFrames;
}

std::vector<uint8_t> VirtualPanel::spontaneousReport() {
    for (int k = 0; k < DEV_BUTTONS; ++k) {
        const int b = (nextReportButton_ + k) % DEV_BUTTONS;
        if (btn[b].type == 1 || btn[b].type == 2) {
            toggle(b);
            nextReportButton_ = (b + 1) % DEV_BUTTONS;
            break;
        }
    }
    ++reportCount;
    std::vector<Answer> out{{buttonStateFrame(), 0}};
    finish(out);
    return out.empty() ? std::vector<uint8_t>{} : out[0].bytes;
}

std::vector<VirtualPanel> panels_demoSet() {
    struct Demo {
        uint32_t uid;
        uint8_t intensity, major, minor;
        uint8_t types[DEV_BUTTONS];
        uint16_t scenes[DEV_BUTTONS];
        int64_t reportEveryUs;
    };
    static const Demo demo[] = {
        {0x04C11DB7, 0, 1, 4, {1, 1, 2, 2, 0, 0}, {0x0001, 0x0002, 0x0004, 0x0008, 0, 0}, 0},
        {0x1B873593, 1, 1, 9, {2, 2, 2, 1, 1, 1}, {0x0011, 0x0022, 0x0044, 0x0100, 0x0200, 0x8000}, 3000000},
        {0x2F6E3A10, 2, 2, 0, {0, 1, 0, 2, 0, 1}, {0, 0x0003, 0, 0x000C, 0, 0x0030}, 0},
        {0x3565BCEF, 2, 2, 3, {1, 2, 1, 2, 1, 2}, {0x0101, 0x0202, 0x0404, 0x0808, 0x1010, 0x2020}, 0},
        {0x5A17C0DE, 1, 3, 1, {2, 0, 0, 0, 0, 1}, {0xFFFF, 0, 0, 0, 0, 0x0001}, 0},
        {0x7E3779B9, 0, 3, 5, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0},
    };
    std::vector<VirtualPanel> panels;
    int p = 0;
    for (const Demo& d : demo) {
        VirtualPanel panel(d.uid);
        panel.intensity = d.intensity;
        panel.verMajor = d.major;
        panel.verMinor = d.minor;
        for (int b = 0; b < DEV_BUTTONS; ++b) {
            panel.btn[b] = ButtonSetup{d.types[b], d.scenes[b]};
            const uint16_t start = static_cast<uint16_t>(1 + (p * 97 + b * 73) % 511);
            fillDmxBlock(panel.dmx[b], start, static_cast<uint8_t>((p + b) % 4), static_cast<uint32_t>(p * 6 + b));
        }
        panel.faults.reportEveryUs = d.reportEveryUs;
        panels.push_back(panel);
        ++p;
    }
    // One scene is on from the start.
    panels[1].sceneOn[0] = true;
    panels[1].act = 0x01;
    return panels;
}

std::vector<VirtualPanel> panels_randomSet(int count, uint32_t seed, const std::vector<uint32_t>& avoid) {
    std::mt19937 rng(seed);
    std::set<uint32_t> used(avoid.begin(), avoid.end());
    std::vector<VirtualPanel> panels;
    while (static_cast<int>(panels.size()) < count) {
        const uint32_t uid = 1 + rng() % 0x7FFFFFFFu;
        if (!used.insert(uid).second) continue;
        VirtualPanel panel(uid);
        panel.intensity = static_cast<uint8_t>(rng() % 3);
        panel.verMajor = static_cast<uint8_t>(1 + rng() % 3);
        panel.verMinor = static_cast<uint8_t>(rng() % 10);
        for (int b = 0; b < DEV_BUTTONS; ++b) {
            const uint8_t type = static_cast<uint8_t>(rng() % 3);
            panel.btn[b] = ButtonSetup{type, static_cast<uint16_t>(type ? rng() & 0xFFFF : 0)};
            fillDmxBlock(panel.dmx[b], static_cast<uint16_t>(1 + rng() % 511), static_cast<uint8_t>(rng() % 4), rng());
        }
        panels.push_back(panel);
    }
    return panels;
}
