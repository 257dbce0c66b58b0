// The window left alone on the real clock: with the six demo panels, as `make
// run` shows it after their setups were read (CPU time per second of wall time
// while it idles, then the resident memory once 200 devices are listed), and
// with no cable at all, its status tick trying the libftdi port every half
// second.
#include <gtk/gtk.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/app_parsers.h"
#include "app/app_setup.h"
#include "bench/bench.h"
#include "bus/cable.h"
#include "bus/port/port.h"
#include "bus/timer.h"
#include "devices/devices.h"
#include "gui/mainWin.h"
#include "panels/virtual_bus.h"

namespace {

double cpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A number from /proc/self/status ("VmRSS" in kB, "Threads").
long statusField(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
    return -1;
}

gboolean quit(gpointer) {
    gtk_main_quit();
    return FALSE;
}

void runMainLoop(int ms) {
    g_timeout_add(static_cast<guint>(ms), quit, nullptr);
    gtk_main();
}

}  // namespace

BenchRows idle_run(int seconds) {
    tim_setVirtualClock(false);
    QuietStdout quiet;
    BenchRows rows;

    VirtualBus* bus = new VirtualBus();
    bus->addDemoPanels();
    port_setDriver(bus);
    app_installParsers();
    buildGUI();
    // As after "Load list": the six panels' setups read, their rows full.
    for (uint32_t uid : bus->uids()) {
        addDevUID(uid);
        app_setup_read(uid);
    }
    // The window's own 50 ms tick, as createGUI starts it.
    mainWin_startTick();
    runMainLoop(2000);

    const long cellsBefore = mainWin_cellsSet();
    const uint64_t queriesBefore = bus->statusQueries();
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    runMainLoop(seconds * 1000);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double share = cpu / wall;
    rows.push_back({fmt("CPU per wall second, %d s idle (rows %d)", seconds, dev_count()),
                    fmt("%.2f%% of one core", share * 100), "2%", "", "< 2% of one core", share < 0.02});
    rows.push_back({"  during it: cells set, port status queries",
                    fmt("%ld, %llu (%.1f per s)", mainWin_cellsSet() - cellsBefore,
                        static_cast<unsigned long long>(bus->statusQueries() - queriesBefore),
                        static_cast<double>(bus->statusQueries() - queriesBefore) / wall),
                    "", "", "", true});

    // 200 devices: the six panels and 194 more records.
    devices_lock();
    for (int i = 6; i < DEV_MAX; ++i) {
        DeviceRecord& r = devices_table()[i];
        r = DeviceRecord{};
        r.uid = 0x01000000u + static_cast<uint32_t>(i) * 104729u;
        r.verMajor = 2;
        r.verMinor = static_cast<uint8_t>(i % 10);
        r.intensity = static_cast<uint8_t>(i % 4);
        for (int b = 0; b < DEV_BUTTONS; ++b)
            r.btn[b] = ButtonSetup{static_cast<uint8_t>((i + b) % 3), static_cast<uint16_t>(1u << ((i + b) % 16))};
    }
    devices_unlock();
    runMainLoop(2000);
    rows.push_back({fmt("resident memory, %d devices listed", GTK_CLIST(deviceList)->rows),
                    fmt("%.1f MiB (VmRSS)", statusField("VmRSS") / 1024.0), "", "", "", true});
    return rows;
}

BenchRows idle_runNoCable(int seconds) {
    tim_setVirtualClock(false);
    QuietStdout quiet;  // the open-error lines
    unsetenv("KORVANE_PORT");
    port_setDriver(nullptr);  // libftdi1, as an installed configurator starts
    app_installParsers();
    buildGUI();
    mainWin_startTick();
    runMainLoop(2000);

    const long threads0 = statusField("Threads");
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    runMainLoop(seconds * 1000);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double share = cpu / wall;
    BenchRows rows;
    rows.push_back({fmt("CPU per wall second, %d s idle, no cable (libftdi1)", seconds),
                    fmt("%.2f%% of one core", share * 100), "0.5%", "", "< 0.5% of one core", share < 0.005});
    rows.push_back(
        {"  during it: threads at the start and at the end",
         fmt("%ld, %ld (port open: %s)", threads0, statusField("Threads"), cable_device() >= 0 ? "yes" : "no"), "", "",
         "", true});
    return rows;
}
