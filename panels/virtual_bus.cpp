#include "panels/virtual_bus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "bus/packet_structures.h"
#include "bus/timer.h"

// Threads: see the header; mutex_ guards every member.

namespace {

constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();
constexpr uint32_t DATA_BAUD = 250000;
constexpr uint32_t BREAK_MAX_BAUD = 100000;  // a 0x00 byte this slow holds the line low long enough
constexpr size_t RX_CAPACITY = 65536;        // the chip's and library's buffers together
constexpr size_t HEARD_CAPACITY = 100000;
constexpr int64_t RESCAN_US = 10000;  // report settings changed by a test are seen this late

}  // namespace

VirtualBus::VirtualBus() = default;

std::unique_ptr<PortDriver> sim_newDemoDriver() {
    auto bus = std::make_unique<VirtualBus>();
    bus->addDemoPanels();
    return bus;
}

// ---- panels ---------------------------------------------------------------

VirtualPanel& VirtualBus::addPanel(uint32_t uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    needScan_ = true;
    return panels_.add(uid);
}

void VirtualBus::addDemoPanels() {
    std::lock_guard<std::mutex> lock(mutex_);
    panels_.addDemo();
    needScan_ = true;
}

void VirtualBus::addRandomPanels(int count, uint32_t seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    panels_.addRandom(count, seed);
    needScan_ = true;
}

std::vector<uint32_t> VirtualBus::uids() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return panels_.uids();
}

VirtualPanel* VirtualBus::panel(uint32_t uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return panels_.find(uid);
}

size_t VirtualBus::panelCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return panels_.size();
}

VirtualPanel& VirtualBus::panelAt(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return panels_.at(index);
}

void VirtualBus::setAnswerDelayUs(int64_t us) {
    std::lock_guard<std::mutex> lock(mutex_);
    panels_.setAnswerDelayUs(us);
}

// ---- what was heard ---------------------------------------------------------

std::vector<VirtualBus::Transmission> VirtualBus::heard() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Transmission> out(heard_.begin(), heard_.end());
    Transmission t;
    if (haveCurrent_ && listedPart(current_, &t)) out.push_back(std::move(t));
    return out;
}

void VirtualBus::clearHeard() {
    std::lock_guard<std::mutex> lock(mutex_);
    heard_.clear();
    // Bytes that still join the transmission on the wire are listed from here on.
    listedWhole_ = false;
    listedFrom_ = haveCurrent_ ? current_.bytes.size() : 0;
}

// What heard() shows of a transmission: all of it, or after clearHeard() the
// bytes that came since.
bool VirtualBus::listedPart(const Transmission& t, Transmission* out) const {
    if (listedWhole_) {
        *out = t;
        return true;
    }
    if (t.bytes.size() <= listedFrom_) return false;
    *out = t;
    out->bytes.erase(out->bytes.begin(), out->bytes.begin() + static_cast<std::ptrdiff_t>(listedFrom_));
    if (listedFrom_ > 0) out->afterBreak = false;
    return true;
}

std::vector<uint8_t> VirtualBus::lastUniverse() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return universe_;
}

// ---- line conditions --------------------------------------------------------

void VirtualBus::setLineNoise(double bytesPerSecond, uint32_t seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = tim_nowUs();
    advance(now);
    noiseRate_ = bytesPerSecond > 0 ? bytesPerSecond : 0;
    noiseRng_.seed(seed);
    nextNoiseUs_ = NEVER;
    if (noiseRate_ > 0) {
        const double u = (static_cast<double>(noiseRng_()) + 1.0) / 4294967297.0;
        nextNoiseUs_ = now + static_cast<int64_t>(-std::log(u) * 1e6 / noiseRate_);
    }
}

void VirtualBus::injectBytes(const uint8_t* bytes, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = tim_nowUs();
    advance(now);
    arrivals_.addBytes(now, std::vector<uint8_t>(bytes, bytes + n));
    advance(now);
}

void VirtualBus::setCableVanished(bool vanished) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(tim_nowUs());
    vanished_ = vanished;
    if (vanished) {
        // Unplugged: the open handle is dead for good.
        open_ = false;
        rx_.clear();
    }
}

void VirtualBus::setQueryCostUs(int64_t us) {
    std::lock_guard<std::mutex> lock(mutex_);
    queryCostUs_ = us;
}

bool VirtualBus::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

