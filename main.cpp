// The configurator's entry point: banner, the port library's version and the
// attached cables, then the window until it is closed. --help and --version
// answer before any of that and leave.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "app/app_parsers.h"
#include "bus/ftdi.h"
#include "bus/port/port.h"
#include "bus/timer.h"
#include "gui/mainWin.h"
#include "panels/virtual_bus.h"

namespace {

// The exit status when an option was answered (or refused); -1 to go on.
int answerOptions(int argc, char** argv) {
    CLI::App app{
        "Finds, inspects and configures Korvane wall panels on a serial bus through a\n"
        "USB-to-serial FTDI cable. Without options it lists the cables found and opens\n"
        "the window.",
        "korvane"};
    app.set_version_flag("--version", "korvane " KORVANE_VERSION);
    app.footer(std::string("Environment:\n") + port_choiceHelp());
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = answerOptions(argc, argv); status >= 0) return status;

    port_setSimFactory(sim_newDemoDriver);
    app_installParsers();

    std::puts("Korvane configurator v.01.00");
    constexpr int32_t START_WAIT = 5;  // 0.5 ms, in wait_us's 100 µs
    wait_us(START_WAIT);
    printLibVersion();
    printDeviceList();
    std::fflush(stdout);
    createGUI();
    std::puts("\n\nEXIT\n");
    return 0;
}
