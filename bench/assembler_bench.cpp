// Receive assembler throughput over a mix like the bus's: answers of every kind,
// button-state reports, compare replies, bytes of noise, corrupted and truncated
// frames, fed 50 bytes at a time as the cable layer reads them. The parse
// functions are counters here, so that the assembler alone is measured.
#include <benchmark/benchmark.h>

#include <random>

#include "app/app_parsers.h"
#include "bench/bench.h"
#include "bus/packet_parser.h"
#include "panels/virtual_panel.h"

namespace {

// 250000 baud / 10 bits; at 11 bits a byte (44 µs) the line brings less, so this is the stricter yardstick.
constexpr double LINE_BYTES_PER_SECOND = 25000;
constexpr size_t STREAM_BYTES = 256 * 1024;
constexpr int READ_SIZE = 50;

long dispatched = 0;
void count(uint8_t*) { ++dispatched; }

struct Stream {
    std::vector<uint8_t> bytes;
    long goodFrames = 0;
};

Stream makeStream() {
    std::mt19937 rng(20261206);
    std::vector<VirtualPanel> panels = panels_randomSet(12, 7);
    Stream s;
    auto add = [&](const std::vector<uint8_t>& f) { s.bytes.insert(s.bytes.end(), f.begin(), f.end()); };
    while (s.bytes.size() < STREAM_BYTES) {
        VirtualPanel& p = panels[rng() % panels.size()];
        const unsigned pick = rng() % 100;
        if (pick < 25) {  // a button-state report
            add(p.buttonStateFrame());
            ++s.goodFrames;
        } else if (pick < 43) {
            add(p.setupAnswerFrame());
            ++s.goodFrames;
        } else if (pick < 58) {
            add(p.dmxBlockAnswerFrame(static_cast<int>(rng() % DEV_BUTTONS)));
            ++s.goodFrames;
        } else if (pick < 70) {  // mute, identify and UID acknowledgements
            static const std::vector<uint8_t> acks[] = {{0x02, 0x00}, {0x03, 0x20, 0x00}, {0x03, 0x11, 0x00}};
            add(p.commandFrame(acks[rng() % 3]));
            ++s.goodFrames;
        } else if (pick < 78) {  // compare replies: two bytes, sometimes collided
            add({static_cast<uint8_t>(p.uid | 0x80), static_cast<uint8_t>(p.uid >> 8)});
        } else if (pick < 88) {  // line noise
            const int n = 1 + static_cast<int>(rng() % 40);
            for (int i = 0; i < n; ++i) s.bytes.push_back(static_cast<uint8_t>(rng()));
        } else if (pick < 94) {  // a frame with one byte flipped
            std::vector<uint8_t> f = p.setupAnswerFrame();
            f[19 + rng() % (f.size() - 19)] ^= static_cast<uint8_t>(1 + rng() % 255);
            add(f);
        } else {  // a frame cut short
            std::vector<uint8_t> f = p.dmxBlockAnswerFrame(0);
            f.resize(4 + rng() % (f.size() - 8));
            add(f);
        }
    }
    return s;
}

const Stream& stream() {
    static const Stream s = makeStream();
    return s;
}

void feed(const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); i += READ_SIZE) {
        const size_t n = std::min<size_t>(READ_SIZE, bytes.size() - i);
        packet_receive(bytes.data() + i, static_cast<int32_t>(n));
    }
}

void BM_Assembler(benchmark::State& state) {
    const Stream& s = stream();
    PacketParsers counters;
    counters.dmxHouse = counters.setup = counters.discovery = counters.identify = counters.genUid = count;
    packet_setParsers(counters);
    packet_resetAssembler();
    dispatched = 0;
    feed(s.bytes);
    const long perPass = dispatched;
    for (auto _ : state) feed(s.bytes);
    if (dispatched != perPass * static_cast<long>(state.iterations() + 1))
        state.SkipWithError("the passes dispatched different frame counts");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.bytes.size()));
    state.counters["frames_per_pass"] = static_cast<double>(perPass);
    state.counters["good_frames_per_pass"] = static_cast<double>(s.goodFrames);
    state.counters["stream_bytes"] = static_cast<double>(s.bytes.size());
    app_installParsers();
    packet_resetAssembler();
}

}  // namespace

void assembler_register() {
    benchmark::RegisterBenchmark("assembler/mix", BM_Assembler)->Unit(benchmark::kMillisecond)->MinTime(1.0);
}

BenchRows assembler_rows() {
    const GbResult r = gb_result("assembler/mix");
    if (!r.found || !r.error.empty())
        return {{"throughput over the mix", r.found ? r.error : "did not run", "", "", ">= 1000x line rate", false}};
    const double multiple = r.bytesPerSecond / LINE_BYTES_PER_SECOND;
    BenchRows rows;
    rows.push_back({"throughput over the mix, 50-byte reads",
                    fmt("%.1f MB/s = %.0fx line rate", r.bytesPerSecond / 1e6, multiple), "line rate 25,000 B/s", "",
                    ">= 1000x line rate", multiple >= 1000});
    rows.push_back({"frames dispatched per pass (good frames in it)",
                    fmt("%.0f (%.0f) of %.0f bytes", r.counter("frames_per_pass"), r.counter("good_frames_per_pass"),
                        r.counter("stream_bytes")),
                    "", "", "", true});
    return rows;
}
