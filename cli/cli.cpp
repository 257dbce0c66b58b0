#include "cli/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/app_discovery.h"
#include "app/app_firmware.h"
#include "app/app_genUID.h"
#include "app/app_identify.h"
#include "app/app_parsers.h"
#include "app/app_setup.h"
#include "app/fileio.h"
#include "app/site.h"
#include "app/site_file.h"
#include "bus/cable.h"
#include "bus/diag.h"
#include "bus/packet_structures.h"
#include "bus/port/port.h"
#include "devices/devices.h"
#include "app/handover.h"

// Threads: see cli.h. The module state below belongs to the thread in cli_run;
// the progress thread reads only the atomics of its Progress.

namespace {

void print(std::FILE* f, const char* format, ...) __attribute__((format(printf, 2, 3)));
void print(std::FILE* f, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
}

// ---- Progress -------------------------------------------------------------------

// The progress line on standard error, redrawn five times a second while it is
// a terminal; nothing otherwise.
class Progress {
public:
    explicit Progress(std::FILE* err) : err_(err), on_(isatty(fileno(err)) == 1) {
        if (on_) thread_ = std::thread([this] { run(); });
    }
    ~Progress() {
        if (!on_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
        print(err_, "\r\033[K");
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void stage(const char* what) { stage_ = what; }
    void panel(const char* what, int done, int total, uint32_t uid) {
        done_ = done;
        total_ = total;
        uid_ = uid;
        stage_ = what;
    }
    SiteProgress sink(const char* what) {
        return [this, what](int done, int total, uint32_t uid) { panel(what, done, total, uid); };
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; })) draw();
    }
    void draw() {
        const std::string what = stage_.load();
        char line[128] = {};
        if (what.empty()) return;
        if (what == "discovery") {
            std::snprintf(line, sizeof line, "discovery: pass %d, %d found", dPass.load(), dev_count());
        } else if (what == "firmware") {
            const int top = pStatusTop.load();
            const int sent = pStatusSt.load();
            if (top > 0)
                std::snprintf(line, sizeof line, "firmware: %d%% (chunk %d of %d)", sent * 100 / top, sent, top);
        } else {
            std::snprintf(line, sizeof line, "%s panel %d of %d (%08X)", what.c_str(), done_.load() + 1, total_.load(),
                          uid_.load());
        }
        print(err_, "\r%s\033[K", line);
        std::fflush(err_);
    }

