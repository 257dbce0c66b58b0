// The DMX level fields' guard accepts exactly the empty text and decimal texts
// from 0 to 255, whatever the length or bytes of the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gui/event_text.h"

namespace {

bool reference(const std::string& s) {
    if (s.empty()) return true;
    long value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > 255) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string cstr = text.substr(0, text.find('\0'));
    const bool accepted = event_text_accept(cstr.c_str(), 0, 255);
    if (accepted != reference(cstr)) std::abort();
    if (accepted) {
        long expected = 0;
        for (char c : cstr) expected = expected * 10 + (c - '0');
        if (event_text_value(cstr.c_str()) != expected) std::abort();
    }
    values_entry guard;
    event_text_init(&guard, cstr.c_str(), 0, 255);
    event_text_remember(&guard, cstr.c_str());
    if (guard.last[VALUES_ENTRY_TEXT - 1] != '\0') std::abort();
    return 0;
}
