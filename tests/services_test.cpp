// Identify, UID change and firmware upload against the virtual panels.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>

#include "app/app_firmware.h"
#include "app/app_genUID.h"
#include "app/app_identify.h"
#include "tests/support/bounded.h"
#include "tests/support/frames.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

class Services : public SimBus {
protected:
    TempDir files;
};

std::tm localTime(int year, int month0, int day, int hour, int min, int sec) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month0;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

// Takes the messages a worker posts, as the window would.
std::vector<std::string> drainMessages(const std::function<bool()>& done) {
    std::vector<std::string> seen;
    waitFor("the worker's messages and its end", [&] {
        int type;
        std::string text;
        if (!message_take(&type, &text)) return done();
        seen.push_back(text);
        message_done();
        return false;
    });
    return seen;
}

void waitTransferEnd() {
    Watchdog ended("the transfer thread to end");
    firmware_waitIdle();
}

}  // namespace

TEST_F(Services, IdentifyBothFormsAndAcknowledgements) {
    VirtualPanel& p = bus.addPanel(0x111);
    const std::string out = captureStdout([] { EXPECT_EQ(app_identify_send(0x111, 0), 1); });
    EXPECT_EQ(out, "app_identify_parse\n");
    EXPECT_EQ(app_identify_send(0x111, 0x04), 1);
    EXPECT_EQ(app_identify_send(0x111, 0x100), 1);  // only the low byte counts
    EXPECT_EQ(commandsHeard(), (std::vector<Data>{{0x03, 0x20, 0x02, 0x98, 0x3A},
                                                  {0x03, 0x20, 0x03, 0x98, 0x3A, 0x04},
                                                  {0x03, 0x20, 0x02, 0x98, 0x3A}}));
    EXPECT_FALSE(bus.isOpen());

    // Another sub-command is printed but does not acknowledge.
    app_identify_rec() = 0;
    Bytes wrongSub = commandFrame(0xFFFFFFFF, 0x111, {0x03, 0x21, 0x00});
    EXPECT_EQ(captureStdout([&] { app_identify_parse(wrongSub.data()); }), "app_identify_parse\n");
    EXPECT_EQ(app_identify_rec().load(), 0u);

    // No answer: five sends of 15 polls each, then -1.
    p.faults.silent = true;
    bus.clearHeard();
    EXPECT_EQ(app_identify_send(0x111, 0), -1);
    EXPECT_EQ(commandsHeard().size(), 5u);
}

// Answers behind a false frame start (a header claiming 250 bytes that never
// come) or followed by stray bytes are still taken as they arrive.
TEST_F(Services, AnswersBehindFalseStartsAreNotHeldBack) {
    VirtualPanel& p = bus.addPanel(0x111);
    for (auto fault : {&PanelFaults::falseStart, &PanelFaults::rambling}) {
        p.faults = PanelFaults{};
        p.faults.*fault = true;
        bus.clearHeard();
        for (int i = 0; i < 3; ++i) EXPECT_EQ(app_identify_send(0x111, 0), 1);
        EXPECT_EQ(commandsHeard().size(), 3u) << "each acknowledged at its first send";
    }
}

TEST_F(Services, UidFromDateAndTime) {
    char text[GEN_UID_TEXT_SIZE];
    EXPECT_EQ(app_uidFromTime(localTime(2026, 11, 5, 23, 39, 31), text), 0x3565BCEFu);
    EXPECT_STREQ(text, "NEW UID=3565BCEF\n Y=26\n M=11\n D=5\n h=23\n m=39\n s=30\n");
    EXPECT_EQ(app_uidFromTime(localTime(2000, 0, 1, 0, 0, 0), nullptr), 0x00010000u);
    EXPECT_EQ(app_uidFromTime(localTime(2063, 11, 31, 23, 59, 59), text), 0x7F7FBF7Du);
    EXPECT_STREQ(text, "NEW UID=7F7FBF7D\n Y=63\n M=11\n D=31\n h=23\n m=59\n s=58\n");
    EXPECT_LE(std::strlen(text), 54u);
    EXPECT_EQ(app_uidFromTime(localTime(2064, 0, 1, 0, 0, 0), nullptr), 0x80010000u);
    EXPECT_EQ(app_genNewUID(nullptr) & 0x1F, app_genNewUID(nullptr) & 0x1F);
}