    std::FILE* err_;
    const bool on_;
    std::atomic<const char*> stage_{""};
    std::atomic<int> done_{0};
    std::atomic<int> total_{0};
    std::atomic<uint32_t> uid_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// ---- Messages ---------------------------------------------------------------------

// The hand-over slot's messages of the running command (the firmware upload's
// refusals and results). The calling thread stands as the window's thread: a
// post never waits, an earlier message reaches the shower, the last stays in
// the slot until taken.
std::vector<std::string>* posted = nullptr;

void collect(int, const char* text) {
    if (posted) posted->push_back(text);
}

std::vector<std::string> takeMessages() {
    std::vector<std::string> texts = *posted;
    posted->clear();
    int type = 0;
    std::string text;
    while (message_take(&type, &text)) {
        texts.push_back(text);
        message_done();
    }
    return texts;
}

// ---- Arguments ----------------------------------------------------------------------

struct Args {
    bool verbose = false;
    bool json = false;
    bool yes = false;
    bool dryRun = false;
    bool force = false;
    int limit = DEV_MAX;
    int button = 0;
    std::string uid, to, list, file;
    std::vector<std::string> uids, only, map;
};

struct Io {
    std::FILE* out;
    std::FILE* err;
};

int usage(const Io& io, const std::string& text) {
    print(io.err, "korvane-cli: %s\n", text.c_str());
    return CLI_USAGE;
}

bool uidArg(const Io& io, const std::string& text, uint32_t* uid) {
    if (site_parseUid(text, uid)) return true;
    usage(io, text + ": not a panel UID (1 to 8 hexadecimal digits, not 0 nor FFFFFFFF)");
    return false;
}

// A UID to give a panel: one that discovery can find again.
bool newUidArg(const Io& io, const std::string& what, const std::string& text, uint32_t* uid) {
    if (!uidArg(io, text, uid)) return false;
    if (*uid <= UID_NEW_MAX) return true;
    usage(io, what + ": discovery cannot find a UID of 80000000 or above; give 1 to 7FFFFFFF");
    return false;
}

bool uidArgs(const Io& io, const std::vector<std::string>& texts, std::vector<uint32_t>* uids) {
    for (const std::string& t : texts) {
        uint32_t uid = 0;
        if (!uidArg(io, t, &uid)) return false;
        uids->push_back(uid);
    }
    return true;
}

// The UIDs of a list file, in order, as "Load list" reads them.
bool listArg(const Io& io, const std::string& path, std::vector<uint32_t>* uids) {
    errno = 0;
    std::FILE* in = openRegularFile(path.c_str(), false);
    if (!in) {
        usage(io, path + ": " + std::strerror(errno ? errno : ENOENT));
        return false;
    }
    dev_removeAll();
    readListFile(in);
    std::fclose(in);
    for (int i = 0; i < DEV_MAX && dev_uidAt(i) != 0; ++i) uids->push_back(dev_uidAt(i));
    dev_removeAll();
    if (uids->empty())
        usage(io,
              path + ": no panel listed: a list file has lines of \"U:\" and the UID, as \"Save list\" writes them");
    return !uids->empty();
}

// ---- The port -------------------------------------------------------------------------

int openPort(const Io& io) {
    if (cable_open() >= 0) return CLI_OK;
    char why[256] = {};
    if (!cable_openError(why, sizeof why)) std::snprintf(why, sizeof why, "no cable found");
    print(io.err, "korvane-cli: the port cannot be opened: %s\n", why);
    return CLI_NO_PORT;
}

// ---- Formatting ---------------------------------------------------------------------------

void printJson(const Io& io, const Json& doc) { std::fputs(site_dump(doc).c_str(), io.out); }

Json uidList(const std::vector<uint32_t>& uids) {
    Json list = Json::array();
    for (uint32_t uid : uids) list.push_back(site_uidText(uid));
    return list;
}

const char* typeText(uint8_t type) {
    switch (type) {
        case 0: return "Off";
        case 1: return "Scene FLASH";
        case 2: return "Scene LATCH";
        default: return nullptr;
    }
}

// A panel's setup as read shows it; `head` is its first line, `unknown` the
// DMX line of a block not read.
void printSetup(const Io& io, const DeviceRecord& p, const std::string& head, const char* unknown) {
    print(io.out, "%s\n", head.c_str());
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        const char* type = typeText(p.btn[b].type);
        std::string scenes;
        for (int k = 0; k < 16; ++k)
            if (p.btn[b].scn & 1u << k) scenes += (scenes.empty() ? "" : " ") + std::to_string(k + 1);
        print(io.out, "  button %d: %s%s, scenes %s\n", b + 1, type ? type : "type ",
              type ? "" : std::to_string(p.btn[b].type).c_str(), scenes.empty() ? "none" : scenes.c_str());
        if (!(p.dmxKnown & 1u << b)) {
            print(io.out, "    DMX: %s\n", unknown);
            continue;
        }
        const uint8_t* d = p.dmx[b];
        std::string levels;  // 14 a line
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) levels += (k % 14 ? " " : "\n      ") + std::to_string(d[4 + k]);
        const char* when = (d[3] & 3) == 3 ? "sent when the flash turns on and off"
                           : d[3] & 1      ? "sent when the flash turns on"
                           : d[3] & 2      ? "sent when the flash turns off"
                                           : "never sent";
        print(io.out, "    DMX: start %d, count %d, flags %d (%s), levels:%s\n", d[0] | d[1] << 8, d[2], d[3], when,
              levels.c_str());
    }
}

void printPanel(const Io& io, const DeviceRecord& p) {
    char head[64];
    std::snprintf(head, sizeof head, "%08X: firmware %d.%d, intensity %d", p.uid, p.verMajor, p.verMinor, p.intensity);
    printSetup(io, p, head, "not read");
}

