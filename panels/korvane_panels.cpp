// korvane-panels: virtual panels on a pseudo-terminal, for running the
// configurator against them through its serial tty driver:
//   korvane-panels --count 20 --seed 7     (prints e.g. /dev/pts/5)
//   KORVANE_PORT=/dev/pts/5 ./korvane
//
// Threads: the main thread serves; the signal handler only sets the stop flag.
#include <csignal>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

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

    // The options are read by CLI11; their values by parseNumber, so that a
    // count is decimal and a UID hexadecimal whatever prefix it has.
    CLI::App app{"", "korvane-panels"};
    app.set_version_flag("--version", "korvane-panels " KORVANE_VERSION);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    const auto number = [](const char* name, int base, unsigned long long max, unsigned long long* out) {
        return [=](const std::string& text) {
            const char* digits = text.c_str();
            if (base == 16 && std::strncmp(digits, "0x", 2) == 0) digits += 2;
            if (!parseNumber(digits, base, max, out)) throw CLI::ValidationError(name, text);
        };
    };
    app.add_flag("--demo", demo);
    app.add_flag("--verbose", verbose);
    app.add_option_function<std::string>("--count", number("--count", 10, 10000, &count));
    app.add_option_function<std::string>("--seed", number("--seed", 10, 0xFFFFFFFFull, &seed));
    app.add_option_function<std::string>("--delay-ms", number("--delay-ms", 10, 10000, &delayMs));
    app.add_option_function<std::vector<std::string>>("--uid",
                                                      [&](const std::vector<std::string>& texts) {
                                                          for (const std::string& text : texts) {
                                                              unsigned long long v = 0;
                                                              number("--uid", 16, 0xFFFFFFFFull, &v)(text);
                                                              uids.push_back(static_cast<uint32_t>(v));
                                                          }
                                                      })
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        usage(stdout);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "korvane-panels: bad option or value: %s\n", e.what());
        usage(stderr);
        return 2;
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
