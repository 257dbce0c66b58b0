// `make bench`: runs every part and prints one table of figures.
//
// Environment: KORVANE_BENCH_SKIP_FIRMWARE=1 leaves out the 128 KiB firmware
// upload (about three minutes of real time); KORVANE_BENCH_IDLE_SECONDS sets how
// long the idle window is watched (30 by default); KORVANE_BENCH_RT=1 runs the
// timing part under SCHED_FIFO, out of reach of other processes on a shared
// machine (see docs/performance.md); KORVANE_BENCH_VERBOSE=1 also
// prints Google Benchmark's own report; KORVANE_BENCH_PARTS picks parts, a
// comma list of idle, gb (assembler and tick), timing, backup and freeze (the
// window during bus work with silent panels); all by default.
//
// Threads: see bench.h.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <gtk/gtk.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "bench/bench.h"

namespace {

std::map<std::string, GbResult> gbResults;

// Keeps each run's results for the table; prints nothing unless asked.
class CaptureReporter : public benchmark::ConsoleReporter {
public:
    explicit CaptureReporter(bool verbose) : verbose_(verbose) {}
    bool ReportContext(const Context& context) override {
        return verbose_ ? ConsoleReporter::ReportContext(context) : true;
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            GbResult r;
            r.found = true;
            if (run.error_occurred) r.error = run.error_message;
            r.nsPerIteration = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& [name, counter] : run.counters) {
                if (name == "bytes_per_second") r.bytesPerSecond = counter.value;
                r.counters.emplace_back(name, counter.value);
            }
            // The name carries the run's settings after the registered name ("tick/idle/min_time:2.000").
            std::string name = run.benchmark_name();
            const size_t cut = name.find("/min_time:");
            if (cut != std::string::npos) name.resize(cut);
            gbResults[name] = r;
        }
        if (verbose_) ConsoleReporter::ReportRuns(runs);
    }

private:
    bool verbose_;
};

bool wanted(const char* part) {
    const char* parts = std::getenv("KORVANE_BENCH_PARTS");
    if (!parts || !*parts) return true;
    const std::string list = std::string(",") + parts + ",";
    return list.find(std::string(",") + part + ",") != std::string::npos;
}

bool envFlag(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}

// The window's parts run in a child: its CPU time and resident memory are then
// those of a configurator process alone, its GTK its own. Rows come back over a
// pipe, a field per tab.
BenchRows runChild(const std::function<BenchRows()>& run) {
    int fds[2];
    if (pipe(fds) != 0) return {{"window", "pipe failed", "", "", "", false}};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int argc = 0;
        gtk_init(&argc, nullptr);
        BenchRows rows = run();
        std::string out;
        for (const BenchRow& r : rows)
            out += r.figure + "\t" + r.measured + "\t" + r.floor + "\t" + r.ratio + "\t" + r.target + "\t" +
                   (r.pass ? "1" : "0") + "\n";
        const char* p = out.data();
        size_t left = out.size();
        while (left > 0) {
            const ssize_t n = write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string in;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) in.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    BenchRows rows;
    std::istringstream lines(in);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '\t')) f.push_back(field);
        f.resize(6);
        rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5] == "1"});
    }
    if (rows.empty()) rows.push_back({"window", "the child process failed", "", "", "", false});
    return rows;
}

