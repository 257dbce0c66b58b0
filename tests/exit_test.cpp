// Closing the window while a worker is in the middle of an exchange: main
// returns, the process exits with the worker still calling the port driver,
// which therefore must outlive it. Under AddressSanitizer (asan.unit) a driver
// destroyed at exit shows as a use after free in the child's report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/app_discovery.h"
#include "app/app_parsers.h"
#include "bus/port/port.h"
#include "devices/devices.h"
#include "panels/virtual_bus.h"

namespace {

// The child: the virtual panels chosen as main chooses them, a detached worker
// that never stops discovering, then the return from main. Each of its waits
// ends, saying what it waited for: the worker's exchanges, and the exit itself.
[[noreturn]] void exitMidDiscovery() {
    signal(SIGALRM, [](int) {
        const char said[] = "gave up waiting for the exit\n";
        (void)!write(STDERR_FILENO, said, sizeof said - 1);
        _exit(5);
    });
    alarm(60);
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
    if (bus && bus->heard().size() >= 20) std::exit(0);
    std::fprintf(stderr, "gave up waiting for the worker's exchanges\n");
    std::exit(3);
}

}  // namespace

TEST(Exit, WorkersMidExchangeOutliveNothingTheyUse) {
    EXPECT_EXIT(exitMidDiscovery(), testing::ExitedWithCode(0), testing::Not(testing::HasSubstr("Sanitizer")));
}
