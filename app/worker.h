// Starting the detached worker threads (discovery, list load, firmware
// transfer): nobody joins them; a worker's resources go back when it ends.
//
// Threads: no state of its own; called by the GUI thread.
#pragma once

#include <pthread.h>

// Starts body(arg) on a detached thread, its id into *thread when given.
// Returns 0, or pthread_create's error number (no thread then runs).
int worker_startDetached(void* (*body)(void*), void* arg, pthread_t* thread = nullptr);
