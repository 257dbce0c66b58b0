// Timing fidelity: each bus operation run in real time against the virtual
// panels (the virtual bus times every byte on the wire on the real clock), beside
// the floor that the protocol itself sets for it.
//
// The floor is computed by replaying the operation's prescribed steps on a model
// line: every sleep as given (mySleep(n) = n + 2 ms, usleep(15000) = 15 ms), every
// busy-wait, each send as a break (one 0x00 byte at 15625 baud, 704 µs, then drain
// waits of wait_us(50) until it is out) and the frame (44 µs a byte, then drain
// waits of wait_us(44) until it is out), the panel's answer starting 2 ms after
// the request's last byte and each of its bytes usable once it has fully arrived,
// each poll reading at most 50 bytes, and an unanswered waitForBreak(15) lasting
// 15 ms: its deadline counts whole milliseconds, so it lasts 15 to 16 ms by
// where in its millisecond it was set, and the floor takes the least.
// The answers themselves are those a copy of the panel gives to the same frames.
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>

#include "app/app_discovery.h"
#include "app/app_firmware.h"
#include "app/app_identify.h"
#include "app/app_parsers.h"
#include "app/app_setup.h"
#include "app/site_file.h"
#include "bench/bench.h"
#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/packet_structures.h"
#include "bus/port/port.h"
#include "bus/timer.h"
#include "cli/cli.h"
#include "devices/devices.h"
#include "panels/virtual_bus.h"

namespace {

constexpr uint32_t PANEL_UID = 0x3565BCEF;
constexpr double BYTE_US = 44;
constexpr double BREAK_BYTE_US = 704;    // 11 bits at 15625 baud
constexpr double BREAK_DRAIN_US = 5000;  // wait_us(50)
constexpr double FRAME_DRAIN_US = 4400;  // wait_us(44)
constexpr double NO_BYTE_US = 15000;     // waitForBreak(15) that sees nothing, at the least

using Frame = std::vector<uint8_t>;

Frame command(uint32_t dest, std::initializer_list<uint8_t> data) {
    Frame f(PKT_MAX_SIZE, 0);
    packet_fillHeader(f.data(), dest);
    int i = 0;
    for (uint8_t b : data) f[PKT_DATA + i++] = b;
    f[PKT_LEN] = static_cast<uint8_t>(i);
    packet_fillCrc(f.data());
    f.resize(static_cast<size_t>(packet_length(f.data())));
    return f;
}

// The model line: time, and the arrival times of answer bytes not yet read.
class Model {
public:
    explicit Model(const VirtualPanel* panel) {
        if (panel) panels_.push_back(*panel);
    }
    explicit Model(std::vector<VirtualPanel> panels) : panels_(std::move(panels)) {}
    double t = 0;  // µs

