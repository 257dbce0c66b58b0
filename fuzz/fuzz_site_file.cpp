// The site-file reader on any bytes: no crash, nothing thrown, no sanitizer
// report, a refusal always says why; and every file it accepts, written back by
// the writer, reads back to the same panels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/site_file.h"

namespace {

// Everything a site file holds of a panel: not the active-button bits, and a
// block only when it was read.
bool same(const DeviceRecord& a, const DeviceRecord& b) {
    if (a.uid != b.uid || a.intensity != b.intensity || a.verMajor != b.verMajor || a.verMinor != b.verMinor ||
        a.dmxKnown != b.dmxKnown)
        return false;
    for (int i = 0; i < DEV_BUTTONS; ++i) {
        if (a.btn[i].type != b.btn[i].type || a.btn[i].scn != b.btn[i].scn) return false;
        if ((a.dmxKnown & 1u << i) && std::memcmp(a.dmx[i], b.dmx[i], DMX_BLOCK_SIZE) != 0) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<DeviceRecord> panels, again;
    std::vector<std::string> errors;
    if (!site_parse(std::string(reinterpret_cast<const char*>(data), size), "input", &panels, &errors)) {
        if (errors.empty() || errors.front().empty()) std::abort();
        return 0;
    }
    if (!site_parse(site_dump(site_document(panels)), "written", &again, &errors) || again.size() != panels.size())
        std::abort();
    for (size_t i = 0; i < panels.size(); ++i)
        if (!same(panels[i], again[i])) std::abort();
    return 0;
}