TEST_F(Services, UidChange) {
    VirtualPanel& p = bus.addPanel(0x500);
    EXPECT_EQ(app_genUid(0x500, 0x600), 1);
    EXPECT_EQ(p.uid, 0x600u);
    EXPECT_EQ(commandsHeard(), (std::vector<Data>{{0x03, 0x10, 0x04, 0x00, 0x06, 0x00, 0x00}}));
    EXPECT_FALSE(bus.isOpen());

    p.faults.ackUidUnderNewUid = true;  // the new UID acknowledges as well
    EXPECT_EQ(app_genUid(0x600, 0x700), 1);

    // 0x10 is no acknowledgement, 0x11 is; a stale one is cleared before the first send.
    app_genUid_rec() = 0;
    Bytes f = commandFrame(0xFFFFFFFF, 0x700, {0x03, 0x10, 0x00});
    app_genUid_parse(f.data());
    EXPECT_EQ(app_genUid_rec().load(), 0u);
    f = commandFrame(0xFFFFFFFF, 0x700, {0x03, 0x11, 0x00});
    app_genUid_parse(f.data());
    EXPECT_EQ(app_genUid_rec().load(), 0x700u);
    p.faults.silent = true;
    int result = -5;
    const std::string out = captureStdout([&] { result = app_genUid(0x700, 0x800); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "UID repeat = 4\nUID repeat = 3\nUID repeat = 2\nUID repeat = 1\nUID repeat = 0\n");

    // New UID 0: one is made from the clock and announced.
    p.faults.silent = false;
    const std::string made = captureStdout([&] { EXPECT_EQ(app_genUid(0x800, 0), 1); });
    EXPECT_EQ(made.rfind("AUTOGENERATED UID:\nNEW UID=", 0), 0u);
    EXPECT_NE(p.uid, 0x800u);
}

TEST_F(Services, FirmwareImageArrivesWhole) {
    bus.addPanel(0x10);
    VirtualPanel& other = bus.addPanel(0x20);
    std::vector<uint8_t> image(200);
    std::mt19937 rng(5);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    const std::string path = files.write("image.fw", std::string(image.begin(), image.end()));

    // A larger image first, so a stale buffer would show in the padding.
    captureStdout([&] { makeProgramDevice(files.write("big.fw", std::string(1000, 0x5A)).c_str(), 0x10); });

    std::string out = captureStdout([&] { EXPECT_EQ(makeProgramDevice(path.c_str(), 0x10), 0); });
    EXPECT_NE(out.find("\nData size: 200\n"), std::string::npos);
    EXPECT_NE(out.find("Send reboot 10\n"), std::string::npos);
    EXPECT_NE(out.find("Send fw 3/3\n"), std::string::npos);
    EXPECT_NE(out.find("Send DONE. 256/200\n"), std::string::npos);
    EXPECT_EQ(pStatusTop.load(), 3);
    EXPECT_EQ(pStatusSt.load(), 4);

    std::vector<uint8_t> expected = image;
    expected.resize(256, 0x00);
    EXPECT_EQ(other.firmwareImage(), expected);
    EXPECT_EQ(other.rebootCount, 2 * 5);
    EXPECT_EQ(other.chunkFrames, 4 * 5);

    // Each frame five times in a row (the panel takes them apart).
    std::vector<std::vector<uint8_t>> frames;
    for (const auto& t : bus.heard())
        if (t.afterBreak && t.bytes.size() == 76) frames.push_back(t.bytes);
    for (size_t i = frames.size() - 25; i < frames.size(); i += 5)
        for (size_t k = 1; k < 5; ++k) EXPECT_EQ(frames[i + k], frames[i]);

    out = captureStdout([&] { makeProgramDevice(files.write("exact.fw", std::string(128, 1)).c_str(), 1); });
    EXPECT_NE(out.find("Send DONE. 128/128\n"), std::string::npos);
    EXPECT_EQ(pStatusTop.load(), 2);
}

TEST_F(Services, FirmwareRefusalsSendNothing) {
    VirtualPanel& p = bus.addPanel(0x10);
    const std::string dir = files.path + "/";
    const std::string tooBig = files.write("huge.fw", std::string(131073, 1));
    const std::string empty = files.write("empty.fw", "");
    const std::string unreadable = files.write("noread.fw", "\1\2\3");
    chmod(unreadable.c_str(), 0);
    const bool rootReadsAnyway = access(unreadable.c_str(), R_OK) == 0;
    const std::string folder = dir + "folder.fw";
    mkdir(folder.c_str(), 0700);

    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {dir + "IMAGE.FW", "Unsupported file extension."},
        {dir + "image.pkg", "Package file not implemented."},
        {"fw", "Unsupported file extension."},
        {dir + "missing.fw", "Firmware file " + dir + "missing.fw: No such file or directory. Nothing was sent."},
        {tooBig, "Firmware file " + tooBig + ": larger than 131072 bytes. Nothing was sent."},
        {empty, "Firmware file " + empty + ": empty. Nothing was sent."},
        {folder, "Firmware file " + folder + ": cannot be read. Nothing was sent."},
    };
    for (const auto& c : cases) {
        bus.clearHeard();
        testing::internal::CaptureStderr();
        buttonSendAction(0x10, c.path.c_str());
        const auto messages = drainMessages([] { return firmware_thrTrans() == 0; });
        waitTransferEnd();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(messages, std::vector<std::string>{c.message}) << c.path;
        EXPECT_TRUE(bus.heard().empty()) << c.path;
    }
    if (!rootReadsAnyway) {
        buttonSendAction(0x10, unreadable.c_str());
        EXPECT_EQ(drainMessages([] { return firmware_thrTrans() == 0; }).size(), 1u);
        waitTransferEnd();
    }
    EXPECT_EQ(p.rebootCount, 0);
    EXPECT_EQ(getLockComponents(), 0u);
}

TEST_F(Services, OneTransferAtATime) {
    bus.addPanel(0x10);
    const std::string path = files.write("one.fw", std::string(64 * 20, 7));
    std::string copy = path;
    captureStdout([&] {
        cable_lock();  // the transfer waits at its first cable use until the checks are done
        buttonSendAction(0x10, copy.c_str());
        EXPECT_EQ(firmware_thrTrans(), 0xFF);
        EXPECT_EQ(getLockComponents() & LOCK_FIRMWARE, LOCK_FIRMWARE);
        copy.assign(copy.size(), 'x');         // the chooser's buffer changes: the transfer has its own
        buttonSendAction(0x10, path.c_str());  // refused while one runs
        buttonSendAction(0x10, "");
        cable_unlock();
        waitTransferEnd();
    });
    EXPECT_EQ(bus.panel(0x10)->rebootCount, 5);
    EXPECT_EQ(firmware_thrTrans(), 0);
    EXPECT_EQ(getLockComponents(), 0u);
}
