// The list-file reader: any bytes at all. What enters the table are exactly the
// distinct numbers of the usable lines, first 200, in file order, and the count
// returned is that of the usable lines up to the one that fills the table.
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/fileio.h"
#include "devices/devices.h"

namespace {

// An independent reading of one line: "U:" or "u:", then a number as strtoull
// reads it in base 16 (leading spaces, a sign, a 0x prefix), usable when its
// magnitude fits in 32 bits; a minus sign takes it modulo 2^32.
bool lineUid(const std::string& line, uint32_t* uid) {
    if (line.size() < 2 || (line[0] != 'U' && line[0] != 'u') || line[1] != ':') return false;
    const char* text = line.c_str() + 2;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 16);
    if (end == text || errno == ERANGE) return false;
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    const unsigned long long magnitude = *text == '-' ? 0ull - value : value;
    if (magnitude > 0xFFFFFFFFull) return false;
    *uid = static_cast<uint32_t>(value);
    return true;
}

struct Expected {
    std::vector<uint32_t> uids;
    int read = 0;
};

// Lines end at CR or LF or after 256 characters; a last piece without its end
// is dropped; reading ends with the line that brings the 200th distinct UID.
Expected expected(const uint8_t* data, size_t size) {
    Expected e;
    std::string line;
    for (size_t i = 0; i < size && e.uids.size() < DEV_MAX; ++i) {
        line.push_back(static_cast<char>(data[i]));
        if (data[i] != '\r' && data[i] != '\n' && line.size() < LIST_LINE_MAX) continue;
        uint32_t uid;
        if (lineUid(line, &uid)) {
            ++e.read;
            bool seen = uid == 0;
            for (uint32_t u : e.uids) seen = seen || u == uid;
            if (!seen) e.uids.push_back(uid);
        }
        line.clear();
    }
    return e;
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
    const int read = readListFile(in);
    std::fclose(in);
    const Expected e = expected(data, size);
    if (read != e.read || dev_count() != static_cast<int>(e.uids.size())) std::abort();
    for (size_t i = 0; i < e.uids.size(); ++i)
        if (dev_uidAt(static_cast<int>(i)) != e.uids[i]) std::abort();
    return 0;
}