uint32_t VirtualBus::baudRate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return baud_;
}

uint64_t VirtualBus::statusQueries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusQueries_;
}

// ---- time -------------------------------------------------------------------

int64_t VirtualBus::byteUs() const {
    const int bits = 1 + 8 + stopBits_;
    return static_cast<int64_t>(bits) * 1000000 / baud_;
}

uint32_t VirtualBus::txPending(int64_t now) const {
    uint32_t pending = 0;
    for (const Segment& s : segments_) {
        const int64_t done = now <= s.startUs ? 0 : (now - s.startUs) / s.byteUs;
        pending += s.n - static_cast<uint32_t>(std::min<int64_t>(done, s.n));
    }
    return pending;
}

// Brings the line up to now: ended writes leave the queue, noise and reports
// are made, and bytes whose arrival time has come move to the receive queue.
void VirtualBus::advance(int64_t now) {
    while (!segments_.empty()) {
        const Segment& s = segments_.front();
        if (s.startUs + s.byteUs * s.n > now) break;
        segments_.pop_front();
    }
    if (nextNoiseUs_ != NEVER) {
        // A long idle stretch would only overflow the receive queue anyway.
        if (now - nextNoiseUs_ > 1000000) nextNoiseUs_ = now - 1000000;
        while (nextNoiseUs_ <= now) {
            arrivals_.add(nextNoiseUs_, static_cast<uint8_t>(noiseRng_()));
            const double u = (static_cast<double>(noiseRng_()) + 1.0) / 4294967297.0;
            nextNoiseUs_ += 1 + static_cast<int64_t>(-std::log(u) * 1e6 / noiseRate_);
        }
    }
    if (needScan_ || now - lastScanUs_ >= RESCAN_US) scanReports(now);
    // Reports wait for the line to be quiet since the configurator's last byte.
    if (now >= panels_.nextReportUs()) panels_.fireReports(now, lineFreeUs_, arrivals_);
    arrivals_.takeDue(now, [this](uint8_t b) {
        if (open_ && !vanished_ && rx_.size() < RX_CAPACITY) rx_.push_back(b);
    });
}

void VirtualBus::scanReports(int64_t now) {
    lastScanUs_ = now;
    needScan_ = false;
    panels_.scanReports(now);
}

// Lets the panels hear the current transmission once it is a complete frame.
void VirtualBus::deliver() {
    if (currentDone_ || !current_.afterBreak || current_.garbled) return;
    const std::vector<uint8_t>& b = current_.bytes;
    if (b.empty()) return;
    if (b[0] == 0x00) {  // a console frame: start code 0 and 512 levels
        if (b.size() == static_cast<size_t>(CONSOLE_FRAME_SIZE)) {
            universe_.assign(b.begin() + 1, b.end());
            currentDone_ = true;
        } else if (b.size() > static_cast<size_t>(CONSOLE_FRAME_SIZE)) {
            currentDone_ = true;
        }
        return;
    }
    const int len = panels_frameLength(b.data(), b.size());
    if (len < 0 || (len > 0 && b.size() > static_cast<size_t>(len))) {
        currentDone_ = true;
        return;
    }
    if (len == 0 || b.size() < static_cast<size_t>(len)) return;
    currentDone_ = true;
    panels_.hear(b.data(), b.size(), current_.endUs, arrivals_);
}

// ---- driver -----------------------------------------------------------------

int VirtualBus::check() const {
    if (vanished_) return PORT_IO_ERROR;
    return open_ ? PORT_OK : PORT_NOT_OPEN;
}

int VirtualBus::libraryVersion(uint32_t* version) {
    // The library is on the host, not on the cable: it answers even when the cable is gone.
    *version = 0x00020100;
    return PORT_OK;
}

int VirtualBus::list(PortDeviceInfo* cables, int capacity, uint32_t* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    *count = 0;
    if (vanished_) return PORT_DEVICE_NOT_FOUND;
    if (capacity < 1) return PORT_OK;
    PortDeviceInfo& info = cables[0];
    info = PortDeviceInfo{};
    info.flags = open_ ? 1 : 0;
    info.type = 5;
    info.id = 0x04036001;
    info.locId = 0x1001;
    std::snprintf(info.serial, sizeof info.serial, "%s", SERIAL);
    std::snprintf(info.description, sizeof info.description, "%s", DESCRIPTION);
    *count = 1;
    return PORT_OK;
}