// A site file's field path ("buttons[1].scenes", "dmx[1].levels[12]") in the
// words of read and the window, buttons counted from 1: "button 2 scenes",
// "button 2 DMX level +12". The --json reports keep the paths.
std::string readable(const std::string& line) {
    std::string out;
    size_t i = 0;
    while (i < line.size()) {
        int n = 0;
        int used = 0;
        const char* at = line.c_str() + i;
        if (std::sscanf(at, "buttons[%d]%n", &n, &used) == 1 && used > 0) {
            out += "button " + std::to_string(n + 1);
        } else if (std::sscanf(at, "dmx[%d]%n", &n, &used) == 1 && used > 0) {
            out += "button " + std::to_string(n + 1) + " DMX";
        } else if (std::sscanf(at, "levels[%d]%n", &n, &used) == 1 && used > 0) {
            out += "level +" + std::to_string(n);  // as the DMX setup grid counts them
        } else if (line.compare(i, 2, "[]") == 0) {
            out += "none";
            used = 2;
        } else {
            out += line[i];
            used = 1;
        }
        i += static_cast<size_t>(used);
        if (line.compare(i, 1, ".") == 0 && used > 2) out += ' ', ++i;
    }
    return out;
}

// One panel's outcome; `many`: said of several panels, in the summary.
const char* outcomeText(PanelOutcome o, bool restoring, bool many = false) {
    switch (o) {
        case PanelOutcome::Match: return restoring ? "restored and verified" : many ? "match" : "matches";
        case PanelOutcome::Differs:
            return restoring ? (many ? "restored but differ" : "restored but differs") : many ? "differ" : "differs";
        case PanelOutcome::HalfSent: return "half-sent: some DMX blocks were not confirmed";
        case PanelOutcome::NotAnswering: return "not answering";
        case PanelOutcome::NotVerified: return "restored, not verified: no answer to the read-back";
        case PanelOutcome::NotDone: return restoring ? "not restored (cancelled)" : "not read (cancelled)";
    }
    return "";
}

std::string panelName(uint32_t uid, uint32_t target) {
    return site_uidText(uid) + (target != uid ? " -> " + site_uidText(target) : "");
}

// One line per panel, its problems and notes below it, then a count of each outcome.
int printReports(const Io& io, const std::vector<PanelReport>& reports, bool restoring, bool json) {
    int failed = 0;
    Json list = Json::array();
    int counts[6] = {};
    for (const PanelReport& r : reports) {
        ++counts[static_cast<int>(r.outcome)];
        if (r.outcome != PanelOutcome::Match) ++failed;
        if (json) {
            list.push_back({{"uid", site_uidText(r.uid)},
                            {"target", site_uidText(r.target)},
                            {"result", outcomeText(r.outcome, restoring)},
                            {"problems", r.problems},
                            {"notes", r.notes}});
            continue;
        }
        print(io.out, "%s: %s\n", panelName(r.uid, r.target).c_str(), outcomeText(r.outcome, restoring));
        for (const std::string& p : r.problems) print(io.out, "  %s\n", readable(p).c_str());
        for (const std::string& n : r.notes) print(io.out, "  note: %s\n", readable(n).c_str());
    }
    if (json) {
        printJson(io, {{"panels", list}, {"failed", failed}});
    } else {
        std::string summary;
        for (int o = 0; o < 6; ++o)
            if (counts[o] > 0)
                summary += (summary.empty() ? "" : ", ") + std::to_string(counts[o]) + " " +
                           outcomeText(static_cast<PanelOutcome>(o), restoring, counts[o] > 1);
        print(io.out, "%s: %zu %s%s%s\n", restoring ? "restore" : "verify", reports.size(),
              reports.size() == 1 ? "panel" : "panels", summary.empty() ? "" : ": ", summary.c_str());
    }
    return failed > 0 ? CLI_FAILED : CLI_OK;
}

// The discovery's own line when it stopped short of the whole bus: empty when it
// ended as it should.
std::string discoveryStop(int count) {
    const DiscoveryOutcome o = app_discovery_outcome();
    if (o.end == DiscoveryEnd::Done) return "";
    char text[512];
    app_discovery_report(count, text, sizeof text);
    const char* line = std::strchr(text, '\n');
    return line ? line + 1 : text;
}

