// Timing services: sleeps, the 100 µs busy-wait of the bus protocol, millisecond
// deadlines and a microsecond clock.
//
// Tests switch the module to a virtual clock: sleeps and busy-waits then advance
// virtual time instead of waiting, and every clock reads virtual time, so that a
// whole bus exchange runs in microseconds of wall time and is deterministic.
//
// Threads: any thread. The clocks' first-use offsets are set once (call_once);
// the virtual time is one atomic counter.
#pragma once

#include <cstdint>

struct TimeValue {
    int64_t tv_sec;
    int64_t tv_usec;  // 0..999999
};

// A deadline in milliseconds on the shared clock (64-bit, so it never wraps).
using TimeoutMs = int64_t;

void mySleep(int32_t ms);     // sleeps ms + 2 milliseconds
void wait_us(int32_t n);      // busy-waits n × 100 µs
void tim_usleep(int64_t us);  // the protocol's plain microsecond sleeps

int clock_gettime(int clockId, TimeValue* tv);  // always 0; clockId is ignored; counts from first use

TimeoutMs tim_setTimeout(int32_t ms);   // now + ms
int tim_isTimeout(TimeoutMs deadline);  // 1 once the deadline has passed, else 0

// Monotonic microseconds (real or virtual) on a process-wide base; used by the
// virtual panels to schedule their answers.
int64_t tim_nowUs();

// Virtual clock. Switch it on before the first use of any clock.
void tim_setVirtualClock(bool on);
// Moves virtual time on (a USB round trip, a byte on the wire); no effect on the real clock.
void tim_advanceUs(int64_t us);
// Tests: the virtual time the calling thread has moved on by itself (its sleeps,
// busy-waits and advances): how long it would have been busy on the real clock.
int64_t tim_threadVirtualUs();

// ---- Kept, though nothing in this program calls them -------------------------
// This module's documented interface: kept whole and correct for what
// is built on the module later; nothing in the program depends on them.

int64_t clock_gettime_us();  // its own clock, from its own first use
