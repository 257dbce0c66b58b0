// The diagnostic lines of the bus and app modules: one sink for all of them.
// The window leaves it as it is, so every line goes to standard output (and the
// few error lines to standard error) exactly as printf would put them there;
// korvane-cli sends them to standard error with -v and nowhere otherwise, so
// that its standard output holds only its result.
//
// Threads: any. The route is set before the bus work starts (a program's
// start-up, a test's set-up) and only read afterwards; each line is one stdio
// call, which stdio keeps whole.
#pragma once

#include <cstdio>

// Where the lines go from now on; nullptr: nowhere.
void diag_route(std::FILE* out, std::FILE* err);
// Back to standard output and standard error.
void diag_routeDefault();

// The output lines (standard output by default).
void diag_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void diag_puts(const char* line);   // the text and a line end
void diag_fputs(const char* text);  // the text alone
void diag_flush();
// The error lines (standard error by default).
void diag_errPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
