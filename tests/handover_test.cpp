// The state that workers leave for the window, without a window.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/handover.h"
#include "tests/support/bounded.h"

namespace {

std::vector<std::pair<int, std::string>> shown;
void recordShown(int type, const char* text) { shown.emplace_back(type, text); }

class Handover : public ::testing::Test {
protected:
    void SetUp() override {
        handover_reset();
        shown.clear();
    }
    void TearDown() override { handover_reset(); }
};

}  // namespace

TEST_F(Handover, LockBitsOfTwoThreadsNeverUndoEachOther) {
    std::thread a([] {
        for (int i = 0; i < 100000; ++i) {
            setLock(LOCK_FIRMWARE);
            remLock(LOCK_FIRMWARE);
        }
    });
    std::thread b([] {
        for (int i = 0; i < 100000; ++i) {
            EXPECT_EQ(setLock(LOCK_DISCOVERY) & LOCK_DISCOVERY, LOCK_DISCOVERY);
            EXPECT_EQ(getLockComponents() & LOCK_DISCOVERY, LOCK_DISCOVERY);
            remLock(LOCK_DISCOVERY);
        }
    });
    joinWithin(a, "the firmware bit's thread");
    joinWithin(b, "the discovery bit's thread");
    EXPECT_EQ(getLockComponents(), 0u);
    EXPECT_EQ(setLock(LOCK_DISCOVERY), LOCK_DISCOVERY);
}

// A worker's whole report of a reading round, 2,000 characters, reaches the
// window and the error stream. Once the window's thread is known, its own post
// shows the pending one first, and what is posted while a box is open queues
// behind it in order (posters from other threads wait for the slot:
// TickTest.BarMessagesAndButtonsAfterTheBox).
TEST_F(Handover, MessagesReachTheWindowWholeAndInOrder) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::string report = "Read setup:\n Device(s) not responding:\n";
    while (report.size() < 1990) report += " ABCDEF\n";
    std::thread poster([&] { messageError(report.c_str()); });
    joinWithin(poster, "the thread posting the report");
    int type;
    std::string text;
    ASSERT_TRUE(message_take(&type, &text));
    EXPECT_EQ(type, MSG_ERROR);
    EXPECT_EQ(text, report);
    message_done();
    EXPECT_EQ(message_pendingType(), MSG_NONE);

    message_setGuiThread(recordShown);
    std::thread worker([] { messageError("from worker"); });
    joinWithin(worker, "the posting thread");
    messageInfo("from window");  // must not wait for itself
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], std::make_pair(MSG_ERROR, std::string("from worker")));
    ASSERT_TRUE(message_take(&type, &text));
    EXPECT_EQ(text, "from window");
    messageInfo("later 1");
    messageError("later 2");
    message_done();
    for (const auto& later : {std::make_pair(MSG_INFO, "later 1"), std::make_pair(MSG_ERROR, "later 2")}) {
        ASSERT_TRUE(message_take(&type, &text));
        EXPECT_EQ(std::make_pair(type, text), std::make_pair(later.first, std::string(later.second)));
        message_done();
    }
    EXPECT_FALSE(message_take(&type, &text));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "INFO: from window\nINFO: later 1\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: " + report + "\nERROR: from worker\nERROR: later 2\n");
}