// ---- Commands -----------------------------------------------------------------------------

int discover(const Args& a, const Io& io, Progress& progress) {
    if (const int st = openPort(io)) return st;
    progress.stage("discovery");
    dev_removeAll();
    std::vector<uint32_t> found(static_cast<size_t>(a.limit));
    found.resize(static_cast<size_t>(app_discovery(found.data(), a.limit)));
    if (app_discovery_outcome().end == DiscoveryEnd::PortClosed) return openPort(io);
    const std::string stop = discoveryStop(static_cast<int>(found.size()));
    if (a.json) {
        printJson(io, {{"panels", uidList(found)}, {"stopped", stop.empty() ? Json(nullptr) : Json(stop)}});
    } else {
        for (uint32_t uid : found) print(io.out, "%08X\n", uid);
    }
    if (!stop.empty()) print(io.err, "korvane-cli: discovery: %s\n", stop.c_str());
    return stop.empty() ? CLI_OK : CLI_FAILED;
}

int read(const Args& a, const Io& io, Progress& progress) {
    std::vector<uint32_t> uids;
    if (!uidArgs(io, a.uids, &uids) || (!a.list.empty() && !listArg(io, a.list, &uids))) return CLI_USAGE;
    if (uids.empty()) return usage(io, "read: name the panels: UID... or --list FILE.lst");
    if (uids.size() > DEV_MAX) return usage(io, "read: at most 200 panels at a time");
    if (const int st = openPort(io)) return st;
    const SiteRead r = site_read(uids, progress.sink("reading"));
    if (a.json) {
        Json doc = site_document(r.panels);
        doc["notAnswering"] = uidList(r.notAnswering);
        doc["notRead"] = uidList(r.notRead);
        printJson(io, doc);
    } else {
        // In the order asked.
        for (uint32_t uid : uids) {
            const auto listed = [uid](const std::vector<uint32_t>& l) {
                return std::count(l.begin(), l.end(), uid) > 0;
            };
            const auto read =
                std::find_if(r.panels.begin(), r.panels.end(), [uid](const DeviceRecord& p) { return p.uid == uid; });
            if (read != r.panels.end())
                printPanel(io, *read);
            else if (listed(r.notAnswering))
                print(io.out, "%08X: not answering\n", uid);
            else if (listed(r.notRead))
                print(io.out, "%08X: not read (cancelled)\n", uid);
        }
    }
    return r.notAnswering.empty() && r.notRead.empty() ? CLI_OK : CLI_FAILED;
}

int identify(const Args& a, const Io& io, Progress&) {
    uint32_t uid = 0;
    if (!uidArg(io, a.uid, &uid)) return CLI_USAGE;
    if (const int st = openPort(io)) return st;
    const bool answered = app_identify_send(uid, a.button ? 1u << (a.button - 1) : 0) == 1;
    print(io.out, "%08X: %s\n", uid, answered ? "answered: it makes itself known" : "not answering");
    return answered ? CLI_OK : CLI_FAILED;
}

int press(const Args& a, const Io& io, Progress&) {
    uint32_t uid = 0;
    if (!uidArg(io, a.uid, &uid)) return CLI_USAGE;
    if (const int st = openPort(io)) return st;
    app_setup_send_simBtn(uid, a.button - 1);
    print(io.out, "%08X: button %d pressed (a press awaits no answer)\n", uid, a.button);
    return CLI_OK;
}

int setUid(const Args& a, const Io& io, Progress&) {
    uint32_t uid = 0, to = 0;
    if (!uidArg(io, a.uid, &uid) || (!a.to.empty() && !newUidArg(io, "--to " + a.to, a.to, &to))) return CLI_USAGE;
    if (const int st = openPort(io)) return st;
    // Two panels under one UID answer together from then on: never a UID in use.
    // Without --to, from the clock, as the window makes it.
    uint32_t tried = to;
    to = app_freeUid(to, &tried);
    if (to == 0) {
        print(io.out, "%08X -> %08X: not changed: a panel answers to %08X%s\n", uid, tried, tried,
              a.to.empty() ? " and to each UID the clock gave since; give one with --to" : "");
        return CLI_FAILED;
    }
    const bool changed = app_genUid(uid, to) > 0;
    print(io.out, "%08X -> %08X: %s\n", uid, to, changed ? "changed" : "not changed");
    return changed ? CLI_OK : CLI_FAILED;
}

