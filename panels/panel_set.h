// The panels on one line, as the virtual bus and the pty server both serve
// them: who is there, what each hears and answers, and when each sends its
// unrequested report. Answers and reports go into the owner's ArrivalQueue.
//
// Reports wait for a quiet line: a panel never reports amid a discovery or a
// setup read, and waits for answers already on their way.
//
// Threads: none of its own; its owner guards it (the virtual bus's mutex, the
// pty server's one thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "panels/arrivals.h"
#include "panels/virtual_panel.h"

class PanelSet {
public:
    static constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();
    static constexpr int64_t REPORT_QUIET_US = 200000;  // since the configurator's last byte

    // A panel with a plain setup: intensity 1, all buttons off, version 2.0.
    VirtualPanel& add(uint32_t uid);
    void addDemo();
    void addRandom(int count, uint32_t seed);  // distinct UIDs 1..0x7FFFFFFF, none already here
    std::vector<uint32_t> uids() const;
    VirtualPanel* find(uint32_t uid);  // first panel with that UID, or null
    size_t size() const { return panels_.size(); }
    VirtualPanel& at(size_t index) { return panels_.at(index); }
    void setAnswerDelayUs(int64_t us);  // for every panel now here

    // Every panel hears one frame that ended on the line at endUs; their
    // answers go into out. Returns how many answers there were.
    size_t hear(const uint8_t* frame, size_t n, int64_t endUs, ArrivalQueue& out);

    // Picks up report settings that changed (tests set them on the panels directly).
    void scanReports(int64_t now);
    // Sends the reports due by now into out; the line counts as quiet from
    // lastByteUs + REPORT_QUIET_US on.
    void fireReports(int64_t now, int64_t lastByteUs, ArrivalQueue& out);
    // When the next report is due; NEVER when none reports.
    int64_t nextReportUs() const { return earliestReport_; }

private:
    std::deque<VirtualPanel> panels_;  // a deque keeps handed-out references valid
    std::vector<int64_t> reportAt_;    // per panel; -1 when it does not report
    int64_t earliestReport_ = NEVER;
};
