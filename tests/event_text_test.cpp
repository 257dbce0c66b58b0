// The level fields' entry guard, without a display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

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

// Random texts against the rule read another way: strtol's value of a text
// that has nothing but the digits 0 to 9.
TEST(EventText, RandomTextsFollowTheRule) {
    std::mt19937 rng(20240611);
    const std::string others = " +-.aZ\t\xff\x80";
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (int k = static_cast<int>(rng() % 6); k > 0; --k)
            text += rng() % 4 ? static_cast<char>('0' + rng() % 10) : others[rng() % others.size()];
        const int min = static_cast<int>(rng() % 3) * 10;
        bool expected = text.find_first_not_of("0123456789") == std::string::npos;
        if (expected && !text.empty()) {
            const long v = std::strtol(text.c_str(), nullptr, 10);
            expected = v >= min && v <= 255;
        }
        ASSERT_EQ(event_text_accept(text.c_str(), min, 255), expected) << '"' << text << '"';
    }
}