int VirtualBus::open(const char* serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = tim_nowUs();
    advance(now);
    if (vanished_ || std::strcmp(serial, SERIAL) != 0) return PORT_DEVICE_NOT_FOUND;
    if (open_) return PORT_DEVICE_NOT_OPENED;  // already open elsewhere
    open_ = true;
    baud_ = 9600;  // as a freshly opened chip
    stopBits_ = 1;
    rx_.clear();
    scanReports(now);
    return PORT_OK;
}

int VirtualBus::configure(uint32_t baud) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(tim_nowUs());
    if (int st = check()) return st;
    if (baud < 300 || baud > 3000000) return PORT_INVALID_PARAMETER;
    baud_ = baud;
    stopBits_ = 2;
    return PORT_OK;
}

int VirtualBus::bytesWaiting(uint32_t* n) {
    tim_advanceUs(queryCostUs_);
    std::lock_guard<std::mutex> lock(mutex_);
    ++statusQueries_;
    advance(tim_nowUs());
    if (int st = check()) return st;
    *n = static_cast<uint32_t>(rx_.size());
    return PORT_OK;
}

int VirtualBus::transmitEmpty(bool* empty) {
    tim_advanceUs(queryCostUs_);
    std::lock_guard<std::mutex> lock(mutex_);
    ++statusQueries_;
    const int64_t now = tim_nowUs();
    advance(now);
    if (int st = check()) return st;
    *empty = txPending(now) == 0;
    return PORT_OK;
}

int VirtualBus::read(uint8_t* buffer, uint32_t n, uint32_t* got) {
    tim_advanceUs(queryCostUs_);
    std::lock_guard<std::mutex> lock(mutex_);
    *got = 0;
    advance(tim_nowUs());
    if (int st = check()) return st;
    uint32_t k = 0;
    while (k < n && !rx_.empty()) {
        buffer[k++] = rx_.front();
        rx_.pop_front();
    }
    *got = k;
    return PORT_OK;
}

int VirtualBus::write(const uint8_t* buffer, uint32_t n, uint32_t* written) {
    std::lock_guard<std::mutex> lock(mutex_);
    *written = 0;
    const int64_t now = tim_nowUs();
    advance(now);
    if (int st = check()) return st;
    if (n == 0) return PORT_OK;
    put(buffer, n, std::max(now, lineFreeUs_), baud_ != DATA_BAUD);
    *written = n;
    return PORT_OK;
}

int VirtualBus::transmit(const uint8_t* bytes, uint32_t n, int64_t startUs, uint32_t baud, bool clean) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(tim_nowUs());
    if (int st = check()) return st;
    baud_ = baud;
    stopBits_ = 2;
    if (n > 0) put(bytes, n, startUs, !clean || baud != DATA_BAUD);
    return PORT_OK;
}

void VirtualBus::put(const uint8_t* buffer, uint32_t n, int64_t start, bool garbled) {
    const int64_t perByte = byteUs();
    segments_.push_back({start, perByte, n});
    lineFreeUs_ = std::max(lineFreeUs_, start + perByte * n);

    const bool isBreak = n == 1 && buffer[0] == 0x00 && baud_ <= BREAK_MAX_BAUD;
    if (isBreak || !haveCurrent_) {
        Transmission t;
        if (haveCurrent_ && listedPart(current_, &t)) {
            heard_.push_back(std::move(t));
            if (heard_.size() > HEARD_CAPACITY) heard_.pop_front();
        }
        current_ = Transmission{};
        current_.afterBreak = isBreak;
        current_.atUs = start;
        current_.endUs = start + perByte * n;
        haveCurrent_ = true;
        listedWhole_ = true;
        listedFrom_ = 0;
        currentDone_ = false;
    }
    if (!isBreak) {
        current_.bytes.insert(current_.bytes.end(), buffer, buffer + n);
        current_.endUs = start + perByte * n;
        if (garbled) current_.garbled = true;
        deliver();
    }
    scanReports(tim_nowUs());
}

std::string VirtualBus::lastError() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (vanished_) return "the virtual cable is unplugged";
    return open_ ? "the virtual cable is already open" : "";
}

int VirtualBus::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(tim_nowUs());
    if (int st = check()) return st;
    open_ = false;
    rx_.clear();
    return PORT_OK;
}
