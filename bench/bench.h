// The benchmarks behind `make bench`: each part measures one thing and leaves
// its figures as rows of the one table that main prints at the end.
//
// Threads: the parts run one after the other on the main thread (the timing
// part's bus operations and the window's tick included); the window's parts
// (idle, freeze) each run in a child process of their own, so that their CPU
// time, memory and GTK are their own.
#pragma once

#include <string>
#include <vector>

struct BenchRow {
    std::string figure;    // what was measured
    std::string measured;  // the figure itself
    std::string floor;     // the floor or the limit it is held against
    std::string ratio;     // measured / floor, where there is a floor
    std::string target;    // what it must reach
    bool pass = true;
};

using BenchRows = std::vector<BenchRow>;

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Google Benchmark parts: the receive assembler and the status tick. Registered
// before the benchmark run; their rows are made from the run's results.
void assembler_register();
BenchRows assembler_rows();
void tick_setUp();  // needs GTK initialised and a display
void tick_register();
BenchRows tick_rows();

// Timing fidelity on the real clock against the virtual panels; realtime runs
// it under SCHED_FIFO when the process may.
BenchRows timing_run(bool withFirmware, bool realtime);
// korvane-cli backup of 20 virtual panels on the real clock against the same
// floor: a whole discovery and 20 setup reads.
BenchRows backup_run(bool realtime);

// The window idling with the demo panels, then memory with 200 devices listed.
// Runs in the calling process; call it in a child.
BenchRows idle_run(int seconds);
// The window idling with no cable, the libftdi port tried every half second.
BenchRows idle_runNoCable(int seconds);
// The window while "Read parameters" and "OK/SEND to all" meet silent panels:
// the GUI thread's longest absence from its main loop. Call it in a child.
BenchRows freeze_run();

// Results of the Google Benchmark runs, by benchmark name: real time per
// iteration in nanoseconds and the user counters.
struct GbResult {
    double nsPerIteration = 0;
    double bytesPerSecond = 0;
    double counter(const std::string& name) const;
    std::vector<std::pair<std::string, double>> counters;
    bool found = false;
    std::string error;
};
GbResult gb_result(const std::string& name);

// While alive, the configurator's diagnostic lines go to /dev/null, so that
// only the table reaches the terminal.
class QuietStdout {
public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = -1;
};
