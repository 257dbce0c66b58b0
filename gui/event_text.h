// The numeric entry guard of the DMX level fields: a field never keeps a text
// with a non-digit or a value outside its range. A refused action (a keystroke,
// a paste) leaves the field exactly as it was before that action, also when the
// action first deleted a selection: the two changes GTK makes for it are
// judged as one.
//
// The decision itself needs no display (nothing here includes GTK); the
// "changed" handler that applies it to a field, event_changed, lives with the
// DMX setup dialog (dmxSetup.h). Threads: the GUI thread only; the busy flag
// only stops the re-entry that the guard's own restore causes on that thread.
#pragma once

constexpr int VALUES_ENTRY_TEXT = 4;  // up to 3 digits and the terminator

struct values_entry {
    char last[VALUES_ENTRY_TEXT];  // last accepted text
    int min;
    int max;
    int busy;
    char before[VALUES_ENTRY_TEXT];  // the text before the current action
    int inAction;                    // set from an action's first change until it has ended
};

// Resets a guard for a field that now shows text.
void event_text_init(values_entry* guard, const char* text, int min, int max);

// True when text may stand: empty, or only the digits 0 to 9 with a decimal
// value from min to max (leading zeros allowed). Any length is safe.
bool event_text_accept(const char* text, int min, int max);

// Remembers the text a field now shows as its last accepted text (cut to 3
// characters, the most a field holds).
void event_text_remember(values_entry* guard, const char* text);

// One change of a field's text to text; first: the first change of an action.
// True when the text stands (it is remembered as the last accepted text);
// false when the action is refused: last then holds the text from before the
// action, which the field must show again.
bool event_text_change(values_entry* guard, const char* text, bool first);

// Decimal value of an accepted text; an empty text gives 0.
int event_text_value(const char* text);
