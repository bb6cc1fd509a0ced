// The monotonic clock: elapsed times and the deadlines of timed waits. Waits measured on it
// are not moved by a change of the wall clock.
#pragma once

#include <cstdint>
#include <ctime>
#include <pthread.h>

// Milliseconds since the epoch on the wall clock: for time stamps, never for measuring.
uint64_t wall_clock_ms();

// Milliseconds and seconds on the monotonic clock.
uint64_t monotonic_ms();
double monotonic_seconds();

// The monotonic clock wait_ms milliseconds from now: the absolute deadline of a timed wait
// on a condition variable made by cond_init_monotonic.
timespec monotonic_deadline(uint32_t wait_ms);

// Initialises a condition variable whose timed waits take monotonic deadlines. 0, or the
// error of the failed call.
int cond_init_monotonic(pthread_cond_t *cond);
