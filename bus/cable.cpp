#include "bus/cable.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "bus/crc.h"
#include "bus/ftdi.h"
#include "bus/packet_parser.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"

// Threads and the cable lock: see cable.h. Every piece of state below, and all of
// ftdi and the receive assembler, is touched only with the cable lock held; the
// count of operations running has a mutex of its own.

namespace {

// A recursive lock handed on in ticket order: a thread that lets it go and asks
// again at once (a discovery going from one compare step to the next) queues
// behind a thread already waiting, instead of taking it back before that one wakes.
class FairLock {
public:
    void lock() {
        std::unique_lock<std::mutex> l(m_);
        if (depth_ > 0 && owner_ == std::this_thread::get_id()) {
            ++depth_;
            return;
        }
        const uint64_t ticket = next_++;
        turn_.wait(l, [&] { return depth_ == 0 && serving_ == ticket; });
        take();
    }
    // Only when free and nobody waits: the tick never jumps the queue.
    bool try_lock() {
        std::lock_guard<std::mutex> l(m_);
        if (depth_ > 0 && owner_ == std::this_thread::get_id()) {
            ++depth_;
            return true;
        }
        if (depth_ > 0 || serving_ != next_) return false;
        ++next_;
        take();
        return true;
    }
    void unlock() {
        std::lock_guard<std::mutex> l(m_);
        if (--depth_ > 0) return;
        owner_ = std::thread::id();
        turn_.notify_all();
    }
    int waiters() {
        std::lock_guard<std::mutex> l(m_);
        return static_cast<int>(next_ - serving_);
    }

private:
    void take() {
        ++serving_;
        owner_ = std::this_thread::get_id();
        depth_ = 1;
    }

    std::mutex m_;
    std::condition_variable turn_;
    std::thread::id owner_;
    int depth_ = 0;
    uint64_t next_ = 0;     // the next ticket handed out
    uint64_t serving_ = 0;  // the ticket whose turn comes next
};

// Never destroyed: workers still running at exit go on using it.
FairLock& cableMutex() {
    static FairLock* lock = new FairLock;
    return *lock;
}
using Guard = std::lock_guard<FairLock>;

// Operations running (CableUse), and whether one of them freed the port while
// others still ran. Guarded by useMutex, taken after the cable lock or alone: an
// operation's start queues for nothing, so its first exchange is its only wait.
std::mutex useMutex;
int usesRunning = 0;
thread_local int usesHere = 0;
bool closeWhenLastEnds = false;
int keeps = 0;  // CableKeep spans running

int32_t cableDev = -1;
char resp_buff[RESP_BUFF_SIZE];
char* ptr_respBuff = resp_buff;

void closePort() {
    closeDevice();
    cableDev = getOpenDevice();
}

int32_t openIfClosed() {
    // The port may have been dropped under us (a pulled cable): then open afresh.
    if (cableDev >= 0 && getOpenDevice() >= 0) return cableDev;
    cableDev = getOpenDevice();
    if (cableDev < 0) cableDev = openDevice(0);
    return cableDev;
}

void collectText(const uint8_t* bytes, int32_t n) {
    for (int32_t i = 0; i < n && ptr_respBuff < resp_buff + RESP_TEXT_MAX; ++i)
        *ptr_respBuff++ = static_cast<char>(bytes[i]);
}

}  // namespace

void cable_lock() { cableMutex().lock(); }
void cable_unlock() { cableMutex().unlock(); }
bool cable_tryLock() { return cableMutex().try_lock(); }

int32_t cable_open() {
    Guard g(cableMutex());
    return openIfClosed();
}

void cable_free() {
    Guard g(cableMutex());
    {
        // Another operation still running keeps the port: closing it under its
        // next exchange would cost that exchange its answer.
        std::lock_guard<std::mutex> u(useMutex);
        if (keeps > 0) return;
        closeWhenLastEnds = usesRunning > usesHere;
        if (closeWhenLastEnds) return;
    }
    closePort();
}

void cable_beginKeep() {
    std::lock_guard<std::mutex> u(useMutex);
    ++keeps;
}

void cable_endKeep() {
    std::lock_guard<std::mutex> u(useMutex);
    --keeps;
}

void cable_beginUse() {
    std::lock_guard<std::mutex> u(useMutex);
    ++usesRunning;
    ++usesHere;
}

