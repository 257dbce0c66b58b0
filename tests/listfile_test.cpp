// Device list files: how far reading goes, and what saving writes. Which lines
// count (line ends, case, prefixes, duplicates, zero, a last line without its
// end), on any bytes against an independent reading of the line rules:
// fuzz/fuzz_list_file.cpp; files that are no regular files: ListFileTest in
// the window tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/fileio.h"
#include "devices/devices.h"
#include "tests/support/frames.h"
#include "tests/support/temp_dir.h"

namespace {

// Reads text as a list file into an emptied table: the count readListFile
// returns, and where it stopped reading.
int readText(std::string text, long* stoppedAt = nullptr) {
    dev_removeAll();
    std::FILE* in = fmemopen(&text[0], text.size(), "rb");
    int n = 0;
    captureStdout([&] { n = readListFile(in); });
    if (stoppedAt) *stoppedAt = std::ftell(in);
    std::fclose(in);
    return n;
}

}  // namespace

TEST(ListFile, LooseLinesDistinctUidsFirstTwoHundred) {
    EXPECT_EQ(readText("U:123456789\r\nU:FFFFFFFF\r\nU:0x100000000\r\n"), 1) << "over 32 bits: that line only";
    EXPECT_EQ(dev_uidAt(0), 0xFFFFFFFFu);
    // A line of a megabyte, read in 256-character pieces.
    EXPECT_EQ(readText("U:" + std::string(1 << 20, '7') + "\nU:ABCDEF\n"), 1);
    EXPECT_EQ(dev_uidAt(0), 0xABCDEFu);

    // 230 distinct UIDs, then far more than the reader's buffer holds: the
    // first 200 are stored, and reading ends with the 200th.
    std::string many;
    for (int i = 1001; i <= 1230; ++i) many += "U:" + std::to_string(i) + "\r\n";
    const long listed = static_cast<long>(many.size());
    many += std::string(1 << 22, '\n');
    long stoppedAt = 0;
    EXPECT_EQ(readText(many, &stoppedAt), DEV_MAX);
    ASSERT_EQ(dev_count(), DEV_MAX);
    EXPECT_EQ(dev_uidAt(0), 0x1001u);
    EXPECT_EQ(dev_uidAt(DEV_MAX - 1), 0x1200u);
    EXPECT_LT(stoppedAt, listed + (1 << 17)) << "read on past the 200th UID";
    dev_removeAll();
}

// Twelve bytes a device, over a longer list that was there: nothing of it stays.
TEST(ListFile, SaveReplacesTheFileWithTwelveBytesPerDevice) {
    TempDir dir;
    const std::string list = dir.write("a.lst", std::string(1000, 'x'));
    dev_removeAll();
    for (uint32_t uid : {0x1u, 0xABCDEF12u, 0x7FFFFFFFu}) addDevUID(uid);
    ASSERT_EQ(saveListFile(list.c_str()), 0);
    const std::string bytes = dir.read("a.lst");
    EXPECT_EQ(bytes, "U:00000001\r\nU:ABCDEF12\r\nU:7FFFFFFF\r\n");
    EXPECT_EQ(saveListFile(dir.file("no-such-folder/b.lst").c_str()), -1);
    dev_removeAll();
}