void printTable(const std::vector<std::pair<std::string, BenchRows>>& sections) {
    const char* head[] = {"figure", "measured", "floor / limit", "ratio", "target", ""};
    size_t w[5] = {};
    for (int c = 0; c < 5; ++c) w[c] = std::strlen(head[c]);
    for (const auto& s : sections)
        for (const BenchRow& r : s.second) {
            w[0] = std::max(w[0], r.figure.size());
            w[1] = std::max(w[1], r.measured.size());
            w[2] = std::max(w[2], r.floor.size());
            w[3] = std::max(w[3], r.ratio.size());
            w[4] = std::max(w[4], r.target.size());
        }
    auto line = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d,
                    const std::string& e, const std::string& f) {
        std::printf("| %-*s | %-*s | %-*s | %-*s | %-*s | %-4s |\n", static_cast<int>(w[0]), a.c_str(),
                    static_cast<int>(w[1]), b.c_str(), static_cast<int>(w[2]), c.c_str(), static_cast<int>(w[3]),
                    d.c_str(), static_cast<int>(w[4]), e.c_str(), f.c_str());
    };
    auto rule = [&]() {
        std::printf("|");
        for (size_t c : w) std::printf("%s|", std::string(c + 2, '-').c_str());
        std::printf("------|\n");
    };
    line(head[0], head[1], head[2], head[3], head[4], "");
    rule();
    for (const auto& s : sections) {
        line("**" + s.first + "**", "", "", "", "", "");
        for (const BenchRow& r : s.second)
            line(r.figure, r.measured, r.floor, r.ratio, r.target, r.target.empty() ? "" : (r.pass ? "ok" : "MISS"));
    }
}

}  // namespace

std::string fmt(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

double GbResult::counter(const std::string& name) const {
    for (const auto& [n, v] : counters)
        if (n == name) return v;
    return 0;
}

GbResult gb_result(const std::string& name) {
    auto it = gbResults.find(name);
    return it == gbResults.end() ? GbResult{} : it->second;
}

QuietStdout::QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

QuietStdout::~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
}

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const bool verbose = envFlag("KORVANE_BENCH_VERBOSE");
    const bool skipFirmware = envFlag("KORVANE_BENCH_SKIP_FIRMWARE");
    int idleSeconds = 30;
    if (const char* s = std::getenv("KORVANE_BENCH_IDLE_SECONDS")) idleSeconds = std::max(1, std::atoi(s));

    BenchRows idle, assembler, tick, timing;
    if (wanted("idle")) {
        std::fprintf(stderr, "bench: the idle window (%d s)...\n", idleSeconds);
        idle = runChild([=] { return idle_run(idleSeconds); });
        std::fprintf(stderr, "bench: the idle window with no cable (%d s)...\n", idleSeconds);
        const BenchRows noCable = runChild([=] { return idle_runNoCable(idleSeconds); });
        idle.insert(idle.end(), noCable.begin(), noCable.end());
    }
    BenchRows freeze;
    if (wanted("freeze")) {
        std::fprintf(stderr, "bench: the window while its bus work meets silent panels (about 40 s)...\n");
        freeze = runChild(freeze_run);
    }
    if (wanted("gb")) {
        std::fprintf(stderr, "bench: receive assembler and status tick...\n");
        gtk_init(&argc, &argv);
        tick_setUp();
        assembler_register();
        tick_register();
        {
            CaptureReporter reporter(verbose);
            QuietStdout quiet;
            benchmark::RunSpecifiedBenchmarks(&reporter);
        }
        assembler = assembler_rows();
        tick = tick_rows();
    }
    if (wanted("timing")) {
        std::fprintf(stderr, "bench: timing fidelity on the real clock%s...\n",
                     skipFirmware ? " (firmware upload skipped: KORVANE_BENCH_SKIP_FIRMWARE)"
                                  : " (the firmware upload takes about three minutes)");
        timing = timing_run(!skipFirmware, envFlag("KORVANE_BENCH_RT"));
    }
    if (wanted("backup")) {
        std::fprintf(stderr,
                     "bench: korvane-cli backup of 20 panels on the real clock (about three and a half minutes)...\n");
        const BenchRows backup = backup_run(envFlag("KORVANE_BENCH_RT"));
        timing.insert(timing.end(), backup.begin(), backup.end());
    }

    printTable({{"1. Receive assembler", assembler},
                {"2. Status tick, 200 devices listed", tick},
                {"3. Timing fidelity, real time, virtual panels", timing},
                {"4. Idle window: six demo panels, then no cable", idle},
                {"5. Window during bus work, real time, silent virtual panels", freeze}});
    benchmark::Shutdown();
    return 0;
}
