// The level fields' entry guard, without a display. Any text against an
// independent reading of the rule: fuzz/fuzz_entry_guard.cpp.
#include <gtest/gtest.h>

#include "gui/event_text.h"

TEST(EventText, DigitsWithinTheRangeOnly) {
    for (const char* good : {"", "0", "255", "007", "0000000000000000000012"})
        EXPECT_TRUE(event_text_accept(good, 0, 255)) << good;
    // The last one would wrap round into the range if the value overflowed.
    for (const char* bad : {"256", "1a", "-1", "+1", " 1", "1 ", "1.5", "18446744073709551617"})
        EXPECT_FALSE(event_text_accept(bad, 0, 255)) << bad;
    EXPECT_FALSE(event_text_accept("4", 5, 255));

    values_entry g;
    event_text_init(&g, "12", 0, 255);
    EXPECT_STREQ(g.last, "12");
    event_text_remember(&g, "1234");  // a field holds 3 characters at most
    EXPECT_STREQ(g.last, "123");
    EXPECT_EQ(event_text_value(""), 0);
    EXPECT_EQ(event_text_value("007"), 7);

    // One action, two changes: a selection deleted, then a letter refused.
    // The field gets back the text from before the action, not the empty one.
    event_text_init(&g, "12", 0, 255);
    EXPECT_TRUE(event_text_change(&g, "", true));
    EXPECT_FALSE(event_text_change(&g, "q", false));
    EXPECT_STREQ(g.last, "12");
    // Emptied by one action, a letter refused by the next: it stays empty.
    EXPECT_TRUE(event_text_change(&g, "", true));
    EXPECT_FALSE(event_text_change(&g, "x", true));
    EXPECT_STREQ(g.last, "");
    EXPECT_TRUE(event_text_change(&g, "7", true));
    EXPECT_STREQ(g.last, "7");
}
