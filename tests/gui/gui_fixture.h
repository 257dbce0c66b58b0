// Shared pieces of the window tests: one window per process, a fresh set of
// virtual panels per test, modal dialogs answered from a timeout, and the tick
// driven by hand.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "bus/port/port.h"
#include "panels/virtual_bus.h"

// What the answerer saw of one dialog.
struct SeenDialog {
    std::string title;
    bool isMessage = false;
    GtkMessageType type = GTK_MESSAGE_OTHER;
    std::string text;
    bool sensitiveDiscovery = false;  // "Discovery" button state while it was open
};

// Answers modal dialogs: each one that opens gets the next queued action, which
// returns the response (or NOT_YET to be asked again at the next poll). A dialog
// nobody expected is closed with DELETE_EVENT and counted.
class DialogAnswerer {
public:
    static constexpr int NOT_YET = -10000;
    using Action = std::function<int(GtkDialog*)>;

    void start();
    void stop();
    void push(Action action) { actions_.push_back(std::move(action)); }
    void respond(int response) {
        push([response](GtkDialog*) { return response; });
    }

    std::vector<SeenDialog> seen;
    int unexpected = 0;
    int pending() const { return static_cast<int>(actions_.size()); }

private:
    static gboolean poll(gpointer self);
    std::deque<Action> actions_;
    guint source_ = 0;
};

// The virtual panels behind a gate: while closed, a write that would follow the
// muting of every panel (the search is over) waits until the test opens it.
class GatedBus : public PortDriver {
public:
    explicit GatedBus(VirtualBus& bus) : bus_(bus) {}
    void close_gate();
    void open_gate();
    bool waiting() const;

    int libraryVersion(uint32_t* v) override { return bus_.libraryVersion(v); }
    int deviceCount(uint32_t* c) override { return bus_.deviceCount(c); }
    int deviceDetails(uint32_t i, PortDeviceInfo* info) override { return bus_.deviceDetails(i, info); }
    int listSerials(char* const* b, int cap, uint32_t* c) override { return bus_.listSerials(b, cap, c); }
    int openBySerial(const char* s, PortHandle* h) override { return bus_.openBySerial(s, h); }
    int reset(PortHandle h) override { return bus_.reset(h); }
    int setTimeouts(PortHandle h, uint32_t r, uint32_t w) override { return bus_.setTimeouts(h, r, w); }
    int setBaudRate(PortHandle h, uint32_t b) override { return bus_.setBaudRate(h, b); }
    int setDataCharacteristics(PortHandle h, uint8_t b, uint8_t s, uint8_t p) override {
        return bus_.setDataCharacteristics(h, b, s, p);
    }
    int getStatus(PortHandle h, uint32_t* rx, uint32_t* tx) override { return bus_.getStatus(h, rx, tx); }
    int read(PortHandle h, uint8_t* b, uint32_t n, uint32_t* got) override { return bus_.read(h, b, n, got); }
    int write(PortHandle h, const uint8_t* b, uint32_t n, uint32_t* written) override;
    int close(PortHandle h) override { return bus_.close(h); }

private:
    VirtualBus& bus_;
    mutable std::mutex mutex_;
    std::condition_variable opened_;
    bool closed_ = false;
    bool waiting_ = false;
};

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // One tick, then the events it caused.
    static void tick();
    static void drain();
    // Ticks until pred holds; false if it never did within a generous bound.
    static bool tickUntil(const std::function<bool()>& pred);
    static bool idle();

    // A record put straight into the table (row index i).
    static void putRecord(int i, const DeviceRecord& record);
    static std::string cell(int row, int column);
    static int rows();

    VirtualBus bus;
    DialogAnswerer answers;
};

// A folder of its own under the system's temporary folder, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readWhole(const std::string& path);
void writeWhole(const std::string& path, const std::string& bytes);
