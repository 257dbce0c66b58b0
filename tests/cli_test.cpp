// korvane-cli in-process against the virtual panels, on the virtual clock: what
// each command prints and returns, site backups restored onto other panels,
// files refused before anything goes on the wire, and Ctrl-C mid-restore.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include "app/app_genUID.h"
#include "app/site_file.h"
#include "bus/timer.h"
#include "cli/cli.h"
#include "tests/support/bounded.h"
#include "tests/support/pty.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Cli : public SimBus {
protected:
    Result cli(std::vector<std::string> args, const std::vector<std::string>& more = {}, std::FILE* errTo = nullptr) {
        args.insert(args.begin(), "korvane-cli");
        args.insert(args.end(), more.begin(), more.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        char* outText = nullptr;
        char* errText = nullptr;
        size_t outSize = 0, errSize = 0;
        std::FILE* out = open_memstream(&outText, &outSize);
        std::FILE* err = open_memstream(&errText, &errSize);
        const int status = cli_run(static_cast<int>(args.size()), argv.data(), out, errTo ? errTo : err);
        std::fclose(out);
        std::fclose(err);
        Result r{status, outText, errText};
        std::free(outText);
        std::free(errText);
        return r;
    }

    TempDir files;
    const std::string dir = files.path;
};

// A file of one panel, 1234ABCD, all its DMX blocks read.
std::string onePanel() {
    DeviceRecord r{};
    r.uid = 0x1234ABCD;
    r.dmxKnown = 0x3F;
    return site_dump(site_document({r}));
}

// A JSON pointer as a report or a refusal names the field: "/dmx/2/levels/12" is "dmx[2].levels[12]".
std::string fieldPath(const std::string& pointer) {
    std::string path;
    std::istringstream parts(pointer.substr(1));
    for (std::string t; std::getline(parts, t, '/');)
        path += std::isdigit(static_cast<unsigned char>(t[0])) ? "[" + t + "]" : (path.empty() ? "" : ".") + t;
    return path;
}

}  // namespace