    void sleep(double us) { t += us; }
    void send(const Frame& frame) {
        double drained = 0;
        do drained += BREAK_DRAIN_US;
        while (drained < BREAK_BYTE_US);
        t += drained;
        const double bodyEnd = t + static_cast<double>(frame.size()) * BYTE_US;
        drained = 0;
        do drained += FRAME_DRAIN_US;
        while (drained < static_cast<double>(frame.size()) * BYTE_US);
        t += drained;
        for (VirtualPanel& panel : panels_)
            for (const PanelAnswer& a : panel.hear(frame.data(), frame.size()))
                for (size_t i = 0; i < a.bytes.size(); ++i)
                    rx_.push_back(bodyEnd + static_cast<double>(a.delayUs) + static_cast<double>(i + 1) * BYTE_US);
        std::sort(rx_.begin(), rx_.end());
    }
    size_t read(size_t n) {
        size_t k = 0;
        while (k < n && !rx_.empty() && rx_.front() <= t) {
            rx_.pop_front();
            ++k;
        }
        return k;
    }
    void flush() { read(SIZE_MAX); }
    bool answerRead() const { return rx_.empty(); }
    bool waitForBreak() {
        if (!rx_.empty() && rx_.front() <= t + NO_BYTE_US) {
            t = std::max(t, rx_.front());
            read(1);
            return true;
        }
        t += NO_BYTE_US;
        return false;
    }
    // Sends, then polls until every answer byte was read: true when answered.
    bool exchange(const Frame& f, int polls, double pauseUs) {
        send(f);
        const bool expected = !rx_.empty();
        for (int p = 0; p < polls; ++p) {
            sleep(pauseUs);
            read(50);
            if (expected && answerRead()) return true;
        }
        return false;
    }
    bool confirm(const Frame& f, int polls, double pauseUs) {
        for (int s = 0; s < 5; ++s)
            if (exchange(f, polls, pauseUs)) return true;
        return false;
    }
    bool compare(uint32_t addr) {
        flush();
        const Frame f = command(UID_ALL, {0x02, 0x02, static_cast<uint8_t>(addr), static_cast<uint8_t>(addr >> 8),
                                          static_cast<uint8_t>(addr >> 16), static_cast<uint8_t>(addr >> 24)});
        for (int i = 0; i < 5; ++i) {
            sleep(47000);
            flush();
            send(f);
            sleep(4400);
            if (waitForBreak()) return true;
        }
        return false;
    }
    uint32_t search() {
        uint32_t lo = 0, hi = 0xFFFFFFFF, addr = 0;
        for (int step = 0; step < 36; ++step) {
            addr = static_cast<uint32_t>((static_cast<uint64_t>(lo) + hi) / 2);
            if (compare(addr)) {
                if (addr != 0xFFFFFFFF) lo = addr + 1;
            } else {
                hi = addr;
            }
        }
        return addr;
    }

private:
    std::vector<VirtualPanel> panels_;
    std::deque<double> rx_;
};

double floorIdentify(const VirtualPanel& p) {
    Model m(&p);
    m.confirm(command(p.uid, {0x03, 0x20, 0x02, 0x98, 0x3A}), 15, 17000);
    return m.t;
}

double floorSetupRead(const VirtualPanel& p) {
    Model m(&p);
    m.confirm(command(p.uid, {0x01}), 55, 15000);
    for (uint8_t i = 0; i < DEV_BUTTONS; ++i) m.confirm(command(p.uid, {0x01, 0x0B, 0x01, i}), 55, 15000);
    return m.t;
}

Frame setupFrame(uint32_t uid, const PanelSetup& s) {
    Frame f = command(uid, {0x01, 0x09, 0x01, static_cast<uint8_t>(s.intensity & 3)});
    f.resize(PKT_MAX_SIZE);
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        uint8_t* rec = f.data() + PKT_DATA + 4 + 6 * b;
        rec[0] = 0x08;
        rec[1] = 0x04;
        rec[2] = static_cast<uint8_t>(b);
        rec[3] = s.btn[b].type;
        packet_putU16(rec + 4, s.btn[b].scn);
    }
    f[PKT_LEN] = 40;
    packet_fillCrc(f.data());
    f.resize(static_cast<size_t>(packet_length(f.data())));
    return f;
}

Frame dmxWriteFrame(uint32_t uid, int i, const uint8_t* block) {
    Frame f = command(uid, {0x01, 0x0B, 0x4B, static_cast<uint8_t>(i)});
    f.resize(PKT_MAX_SIZE);
    std::memcpy(f.data() + PKT_DATA + 4, block, DMX_BLOCK_SIZE);
    f[PKT_LEN] = 78;
    packet_fillCrc(f.data());
    f.resize(static_cast<size_t>(packet_length(f.data())));
    return f;
}

double floorSetupSend(const VirtualPanel& p, const PanelSetup& s, const uint8_t (*dmx)[DMX_BLOCK_SIZE]) {
    Model m(&p);
    m.confirm(setupFrame(p.uid, s), 55, 15000);
    for (int i = 0; i < DEV_BUTTONS; ++i) {
        m.sleep(150000);  // wait_us(1500)
        m.confirm(dmxWriteFrame(p.uid, i, dmx[i]), 55, 15000);
    }
    return m.t;
}

double floorDiscoveryPass(const VirtualPanel& p) {
    Model m(&p);
    const uint32_t found = m.search();
    m.confirm(command(found, {0x02, 0x00}), 15, 17000);
    return m.t;
}

// The discovery start: five broadcasts, then mySleep(3).
void discoveryStart(Model& m) {
    m.flush();
    for (int i = 0; i < 5; ++i) {
        m.send(command(UID_ALL, {0x02, 0x01}));
        m.sleep(12000);
    }
    m.sleep(5000);
}

double floorDiscoveryNone() {
    Model m(nullptr);
    discoveryStart(m);
    m.search();
    return m.t;
}

// A whole discovery (a pass and a mute per panel, the last search finding
// nobody), then every setup read.
double floorBackup(const std::vector<VirtualPanel>& panels) {
    Model m(panels);
    discoveryStart(m);
    std::vector<uint32_t> found;
    for (uint32_t uid; static_cast<int32_t>(uid = m.search()) > 0;) {
        m.confirm(command(uid, {0x02, 0x00}), 15, 17000);
        found.push_back(uid);
    }
    for (uint32_t uid : found) {
        m.confirm(command(uid, {0x01}), 55, 15000);
        for (uint8_t i = 0; i < DEV_BUTTONS; ++i) m.confirm(command(uid, {0x01, 0x0B, 0x01, i}), 55, 15000);
    }
    return m.t;
}

