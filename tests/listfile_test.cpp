// Device list files met with bad input: nothing harmful, nothing lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "app/fileio.h"
#include "devices/devices.h"
#include "tests/support/bounded.h"
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

    // 10,000 lines: the first 200 distinct UIDs are kept, in file order, and
    // reading ends with them.
    std::string many;
    for (int i = 1; i <= 10000; ++i) many += "U:" + std::to_string(i) + "\r\n";
    EXPECT_EQ(readText(many), 200);
    EXPECT_EQ(dev_count(), 200);
    EXPECT_EQ(dev_uidAt(0), 0x1u);
    EXPECT_EQ(dev_uidAt(199), 0x200u);

    // A number over 32 bits makes its line unusable, and only its line.
    EXPECT_EQ(readText("U:123456789\r\nU:FFFFFFFF\r\nU:0x100000000\r\n"), 1);
    EXPECT_EQ(dev_uidAt(0), 0xFFFFFFFFu);
}

// A FIFO without a writer, a link to /dev/zero and a folder: refused at once as
// images and as lists to save, and left as they were. A list saved over a
// longer one replaces it whole; a list is read only as far as the table reaches.
TEST(ListFile, OnlyRegularFilesAndOnlyAsFarAsTheTableReaches) {
    std::string dir = testing::TempDir() + "korvane-fileio-XXXXXX";
    ASSERT_NE(mkdtemp(&dir[0]), nullptr);
    const std::string fifo = dir + "/fifo", zero = dir + "/zero", folder = dir + "/folder", list = dir + "/a.lst";
    ASSERT_TRUE(mkfifo(fifo.c_str(), 0600) == 0 && symlink("/dev/zero", zero.c_str()) == 0 &&
                mkdir(folder.c_str(), 0700) == 0);
    uint8_t image[16];
    for (const std::string& odd : {fifo, zero, folder}) {
        // A blocked open is let go by opening the FIFO's other end.
        Watchdog back("opening " + odd + " to return", [&] {
            for (int mode : {O_RDONLY, O_WRONLY}) close(open(fifo.c_str(), mode | O_NONBLOCK));
        });
        EXPECT_EQ(read_file(odd.c_str(), image, sizeof image), FILEIO_READ_ERROR) << odd;
        EXPECT_EQ(saveListFile(odd.c_str()), -1) << odd;
    }
    struct stat st;
    EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));

    // 200 distinct UIDs, then far more than the reader's buffer holds.
    std::string text;
    for (int i = 1; i <= DEV_MAX; ++i) text += "U:" + std::to_string(i) + "\r\n";
    const long listed = static_cast<long>(text.size());
    text += std::string(1 << 22, '\n');
    std::FILE* in = fmemopen(&text[0], text.size(), "rb");
    dev_removeAll();
    captureStdout([&] { EXPECT_EQ(readListFile(in), DEV_MAX); });
    EXPECT_LT(std::ftell(in), listed + (1 << 17)) << "read on past the 200th UID";
    std::fclose(in);

    std::ofstream(list) << text;
    EXPECT_EQ(saveListFile(list.c_str()), 0);
    EXPECT_TRUE(stat(list.c_str(), &st) == 0 && st.st_size == DEV_MAX * 12) << st.st_size;
    dev_removeAll();
    for (const std::string& name : {fifo, zero, list}) unlink(name.c_str());
    rmdir(folder.c_str());
    rmdir(dir.c_str());
}