TEST_F(Cli, EachBusOperationPrintsOnlyItsResult) {
    VirtualPanel& a = bus.addPanel(0x7A000001);
    a.intensity = 2;
    a.btn[0] = {1, 0x0005};
    a.btn[1] = {9, 0x8000};  // a type the window does not offer
    a.dmx[0][0] = 0x2C;      // start 812: above 511
    a.dmx[0][1] = 0x03;
    a.dmx[0][2] = 70;
    a.dmx[0][3] = 3;
    bus.addPanel(0x15000002);
    bus.addPanel(0x60000003).faults.noMuteConfirm = true;  // stops the search at itself

    Result r = cli({"discover"});
    EXPECT_EQ(r.out, "7A000001\n") << "the diagnostic lines stay off standard output";
    EXPECT_EQ(r.status, CLI_FAILED);
    EXPECT_EQ(r.err, "korvane-cli: discovery: Panel 60000003 does not confirm its mute: the search stopped there.\n");
    EXPECT_FALSE(bus.isOpen());

    r = cli({"-v", "read", "7a000001", "0x20000003"});  // the second is on no panel
    EXPECT_EQ(r.status, CLI_FAILED);
    EXPECT_TRUE(has(r.out,
                    "7A000001: firmware 2.0, intensity 2\n  button 1: Scene FLASH, scenes 1 3\n"
                    "    DMX: start 812, count 70, flags 3 (sent when the flash turns on and off), levels:\n"
                    "      0 0 0"))
        << r.out;
    EXPECT_TRUE(has(r.out, "  button 2: type 9, scenes 16\n"));
    EXPECT_TRUE(has(r.out, "20000003: not answering\n"));
    EXPECT_TRUE(has(r.err, "app_setup_parse\n")) << "-v: the diagnostic lines on standard error";

    r = cli({"read", "--json", "7A000001"});
    std::vector<DeviceRecord> panels;
    std::vector<std::string> errors;
    ASSERT_TRUE(site_fromJson(Json::parse(r.out), &panels, &errors)) << r.out;
    ASSERT_EQ(panels.size(), 1u);
    EXPECT_EQ(panels[0].btn[1].type, 9);
    EXPECT_EQ(std::memcmp(panels[0].dmx, a.dmx, sizeof a.dmx), 0);

    std::vector<std::string> tooMany{"read"};
    for (uint32_t uid = 1; uid <= DEV_MAX + 1; ++uid) tooMany.push_back(site_uidText(uid));
    // The other commands: status, the whole standard output, a part of standard error.
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } exchanges[] = {
        {{"identify", "7A000001", "--button", "3"}, CLI_OK, "7A000001: answered: it makes itself known\n", ""},
        {{"identify", "20000003"}, CLI_FAILED, "20000003: not answering\n", ""},
        {{"press", "15000002", "4"}, CLI_OK, "15000002: button 4 pressed (a press awaits no answer)\n", ""},
        // Never a UID a panel answers to, nor one discovery cannot find.
        {{"set-uid", "15000002", "--to", "7a000001"},
         CLI_FAILED,
         "15000002 -> 7A000001: not changed: a panel answers to 7A000001\n",
         ""},
        {{"set-uid", "15000002", "--to", "80000000"},
         CLI_USAGE,
         "",
         "--to 80000000: discovery cannot find a UID of 80000000 or above"},
        {{"set-uid", "15000002", "--to", "15000009"}, CLI_OK, "15000002 -> 15000009: changed\n", ""},
        {{"set-uid", "20000003", "--to", "15000010"}, CLI_FAILED, "20000003 -> 15000010: not changed\n", ""},
        // Refused before the bus: a UID that is none, a missing --yes, a package.
        {{"identify", "FFFFFFFF"}, CLI_USAGE, "", "FFFFFFFF: not a panel UID"},
        {{"identify", "12345678A"}, CLI_USAGE, "", "12345678A: not a panel UID"},
        {tooMany, CLI_USAGE, "", "read: at most 200 panels at a time"},
        {{"firmware", files.write("a.fw", "image")}, CLI_USAGE, "", "add --yes to go on"},
        {{"firmware", files.write("a.pkg", "image"), "--yes"},
         CLI_USAGE,
         "",
         "korvane-cli: Package file not implemented.\n"},
        {{"firmware", files.write("b.fw", std::string(100, 'k')), "--yes"},
         CLI_OK,
         dir + "/b.fw: sent, 100 bytes in 2 chunks\n",
         ""},
        {{"read", "--list", files.write("none.lst", "X:1234\r\n")},
         CLI_USAGE,
         "",
         "none.lst: no panel listed: a list file has lines of \"U:\" and the UID"},
    };
    for (const auto& e : exchanges) {
        r = cli(e.args);
        EXPECT_EQ(r.status, e.status) << e.args[1];
        EXPECT_EQ(r.out, e.out) << e.args[1];
        EXPECT_TRUE(has(r.err, e.err)) << r.err;
        EXPECT_FALSE(has(r.out + r.err, "%")) << "a format string reached the user: " << r.out << r.err;
    }
    EXPECT_EQ(bus.panel(0x7A000001)->lastIdentifyMask, 0x04);
    ASSERT_NE(bus.panel(0x15000009), nullptr) << "the set-uid above did not give 15000009";
    EXPECT_EQ(bus.panel(0x15000009)->lastPressButton, 3);
    EXPECT_EQ(bus.panel(0x7A000001)->firmwareChunks.size(), 2u);
    EXPECT_EQ(bus.panel(0x7A000001)->rebootCount, 5) << "one upload, its reboot frame five times; no refusal sent one";

    // Each way a command ends that the table above lacks: a parse error, a
    // backup's target that is a folder (refused before the bus), a read
    // cancelled, a backup whose discovery stopped short.
    r = cli({"discover", "--limit", "201"});
    EXPECT_EQ(r.status, CLI_USAGE) << "CLI11's own code is no exit status of ours";
    bus.clearHeard();
    r = cli({"backup", dir, "--force"});
    EXPECT_EQ(r.status, CLI_USAGE);
    EXPECT_TRUE(has(r.err, dir + ": a folder, not a file name")) << r.err;
    EXPECT_TRUE(bus.heard().empty());
    bus.holdAt = [](GatedBus&, const uint8_t* f, uint32_t n) {
        if (isSetupRead(f, n) && packet_destination(f) == 0x7A000001) cancel_request();
        return false;
    };
    r = cli({"read", "7A000001", "15000009", "7a000001", "--json"});  // each panel read once
    EXPECT_EQ(r.status, CLI_FAILED);
    EXPECT_EQ(Json::parse(r.out)["notRead"], Json::array({"15000009"})) << r.out;
    EXPECT_EQ(Json::parse(r.out)["panels"].size(), 1u) << r.out;
    bus.holdAt = nullptr;
    r = cli({"backup", dir + "/short.json"});
    EXPECT_EQ(r.status, CLI_FAILED);
    EXPECT_TRUE(has(r.err, "discovery: Panel 60000003 does not confirm its mute")) << r.err;
    // The break before each send of the second chunk fails at the port (a frame
    // sent without it would reach no panel, so none goes out), and so does each
    // send of the third chunk: no success, and each failed write drops the port.
    int firstChunkSends = 0, breaksRefused = 0;
    bus.pass = [&](const std::vector<uint8_t>& f) {
        const bool chunk = f.size() == DMX_FRAME_SIZE && f[FRAME_KIND] == KIND_FW_CHUNK;
        firstChunkSends += chunk && f[DMX_CHUNK] == 0;
        return !(f.size() == 1 && firstChunkSends == 5 && breaksRefused++ < 5) && !(chunk && f[DMX_CHUNK] == 2);
    };
    bus.refuse = true;
    const int opens = bus.opens;
    r = cli({"firmware", files.write("c.fw", std::string(150, 'c')), "--yes"});
    EXPECT_EQ(r.status, CLI_FAILED);
    EXPECT_TRUE(has(r.err, "Firmware update failed: 2 of 3 chunks could not be sent. Send the image again.")) << r.err;
    EXPECT_EQ(bus.opens - opens, 10) << "opened, then again after each failed write but the last, which ends it";
    EXPECT_EQ(bus.panel(0x7A000001)->firmwareChunks.size(), 1u);
    bus.pass = nullptr;

    // Without --to, a UID of the clock that a panel answers to gives way to the clock's next step.
    static int64_t stepStartUs;
    stepStartUs = tim_nowUs();
    app_setUidClock([] { return std::time_t{1700000000} + (tim_nowUs() - stepStartUs) / 1000000; });
    const uint32_t clockUid = app_genNewUID(nullptr);
    bus.addPanel(clockUid);
    r = cli({"set-uid", "15000009"});
    app_setUidClock(nullptr);
    EXPECT_EQ(r.out, "15000009 -> " + site_uidText(clockUid + 1) + ": changed\n");

    std::unique_ptr<PortDriver> absent = port_newAbsentDriver("no cable here");
    port_setDriver(absent.get());
    r = cli({"read", "7A000001"});
    EXPECT_EQ(r.status, CLI_NO_PORT);
    EXPECT_TRUE(has(r.err, "the port cannot be opened: no cable here")) << r.err;
    port_setDriver(&bus);
}

