// korvane-panels: virtual panels on a pseudo-terminal, for running the
// configurator against them through its serial tty driver:
//   korvane-panels --count 20 --seed 7     (prints e.g. /dev/pts/5)
//   KORVANE_PORT=/dev/pts/5 ./korvane
//
// Threads: the main thread serves; the signal handler only sets the stop flag.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "panels/pty_server.h"

namespace {

std::atomic<bool> stopFlag{false};

void onSignal(int) { stopFlag.store(true); }

void usage(FILE* out) {
    std::fputs(
        "Usage: korvane-panels [options]\n"
        "Serves virtual Korvane panels on a pseudo-terminal until interrupted.\n"
        "The first line of output is the terminal's path; give it to the configurator\n"
        "as KORVANE_PORT=<path>.\n"
        "\n"
        "Options:\n"
        "  --demo          the six demo panels (the default when no panel option is given)\n"
        "  --count N       N panels with random UIDs and setups\n"
        "  --seed S        seed for --count (default 1)\n"
        "  --uid HEX       one panel with this UID and a plain setup (repeatable)\n"
        "  --delay-ms D    answer D milliseconds after a request (default 2)\n"
        "  --verbose       one line on standard error per transmission heard\n"
        "  --help          this text\n"
        "  --version       the version\n",
        out);
}

bool parseNumber(const char* text, int base, unsigned long long max, unsigned long long* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool demo = false, verbose = false;
    unsigned long long count = 0, seed = 1, delayMs = 2;
    std::vector<uint32_t> uids;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long long v = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::puts("korvane-panels " KORVANE_VERSION);
            return 0;
        } else if (a == "--demo") {
            demo = true;
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--count" && parseNumber(next, 10, 10000, &count)) {
            ++i;
        } else if (a == "--seed" && parseNumber(next, 10, 0xFFFFFFFFull, &seed)) {
            ++i;
        } else if (a == "--delay-ms" && parseNumber(next, 10, 10000, &delayMs)) {
            ++i;
        } else if (a == "--uid" && next &&
                   parseNumber(std::strncmp(next, "0x", 2) == 0 ? next + 2 : next, 16, 0xFFFFFFFFull, &v)) {
            uids.push_back(static_cast<uint32_t>(v));
            ++i;
        } else {
            std::fprintf(stderr, "korvane-panels: bad option or value: %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (count == 0 && uids.empty()) demo = true;

    PtyServer server;
    if (demo) server.addDemoPanels();
    for (uint32_t uid : uids) server.addPanel(uid);
    if (count > 0) server.addRandomPanels(static_cast<int>(count), static_cast<uint32_t>(seed));
    server.setAnswerDelayUs(static_cast<int64_t>(delayMs) * 1000);
    if (verbose) server.setLog(stderr);

    std::string error;
    if (!server.open(&error)) {
        std::fprintf(stderr, "korvane-panels: %s\n", error.c_str());
        return 1;
    }

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::printf("%s\n", server.slavePath().c_str());
    std::fflush(stdout);
    const std::vector<uint32_t> served = server.uids();
    std::fprintf(stderr, "korvane-panels: %zu panels:", served.size());
    for (uint32_t uid : served) std::fprintf(stderr, " %08X", uid);
    std::fprintf(stderr, "\n");

    server.serve(stopFlag);
    return 0;
}
