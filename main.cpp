// The configurator's entry point: banner, the port library's version and the
// attached cables, then the window until it is closed.
#include <cstdio>

#include "app/app_parsers.h"
#include "bus/ftdi.h"
#include "bus/port/port.h"
#include "bus/timer.h"
#include "gui/mainWin.h"
#include "panels/virtual_bus.h"

int main() {
    port_setSimFactory(sim_newDemoDriver);
    app_installParsers();

    std::puts("Korvane configurator v.01.00");
    wait_us(5);
    printLibVersion();
    printDeviceList();
    std::fflush(stdout);
    createGUI();
    std::puts("\n\nEXIT\n");
    return 0;
}