// Every field a site file holds of a panel, changed on the bus in turn (one
// panel a field, each a replacement through --map, all backed up first):
// verify names exactly that field, and a restore onto panels that keep
// what they had names it the same way; both exit 1. Onto panels that take the
// writes, a restore puts each right. The fields are those the writer puts in
// the file, so one added there without its comparison fails here.
TEST_F(Cli, VerifyAndRestoreNameEachFieldThatDiffers) {
    DeviceRecord base{};
    base.intensity = 2;
    base.verMajor = 2;
    base.dmxKnown = 0x3F;
    for (int b = 0; b < DEV_BUTTONS; ++b) {
        base.btn[b] = {static_cast<uint8_t>(b % 3), static_cast<uint16_t>(1u << b)};
        base.dmx[b][0] = static_cast<uint8_t>(b + 1);
        base.dmx[b][2] = DMX_BLOCK_LEVELS;
        base.dmx[b][3] = 3;
        for (int k = 0; k < DMX_BLOCK_LEVELS; ++k) base.dmx[b][4 + k] = static_cast<uint8_t>(k);
    }
    struct Case {
        DeviceRecord file, panel;
        std::vector<std::string> problems, notes;
        bool cut = false;  // the panel's DMX blocks cannot be read (verify only)
    };
    std::vector<Case> cases;
    const Json fields = site_panelJson(base).flatten();
    for (const auto& [pointer, value] : fields.items()) {
        if (pointer == "/uid") continue;  // which panel, not its setup
        // Every level of one block; of the others the first and the last.
        int block = 0, level = 0;
        if (std::sscanf(pointer.c_str(), "/dmx/%d/levels/%d", &block, &level) == 2 && block > 0 && level > 0 &&
            level < DMX_BLOCK_LEVELS - 1)
            continue;
        std::string path = fieldPath(pointer);  // a scene names its list
        const bool scene = has(path, ".scenes");
        if (scene) path.erase(path.rfind('['));
        Json changed = fields;
        changed["/uid"] = "1";
        Case c{base, {}, {}, {}};
        if (value.is_string()) {  // the firmware: noted, never a difference
            changed[pointer] = "2.1";
            c.notes = {"firmware 2.1 (the file has 2.0; not part of the setup)"};
        } else {
            const int step = has(path, ".start") ? 257 : 1;  // an address differs in both its bytes
            const std::string v = std::to_string(value.get<int>()), w = std::to_string(value.get<int>() + step);
            changed[pointer] = value.get<int>() + step;
            const std::string open = scene ? "[" : "", close = scene ? "]" : "";
            std::string text = path;
            text.append(": file ").append(open).append(v).append(close).append(", panel ").append(open);
            c.problems = {text.append(w).append(close)};
        }
        Json doc = site_document({});
        doc["panels"].push_back(changed.unflatten());
        std::vector<DeviceRecord> read;
        std::vector<std::string> errors;
        ASSERT_TRUE(site_fromJson(doc, &read, &errors)) << pointer << ": " << errors.front();
        c.panel = read[0];
        cases.push_back(c);
    }
    // A block the panel cannot read is a difference; one the file does not hold is never compared.
    Case cut{base, base, {}, {}, true};
    for (int b = 0; b < DEV_BUTTONS; ++b) cut.problems.push_back("dmx[" + std::to_string(b) + "]: could not be read");
    cases.push_back(cut);
    Case unheld{base, base, {}, {}};
    unheld.file.dmxKnown = 0x3E;
    unheld.panel.dmx[0][4] = 99;
    cases.push_back(unheld);
    ASSERT_LE(cases.size(), static_cast<size_t>(DEV_MAX));
    std::vector<DeviceRecord> file;
    std::vector<std::string> map;
    for (size_t i = 0; i < cases.size(); ++i) {
        const DeviceRecord& r = cases[i].panel;
        VirtualPanel& p = bus.addPanel(static_cast<uint32_t>(0x2000 + i));  // the file's 0x1000 + i, replaced
        p.intensity = r.intensity;
        std::copy(r.btn, r.btn + DEV_BUTTONS, p.btn);
        std::memcpy(p.dmx, r.dmx, sizeof p.dmx);
        p.verMajor = r.verMajor;
        p.verMinor = r.verMinor;
        p.faults.cutDmxBlocks = cases[i].cut;
        file.push_back(cases[i].file);
        file.back().uid = static_cast<uint32_t>(0x1000 + i);
        map.push_back(site_uidText(file.back().uid) + "=" + site_uidText(p.uid));
    }
    std::string error;
    const std::string site = dir + "/site.json";
    ASSERT_TRUE(site_save(site, file, &error)) << error;
    EXPECT_EQ(cli({"backup", dir + "/all.json"}).status, CLI_FAILED) << "one panel's blocks could not be read";
    EXPECT_EQ(bus.opens, 1) << "the port is the command's from start to end: no other program takes it meanwhile";
    for (const bool restoring : {false, true}) {
        for (size_t i = 0; restoring && i < bus.panelCount(); ++i) bus.panelAt(i).faults.dropsWrites = true;
        const Result r = cli({restoring ? "restore" : "verify", site, "--json", "--map"}, map);
        EXPECT_EQ(r.status, CLI_FAILED);
        const Json report = Json::parse(r.out);
        ASSERT_EQ(report["panels"].size(), cases.size());
        for (size_t i = 0; i < cases.size(); ++i) {
            if (restoring && cases[i].cut) continue;  // its block writes go unconfirmed too
            const Json& p = report["panels"][i];
            const bool same = cases[i].problems.empty();
            EXPECT_EQ(p["problems"], cases[i].problems) << i << (restoring ? " restore" : " verify");
            EXPECT_EQ(p["result"], restoring ? (same ? "restored and verified" : "restored but differs")
                                             : (same ? "matches" : "differs"))
                << i;
            if (!restoring) {
                EXPECT_EQ(p["notes"], cases[i].notes) << i;
            }
        }
    }
    // Onto panels that take the writes: each changed field is put right.
    for (size_t i = 0; i < bus.panelCount(); ++i) bus.panelAt(i).faults.dropsWrites = false;
    const Result r = cli({"restore", site, "--map"}, map);
    EXPECT_TRUE(has(r.out, "restore: " + std::to_string(cases.size()) + " panels: " + std::to_string(cases.size() - 1) +
                               " restored and verified, 1 half-sent: some DMX blocks were not confirmed\n"))
        << r.out;
}

