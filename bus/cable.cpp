#include "bus/cable.h"

#include <cstring>
#include <mutex>

#include "bus/crc.h"
#include "bus/ftdi.h"
#include "bus/packet_parser.h"
#include "bus/packet_structures.h"
#include "bus/timer.h"

// Threads and the cable lock: see cable.h. Every piece of state below, and all of
// ftdi and the receive assembler, is touched only with cableMutex held.

namespace {

std::recursive_mutex cableMutex;

int32_t cableDev = -1;
char resp_buff[RESP_BUFF_SIZE];
char* ptr_respBuff = resp_buff;

using Guard = std::lock_guard<std::recursive_mutex>;

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

void cable_lock() { cableMutex.lock(); }
void cable_unlock() { cableMutex.unlock(); }
bool cable_tryLock() { return cableMutex.try_lock(); }

int32_t cable_open() {
    Guard g(cableMutex);
    return openIfClosed();
}

void cable_free() {
    Guard g(cableMutex);
    closeDevice();
    cableDev = getOpenDevice();
}

int32_t cable_response() {
    Guard g(cableMutex);
    uint8_t buffer[50];
    const int32_t n = getResponse(buffer, sizeof buffer);
    if (n > 0) packet_receive(buffer, n);
    return n;
}

void clearRespBuff() {
    Guard g(cableMutex);
    std::memset(resp_buff, 0, sizeof resp_buff);
    ptr_respBuff = resp_buff;
}

int32_t cable_sendPacket(uint8_t* frame) {
    Guard g(cableMutex);
    openIfClosed();
    clearRespBuff();
    packet_fillCrc(frame);
    return sendData(frame, packet_length(frame));
}

int32_t cable_sendDmxPacket(uint8_t* frame) {
    Guard g(cableMutex);
    openIfClosed();
    clearRespBuff();
    packet_putU16(frame + DMX_CRC, get_CRC(frame, DMX_CRC));
    return sendData(frame, DMX_FRAME_SIZE);
}

int32_t waitForBreak(int32_t ms) {
    Guard g(cableMutex);
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
    Guard g(cableMutex);
    uint8_t byte;
    while (getResponse(&byte, 1) > 0) {
    }
}

int32_t checkResponse(const char* pattern) {
    Guard g(cableMutex);
    uint8_t buffer[150];
    const int32_t n = getResponse(buffer, sizeof buffer);
    if (n > 0) collectText(buffer, n);
    return std::strstr(resp_buff, pattern) != nullptr ? 1 : 0;
}

int32_t waitForResponse_clr(const char* pattern, int32_t passes, int32_t clear) {
    Guard g(cableMutex);
    if (clear != 0) clearRespBuff();
    for (int32_t i = 0; i < passes; ++i) {
        if (checkResponse(pattern)) return 1;
        mySleep(1);
    }
    return 0;
}

int32_t devSend(const uint8_t* data, int32_t n) {
    Guard g(cableMutex);
    return sendData(data, n);
}

int32_t devRead(uint8_t* buffer, int32_t n) {
    Guard g(cableMutex);
    return getResponse(buffer, n);
}

int32_t cable_device() {
    Guard g(cableMutex);
    return cableDev;
}

const char* cable_respText() { return resp_buff; }

int32_t cable_poll() {
    if (!cable_tryLock()) return CABLE_BUSY;
    int32_t result = cable_open();
    if (result >= 0) result = cable_response();
    cable_unlock();
    return result;
}

int32_t cable_trySendRaw(const uint8_t* data, int32_t n) {
    if (!cable_tryLock()) return CABLE_BUSY;
    const int32_t result = sendData(data, n);
    cable_unlock();
    return result;
}
