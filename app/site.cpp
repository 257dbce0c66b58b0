#include "app/site.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>

#include "app/app_setup.h"
#include "app/site_file.h"
#include "app/handover.h"

// Threads: see site.h; no module state.

namespace {

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...) {
    constexpr size_t TEXT_MAX = 96;
    char text[TEXT_MAX];
    va_list args;
    va_start(args, f);
    std::vsnprintf(text, sizeof text, f, args);
    va_end(args);
    return text;
}

std::string scenesText(uint16_t mask) {
    std::string out = "[";
    for (int k = 0; k < 16; ++k)
        if (mask & 1u << k) out += (out.size() > 1 ? ", " : "") + std::to_string(k + 1);
    return out + "]";
}

std::string blockPath(int b) { return "dmx[" + std::to_string(b) + "]"; }

// The device table lists exactly these panels, in order.
void listPanels(const std::vector<uint32_t>& uids) {
    dev_removeAll();
    for (uint32_t uid : uids) addDevUID(uid);
}

// Calls progress and tells whether to go on with panel `done`.
bool next(const SiteProgress& progress, int done, int total, uint32_t uid) {
    if (cancel_requested()) return false;
    if (progress) progress(done, total, uid);
    return true;
}

std::vector<uint32_t> targetsOf(const std::vector<SiteTarget>& plan) {
    std::vector<uint32_t> uids;
    uids.reserve(plan.size());
    for (const SiteTarget& t : plan) uids.push_back(t.uid);
    return uids;
}

// Reads the panel back and fills the report from what it holds.
void compareWithPanel(const SiteTarget& t, PanelReport* r, bool restoring) {
    DeviceRecord now;
    if (!site_readPanel(t.uid, &now)) {
        if (restoring) r->problems.emplace_back("no answer to the read-back");
        r->outcome = restoring ? PanelOutcome::NotVerified : PanelOutcome::NotAnswering;
        return;
    }
    const std::vector<std::string> diff = site_differences(t.entry, now);
    r->problems.insert(r->problems.end(), diff.begin(), diff.end());
    if (now.verMajor != t.entry.verMajor || now.verMinor != t.entry.verMinor)
        r->notes.push_back(format("firmware %d.%d", now.verMajor, now.verMinor) +
                           format(" (the file has %d.%d; not part of the setup)", t.entry.verMajor, t.entry.verMinor));
    r->outcome = diff.empty() ? PanelOutcome::Match : PanelOutcome::Differs;
}

// One report per target, in plan order, each panel done by `each`; after a
// cancel the rest stay NotDone and the bus is not touched again.
std::vector<PanelReport> walkPlan(const std::vector<SiteTarget>& plan, const SiteProgress& progress,
                                  const std::function<void(const SiteTarget&, PanelReport*)>& each) {
    listPanels(targetsOf(plan));
    std::vector<PanelReport> reports;
    const int total = static_cast<int>(plan.size());
    bool stopped = false;
    for (int i = 0; i < total; ++i) {
        PanelReport r;
        r.uid = plan[i].entry.uid;
        r.target = plan[i].uid;
        stopped = stopped || !next(progress, i, total, plan[i].uid);
        if (!stopped) each(plan[i], &r);
        reports.push_back(r);
    }
    return reports;
}

}  // namespace

bool site_readPanel(uint32_t uid, DeviceRecord* out) {
    if (findDevUID(uid) < 0) return false;
    return app_setup_read(uid) == 1 && dev_copyByUid(uid, out);
}

SiteRead site_read(const std::vector<uint32_t>& uids, const SiteProgress& progress) {
    std::vector<uint32_t> list;
    for (uint32_t uid : uids)
        if (std::find(list.begin(), list.end(), uid) == list.end() && list.size() < DEV_MAX) list.push_back(uid);
    listPanels(list);
    const SetupReads reads = app_setup_readEach(list, progress);
    SiteRead r;
    for (int i = 0; i < reads.read; ++i) {
        const bool silent = std::find(reads.silent.begin(), reads.silent.end(), list[i]) != reads.silent.end();
        DeviceRecord record;
        if (!silent && dev_copyByUid(list[i], &record))
            r.panels.push_back(record);
        else
            r.notAnswering.push_back(list[i]);
    }
    r.notRead.assign(list.begin() + reads.read, list.end());
    return r;
}

SiteRead site_backup(const SiteProgress& progress) {
    dev_removeAll();
    std::vector<uint32_t> found(DEV_MAX);
    const int count = app_discovery(found.data(), DEV_MAX);
    const DiscoveryOutcome discovery = app_discovery_outcome();
    found.resize(static_cast<size_t>(count));
    SiteRead r = site_read(found, progress);
    r.discovery = discovery;
    return r;
}