// Each way a restore can end for a panel, from a fault of its own, in one run:
// the report's lines in the words of read, its summary and the exit status.
TEST_F(Cli, RestoreSaysHowEachPanelEnded) {
    bus.addPanel(0x11);
    bus.addPanel(0x22).faults.dropsWrites = true;  // confirms writes, keeps its setup
    bus.addPanel(0x33);                            // its button 3 DMX block is lost on the line
    bus.addPanel(0x44).faults.silent = true;
    bus.addPanel(0x55);  // Ctrl-C comes at its setup packet, and its read-back is lost
    bus.addPanel(0x66);
    std::vector<DeviceRecord> want;
    for (uint32_t uid = 0x11; uid <= 0x66; uid += 0x11) {
        DeviceRecord r{};
        r.uid = uid;
        r.intensity = uid == 0x22 ? 4 : 1;  // 4: read from a panel, beyond what a write carries
        r.verMajor = 2;
        r.btn[2] = {2, 0x0006};
        r.dmxKnown = 0x3D;  // block 1 was not read at backup
        r.dmx[0][2] = 70;
        want.push_back(r);
    }
    std::string error;
    const std::string site = dir + "/site.json";
    ASSERT_TRUE(site_save(site, want, &error)) << error;

    // A dry run shows what would be sent in the words of read; nothing goes on the wire.
    Result r = cli({"restore", site, "--only", "22", "--dry-run"});
    EXPECT_EQ(r.status, CLI_OK);
    EXPECT_TRUE(has(r.out,
                    "00000022: would be sent: intensity 4\n  button 1: Off, scenes none\n"
                    "    DMX: start 0, count 70, flags 0 (never sent), levels:\n      0 0 0"))
        << r.out;
    EXPECT_TRUE(has(r.out,
                    "  button 2: Off, scenes none\n    DMX: not in the file, not sent: the panel keeps its own\n"
                    "  button 3: Scene LATCH, scenes 2 3\n"))
        << r.out;
    EXPECT_TRUE(has(r.out,
                    "  note: intensity: 4 cannot be written (a write carries 0 to 3): 0 goes out\n"
                    "restore --dry-run: 1 panel, nothing sent\n"))
        << r.out;
    EXPECT_TRUE(bus.heard().empty());

    bus.pass = [](const std::vector<uint8_t>& f) {
        const uint32_t to = f.size() > PKT_DATA ? packet_destination(f.data()) : 0;
        if (to == 0x33 && f.size() > PKT_DATA + 3 && f[PKT_DATA + 1] == DEV_TAG_DMX && f[PKT_LEN] > 4 &&
            f[PKT_DATA + 3] == 2)
            return false;
        if (to == 0x55 && f.size() > PKT_DATA && f[PKT_LEN] == 40) cancel_request();  // Ctrl-C at its setup packet
        return to != 0x55 || !isSetupRead(f.data(), static_cast<uint32_t>(f.size()));
    };
    r = cli({"restore", site});
    EXPECT_EQ(r.status, CLI_FAILED);
    const std::string unheld = "  note: button 2 DMX: not in the file (not read at backup): the panel keeps its own\n";
    EXPECT_EQ(r.out, "00000011: restored and verified\n" + unheld +
                         "00000022: restored but differs\n  intensity: file 4, panel 1\n"
                         "  button 3 type: file 2, panel 0\n  button 3 scenes: file [2, 3], panel none\n"
                         "  button 1 DMX count: file 70, panel 0\n"
                         "  note: intensity: 4 cannot be written (a write carries 0 to 3): 0 goes out\n" +
                         unheld +
                         "00000033: half-sent: some DMX blocks were not confirmed\n"
                         "  button 3 DMX: the write was not confirmed\n" +
                         unheld + "00000044: not answering\n  no answer to the setup packet: no DMX block was sent\n" +
                         unheld +
                         "00000055: restored, not verified: no answer to the read-back\n"
                         "  no answer to the read-back\n" +
                         unheld + "00000066: not restored (cancelled)\n" + unheld +
                         "restore: 6 panels: 1 restored and verified, 1 restored but differs, 1 half-sent: some DMX "
                         "blocks were not confirmed, 1 not answering, 1 restored, not verified: no answer to the "
                         "read-back, 1 not restored (cancelled)\n");
    EXPECT_EQ(bus.panel(0x11)->dmxWrites, 5) << "a block not read at backup is never sent";
    EXPECT_EQ(bus.panel(0x55)->dmxWrites, 5) << "the panel in progress is finished";
    EXPECT_EQ(bus.panel(0x66)->setupWrites, 0);
    EXPECT_FALSE(bus.isOpen()) << "the cable is released";

    bus.pass = nullptr;
    VirtualPanel& bright = *bus.panel(0x11);
    bright.dmx[2][4 + 12] = 5;
    bright.dmx[2][4 + 13] = 6;
    r = cli({"verify", site, "--only", "11"});
    EXPECT_EQ(r.status, CLI_FAILED);
    EXPECT_TRUE(has(r.out, "  button 3 DMX levels: 2 differ, the first level +12: file 0, panel 5\n")) << r.out;
    EXPECT_TRUE(has(r.out, "verify: 1 panel: 1 differs\n")) << r.out;
    r = cli({"verify", site, "--only", "22", "44", "--json"});
    const Json report = Json::parse(r.out);
    EXPECT_EQ(report["failed"], 2);
    EXPECT_EQ(report["panels"][0]["result"], "differs");
    EXPECT_EQ(report["panels"][1]["result"], "not answering");
}

