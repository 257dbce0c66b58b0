// korvane-cli: every bus operation of the window from a shell (discover, read,
// identify, press, set-uid, firmware), and whole-site backup, restore and verify
// through site files. The front end only parses the command line, calls the app
// modules and formats what they return.
//
// Threads: cli_run does the bus work on the calling thread; a second thread
// draws the progress line while standard error is a terminal, reading only
// atomics. The cancel request (Ctrl-C in korvane-cli) is the one of
// app/handover.h; cli_run clears it when it starts.
#pragma once

#include <cstdio>

constexpr int CLI_OK = 0;
constexpr int CLI_FAILED = 1;   // some panel failed, differed or was not reached
constexpr int CLI_USAGE = 2;    // a bad command line or a bad file
constexpr int CLI_NO_PORT = 3;  // the port cannot be opened

// Runs one command line (argv[0] is the program's name) over the port that
// port_driver() gives. The result goes to out; errors, the progress line (when
// err is a terminal) and, with -v, the bus modules' diagnostic lines go to err.
// Returns the exit status.
int cli_run(int argc, char** argv, std::FILE* out, std::FILE* err);

// True while the running command must not stop on a first Ctrl-C (a firmware
// upload, which would leave the panels without firmware): the command says on
// err what stopping would leave, and only a second Ctrl-C stops. Lock-free, for
// the signal handler.
bool cli_firstInterruptWarns();
