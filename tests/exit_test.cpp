// Closing the window while a worker is in the middle of an exchange: main
// returns, the process exits with the worker still calling the port driver,
// which therefore must outlive it. Under AddressSanitizer (asan.unit) a driver
// destroyed at exit shows as a use after free in the child's report.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/app_discovery.h"
#include "app/app_parsers.h"
#include "devices/devices.h"
#include "bus/port/port.h"
#include "panels/virtual_bus.h"
#include "tests/support/bounded.h"

namespace {

// The child: the virtual panels chosen as main chooses them, a detached worker
// that never stops discovering, then the return from main.
[[noreturn]] void exitMidDiscovery() {
    if (!std::freopen("/dev/null", "w", stdout)) std::exit(4);
    port_setSimFactory(sim_newDemoDriver);
    setenv("KORVANE_PORT", "sim", 1);
    port_setDriver(nullptr);
    app_installParsers();
    pthread_t worker;
    pthread_create(
        &worker, nullptr,
        [](void*) -> void* {
            static uint32_t found[DEV_MAX];
            for (;;) app_discovery(found, DEV_MAX);
        },
        nullptr);
    pthread_detach(worker);
    // On the virtual clock the worker never sleeps: it is always inside a driver call.
    auto* bus = dynamic_cast<VirtualBus*>(port_driver());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (bus && bus->heard().size() < 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::exit(bus && bus->heard().size() >= 20 ? 0 : 3);
}

}  // namespace

TEST(Exit, WorkersMidExchangeOutliveNothingTheyUse) {
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(err[1], STDERR_FILENO);
        close(err[0]);
        close(err[1]);
        exitMidDiscovery();
    }
    close(err[1]);
    std::string report;
    {
        Watchdog ended(
            "the child's end", [child] { kill(child, SIGKILL); }, 60000);
        char buffer[4096];
        for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
    }
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << report;
    EXPECT_EQ(report.find("Sanitizer"), std::string::npos) << report;
}