TEST_F(Cli, BackupNeverReplacesAFileWithAWorseOne) {
    bus.addPanel(0x11);
    VirtualPanel& cut = bus.addPanel(0x33);
    const std::string site = dir + "/site.json";
    Result r = cli({"backup", site});
    ASSERT_EQ(r.status, CLI_OK) << r.err;
    const std::string good = files.read("site.json");

    // Nobody answers (a pulled connector): nothing written.
    bus.panel(0x11)->faults.silent = true;
    cut.faults.silent = true;
    r = cli({"backup", site});
    EXPECT_EQ(r.status, CLI_FAILED);
    EXPECT_EQ(r.out, site + ": not written\n");
    EXPECT_EQ(r.err, "korvane-cli: no panel answered; " + site + " left as it was\n");
    // Cut short (a panel gone, blocks unread): refused, naming what would be lost; --force replaces.
    bus.panel(0x11)->faults.silent = false;
    cut.faults.silent = false;
    cut.faults.cutDmxBlocks = true;
    r = cli({"backup", site, "--list", files.write("33.lst", "U:00000033\r\n")});
    EXPECT_EQ(r.status, CLI_FAILED);
    EXPECT_TRUE(has(r.err,
                    "korvane-cli:   panel 00000033: button 1 DMX, button 2 DMX, button 3 DMX, button 4 DMX, "
                    "button 5 DMX, button 6 DMX not read in this backup\nkorvane-cli:   panel 00000011: not in "
                    "this backup\n"))
        << r.err;
    EXPECT_EQ(files.read("site.json"), good);
    // Onto a link: the file it names is replaced, the link stays.
    ASSERT_EQ(::symlink("site.json", (dir + "/link.json").c_str()), 0);
    r = cli({"backup", dir + "/link.json", "--list", files.file("33.lst"), "--force"});
    EXPECT_TRUE(has(r.out, "00000033: saved\n  button 1 DMX: could not be read\n")) << r.out;
    EXPECT_EQ(r.status, CLI_FAILED) << "saved without the blocks it could not read";
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link.json"));
    // A file that is no site file: refused before the bus.
    bus.clearHeard();
    r = cli({"backup", files.write("notes.json", "my notes")});
    EXPECT_EQ(r.status, CLI_USAGE);
    EXPECT_TRUE(has(r.err, "notes.json holds no site file this program reads")) << r.err;
    EXPECT_TRUE(bus.heard().empty());
}

