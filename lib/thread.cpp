#include "lib/thread.h"

int start_detached(pthread_t *thread, void *(*fn)(void *), void *arg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(thread, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

uint32_t sys_thread_id() {
    return 0;
}

namespace {
thread_local bool this_thread_is_loop = false;
} // namespace

void thread_mark_loop() {
    this_thread_is_loop = true;
}

bool thread_is_loop() {
    return this_thread_is_loop;
}
