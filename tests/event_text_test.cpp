// The level fields' entry guard, without a display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "gui/event_text.h"

TEST(EventText, AcceptsOnlyDigitsWithinTheRange) {
    EXPECT_TRUE(event_text_accept("", 0, 255));  // an emptied field stands
    EXPECT_TRUE(event_text_accept("0", 0, 255));
    EXPECT_TRUE(event_text_accept("255", 0, 255));
    EXPECT_TRUE(event_text_accept("007", 0, 255));
    EXPECT_FALSE(event_text_accept("256", 0, 255));
    EXPECT_FALSE(event_text_accept("999", 0, 255));
    for (const char* bad : {"1a", "a", "-1", "+1", " 1", "1 ", "1.5", "0x1"})
        EXPECT_FALSE(event_text_accept(bad, 0, 255)) << bad;
    EXPECT_FALSE(event_text_accept("4", 5, 255));
    // A long run of digits must not wrap round into the range.
    EXPECT_FALSE(event_text_accept("18446744073709551617", 0, 255));
    EXPECT_TRUE(event_text_accept("0000000000000000000000012", 0, 255));
}

TEST(EventText, GuardKeepsTheLastAcceptedTextAndValuesReadBack) {
    values_entry g;
    event_text_init(&g, "12", 0, 255);
    EXPECT_STREQ(g.last, "12");
    EXPECT_EQ(g.min, 0);
    EXPECT_EQ(g.max, 255);
    EXPECT_EQ(g.busy, 0);
    event_text_remember(&g, "1234");  // a field holds 3 characters at most
    EXPECT_STREQ(g.last, "123");
    event_text_remember(&g, "");
    EXPECT_STREQ(g.last, "");

    EXPECT_EQ(event_text_value(""), 0);
    EXPECT_EQ(event_text_value("007"), 7);
    EXPECT_EQ(event_text_value("255"), 255);
}

// Random texts against what the rule says, read another way: only the digits
// 0-9, and strtol's value of them within the range.
TEST(EventText, RandomTextsFollowTheRule) {
    std::mt19937 rng(20240611);
    const std::string alphabet = "0123456789 +-.aZ\t\xff\x80";
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int len = static_cast<int>(rng() % 6);
        for (int k = 0; k < len; ++k) {
            // Mostly digits, so that accepted texts come up often.
            const bool digit = rng() % 4 != 0;
            text += digit ? static_cast<char>('0' + rng() % 10) : alphabet[rng() % alphabet.size()];
        }
        const int min = static_cast<int>(rng() % 3) * 10;
        const int max = 255;
        bool expected = true;
        if (!text.empty()) {
            expected = text.find_first_not_of("0123456789") == std::string::npos;
            if (expected) {
                const long v = std::strtol(text.c_str(), nullptr, 10);
                expected = v >= min && v <= max;
            }
        }
        ASSERT_EQ(event_text_accept(text.c_str(), min, max), expected) << '"' << text << '"';
    }
}
