#include "panels/panel_set.h"

#include <algorithm>

VirtualPanel& PanelSet::add(uint32_t uid) {
    panels_.emplace_back(uid);
    reportAt_.push_back(-1);
    return panels_.back();
}

void PanelSet::addDemo() {
    for (VirtualPanel& p : panels_demoSet()) {
        panels_.push_back(p);
        reportAt_.push_back(-1);
    }
}

void PanelSet::addRandom(int count, uint32_t seed) {
    for (VirtualPanel& p : panels_randomSet(count, seed, uids())) {
        panels_.push_back(p);
        reportAt_.push_back(-1);
    }
}

std::vector<uint32_t> PanelSet::uids() const {
    std::vector<uint32_t> out;
    for (const VirtualPanel& p : panels_) out.push_back(p.uid);
    return out;
}

VirtualPanel* PanelSet::find(uint32_t uid) {
    for (VirtualPanel& p : panels_)
        if (p.uid == uid) return &p;
    return nullptr;
}

void PanelSet::setAnswerDelayUs(int64_t us) {
    for (VirtualPanel& p : panels_) p.faults.answerDelayUs = us;
}

size_t PanelSet::hear(const uint8_t* frame, size_t n, int64_t endUs, ArrivalQueue& out) {
    size_t answers = 0;
    for (VirtualPanel& p : panels_) {
        for (const PanelAnswer& a : p.hear(frame, n)) {
            out.addBytes(endUs + a.delayUs, a.bytes);
            ++answers;
        }
    }
    return answers;
}

void PanelSet::scanReports(int64_t now) {
    earliestReport_ = NEVER;
    for (size_t i = 0; i < panels_.size(); ++i) {
        const int64_t every = panels_[i].faults.reportEveryUs;
        if (every <= 0)
            reportAt_[i] = -1;
        else if (reportAt_[i] < 0)
            reportAt_[i] = now + every;
        if (reportAt_[i] >= 0) earliestReport_ = std::min(earliestReport_, reportAt_[i]);
    }
}

void PanelSet::fireReports(int64_t now, int64_t lastByteUs, ArrivalQueue& out) {
    earliestReport_ = NEVER;
    for (size_t i = 0; i < panels_.size(); ++i) {
        const int64_t every = panels_[i].faults.reportEveryUs;
        if (reportAt_[i] < 0) continue;
        if (every <= 0) {
            reportAt_[i] = -1;
            continue;
        }
        if (now - reportAt_[i] > 10 * every) reportAt_[i] = now - (now - reportAt_[i]) % every;
        while (reportAt_[i] <= now) {
            const int64_t quietFrom = lastByteUs + REPORT_QUIET_US;
            if (reportAt_[i] < quietFrom) {
                reportAt_[i] = quietFrom;
                continue;
            }
            const std::vector<uint8_t> frame = panels_[i].spontaneousReport();
            int64_t at = reportAt_[i];
            if (out.size() > 0) at = std::max(at, out.lastUs() + 2 * out.byteUs());
            out.addBytes(at, frame);
            reportAt_[i] += every;
        }
        earliestReport_ = std::min(earliestReport_, reportAt_[i]);
    }
}
