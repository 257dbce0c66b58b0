// End to end in real time: the configurator finds and reads panels that the
// korvane-panels tool serves on a pseudo-terminal, through the serial tty driver,
// as it would reach a cable bound to ftdi_sio.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app_discovery.h"
#include "app/app_parsers.h"
#include "app/app_setup.h"
#include "bus/port/port.h"
#include "bus/timer.h"
#include "devices/devices.h"

namespace {

// In a child process of its own, so the other tests keep the virtual clock. The
// UIDs have few zero bits: few compare steps go unanswered, and so the test is short.
int discoverThrough(const std::string& path) {
    if (!std::freopen("/dev/null", "w", stdout)) return 9;
    tim_setVirtualClock(false);
    setenv("KORVANE_PORT", path.c_str(), 1);
    port_setDriver(nullptr);
    app_installParsers();
    dev_removeAll();
    uint32_t found[3] = {};
    if (app_discovery(found, 3) != 3) return 1;
    if (found[0] != 0x7FFFFFFF || found[1] != 0x7FFFFFFE || found[2] != 0x7FFFFFFD) return 2;
    for (uint32_t uid : found)
        if (app_setup_read(uid) != 1) return 3;
    DeviceRecord r;
    if (!dev_copyByUid(0x7FFFFFFD, &r) || r.verMajor == 0) return 4;
    return 0;
}

}  // namespace

TEST(PtyEndToEnd, ToolServesPanelsTheConfiguratorFinds) {
    const std::string command =
        std::string(KORVANE_PANELS_TOOL) + " --uid 7FFFFFFF --uid 7FFFFFFD --uid 7FFFFFFE & echo $!";
    FILE* tool = popen(command.c_str(), "r");
    ASSERT_NE(tool, nullptr);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, tool), nullptr);
    const pid_t toolPid = static_cast<pid_t>(std::atol(line));
    ASSERT_NE(std::fgets(line, sizeof line, tool), nullptr);  // the slave's path comes first from the tool
    std::string path = line;
    path.erase(path.find_last_not_of("\r\n") + 1);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(discoverThrough(path));
    int status = 0;
    waitpid(child, &status, 0);
    kill(toolPid, SIGTERM);
    pclose(tool);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
