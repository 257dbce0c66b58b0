// Whole-site work over the bus, built from the window's own operations
// (app_discovery, app_setup_read, app_setup_send): a backup of every panel's
// setup, its restore onto the same or replacement panels, and the verify that
// holds the bus against a site file (app/site_file.h).
//
// Threads: the calling thread does the bus work, one exchange at a time under
// the cable lock like any operation. Each operation owns the device table while
// it runs: it empties it and lists the panels it works on (at most DEV_MAX). The
// cancel request (app/handover.h) is looked at before each panel: the panel in
// progress is always finished, its setup never left half-sent unreported.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/app_discovery.h"
#include "app/app_setup.h"
#include "devices/devices.h"

// Called before each panel, on the calling thread: `done` of `total` are done
// and `uid` is next.
using SiteProgress = ReadProgress;

// Reads one panel's whole setup (app_setup_read) and copies its record. False
// when it does not answer, or the table has no room for it.
bool site_readPanel(uint32_t uid, DeviceRecord* out);

struct SiteRead {
    std::vector<DeviceRecord> panels;  // those that answered, in order
    std::vector<uint32_t> notAnswering;
    std::vector<uint32_t> notRead;  // left when the cancel request came
    DiscoveryOutcome discovery;     // how the discovery ended, when there was one
};
// Reads each panel of the list (at most DEV_MAX, each once) in order
// (app_setup_readEach).

SiteRead site_read(const std::vector<uint32_t>& uids, const SiteProgress& progress);
// Discovers every panel on the bus, then reads each in the order found.
SiteRead site_backup(const SiteProgress& progress);

// Where the panel differs from the file, one line per field with its path in
// the site file ("buttons[2].scenes: file [1, 3], panel [1]"). Blocks the file
// does not hold (not read at backup) are not compared; a block the file holds
// that could not be read from the panel is a difference.
std::vector<std::string> site_differences(const DeviceRecord& file, const DeviceRecord& panel);

// One panel of a restore or a verify: the file's entry and the UID it goes to.
struct SiteTarget {
    DeviceRecord entry;
    uint32_t uid;
};
// The file's panels named in `only` (all when it is empty), each sent to its
// replacement from `map` (old UID, new UID) or to its own UID. False, with every
// fault, when a UID of `only` or `map` is not in the file, a panel is mapped
// twice, or two panels would go to one UID.
bool site_plan(const std::vector<DeviceRecord>& panels, const std::vector<uint32_t>& only,
               const std::vector<std::pair<uint32_t, uint32_t>>& map, std::vector<SiteTarget>* plan,
               std::vector<std::string>* errors);

enum class PanelOutcome {
    Match,         // restored and read back the same / verified the same
    Differs,       // read back, and some field is not as in the file
    HalfSent,      // the setup was confirmed, some DMX block was not
    NotAnswering,  // no answer: to the setup packet (restore) or to the read (verify)
    NotVerified,   // restored, confirmed, but the read-back got no answer
    NotDone,       // not reached: the cancel request came first
};
struct PanelReport {
    uint32_t uid = 0;     // in the file
    uint32_t target = 0;  // on the bus
    PanelOutcome outcome = PanelOutcome::NotDone;
    std::vector<std::string> problems;  // differences, unconfirmed writes
    std::vector<std::string> notes;     // what a write cannot carry, firmware seen
};

// What a restore cannot send as the file has it: an intensity above 3 (a write
// carries two bits), DMX blocks not read at backup (never sent).
std::vector<std::string> site_restoreLimits(const DeviceRecord& entry);
// Sends each entry's setup and the DMX blocks the file holds to its panel, then
// reads the panel back and compares.
std::vector<PanelReport> site_restore(const std::vector<SiteTarget>& plan, const SiteProgress& progress);
// Reads each panel and compares it with its entry.
std::vector<PanelReport> site_verify(const std::vector<SiteTarget>& plan, const SiteProgress& progress);
