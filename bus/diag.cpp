#include "bus/diag.h"

#include <atomic>
#include <cstdarg>

// Threads: see diag.h; the route is two atomics.

namespace {

std::atomic<bool> routed{false};  // false: stdout and stderr, whatever they are now
std::atomic<std::FILE*> outSink{nullptr};
std::atomic<std::FILE*> errSink{nullptr};

std::FILE* out() { return routed.load() ? outSink.load() : stdout; }
std::FILE* err() { return routed.load() ? errSink.load() : stderr; }

}  // namespace

void diag_route(std::FILE* o, std::FILE* e) {
    outSink = o;
    errSink = e;
    routed = true;
}

void diag_routeDefault() {
    routed = false;
    outSink = nullptr;
    errSink = nullptr;
}

namespace {

void vprintTo(std::FILE* f, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
void vprintTo(std::FILE* f, const char* format, va_list args) {
    if (f) std::vfprintf(f, format, args);
}

}  // namespace

void diag_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintTo(out(), format, args);
    va_end(args);
}

void diag_puts(const char* line) {
    if (std::FILE* f = out()) std::fprintf(f, "%s\n", line);  // one call: the line stays whole
}

void diag_fputs(const char* text) {
    if (std::FILE* f = out()) std::fputs(text, f);
}

void diag_flush() {
    if (std::FILE* f = out()) std::fflush(f);
}

void diag_errPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintTo(err(), format, args);
    va_end(args);
}