std::vector<std::string> site_differences(const DeviceRecord& file, const DeviceRecord& panel) {
    std::vector<std::string> out;
    if (file.intensity != panel.intensity)
        out.push_back(format("intensity: file %d, panel %d", file.intensity, panel.intensity));
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        const std::string path = "buttons[" + std::to_string(b) + "]";
        if (file.btn[b].type != panel.btn[b].type)
            out.push_back(path + format(".type: file %d, panel %d", file.btn[b].type, panel.btn[b].type));
        if (file.btn[b].scn != panel.btn[b].scn)
            out.push_back(path + ".scenes: file " + scenesText(file.btn[b].scn) + ", panel " +
                          scenesText(panel.btn[b].scn));
    }
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        if (!(file.dmxKnown & 1u << b)) continue;
        if (!(panel.dmxKnown & 1u << b)) {
            out.push_back(blockPath(b) + ": could not be read");
            continue;
        }
        const uint8_t* f = file.dmx[b];
        const uint8_t* p = panel.dmx[b];
        const int fStart = f[0] | f[1] << 8;
        const int pStart = p[0] | p[1] << 8;
        if (fStart != pStart) out.push_back(blockPath(b) + format(".start: file %d, panel %d", fStart, pStart));
        if (f[2] != p[2]) out.push_back(blockPath(b) + format(".count: file %d, panel %d", f[2], p[2]));
        if (f[3] != p[3]) out.push_back(blockPath(b) + format(".flags: file %d, panel %d", f[3], p[3]));
        int differ = 0;
        int first = -1;
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) {
            if (f[4 + k] == p[4 + k]) continue;
            if (first < 0) first = k;
            ++differ;
        }
        if (differ > 0) {
            const std::string level =
                format("levels[%d]: file %d", first, f[4 + first]) + ", panel " + std::to_string(p[4 + first]);
            out.push_back(blockPath(b) + (differ == 1
                                              ? "." + level
                                              : ".levels: " + std::to_string(differ) + " differ, the first " + level));
        }
    }
    return out;
}

bool site_plan(const std::vector<DeviceRecord>& panels, const std::vector<uint32_t>& only,
               const std::vector<std::pair<uint32_t, uint32_t>>& map, std::vector<SiteTarget>* plan,
               std::vector<std::string>* errors) {
    plan->clear();
    const size_t before = errors->size();
    auto inFile = [&](uint32_t uid) {
        return std::any_of(panels.begin(), panels.end(), [&](const DeviceRecord& p) { return p.uid == uid; });
    };
    for (uint32_t uid : only)
        if (!inFile(uid)) errors->push_back("--only " + site_uidText(uid) + ": no such panel in the file");
    for (size_t i = 0; i < map.size(); ++i) {
        if (!inFile(map[i].first))
            errors->push_back("--map " + site_uidText(map[i].first) + "=" + site_uidText(map[i].second) +
                              ": no panel " + site_uidText(map[i].first) + " in the file");
        for (size_t k = 0; k < i; ++k)
            if (map[k].first == map[i].first)
                errors->push_back("--map " + site_uidText(map[i].first) + ": mapped twice");
    }
    for (const DeviceRecord& p : panels) {
        if (!only.empty() && std::find(only.begin(), only.end(), p.uid) == only.end()) continue;
        uint32_t target = p.uid;
        for (const auto& [from, to] : map)
            if (from == p.uid) target = to;
        for (const SiteTarget& t : *plan)
            if (t.uid == target)
                errors->push_back("panels " + site_uidText(t.entry.uid) + " and " + site_uidText(p.uid) +
                                  " would both go to " + site_uidText(target));
        plan->push_back({p, target});
    }
    if (errors->size() == before) return true;
    plan->clear();
    return false;
}

std::vector<std::string> site_restoreLimits(const DeviceRecord& entry) {
    std::vector<std::string> out;
    if (entry.intensity > 3)
        out.push_back(format("intensity: %d cannot be written (a write carries 0 to 3): %d goes out", entry.intensity,
                             entry.intensity & 3));
    for (int b = 0; b < DEV_BUTTONS; ++b)
        if (!(entry.dmxKnown & 1u << b))
            out.push_back(blockPath(b) + ": not in the file (not read at backup): the panel keeps its own");
    return out;
}

std::vector<PanelReport> site_restore(const std::vector<SiteTarget>& plan, const SiteProgress& progress) {
    std::vector<PanelReport> reports = walkPlan(plan, progress, [](const SiteTarget& t, PanelReport* r) {
        const PanelSetup setup = {
            t.entry.intensity,
            {t.entry.btn[0], t.entry.btn[1], t.entry.btn[2], t.entry.btn[3], t.entry.btn[4], t.entry.btn[5]}};
        SetupSent sent;
        app_setup_send(t.uid, &setup, t.entry.dmx, t.entry.dmxKnown, &sent);
        if (!sent.setup) {
            r->outcome = PanelOutcome::NotAnswering;
            r->problems.emplace_back("no answer to the setup packet: no DMX block was sent");
            return;
        }
        const uint8_t unconfirmed = static_cast<uint8_t>(sent.blocksSent & ~sent.blocksConfirmed);
        for (int b = 0; b < DEV_BUTTONS; ++b)
            if (unconfirmed & 1u << b) r->problems.push_back(blockPath(b) + ": the write was not confirmed");
        compareWithPanel(t, r, true);
        if (unconfirmed != 0) r->outcome = PanelOutcome::HalfSent;
    });
    // What the file asks that a write cannot carry, also for panels not done.
    for (size_t i = 0; i < reports.size(); ++i) {
        std::vector<std::string> notes = site_restoreLimits(plan[i].entry);
        reports[i].notes.insert(reports[i].notes.begin(), notes.begin(), notes.end());
    }
    return reports;
}

std::vector<PanelReport> site_verify(const std::vector<SiteTarget>& plan, const SiteProgress& progress) {
    return walkPlan(plan, progress, [](const SiteTarget& t, PanelReport* r) { compareWithPanel(t, r, false); });
}
