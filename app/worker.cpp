#include "app/worker.h"

int worker_startDetached(void* (*body)(void*), void* arg, pthread_t* thread) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t started;
    const int rc = pthread_create(&started, &attr, body, arg);
    pthread_attr_destroy(&attr);
    if (rc == 0 && thread) *thread = started;
    return rc;
}