void cable_endUse() {
    {
        std::lock_guard<std::mutex> u(useMutex);
        --usesRunning;
        --usesHere;
        if (usesRunning > 0 || !closeWhenLastEnds) return;
    }
    Guard g(cableMutex());
    std::lock_guard<std::mutex> u(useMutex);
    if (usesRunning > 0 || !closeWhenLastEnds) return;  // another began meanwhile
    closeWhenLastEnds = false;
    closePort();
}

int cable_lockWaiters() { return cableMutex().waiters(); }

int32_t cable_response() {
    Guard g(cableMutex());
    constexpr int READ_MAX = 50;  // one poll's read
    uint8_t buffer[READ_MAX];
    const int32_t n = getResponse(buffer, sizeof buffer);
    if (n > 0) packet_receive(buffer, n);
    return n;
}

void clearRespBuff() {
    Guard g(cableMutex());
    std::memset(resp_buff, 0, sizeof resp_buff);
    ptr_respBuff = resp_buff;
}

int32_t cable_sendPacket(uint8_t* frame) {
    Guard g(cableMutex());
    openIfClosed();
    clearRespBuff();
    // Whatever frame is still being collected began before this request, so it
    // is no answer to it; kept, its claimed length could take in the answer's
    // first bytes, and a cut frame so completed passes the additive checksum
    // about once in a thousand.
    packet_dropHeld();
    packet_fillCrc(frame);
    return sendData(frame, packet_length(frame));
}

int32_t cable_sendDmxPacket(uint8_t* frame) {
    Guard g(cableMutex());
    openIfClosed();
    clearRespBuff();
    packet_putU16(frame + DMX_CRC, get_CRC(frame, DMX_CRC));
    return sendData(frame, DMX_FRAME_SIZE);
}

int32_t waitForBreak(int32_t ms) {
    Guard g(cableMutex());
    const TimeoutMs deadline = tim_setTimeout(ms);
    for (;;) {
        if (tim_isTimeout(deadline)) return 0;
        uint8_t byte;
        const int32_t r = getResponse(&byte, 1);
        if (r > 0) return 1;
        // A closed port has nothing to ask: let the time pass instead of spinning.
        if (r == -2) tim_usleep(1000);
    }
}

void flushRxBuff() {
    Guard g(cableMutex());
    uint8_t byte;
    while (getResponse(&byte, 1) > 0) {
    }
}

int32_t checkResponse(const char* pattern) {
    Guard g(cableMutex());
    constexpr int TEXT_READ_MAX = 150;
    uint8_t buffer[TEXT_READ_MAX];
    const int32_t n = getResponse(buffer, sizeof buffer);
    if (n > 0) collectText(buffer, n);
    return std::strstr(resp_buff, pattern) != nullptr ? 1 : 0;
}

int32_t waitForResponse_clr(const char* pattern, int32_t passes, int32_t clear) {
    Guard g(cableMutex());
    if (clear != 0) clearRespBuff();
    for (int32_t i = 0; i < passes; ++i) {
        if (checkResponse(pattern)) return 1;
        mySleep(1);
    }
    return 0;
}

int32_t devSend(const uint8_t* data, int32_t n) {
    Guard g(cableMutex());
    return sendData(data, n);
}

int32_t devRead(uint8_t* buffer, int32_t n) {
    Guard g(cableMutex());
    return getResponse(buffer, n);
}

int32_t cable_device() {
    Guard g(cableMutex());
    return cableDev;
}

bool cable_openError(char* text, size_t size) {
    Guard g(cableMutex());
    return getOpenError(text, size);
}

bool cable_openFailure(char* reason, size_t size, int* status) {
    Guard g(cableMutex());
    return getOpenFailure(reason, size, status);
}

int32_t cable_poll() {
    if (!cable_tryLock()) return CABLE_BUSY;
    int32_t result = cable_open();
    if (result >= 0) result = cable_response();
    cable_unlock();
    return result;
}

int32_t cable_portState(char* text, size_t size) {
    if (!cable_tryLock()) return CABLE_BUSY;
    int32_t state = 0;
    if (cableDev >= 0 && getOpenSerial(text, size))
        state = 1;
    else if (getOpenError(text, size))
        state = -1;
    cable_unlock();
    return state;
}

int32_t cable_trySendRaw(const uint8_t* data, int32_t n) {
    if (!cable_tryLock()) return CABLE_BUSY;
    const int32_t result = sendData(data, n);
    cable_unlock();
    return result;
}