double floorFirmware(int size) {
    Model m(nullptr);
    const Frame dmx(DMX_FRAME_SIZE, 0);
    for (int i = 0; i < 5; ++i) {
        m.send(dmx);
        m.sleep(102000);
    }
    m.sleep(1002000);
    for (int k = 0; FW_CHUNK * k < size; ++k)
        for (int i = 0; i < 5; ++i) {
            m.send(dmx);
            m.sleep(7000);
        }
    return m.t;
}

// Mean real time of n runs, in µs; prepare runs untimed before each.
double measure(int n, const std::function<void()>& prepare, const std::function<bool()>& op, bool* allOk) {
    double total = 0;
    for (int i = 0; i < n; ++i) {
        if (prepare) prepare();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = op();
        const auto end = std::chrono::steady_clock::now();
        if (!ok) *allOk = false;
        total += std::chrono::duration<double, std::micro>(end - start).count();
    }
    return total / n;
}

BenchRow row(const std::string& what, int runs, double measuredUs, double floorUs, bool ok, double most = 1.05) {
    const double ratio = measuredUs / floorUs;
    BenchRow r;
    r.figure = what + (runs > 1 ? fmt(", mean of %d", runs) : std::string());
    r.measured = fmt("%.1f ms", measuredUs / 1000);
    r.floor = fmt("%.1f ms", floorUs / 1000);
    r.ratio = fmt("%.4f", ratio);
    r.target = fmt("1.00 .. %.2f", most);
    r.pass = ok && ratio >= 1.0 && ratio <= most;
    if (!ok) r.measured += " (FAILED)";
    return r;
}

std::string loadAverage() {
    std::FILE* f = std::fopen("/proc/loadavg", "r");
    double one = 0;
    const bool ok = f && std::fscanf(f, "%lf", &one) == 1;
    if (f) std::fclose(f);
    return ok ? fmt("%.2f", one) : std::string("?");
}

// What the machine adds to a prescribed wait by itself: preemption of a
// busy-wait by other processes, the kernel's wake-up latency after a sleep.
BenchRows machineRows() {
    bool ok = true;
    const double spin = measure(
        50, nullptr,
        [] {
            wait_us(44);
            return true;
        },
        &ok);
    const double nap = measure(
        50, nullptr,
        [] {
            mySleep(15);
            return true;
        },
        &ok);
    return {{fmt("  the machine: wait_us(44) alone, mean of 50 (load average %s)", loadAverage().c_str()),
             fmt("%.3f ms", spin / 1000), "4.400 ms", fmt("%.4f", spin / 4400), "", true},
            {"  the machine: mySleep(15) alone, mean of 50", fmt("%.3f ms", nap / 1000), "17.000 ms",
             fmt("%.4f", nap / 17000), "", true}};
}

// On a machine shared with other work, a busy-wait preempted by another
// process lasts longer than it asks; SCHED_FIFO keeps the others off this
// thread, as on an otherwise idle laptop. Sleeps keep their own overshoot
// either way: the timer slack is already 1 ns during them.
class Scheduling {
public:
    explicit Scheduling(bool realtime) : asked_(realtime) {
        pthread_getschedparam(pthread_self(), &oldPolicy_, &oldParam_);
        if (realtime) {
            sched_param p{};
            p.sched_priority = 1;
            rt_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
        }
    }
    ~Scheduling() {
        if (rt_) pthread_setschedparam(pthread_self(), oldPolicy_, &oldParam_);
    }
    BenchRow row() const {
        return {rt_ ? "  scheduling: SCHED_FIFO 1 (KORVANE_BENCH_RT)"
                    : (asked_ ? "  scheduling: SCHED_FIFO refused, ordinary" : "  scheduling: ordinary (shared CPU)"),
                fmt("load average %s at the start", loadAverage().c_str()),
                "",
                "",
                "",
                true};
    }

private:
    bool asked_;
    bool rt_ = false;
    int oldPolicy_ = SCHED_OTHER;
    sched_param oldParam_{};
};

}  // namespace