TEST_F(Cli, BadFilesAreRefusedWithNothingOnTheWire) {
    bus.addPanel(0x1234ABCD);
    const std::string good = files.write("good.json", onePanel());
    // The good file with its first `from` made `to`: what no Json value can hold.
    auto edited = [&](const std::string& name, const std::string& from, const std::string& to) {
        std::string text = onePanel();
        return files.write(name, text.replace(text.find(from), from.size(), to));
    };
    const std::pair<std::string, std::string> cases[] = {
        {files.write("v2.json", "{\"format\": \"korvane-site\", \"version\": 2, \"panels\": []}"),
         "version: 2 is not a version this program reads (it reads 1)"},
        {edited("v1.0.json", "\"version\": 1", "\"version\": 1.0"), "version: 1.0 is not a version"},
        {edited("big.json", "\"intensity\": 0", "\"intensity\": 1e400"),
         "panels[0].intensity: 1e400 is a number too large to hold"},
        {edited("bigv.json", "\"version\": 1", "\"version\": 1e400"), "version: 1e400 is a number too large"},
        {edited("deep.json", "\"panels\"",
                "\"deep\": " + std::string(100000, '[') + std::string(100000, ']') + ", \"panels\""),
         "deep[0][0][0][0][0]: lists and objects nested deeper than a site file goes (6)"},
        {edited("twice.json", "\"uid\": \"1234ABCD\"", "\"uid\": \"1234ABCD\", \"uid\": \"11\""),
         "panels[0].uid: given twice in one object"},
        {edited("missing.json", "\"intensity\": 0,", ""), "panels[0].intensity: missing"},
        {files.write("text.json", "{\"format\": "), "not JSON: parse error at line 1, column 12"},
    };
    for (const auto& [path, why] : cases) {
        const Result r = cli({"restore", path});
        EXPECT_EQ(r.status, CLI_USAGE) << path;
        EXPECT_TRUE(has(r.err, why)) << r.err;
        EXPECT_EQ(cli({"verify", path}).status, CLI_USAGE) << path;
        EXPECT_EQ(cli({"restore", path, "--dry-run"}).status, CLI_USAGE) << path;
    }
    // A good file with a map to a panel the file does not hold, or to a UID discovery cannot find,
    // or two of its panels going to one.
    EXPECT_EQ(cli({"restore", good, "--map", "1234ABCE=99"}).status, CLI_USAGE);
    EXPECT_TRUE(has(cli({"verify", good, "--only", "99"}).err, "--only 00000099: no such panel in the file"));
    const std::string two = files.write("two.json", [] {
        Json doc = Json::parse(onePanel());
        doc["panels"].push_back(doc["panels"][0]);
        doc["panels"][1]["uid"] = "11";
        return site_dump(doc);
    }());
    const Result onto = cli({"verify", two, "--map", "11=1234ABCD"});
    EXPECT_EQ(onto.status, CLI_USAGE);
    EXPECT_TRUE(has(onto.err, "panels 1234ABCD and 00000011 would both go to 1234ABCD")) << onto.err;
    EXPECT_TRUE(has(cli({"restore", good, "--map", "1234ABCD=90000000"}).err, "--map 1234ABCD=90000000: discovery"));
    EXPECT_TRUE(bus.heard().empty()) << "nothing may go on the wire";
}