// A first Ctrl-C during an upload: what stopping would leave, on standard error.
std::atomic<bool> interruptWarns{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read by the signal handler");
std::FILE* cancelNoteTo = nullptr;

void firmwareCancelNote(const std::string& leaves) {
    print(cancelNoteTo, "\nkorvane-cli: %s The upload goes on; Ctrl-C again stops it.\n", leaves.c_str());
    std::fflush(cancelNoteTo);
}

int firmware(const Args& a, const Io& io, Progress& progress) {
    if (!a.yes) return usage(io, "firmware: every panel on the bus reboots and takes the image; add --yes to go on");
    if (const int st = openPort(io)) return st;
    // The upload sets the progress pair only once it has taken the image: a
    // message before that is a refusal of the file.
    pStatusTop = -1;
    progress.stage("firmware");
    cancelNoteTo = io.err;
    firmware_setCancelNote(firmwareCancelNote);
    interruptWarns = true;
    makeProgramDevice(a.file.c_str(), UID_ALL);
    interruptWarns = false;
    firmware_setCancelNote(nullptr);
    const bool refused = pStatusTop.load() < 0;
    const std::vector<std::string> texts = takeMessages();
    for (const std::string& t : texts) print(io.err, "korvane-cli: %s\n", t.c_str());
    if (refused) return CLI_USAGE;
    if (!texts.empty()) return CLI_FAILED;
    struct stat st;
    const long size = ::stat(a.file.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
    print(io.out, "%s: sent, %ld bytes in %ld chunks\n", a.file.c_str(), size, (size + FW_CHUNK - 1) / FW_CHUNK);
    return CLI_OK;
}

int backup(const Args& a, const Io& io, Progress& progress) {
    std::vector<uint32_t> listed;
    if (!a.list.empty() && !listArg(io, a.list, &listed)) return CLI_USAGE;
    std::string error;
    // Both before minutes of bus work.
    if (!site_canSave(a.file, &error)) return usage(io, error);
    std::vector<DeviceRecord> old;
    if (!a.force && !site_loadExisting(a.file, &old, &error))
        return usage(io, error + "; it is left as it was (--force replaces it)");
    if (const int st = openPort(io)) return st;
    progress.stage("discovery");
    const SiteRead r =
        a.list.empty() ? site_backup(progress.sink("reading")) : site_read(listed, progress.sink("reading"));
    if (a.list.empty() && r.discovery.end == DiscoveryEnd::PortClosed) return openPort(io);

    const std::string stop =
        a.list.empty() ? discoveryStop(static_cast<int>(r.panels.size() + r.notAnswering.size())) : "";
    const bool cancelled = !r.notRead.empty() || r.discovery.end == DiscoveryEnd::Cancelled;
    // Never a worse file in place of the old one: none at all, or one lacking what the old one holds.
    const bool nobody = !cancelled && r.panels.empty();
    const std::vector<std::string> lost = cancelled || nobody ? std::vector<std::string>() : site_lost(old, r.panels);
    const bool written = !cancelled && !nobody && lost.empty() && site_save(a.file, r.panels, &error);
    // Each panel's result: saved whole, saved with blocks not read, not answering, not read.
    Json list = Json::array();
    int failed = 0;
    for (const DeviceRecord& p : r.panels) {
        std::vector<std::string> problems;
        for (int b = 0; b < DEV_BUTTONS; ++b)
            if (!(p.dmxKnown & 1u << b)) problems.push_back("dmx[" + std::to_string(b) + "]: could not be read");
        if (!problems.empty()) ++failed;
        list.push_back(
            {{"uid", site_uidText(p.uid)}, {"result", written ? "saved" : "not saved"}, {"problems", problems}});
    }
    for (uint32_t uid : r.notAnswering) list.push_back({{"uid", site_uidText(uid)}, {"result", "not answering"}});
    for (uint32_t uid : r.notRead) list.push_back({{"uid", site_uidText(uid)}, {"result", "not read (cancelled)"}});
    failed += static_cast<int>(r.notAnswering.size() + r.notRead.size());

    if (a.json) {
        printJson(io, {{"file", a.file},
                       {"written", written},
                       {"panels", list},
                       {"stopped", stop.empty() ? Json(nullptr) : Json(stop)}});
    } else {
        for (const Json& p : list) {
            if (p["result"] == "saved" && p["problems"].empty()) continue;
            print(io.out, "%s: %s\n", p["uid"].get<std::string>().c_str(), p["result"].get<std::string>().c_str());
            if (p.contains("problems"))
                for (const Json& t : p["problems"]) print(io.out, "  %s\n", readable(t.get<std::string>()).c_str());
        }
        if (written)
            print(io.out, "%s: %zu %s saved\n", a.file.c_str(), r.panels.size(),
                  r.panels.size() == 1 ? "panel" : "panels");
        else
            print(io.out, "%s: not written%s\n", a.file.c_str(), cancelled ? " (cancelled)" : "");
    }
    if (!stop.empty()) print(io.err, "korvane-cli: discovery: %s\n", stop.c_str());
    if (nobody) {
        print(io.err, "korvane-cli: no panel answered; %s left as it was\n", a.file.c_str());
    } else if (!lost.empty()) {
        print(io.err, "korvane-cli: %s holds what this backup lacks; it is left as it was (--force replaces it):\n",
              a.file.c_str());
        for (const std::string& l : lost) print(io.err, "korvane-cli:   %s\n", readable(l).c_str());
    } else if (!written && !cancelled) {
        print(io.err, "korvane-cli: %s\n", error.c_str());
    }
    return written && failed == 0 && stop.empty() ? CLI_OK : CLI_FAILED;
}

// The file and the command line both checked whole before anything goes on the wire.
bool planFrom(const Args& a, const Io& io, std::vector<SiteTarget>* plan) {
    std::vector<uint32_t> only;
    std::vector<std::pair<uint32_t, uint32_t>> map;
    if (!uidArgs(io, a.only, &only)) return false;
    for (const std::string& m : a.map) {
        const size_t eq = m.find('=');
        uint32_t from = 0, to = 0;
        if (eq == std::string::npos) return usage(io, "--map " + m + ": give OLD=NEW"), false;
        if (!uidArg(io, m.substr(0, eq), &from) || !newUidArg(io, "--map " + m, m.substr(eq + 1), &to)) return false;
        map.emplace_back(from, to);
    }
    std::vector<DeviceRecord> panels;
    std::vector<std::string> errors;
    if (site_load(a.file, &panels, &errors) && site_plan(panels, only, map, plan, &errors)) return true;
    for (const std::string& e : errors) print(io.err, "korvane-cli: %s\n", e.c_str());
    return false;
}

int restore(const Args& a, const Io& io, Progress& progress) {
    std::vector<SiteTarget> plan;
    if (!planFrom(a, io, &plan)) return CLI_USAGE;
    if (a.dryRun) {
        // Each panel's setup as read shows one; the firmware version is never sent.
        Json list = Json::array();
        for (const SiteTarget& t : plan) {
            const std::vector<std::string> limits = site_restoreLimits(t.entry);
            if (a.json) {
                Json sent = site_panelJson(t.entry);
                sent.erase("uid");
                sent.erase("firmware");
                list.push_back({{"uid", site_uidText(t.entry.uid)},
                                {"target", site_uidText(t.uid)},
                                {"result", "would be restored"},
                                {"sent", sent},
                                {"notes", limits}});
                continue;
            }
            char intensity[40];
            std::snprintf(intensity, sizeof intensity, ": would be sent: intensity %d", t.entry.intensity);
            printSetup(io, t.entry, panelName(t.entry.uid, t.uid) + intensity,
                       "not in the file, not sent: the panel keeps its own");
            for (const std::string& n : limits)
                if (n.rfind("dmx[", 0) != 0) print(io.out, "  note: %s\n", readable(n).c_str());  // DMX: said above
        }
        if (a.json)
            printJson(io, {{"panels", list}, {"failed", 0}});
        else
            print(io.out, "restore --dry-run: %zu %s, nothing sent\n", plan.size(),
                  plan.size() == 1 ? "panel" : "panels");
        return CLI_OK;
    }
    if (const int st = openPort(io)) return st;
    return printReports(io, site_restore(plan, progress.sink("restoring")), true, a.json);
}

int verify(const Args& a, const Io& io, Progress& progress) {
    std::vector<SiteTarget> plan;
    if (!planFrom(a, io, &plan)) return CLI_USAGE;
    if (const int st = openPort(io)) return st;
    return printReports(io, site_verify(plan, progress.sink("verifying")), false, a.json);
}

const char* const FOOTER =
    "Commands (korvane-cli COMMAND --help for each):\n"
    "  discover [--limit N] [--json]              find every panel: its UID, one a line\n"
    "  read UID... | --list FILE.lst [--json]      each panel's setup\n"
    "  identify UID [--button N]                  the panel (or one button) makes itself known\n"
    "  press UID N                                presses button N (1 to 6) of the panel\n"
    "  set-uid UID [--to NEW]                     gives the panel a new UID (default: from the clock)\n"
    "  firmware IMAGE.fw --yes                    uploads the image to every panel on the bus\n"
    "  backup SITE.json [--list FILE.lst] [--force] [--json]\n"
    "                                             every panel's setup into one file\n"
    "  restore SITE.json [--only UID...] [--map OLD=NEW...] [--dry-run] [--json]\n"
    "                                             sends each setup back, reads it back, reports\n"
    "                                             (--dry-run: shows each setup it would send)\n"
    "  verify SITE.json [--only UID...] [--map OLD=NEW...] [--json]\n"
    "                                             reports every difference between bus and file\n"
    "\n"
    "A UID is 1 to 8 hexadecimal digits. Ctrl-C stops between two exchanges (a\n"
    "panel in progress is finished) and the report says what was done; Ctrl-C\n"
    "again quits at once. A firmware upload goes on after the first Ctrl-C and\n"
    "says what stopping would leave; Ctrl-C again stops it.\n"
    "\n"
    "Exit status: 0 success; 1 some panel failed, differed or was not reached, a\n"
    "backup kept the old file, or the result could not be written whole to standard\n"
    "output; 2 a bad command line or a bad file; 3 the port cannot be opened.\n"
    "\n"
    "Environment:\n";

// A result that did not reach standard output whole (a full disk, a closed
// output, a reader gone) is no success.
int outputChecked(const Io& io, int status) {
    errno = 0;
    if (std::fflush(io.out) == 0 && !std::ferror(io.out)) return status;
    print(io.err, "korvane-cli: standard output: %s: the result was not written whole\n",
          errno ? std::strerror(errno) : "a write failed");
    return status == CLI_OK ? CLI_FAILED : status;
}

// Runs the parsed command with the diagnostic lines routed as asked.
int runCommand(CLI::App& app, const Args& a, const Io& io) {
    diag_route(a.verbose ? io.err : nullptr, a.verbose ? io.err : nullptr);
    std::vector<std::string> messages;
    posted = &messages;
    message_setGuiThread(collect);
    int status = CLI_USAGE;
    {
        // The port stays open from the command's first exchange to its end:
        // another program never takes it between two panels.
        CableKeep keep;
        Progress progress(io.err);
        using Command = int (*)(const Args&, const Io&, Progress&);
        const std::pair<const char*, Command> commands[] = {
            {"discover", discover}, {"read", read},     {"identify", identify}, {"press", press},  {"set-uid", setUid},
            {"firmware", firmware}, {"backup", backup}, {"restore", restore},   {"verify", verify}};
        for (const auto& [name, command] : commands)
            if (app.got_subcommand(name)) status = command(a, io, progress);
    }
    for (const std::string& t : takeMessages()) print(io.err, "korvane-cli: %s\n", t.c_str());
    posted = nullptr;
    diag_routeDefault();
    return outputChecked(io, status);
}

}  // namespace

bool cli_firstInterruptWarns() { return interruptWarns.load(); }

int cli_run(int argc, char** argv, std::FILE* out, std::FILE* err) {
    const Io io{out, err};
    Args a;
    CLI::App app{
        "Finds, reads, configures and backs up Korvane wall panels on a serial bus from a\n"
        "shell, over the same bus operations as the window. Standard output holds only\n"
        "each command's result.",
        "korvane-cli"};
    app.set_version_flag("--version", "korvane-cli " KORVANE_VERSION);
    app.add_flag("-v,--verbose", a.verbose, "the bus modules' diagnostic lines, on standard error");
    app.require_subcommand(1, 1);
    app.fallthrough();
    const auto json = [&](CLI::App* c) { c->add_flag("--json", a.json, "the result as JSON"); };
    const auto uid = [&](CLI::App* c) { c->add_option("UID", a.uid, "the panel's UID")->required(); };
    const auto site = [&](CLI::App* c) { c->add_option("SITE.json", a.file, "the site file")->required(); };
    const auto choose = [&](CLI::App* c) {
        c->add_option("--only", a.only, "only these panels of the file (by their UID in the file)")->type_name("UID");
        c->add_option("--map", a.map, "the panel OLD of the file is now the panel NEW on the bus")
            ->type_name("OLD=NEW");
    };

    CLI::App* c =
        app.add_subcommand("discover", "find every panel; prints the UIDs found, one a line, in the order found");
    c->add_option("--limit", a.limit, "stop after N panels (1 to 200; default 200)")->check(CLI::Range(1, DEV_MAX));
    json(c);
    c = app.add_subcommand("read", "read and print each panel's setup");
    c->add_option("UID", a.uids, "the panels' UIDs");
    c->add_option("--list", a.list, "the panels of a list file (as \"Save list\" writes it)");
    json(c);
    c = app.add_subcommand("identify", "the panel, or one of its buttons, makes itself known");
    uid(c);
    c->add_option("--button", a.button, "only this button (1 to 6)")->check(CLI::Range(1, DEV_BUTTONS));
    c = app.add_subcommand("press", "press a button of the panel, as a click on its button cell does");
    uid(c);
    c->add_option("N", a.button, "the button (1 to 6)")->required()->check(CLI::Range(1, DEV_BUTTONS));
    c = app.add_subcommand("set-uid", "give the panel a new UID");
    uid(c);
    c->add_option("--to", a.to,
                  "the new UID, 1 to 7FFFFFFF (default: made from the date and time, as the window does); "
                  "refused when a panel answers to it");
    c = app.add_subcommand("firmware", "upload a firmware image (*.fw) to the panels: every panel on the bus reboots");
    c->add_option("IMAGE", a.file, "the firmware image")->required();
    c->add_flag("--yes", a.yes, "go on although every panel reboots");
    c = app.add_subcommand("backup",
                           "discover (or take the list), read every panel's whole setup, write the site file");
    site(c);
    c->add_option("--list", a.list, "the panels of a list file instead of a discovery");
    c->add_flag("--force", a.force,
                "replace the file even when it holds panels or DMX blocks this backup lacks, or is no site file");
    json(c);
    c = app.add_subcommand("restore", "send each setup of the site file to its panel, read it back and report");
    site(c);
    choose(c);
    c->add_flag("--dry-run", a.dryRun,
                "check the file and show each panel's setup as it would be sent; nothing goes on the wire");
    json(c);
    c = app.add_subcommand("verify", "read the panels of the site file and report every difference from it");
    site(c);
    choose(c);
    json(c);
    app.footer(std::string(FOOTER) + port_choiceHelp());

    std::ostringstream shown, refused;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, shown, refused);
        std::fputs(shown.str().c_str(), out);
        std::fputs(refused.str().c_str(), err);
        return outputChecked(io, code == 0 ? CLI_OK : CLI_USAGE);
    }
    cancel_clear();
    app_installParsers();
    return runCommand(app, a, io);
}
