#include "lib/clock.h"

static timespec monotonic_now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

uint64_t wall_clock_ms() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

uint64_t monotonic_ms() {
    const timespec t = monotonic_now();
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

double monotonic_seconds() {
    const timespec t = monotonic_now();
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

timespec monotonic_deadline(uint32_t wait_ms) {
    timespec t = monotonic_now();
    t.tv_sec += wait_ms / 1000;
    t.tv_nsec += static_cast<long>(wait_ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

int cond_init_monotonic(pthread_cond_t *cond) {
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0)
        rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}