// The reader's bounds at both edges of every field: each value a file may hold
// is taken and written back the same, each one past it refused with the
// field's path; 200 panels and not 201; a UID or a scene only once, anywhere.
TEST(SiteFile, EachFieldTakenToItsBoundsAndNotOnePast) {
    const Json good = Json::parse(onePanel());
    struct Edge {
        std::string pointer;
        Json value;
        std::string refusal;  // empty: taken
    };
    std::vector<Edge> edges;
    const struct {
        const char* pointer;
        int lo, hi;
    } ranges[] = {{"/intensity", 0, 7},        {"/buttons/5/type", 0, 255}, {"/buttons/0/scenes/0", 1, 16},
                  {"/dmx/5/start", 0, 65535},  {"/dmx/0/count", 0, 255},    {"/dmx/0/flags", 0, 255},
                  {"/dmx/1/levels/0", 0, 255}, {"/dmx/1/levels/69", 0, 255}};
    for (const auto& r : ranges) {
        const std::string range = " is out of range (" + std::to_string(r.lo) + " to " + std::to_string(r.hi) + ")";
        edges.push_back({r.pointer, r.lo, ""});
        edges.push_back({r.pointer, r.hi, ""});
        edges.push_back({r.pointer, r.lo - 1, std::to_string(r.lo - 1) + range});
        edges.push_back({r.pointer, r.hi + 1, std::to_string(r.hi + 1) + range});
    }
    const std::string uid = "must be a UID text", fw = "must be a text MAJOR.MINOR";
    const Json oneButton = Json::array({good["panels"][0]["buttons"][0]});
    edges.insert(edges.end(), {{"/intensity", 1.5, "must be a whole number (0 to 7)"},
                               {"/buttons/0/scenes", {1, 16}, ""},
                               {"/buttons/0/scenes", {1, 3, 3}, "scene 3 is listed twice"},  // at scenes[2]
                               {"/buttons", oneButton, "must be a list of 6 buttons, not 1"},
                               {"/dmx/1/levels", std::vector<int>(69), "must be a list of 70 levels 0 to 255, not 69"},
                               {"/dmx/1/levels", std::vector<int>(71), "must be a list of 70 levels 0 to 255, not 71"},
                               {"/dmx/0", nullptr, ""},
                               {"/dmx/0", 0, "must be an object with start, count, flags and levels"},
                               {"/uid", "1", ""},
                               {"/uid", "0xFFFFFFFE", ""},
                               {"/uid", "0", uid},
                               {"/uid", "FFFFFFFF", uid},
                               {"/uid", "100000001", uid},
                               {"/uid", "12G4", uid},
                               {"/firmware", "0.0", ""},
                               {"/firmware", "255.255", ""},
                               {"/firmware", "256.0", fw},
                               {"/firmware", "1.256", fw},
                               {"/firmware", "1", fw}});
    for (const auto& e : edges) {
        Json doc = good;
        const Json::json_pointer at("/panels/0" + e.pointer);
        doc[at] = e.value;
        std::vector<DeviceRecord> panels;
        std::vector<std::string> errors;
        const bool taken = site_fromJson(doc, &panels, &errors);
        EXPECT_EQ(taken, e.refusal.empty()) << e.pointer << " " << e.value;
        if (!taken) {
            const std::string path = fieldPath(at.to_string()) + (has(e.refusal, "twice") ? "[2]" : "");
            ASSERT_EQ(errors.size(), 1u) << e.pointer << ": " << testing::PrintToString(errors);
            EXPECT_TRUE(has(errors[0], path + ": " + e.refusal)) << errors[0];
        } else if (e.value.is_number() || e.value.is_array()) {
            EXPECT_EQ(site_document(panels)[at], e.value) << e.pointer;
        }
    }
    // 200 panels and not 201; a UID twice refused wherever the two stand.
    std::vector<DeviceRecord> many(DEV_MAX + 1);
    for (size_t i = 0; i < many.size(); ++i) many[i].uid = static_cast<uint32_t>(i + 1);
    std::vector<DeviceRecord> panels;
    std::vector<std::string> errors;
    EXPECT_FALSE(site_fromJson(site_document(many), &panels, &errors));
    EXPECT_EQ(errors, std::vector<std::string>{"panels: 201 panels; a site holds at most 200"});
    many.pop_back();
    EXPECT_TRUE(site_fromJson(site_document(many), &panels, &errors));
    EXPECT_EQ(panels.size(), static_cast<size_t>(DEV_MAX));
    for (const auto& [first, second] : {std::pair<size_t, size_t>{0, 1}, {0, 199}, {198, 199}, {57, 120}}) {
        std::vector<DeviceRecord> twice = many;
        twice[second].uid = twice[first].uid;
        errors.clear();
        EXPECT_FALSE(site_fromJson(site_document(twice), &panels, &errors));
        EXPECT_EQ(errors, std::vector<std::string>{"panels[" + std::to_string(second) +
                                                   "].uid: " + site_uidText(twice[first].uid) + " is also panels[" +
                                                   std::to_string(first) + "].uid"});
    }
}

