// Device list files met with bad input: nothing harmful, nothing lost.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "app/fileio.h"
#include "devices/devices.h"
#include "tests/support/frames.h"

namespace {

int readText(const std::string& text) {
    dev_removeAll();
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    int n = 0;
    captureStdout([&] { n = readListFile(in); });
    std::fclose(in);
    return n;
}

}  // namespace

TEST(ListFile, JunkHugeLinesAndManyLines) {
    // Binary junk: whatever it holds, only real "U:" lines can add a record.
    std::mt19937 rng(11);
    std::string junk;
    for (int i = 0; i < 100000; ++i) junk.push_back(static_cast<char>(rng() % 256 == 'U' ? 0 : rng()));
    EXPECT_EQ(readText(junk), 0);
    EXPECT_EQ(dev_count(), 0);

    // A line of a megabyte is read as 256-character pieces; a list line after it still counts.
    std::string huge(1 << 20, '7');
    huge = "U:" + huge + "\nU:00ABCDEF\r\n";
    readText(huge);
    EXPECT_EQ(dev_count(), 1);
    EXPECT_EQ(dev_uidAt(0), 0x00ABCDEFu);

    // 10,000 lines: the first 200 distinct UIDs are kept, in file order.
    std::string many;
    for (int i = 1; i <= 10000; ++i) many += "U:" + std::to_string(i) + "\r\n";
    EXPECT_EQ(readText(many), 10000);
    EXPECT_EQ(dev_count(), 200);
    EXPECT_EQ(dev_uidAt(0), 0x1u);
    EXPECT_EQ(dev_uidAt(199), 0x200u);

    // A number over 32 bits makes its line unusable, and only its line.
    EXPECT_EQ(readText("U:123456789\r\nU:FFFFFFFF\r\nU:0x100000000\r\n"), 1);
    EXPECT_EQ(dev_uidAt(0), 0xFFFFFFFFu);
}
