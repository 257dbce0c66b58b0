// One virtual panel: what a wall panel does with each transmission it hears on
// the bus, without any notion of time or I/O. The bus (virtual_bus.h) and the
// pseudo-terminal server (pty_server.h) put its answers on a wire.
//
// Threads: a VirtualPanel has no lock of its own; its owner guards it (the
// VirtualBus mutex, or the pty server's single serving thread).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "devices/devices.h"

struct PanelFaults {
    bool silent = false;               // its transmitter is dead: it acts on what it hears but never answers
    int answerEvery = 1;               // hears only every k-th request it would act on (the others are lost)
    bool noMuteConfirm = false;        // answers compares but ignores its mute: never muted, never confirms
    bool noStayMuted = false;          // confirms its mute but goes on answering compares
    bool corruptAnswers = false;       // flips a byte in every answer frame
    bool brief = false;                // cuts every answer frame short: its last third never comes
    bool cutDmxBlocks = false;         // cuts its DMX-block answers short, and only those
    bool rambling = false;             // follows every answer frame with 20 more bytes, a frame start among them
    bool falseStart = false;           // puts a false frame start before every answer frame: a header whose
                                       // length byte claims 250 bytes of data that never come
    bool dropsWrites = false;          // confirms setup and DMX-block writes but keeps what it had
    std::optional<uint32_t> answerAs;  // signs its answer frames with this UID (0 too) instead of its own
    static constexpr int64_t ANSWER_DELAY_US = 2000;
    int64_t answerDelayUs = ANSWER_DELAY_US;  // from the end of the request's last byte to the answer's first byte
    bool ackUidUnderNewUid = false;
    int64_t reportEveryUs = 0;  // spontaneous button-state reports; 0 never. A report
                                // waits until the configurator has been quiet for 200 ms.
};

// One answer on the wire: its bytes and when they start after the request ended.
struct PanelAnswer {
    std::vector<uint8_t> bytes;
    int64_t delayUs = 0;
};

class VirtualPanel {
public:
    using Answer = PanelAnswer;

    VirtualPanel() = default;
    explicit VirtualPanel(uint32_t uid);

    // Setup and state.
    uint32_t uid = 0;
    uint8_t intensity = 1;
    ButtonSetup btn[DEV_BUTTONS] = {};
    uint8_t dmx[DEV_BUTTONS][DMX_BLOCK_SIZE] = {};
    uint8_t act = 0;  // bit b: sceneOn[b]
    uint8_t verMajor = 2;
    uint8_t verMinor = 0;
    bool muted = false;
    bool sceneOn[DEV_BUTTONS] = {};
    PanelFaults faults;

    // What it heard.
    int requestCount = 0;  // requests it would act on, counted before answerEvery drops some
    int identifyCount = 0;
    uint8_t lastIdentifyMask = 0;  // the optional button-mask byte; 0 for the whole-panel form
    int uidChangeCount = 0;
    int muteCount = 0;
    int rebootCount = 0;
    std::map<uint16_t, std::array<uint8_t, 64>> firmwareChunks;  // since the last reboot frame
    int chunkFrames = 0;                                         // since the last reboot frame
    int setupReads = 0;
    int setupWrites = 0;
    int dmxReads = 0;
    int dmxWrites = 0;
    int pressCount = 0;
    int lastPressButton = -1;
    int reportCount = 0;

    // Bytes of chunks 0..highest index in order; a chunk never heard reads as 0xFF.
    std::vector<uint8_t> firmwareImage() const;

    // The panel setup in the shape the configurator sends.
    PanelSetup setup() const;

    // One complete transmission: the bytes after a break, exactly one frame.
    // Returns the answers it makes; anything it does not take yields none.
    std::vector<Answer> hear(const uint8_t* bytes, size_t n);

    // A spontaneous report: toggles the next flash or latch button (if it has
    // one) and returns the button-state frame; empty when silent.
    std::vector<uint8_t> spontaneousReport();

    // Answer frames, as the panel would send them (faults not applied).
    std::vector<uint8_t> setupAnswerFrame() const;
    std::vector<uint8_t> dmxBlockAnswerFrame(int index) const;
    std::vector<uint8_t> buttonStateFrame() const;
    std::vector<uint8_t> commandFrame(const std::vector<uint8_t>& data) const;

private:
    bool admit();
    void finish(std::vector<Answer>& answers) const;
    void hearCommand(const uint8_t* f, size_t n, std::vector<Answer>& answers);
    void hearSetup(const uint8_t* d, int len, std::vector<Answer>& answers);
    void hearDmxFrame(const uint8_t* f);
    void toggle(int button);

    int nextReportButton_ = 0;
};

// Panel sets shared by the bus and the pty tool.
// Six panels with varied setups, versions 1.x to 3.x; one reports every 3 s.
std::vector<VirtualPanel> panels_demoSet();
// count panels with distinct UIDs 1..0x7FFFFFFF not in avoid, seeded setups.
std::vector<VirtualPanel> panels_randomSet(int count, uint32_t seed, const std::vector<uint32_t>& avoid = {});

// Frame checks as a receiver makes them.
bool panels_isGoodCommandFrame(const uint8_t* bytes, size_t n);
bool panels_isGoodDmxFrame(const uint8_t* bytes, size_t n);
// Expected length of a frame starting with the sync pattern (kind known, and
// for a command frame its length byte): 0 when not yet known, -1 when not a frame.
int panels_frameLength(const uint8_t* bytes, size_t n);
