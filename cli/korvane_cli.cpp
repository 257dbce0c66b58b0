// korvane-cli's entry point: the virtual panels for KORVANE_PORT=sim, Ctrl-C as
// the cancel request, then the command line.
//
// Threads: the main thread runs the command; the signal handler only raises the
// cancel request and writes one line.
#include <fcntl.h>
#include <csignal>
#include <unistd.h>

#include <cstdio>

#include "bus/port/port.h"
#include "cli/cli.h"
#include "app/handover.h"
#include "panels/virtual_bus.h"

namespace {

// The first Ctrl-C asks the command to stop between exchanges (an upload says
// itself why it goes on); the handler then falls back to the default
// (SA_RESETHAND), so a second one quits at once.
void onInterrupt(int) {
    cancel_request();
    if (cli_firstInterruptWarns()) return;
    static const char note[] = "\nkorvane-cli: stopping after the exchange in progress (Ctrl-C again quits at once)\n";
    if (write(STDERR_FILENO, note, sizeof note - 1) < 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A standard stream the caller closed keeps its number taken, so that no
    // port or file opened later lands there; standard output then fails every
    // write (it is read-only), and the command reports it.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0) open("/dev/null", fd == STDOUT_FILENO ? O_RDONLY : O_RDWR);
    // A reader gone: the write fails and is reported, instead of killing the program.
    signal(SIGPIPE, SIG_IGN);
    port_setSimFactory(sim_newDemoDriver);
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    return cli_run(argc, argv, stdout, stderr);
}
