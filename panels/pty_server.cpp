#include "panels/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "bus/packet_structures.h"

// Threads: see the header; nothing here is shared beyond the stop flag.

namespace {

constexpr int64_t BURST_US = 2000;          // answer bytes due this soon go out in one write
constexpr size_t WRITE_BACKLOG_MAX = 4096;  // the slave's input queue holds about this much
constexpr uint8_t SYNC[3] = {SYNC0, SYNC1, SYNC2};

int64_t steadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool goodFrame(const uint8_t* b, size_t n) {
    return b[3] == KIND_COMMAND ? panels_isGoodCommandFrame(b, n) : panels_isGoodDmxFrame(b, n);
}

void makeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

// ---- framer -----------------------------------------------------------------

std::vector<std::vector<uint8_t>> PtyFramer::feed(const uint8_t* bytes, size_t n, int64_t nowUs) {
    buf_.insert(buf_.end(), bytes, bytes + n);
    if (n > 0) lastByteUs_ = nowUs;
    return parse();
}

std::vector<std::vector<uint8_t>> PtyFramer::expire(int64_t nowUs, int64_t staleUs) {
    std::vector<std::vector<uint8_t>> out;
    // A lone break byte waits for its frame however long the sender pauses.
    while (buf_.size() >= 2 && nowUs - lastByteUs_ > staleUs) {
        buf_.erase(buf_.begin());
        for (auto& t : parse()) out.push_back(std::move(t));
    }
    return out;
}

// Position of a 0x00 byte in [from, to) that is followed by a complete, good
// frame; npos when there is none.
size_t PtyFramer::innerFrame(size_t from, size_t to) const {
    for (size_t j = from; j < to && j + 1 < buf_.size(); ++j) {
        if (buf_[j] != 0x00) continue;
        const uint8_t* f = buf_.data() + j + 1;
        const size_t n = buf_.size() - j - 1;
        const int len = panels_frameLength(f, n);
        if (len > 0 && n >= static_cast<size_t>(len) && goodFrame(f, static_cast<size_t>(len))) return j;
    }
    return std::string::npos;
}

std::vector<std::vector<uint8_t>> PtyFramer::parse() {
    std::vector<std::vector<uint8_t>> out;
    size_t pos = 0;
    while (pos < buf_.size()) {
        const uint8_t* b = buf_.data() + pos;
        const size_t n = buf_.size() - pos;
        if (b[0] != 0x00) {  // not after a break
            ++pos;
            continue;
        }
        if (n < 2) break;
        if (b[1] == 0x00) {
            // A console frame's start code, unless a sync pattern follows: then
            // the first 0x00 was a break without a frame.
            const size_t k = std::min<size_t>(n - 2, 3);
            const bool syncSoFar = std::equal(b + 2, b + 2 + k, SYNC);
            if (syncSoFar && k == 3) {
                ++pos;
                continue;
            }
            if (syncSoFar) break;
            // A good frame after a break inside it means this was no console
            // frame (a zero in a frame sent without a break, a cut console frame).
            const size_t inner = innerFrame(pos + 1, pos + 1 + CONSOLE_FRAME_SIZE);
            if (inner != std::string::npos) {
                pos = inner;
                continue;
            }
            if (n < 1 + static_cast<size_t>(CONSOLE_FRAME_SIZE)) break;
            out.emplace_back(b + 1, b + 1 + CONSOLE_FRAME_SIZE);
            pos += 1 + CONSOLE_FRAME_SIZE;
            continue;
        }
        const int len = panels_frameLength(b + 1, n - 1);
        if (len < 0) {
            ++pos;
            continue;
        }
        if (len == 0 || n - 1 < static_cast<size_t>(len)) {
            // Still incomplete; a cut frame gives way to a good one behind it.
            const size_t inner = innerFrame(pos + 1, buf_.size());
            if (inner == std::string::npos) break;
            pos = inner;
            continue;
        }
        if (!goodFrame(b + 1, static_cast<size_t>(len))) {
            // Not a frame after all: look for a break inside it.
            ++pos;
            continue;
        }
        out.emplace_back(b + 1, b + 1 + len);
        pos += 1 + static_cast<size_t>(len);
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos));
    return out;
}

