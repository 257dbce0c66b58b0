#include "gui/event_text.h"

#include <cstring>

// Kept free of GTK so that the guard's decision is tested without a display.

void event_text_init(values_entry* guard, const char* text, int min, int max) {
    guard->min = min;
    guard->max = max;
    guard->busy = 0;
    guard->inAction = 0;
    event_text_remember(guard, text);
    std::memcpy(guard->before, guard->last, VALUES_ENTRY_TEXT);
}

bool event_text_accept(const char* text, int min, int max) {
    if (text[0] == '\0') return true;
    long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        // Saturate: a long run of digits must not overflow on its way to "too big".
        if (value <= max) value = value * 10 + (*p - '0');
    }
    return value >= min && value <= max;
}

void event_text_remember(values_entry* guard, const char* text) {
    // Zero-filled to the end, as the text's room always was.
    std::memset(guard->last, 0, VALUES_ENTRY_TEXT);
    std::memcpy(guard->last, text, strnlen(text, VALUES_ENTRY_TEXT - 1));
}

bool event_text_change(values_entry* guard, const char* text, bool first) {
    if (first) std::memcpy(guard->before, guard->last, VALUES_ENTRY_TEXT);
    const bool stands = event_text_accept(text, guard->min, guard->max);
    event_text_remember(guard, stands ? text : guard->before);
    return stands;
}

int event_text_value(const char* text) {
    int value = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 0xFFFF) break;
    }
    return value;
}
