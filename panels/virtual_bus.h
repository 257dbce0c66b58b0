// The virtual bus: a port driver whose one "cable" leads to a set of virtual
// panels. It times every byte on the wire as a real line would (a 0x00 byte at
// a low baud rate is the break, 44 µs a byte at 250000 baud), lets the panels
// hear each transmission that follows a break, and delivers their answers byte
// by byte at the times they would arrive, colliding where they overlap.
//
// Time is tim_nowUs() (real or virtual clock). Every status query and read costs
// virtual time (setQueryCostUs), so a caller that polls without sleeping still
// sees its answers arrive. Everything is deterministic for given seeds.
//
// Threads: one mutex guards all of the bus and its panels; every public method
// takes it. The configurator's thread (through the driver calls) and a test's
// thread (inspecting, injecting) may meet here. panel() and addPanel() hand out
// references into the bus: use them only while no other thread drives the bus.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "bus/port/port.h"
#include "panels/arrivals.h"
#include "panels/panel_set.h"
#include "panels/virtual_panel.h"

class VirtualBus : public PortDriver {
public:
    static constexpr const char* SERIAL = "KVSIM001";
    static constexpr const char* DESCRIPTION = "Korvane virtual panels";

    // One transmission of the configurator, split at breaks.
    struct Transmission {
        bool afterBreak = false;
        std::vector<uint8_t> bytes;  // after the break, which is not included
        int64_t atUs = 0;            // the break's start on the wire (else the first byte's)
        int64_t endUs = 0;           // end of its last byte on the wire
        bool garbled = false;        // some bytes went out at another baud rate
    };

    VirtualBus();

    // A panel with a plain setup: intensity 1, all buttons off, version 2.0.
    VirtualPanel& addPanel(uint32_t uid);
    void addDemoPanels();
    void addRandomPanels(int count, uint32_t seed);  // distinct UIDs 1..0x7FFFFFFF
    std::vector<uint32_t> uids() const;
    VirtualPanel* panel(uint32_t uid);  // first panel with that UID, or null
    size_t panelCount() const;
    VirtualPanel& panelAt(size_t index);
    void setAnswerDelayUs(int64_t us);  // for every panel now on the bus

    std::vector<Transmission> heard() const;
    void clearHeard();
    // The 512 levels of the last console frame heard (empty before the first).
    std::vector<uint8_t> lastUniverse() const;

    // Random bytes at random times (exponential gaps), from now on; 0 stops it.
    void setLineNoise(double bytesPerSecond, uint32_t seed);
    // Bytes that start arriving now, one per byte time.
    void injectBytes(const uint8_t* bytes, size_t n);
    // A vanished cable fails every call, is not listed, and loses its open port.
    void setCableVanished(bool vanished);
    void setQueryCostUs(int64_t us);
    // The line as a chip's transmitter drives it (the tests' emulated FTDI
    // chip): n bytes that left it from startUs on at this rate; clean false
    // for another format than 8N2, or a byte cut by a change of rate. The
    // panels hear anything not clean at 250000 baud as noise.
    int transmit(const uint8_t* bytes, uint32_t n, int64_t startUs, uint32_t baud, bool clean);

    bool isOpen() const;
    uint32_t baudRate() const;
    uint64_t statusQueries() const;

    // PortDriver
    int libraryVersion(uint32_t* version) override;
    int list(PortDeviceInfo* cables, int capacity, uint32_t* count) override;
    int open(const char* serial) override;
    int configure(uint32_t baud) override;
    int bytesWaiting(uint32_t* n) override;
    int read(uint8_t* buffer, uint32_t n, uint32_t* got) override;
    int write(const uint8_t* buffer, uint32_t n, uint32_t* written) override;
    int transmitEmpty(bool* empty) override;
    int close() override;
    std::string lastError() override;

private:
    struct Segment {  // bytes of one write on the wire
        int64_t startUs;
        int64_t byteUs;
        uint32_t n;
    };

    int check() const;
    void put(const uint8_t* buffer, uint32_t n, int64_t start, bool garbled);
    void advance(int64_t now);
    void scanReports(int64_t now);
    void deliver();
    uint32_t txPending(int64_t now) const;
    int64_t byteUs() const;
    bool listedPart(const Transmission& t, Transmission* out) const;

    mutable std::mutex mutex_;
    PanelSet panels_;
    int64_t lastScanUs_ = 0;
    bool needScan_ = true;

    bool vanished_ = false;
    bool open_ = false;
    static constexpr uint32_t BAUD_AT_OPEN = 9600;  // a serial line's rate before anyone sets it
    uint32_t baud_ = BAUD_AT_OPEN;
    int stopBits_ = 1;  // a freshly opened chip: 8N1
    int64_t queryCostUs_ = 100;
    uint64_t statusQueries_ = 0;

    int64_t lineFreeUs_ = 0;
    std::deque<Segment> segments_;
    ArrivalQueue arrivals_{ArrivalQueue::BYTE_US};  // panels answer at 250000 baud, 8N2
    std::deque<uint8_t> rx_;

    std::deque<Transmission> heard_;
    Transmission current_;
    bool haveCurrent_ = false;
    bool listedWhole_ = true;  // false after clearHeard() until the next transmission starts
    size_t listedFrom_ = 0;
    bool currentDone_ = false;  // heard by the panels, or can no longer be a frame
    std::vector<uint8_t> universe_;

    double noiseRate_ = 0;
    std::mt19937 noiseRng_;
    int64_t nextNoiseUs_ = INT64_MAX;
};

// A new bus with the demo set: KORVANE_PORT=sim.
std::unique_ptr<PortDriver> sim_newDemoDriver();
