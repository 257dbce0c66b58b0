// The status tick with 200 devices listed: an idle tick (nothing changed), a
// tick that rewrites every cell that can change, and a tick that refills an
// emptied list. Cell writes are counted at the GTK call itself, independently
// of the window's own counter.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <gtk/gtk.h>

#include "app/app_parsers.h"
#include "app/handover.h"
#include "bench/bench.h"
#include "bus/cable.h"
#include "bus/packet_parser.h"
#include "bus/port/port.h"
#include "devices/devices.h"
#include "gui/mainWin.h"
#include "panels/virtual_bus.h"

// Every cell the window writes passes through here.
namespace {
long setTextCalls = 0;
long appendCalls = 0;
}  // namespace

extern "C" void gtk_clist_set_text(GtkCList* clist, gint row, gint column, const gchar* text) {
    using Fn = void (*)(GtkCList*, gint, gint, const gchar*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "gtk_clist_set_text"));
    ++setTextCalls;
    real(clist, row, column, text);
}

extern "C" gint gtk_clist_append(GtkCList* clist, gchar* text[]) {
    using Fn = gint (*)(GtkCList*, gchar*[]);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "gtk_clist_append"));
    ++appendCalls;
    return real(clist, text);
}

namespace {

VirtualBus* quietBus = nullptr;  // an open port with nothing on it: the tick's cable poll runs as usual

void drain() {
    while (gtk_events_pending()) gtk_main_iteration();
}

void tick() { progress(nullptr); }

// Two versions of each record that differ in every cell but "#".
DeviceRecord record(int i, int variant) {
    DeviceRecord r{};
    r.uid = (variant ? 0x20000000u : 0x10000000u) + static_cast<uint32_t>(i) * 7919u + 1;
    r.verMajor = static_cast<uint8_t>(variant ? 2 : 1);
    r.verMinor = static_cast<uint8_t>(i % 10);
    r.intensity = static_cast<uint8_t>(variant ? 3 : 1);
    r.act = variant ? 0x3F : 0x00;
    for (int b = 0; b < DEV_BUTTONS; ++b)
        r.btn[b] = ButtonSetup{static_cast<uint8_t>(variant ? 2 : 1), static_cast<uint16_t>(i * 6 + b + variant)};
    return r;
}

void fillTable(int variant) {
    devices_lock();
    for (int i = 0; i < DEV_MAX; ++i) devices_table()[i] = record(i, variant);
    devices_unlock();
}

void BM_TickIdle(benchmark::State& state) {
    fillTable(0);
    for (int i = 0; i < 3; ++i) {
        tick();
        drain();
    }
    const long before = setTextCalls + appendCalls;
    const long windowBefore = mainWin_cellsSet();
    bool eventsAfter = false;
    for (auto _ : state) {
        tick();
        eventsAfter = eventsAfter || gtk_events_pending();
    }
    drain();
    state.counters["cells_set"] = static_cast<double>(setTextCalls + appendCalls - before);
    state.counters["window_cells_set"] = static_cast<double>(mainWin_cellsSet() - windowBefore);
    state.counters["events_after_tick"] = eventsAfter ? 1 : 0;
    state.counters["rows"] = GTK_CLIST(deviceList)->rows;
}

void BM_TickRewrite(benchmark::State& state) {
    int variant = 0;
    fillTable(variant);
    tick();
    drain();
    const long before = setTextCalls;
    for (auto _ : state) {
        state.PauseTiming();
        variant ^= 1;
        fillTable(variant);
        state.ResumeTiming();
        tick();
        drain();  // the redraw it caused
    }
    state.counters["cells_per_tick"] =
        static_cast<double>(setTextCalls - before) / static_cast<double>(state.iterations());
}

void BM_TickRefill(benchmark::State& state) {
    fillTable(0);
    const long before = appendCalls;
    for (auto _ : state) {
        state.PauseTiming();
        gtk_clist_clear(GTK_CLIST(deviceList));
        drain();
        state.ResumeTiming();
        tick();
        drain();
    }
    state.counters["rows_per_tick"] =
        static_cast<double>(appendCalls - before) / static_cast<double>(state.iterations());
}

}  // namespace

void tick_setUp() {
    quietBus = new VirtualBus();
    port_setDriver(quietBus);
    app_installParsers();
    packet_resetAssembler();
    buildGUI();
    drain();
    dev_removeAll();
    fillTable(0);
    tick();
    drain();
}

void tick_register() {
    benchmark::RegisterBenchmark("tick/idle", BM_TickIdle)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
    benchmark::RegisterBenchmark("tick/rewrite", BM_TickRewrite)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
    benchmark::RegisterBenchmark("tick/refill", BM_TickRefill)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
}

BenchRows tick_rows() {
    BenchRows rows;
    const GbResult idle = gb_result("tick/idle");
    if (idle.found) {
        const double ms = idle.nsPerIteration / 1e6;
        const double cells = idle.counter("cells_set");
        const bool events = idle.counter("events_after_tick") != 0;
        rows.push_back(
            {"idle tick (nothing changed)", fmt("%.4f ms", ms), "0.2 ms", fmt("%.3f", ms / 0.2), "< 0.2 ms", ms < 0.2});
        rows.push_back({"  cells set by idle ticks (counted at GTK)",
                        fmt("%.0f (window's count %.0f), %s", cells, idle.counter("window_cells_set"),
                            events ? "events queued" : "no event queued"),
                        "0", "", "none set", cells == 0 && idle.counter("window_cells_set") == 0});
    }
    const GbResult rewrite = gb_result("tick/rewrite");
    if (rewrite.found)
        rows.push_back(
            {fmt("tick rewriting every changeable cell (%.0f cells) + redraw", rewrite.counter("cells_per_tick")),
             fmt("%.3f ms", rewrite.nsPerIteration / 1e6), "", "", "", true});
    const GbResult refill = gb_result("tick/refill");
    if (refill.found)
        rows.push_back({fmt("tick refilling an emptied list (%.0f rows) + redraw", refill.counter("rows_per_tick")),
                        fmt("%.3f ms", refill.nsPerIteration / 1e6), "", "", "", true});
    return rows;
}