// Ctrl-C mid-restore: RestoreSaysHowEachPanelEnded.
TEST_F(Cli, CtrlCStopsBetweenPanelsAndTheReportSaysWhere) {
    bus.addPanel(0x101);
    // Cancelled in the middle of a discovery, a backup writes no file.
    int compares = 0;
    bus.holdAt = [&](GatedBus&, const uint8_t* f, uint32_t n) {
        if (n > PKT_DATA + 1 && f[PKT_DATA] == 0x02 && f[PKT_DATA + 1] == 0x02 && ++compares == 40) cancel_request();
        return false;
    };
    const Result b = cli({"backup", dir + "/new.json"});
    EXPECT_EQ(b.status, CLI_FAILED);
    EXPECT_TRUE(has(b.out, dir + "/new.json: not written (cancelled)\n")) << b.out;
    EXPECT_FALSE(std::filesystem::exists(dir + "/new.json"));

    // An upload goes on: it says what stopping would leave, once, and leaves
    // the stop to a second Ctrl-C (the handler then keeps its own line back).
    bool heldBack = false;
    bus.holdAt = [&](GatedBus&, const uint8_t* f, uint32_t n) {
        if (n == DMX_FRAME_SIZE && f[3] == KIND_FW_CHUNK && f[DMX_CHUNK] == 2) {
            heldBack = cli_firstInterruptWarns();
            cancel_request();
        }
        return false;
    };
    const Result fw = cli({"firmware", files.write("c.fw", std::string(300, 'f')), "--yes"});
    EXPECT_EQ(fw.status, CLI_OK);
    EXPECT_EQ(fw.err,
              "\nkorvane-cli: The panels have been rebooted to take the new firmware and hold 3 of 5 chunks: stopping "
              "the upload now leaves them without firmware until the image is sent again. The upload goes on; Ctrl-C "
              "again stops it.\n");
    EXPECT_TRUE(heldBack);
    EXPECT_FALSE(cli_firstInterruptWarns());
    EXPECT_EQ(bus.panel(0x101)->firmwareChunks.size(), 5u);
}

// A full bus, backed up whole; the progress shown on a terminal only.
TEST_F(Cli, FullBusBackedUpWithProgressOnlyOnATerminal) {
    bus.addRandomPanels(DEV_MAX, 3);
    const Result full = cli({"backup", dir + "/a.json"});
    EXPECT_EQ(full.out, dir + "/a.json: 200 panels saved\n");
    EXPECT_EQ(full.err, "") << "not a terminal: no progress";

    const PtyPair pty;
    std::FILE* tty = std::fopen(pty.slave.c_str(), "w");
    ASSERT_NE(tty, nullptr);
    const int master = pty.master;
    // The third setup read waits until the progress line shows it on the terminal.
    std::string shown;
    bool seen = false;
    int reads = 0;
    bus.holdAt = [&](GatedBus&, const uint8_t* f, uint32_t n) {
        if (isSetupRead(f, n) && ++reads == 3) {
            seen = waitFor("the progress line of the third panel on the terminal", [&] {
                pollfd p{master, POLLIN, 0};
                char buffer[256];
                const ssize_t got = poll(&p, 1, 100) == 1 ? ::read(master, buffer, sizeof buffer) : 0;
                if (got > 0) shown.append(buffer, static_cast<size_t>(got));
                return has(shown, "reading panel 3 of 200 (");
            });
        }
        return false;
    };
    const Result r = cli({"backup", dir + "/b.json"}, {}, tty);
    std::fclose(tty);
    EXPECT_TRUE(seen) << "the terminal showed: " << shown;
    EXPECT_EQ(r.status, CLI_OK);
    EXPECT_EQ(r.out, dir + "/b.json: 200 panels saved\n");
}
