// The level fields' entry guard, without a display. Which texts from 0 to 255
// stand, and their values, on any text against an independent reading of the
// rule: fuzz/fuzz_entry_guard.cpp.
#include <gtest/gtest.h>

#include "gui/event_text.h"

TEST(EventText, RangeRememberedTextAndOneActionsChanges) {
    EXPECT_FALSE(event_text_accept("4", 5, 255));  // the fuzz target's range starts at 0

    values_entry g;
    event_text_init(&g, "12", 0, 255);
    EXPECT_STREQ(g.last, "12");
    event_text_remember(&g, "1234");  // a field holds 3 characters at most
    EXPECT_STREQ(g.last, "123");

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
