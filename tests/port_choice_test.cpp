// KORVANE_PORT naming something that is no serial line (a missing path, a
// file, a folder, /dev/null, a terminal), no port at all, or a port another
// program holds: a clear refusal, no crash, no hang, and nothing sent.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "app/app_discovery.h"
#include "app/app_setup.h"
#include "app/handover.h"
#include "bus/cable.h"
#include "bus/ftdi.h"
#include "bus/port/port.h"
#include "cli/cli.h"
#include "gui/mainWin.h"
#include "tests/support/frames.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

namespace {

class PortChoice : public ::testing::Test {
protected:
    void choose(const std::string& value) {
        setenv("KORVANE_PORT", value.c_str(), 1);
        port_setDriver(nullptr);
        cable_free();
    }
    void TearDown() override {
        cable_free();
        unsetenv("KORVANE_PORT");
        port_setDriver(nullptr);
    }
};

}  // namespace

TEST_F(PortChoice, WhatIsNoSerialLineIsRefused) {
    TempDir dir;
    const std::string file = dir.write("not-a-tty", "hello");
    const std::string folder = dir.file("a-folder");
    mkdir(folder.c_str(), 0700);
    // The virtual consoles (major 4, minors 1 to 63) answer tcgetattr as a
    // serial line does; the last of them, made here by its numbers.
    const std::string console = dir.file("tty63");
    const int mknodError = ::mknod(console.c_str(), S_IFCHR | 0600, makedev(4, 63)) == 0 ? 0 : errno;
    for (const std::string value : {"/nonexistent/ttyUSB9", file.c_str(), folder.c_str(), "/dev/null", "/dev/tty",
                                    console.c_str(), "ttyUSB0", "simulator"}) {
        if (value == console && mknodError != 0) continue;
        SCOPED_TRACE(value);
        choose(value);
        testing::internal::CaptureStderr();
        const std::string out = captureStdout([&] {
            printDeviceList();
            // Or what follows goes on that line (and a silent line takes minutes).
            ASSERT_LT(cable_open(), 0);
            EXPECT_LT(cable_open(), 0);
            uint32_t found[4] = {};
            EXPECT_EQ(app_discovery(found, 4), 0);
            // Not "0 devices found.": the box says the port failed, and why.
            char text[512];
            EXPECT_EQ(app_discovery_report(0, text, sizeof text), MSG_ERROR);
            const std::string box = text;
            EXPECT_EQ(box.rfind("Discovery: the port could not be opened.\n", 0), 0u) << box;
            // Then why, in words, and what to do next.
            EXPECT_EQ(box.find("(status"), std::string::npos) << box;
            EXPECT_NE(box.find("then click Discovery again."), std::string::npos) << box;
            if (value[0] == '/') {
                const char* why = value == "/nonexistent/ttyUSB9" ? ": No such file or directory.\nPlug the cable in"
                                                                  : ": not a serial line";
                EXPECT_NE(box.find("\n" + value + why), std::string::npos) << box;
            }
            EXPECT_EQ(app_setup_read(0x1234), -1);
        });
        // Said once for each port chosen (the listing's or the open's error), however often it is tried.
        const std::string said = out + testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("FT_"), std::string::npos) << said;
        EXPECT_EQ(said.find("FT_"), said.rfind("FT_")) << said;
    }
    if (mknodError != 0)
        GTEST_SKIP() << "no virtual console case: mknod needs root (" << std::strerror(mknodError) << ")";
}

// Two programs on one bus take each other's answers: the second is refused, and
// each place that says why a port would not open says this.
TEST_F(PortChoice, APortInUseIsRefusedSayingSo) {
    PtyPair pty;
    auto other = port_newTtyDriver(pty.slave.c_str());  // as another program holds it
    ASSERT_EQ(other->open(pty.slave.c_str()), PORT_OK);
    choose(pty.slave);
    const std::string why = pty.slave + ": in use by another program";
    char box[512] = {}, state[300] = {};
    int32_t opened = 0;
    const std::string lines = captureStdout([&] { opened = cable_open(); });
    ASSERT_LT(opened, 0) << "refused, or the discovery below would wait on a silent line";
    uint32_t found[4] = {};
    EXPECT_EQ(app_discovery(found, 4), 0);
    app_discovery_report(0, box, sizeof box);
    EXPECT_NE(lines.find("Cause: " + why + "\n"), std::string::npos) << lines;
    EXPECT_NE(std::string(box).find(why), std::string::npos) << box;
    EXPECT_NE(portStatusText(cable_portState(state, sizeof state), state, "").find(why), std::string::npos) << state;
    char* err = nullptr;
    size_t size = 0;
    std::FILE* errFile = open_memstream(&err, &size);
    std::string args[] = {"korvane-cli", "read", "12"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data()};
    EXPECT_EQ(cli_run(3, argv, stdout, errFile), CLI_NO_PORT);
    std::fclose(errFile);
    EXPECT_EQ(std::string(err), "korvane-cli: the port cannot be opened: " + why + " (status 3)\n");
    std::free(err);
}
