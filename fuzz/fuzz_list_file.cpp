// The list-file reader: any bytes at all, and what enters the table are exactly
// the distinct numbers of the usable lines, first 200, in file order.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/fileio.h"
#include "devices/devices.h"

namespace {

// An independent reading of the same rules: lines end at CR or LF or after 256
// characters; a last piece without its end is dropped.
std::vector<uint32_t> expectedUids(const uint8_t* data, size_t size) {
    std::vector<uint32_t> uids;
    std::string line;
    for (size_t i = 0; i < size; ++i) {
        line.push_back(static_cast<char>(data[i]));
        if (data[i] != '\r' && data[i] != '\n' && line.size() < LIST_LINE_MAX) continue;
        uint32_t uid;
        if (line.size() > 2 && (line[0] == 'U' || line[0] == 'u') && line[1] == ':' &&
            parseListUid(line.c_str() + 2, &uid) && uid != 0) {
            bool seen = false;
            for (uint32_t u : uids) seen = seen || u == uid;
            if (!seen && uids.size() < DEV_MAX) uids.push_back(uid);
        }
        line.clear();
    }
    return uids;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::freopen("/dev/null", "w", stdout);  // the reader's " dev:" lines
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dev_removeAll();
    std::FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (size == 0) in = std::fopen("/dev/null", "rb");
    if (!in) return 0;
    readListFile(in);
    std::fclose(in);
    const std::vector<uint32_t> expected = expectedUids(data, size);
    if (dev_count() != static_cast<int>(expected.size())) std::abort();
    for (size_t i = 0; i < expected.size(); ++i)
        if (dev_uidAt(static_cast<int>(i)) != expected[i]) std::abort();
    return 0;
}