BenchRows timing_run(bool withFirmware, bool realtime) {
    tim_setVirtualClock(false);
    QuietStdout quiet;
    const Scheduling scheduling(realtime);
    BenchRows rows{scheduling.row()};

    VirtualBus bus;
    VirtualPanel& panel = bus.addPanel(PANEL_UID);
    const VirtualPanel model = panel;
    port_setDriver(&bus);
    cable_free();
    app_installParsers();
    packet_resetAssembler();
    dev_removeAll();
    addDevUID(PANEL_UID);

    bool ok = true;
    double us = measure(
        10, nullptr, [] { return app_identify_send(PANEL_UID, 0) == 1; }, &ok);
    rows.push_back(row("identify", 10, us, floorIdentify(model), ok));

    ok = true;
    us = measure(
        5, nullptr, [] { return app_setup_read(PANEL_UID) == 1; }, &ok);
    rows.push_back(row("setup read (7 exchanges)", 5, us, floorSetupRead(model), ok));

    PanelSetup setup = model.setup();
    setup.intensity = 2;
    setup.btn[0] = ButtonSetup{1, 0x0012};
    setup.btn[3] = ButtonSetup{2, 0x0300};
    uint8_t blocks[DEV_BUTTONS][DMX_BLOCK_SIZE];
    for (int b = 0; b < DEV_BUTTONS; ++b)
        for (int i = 0; i < DMX_BLOCK_SIZE; ++i) blocks[b][i] = static_cast<uint8_t>(b * 31 + i);
    ok = true;
    us = measure(
        3, nullptr, [&] { return app_setup_send(PANEL_UID, &setup, blocks, 0x3F) == 1; }, &ok);
    rows.push_back(row("setup send (7 exchanges)", 3, us, floorSetupSend(model, setup, blocks), ok));

    ok = true;
    us = measure(
        2,
        [&] {
            bus.panel(PANEL_UID)->muted = false;
            cable_open();
        },
        [] {
            const uint32_t found = discoverySearch();
            uint8_t frame[PKT_MAX_SIZE];
            packet_fillHeader(frame, found);
            frame[PKT_DATA] = 0x02;
            frame[PKT_DATA + 1] = 0x00;
            frame[PKT_LEN] = 2;
            return found == PANEL_UID && app_discovery_send_mute_packet(frame, found) == 1;
        },
        &ok);
    rows.push_back(row("discovery pass finding one panel", 2, us, floorDiscoveryPass(model), ok));
    cable_free();

    VirtualBus empty;
    port_setDriver(&empty);
    ok = true;
    us = measure(
        1, nullptr,
        [] {
            uint32_t found[DEV_MAX] = {};
            return app_discovery(found, DEV_MAX) == 0;
        },
        &ok);
    rows.push_back(row("discovery with no panel", 1, us, floorDiscoveryNone(), ok));

    if (withFirmware) {
        port_setDriver(&bus);
        char path[] = "/tmp/korvane-bench-XXXXXX.fw";
        const int fd = mkstemps(path, 3);
        std::vector<uint8_t> image(FW_IMAGE_MAX);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
        const bool written = fd >= 0 && write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
        if (fd >= 0) close(fd);
        ok = written;
        us = measure(
            1, nullptr,
            [&] {
                makeSendFile(path, PANEL_UID);
                return bus.panel(PANEL_UID)->firmwareImage() == image;
            },
            &ok);
        unlink(path);
        rows.push_back(row("firmware upload, 128 KiB", 1, us, floorFirmware(FW_IMAGE_MAX), ok));
    } else {
        rows.push_back({"firmware upload, 128 KiB", "skipped (KORVANE_BENCH_SKIP_FIRMWARE)",
                        fmt("%.1f ms", floorFirmware(FW_IMAGE_MAX) / 1000), "", "", true});
    }
    cable_free();
    port_setDriver(nullptr);
    for (const BenchRow& r : machineRows()) rows.push_back(r);
    return rows;
}

BenchRows backup_run(bool realtime) {
    tim_setVirtualClock(false);
    QuietStdout quiet;
    const Scheduling scheduling(realtime);
    BenchRows rows{scheduling.row()};

    VirtualBus bus;
    bus.addRandomPanels(20, 20);
    std::vector<VirtualPanel> model;
    for (size_t i = 0; i < bus.panelCount(); ++i) model.push_back(bus.panelAt(i));
    port_setDriver(&bus);
    cable_free();
    packet_resetAssembler();

    char path[] = "/tmp/korvane-bench-XXXXXX.json";
    const int fd = mkstemps(path, 5);
    if (fd >= 0) close(fd);
    std::FILE* null = std::fopen("/dev/null", "w");
    bool ok = fd >= 0 && null != nullptr;
    const double us = measure(
        1, nullptr,
        [&] {
            char* argv[] = {const_cast<char*>("korvane-cli"), const_cast<char*>("backup"), path, nullptr};
            std::vector<DeviceRecord> saved;
            std::vector<std::string> errors;
            return cli_run(3, argv, null, null) == CLI_OK && site_load(path, &saved, &errors) && saved.size() == 20;
        },
        &ok);
    if (null) std::fclose(null);
    unlink(path);
    rows.push_back(
        row("korvane-cli backup of 20 panels (discovery, 20 setup reads)", 1, us, floorBackup(model), ok, 1.02));
    cable_free();
    port_setDriver(nullptr);
    return rows;
}