// ---- server -----------------------------------------------------------------

PtyServer::PtyServer() = default;

PtyServer::~PtyServer() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

bool PtyServer::open(std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return fail("openpty");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname_r");
    // No echo and no line editing on either side: the bytes are binary frames.
    makeRaw(slave_);
    makeRaw(master_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    path_ = name;
    return true;
}

VirtualPanel& PtyServer::addPanel(uint32_t uid) { return panels_.add(uid); }
void PtyServer::addDemoPanels() { panels_.addDemo(); }
void PtyServer::addRandomPanels(int count, uint32_t seed) { panels_.addRandom(count, seed); }
void PtyServer::setAnswerDelayUs(int64_t us) { panels_.setAnswerDelayUs(us); }
std::vector<uint32_t> PtyServer::uids() const { return panels_.uids(); }
VirtualPanel* PtyServer::panel(uint32_t uid) { return panels_.find(uid); }

void PtyServer::serve(const std::atomic<bool>& stop) {
    while (!stop.load()) step(20000);
}

void PtyServer::step(int64_t maxWaitUs) {
    int64_t now = steadyUs();
    int64_t wait = maxWaitUs;
    if (!pendingWrite_.empty()) wait = std::min<int64_t>(wait, 1000);
    if (out_.size() > 0) wait = std::min(wait, std::max<int64_t>(0, out_.nextUs() - now));
    if (panels_.nextReportUs() != PanelSet::NEVER)
        wait = std::min(wait, std::max<int64_t>(0, panels_.nextReportUs() - now));
    if (framer_.held() >= 2) wait = std::min<int64_t>(wait, 20000);

    pollfd pfd{master_, POLLIN, 0};
    timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
    const int ready = ppoll(&pfd, 1, &ts, nullptr);
    now = steadyUs();
    if (ready > 0 && (pfd.revents & POLLIN)) {
        uint8_t buf[4096];
        ssize_t r;
        while ((r = ::read(master_, buf, sizeof buf)) > 0) {
            lastInputUs_ = now;
            for (const auto& t : framer_.feed(buf, static_cast<size_t>(r), now)) hear(t, now);
        }
    } else if (ready > 0) {
        // Hang-up or error without input: do not spin on it.
        usleep(10000);
    }
    for (const auto& t : framer_.expire(now)) hear(t, now);
    reports(now);
    flushDue(steadyUs());
}

void PtyServer::hear(const std::vector<uint8_t>& t, int64_t now) {
    ++transmissions_;
    if (t[0] == 0x00) {
        universe_.assign(t.begin() + 1, t.end());
        if (log_) std::fprintf(log_, "console frame, channel 1 at %u\n", universe_[0]);
        return;
    }
    const size_t answers = panels_.hear(t.data(), t.size(), now, out_);
    if (log_) {
        if (t[3] == KIND_COMMAND)
            std::fprintf(log_, "command %02X to %08X, %u data bytes: %zu answers\n", t.size() > 19 ? t[19] : 0,
                         packet_destination(t.data()), t[PKT_LEN], answers);
        else
            std::fprintf(log_, "frame of kind %02X, chunk %u\n", t[3], packet_getU16(t.data() + DMX_CHUNK));
        std::fflush(log_);
    }
}

void PtyServer::reports(int64_t now) {
    panels_.scanReports(now);
    if (now >= panels_.nextReportUs()) panels_.fireReports(now, lastInputUs_, out_);
}

void PtyServer::flushDue(int64_t now) {
    if (out_.nextUs() <= now)
        out_.takeDue(now + BURST_US, [this](uint8_t b) {
            if (pendingWrite_.size() < WRITE_BACKLOG_MAX) pendingWrite_.push_back(b);
        });
    if (pendingWrite_.empty()) return;
    const ssize_t w = ::write(master_, pendingWrite_.data(), pendingWrite_.size());
    if (w > 0) pendingWrite_.erase(pendingWrite_.begin(), pendingWrite_.begin() + w);
}
