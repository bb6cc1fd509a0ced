// A named, growable, blocking first-in-first-out queue of pointers for any number of
// producer and consumer threads.
//
// Pushes never block: a full queue grows by QUEUE_GROW_STEP slots. Consumers wait with an
// absolute deadline on the monotonic clock, so they come back regularly even when nothing
// arrives (whatever happens to the wall clock) and can look at their run flag. The queue does not
// own its items; whoever pops an item owns it.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "lib/ring.h"

constexpr uint64_t QUEUE_GROW_STEP = 256;
// How long queue_pop_timed waits for an item.
constexpr uint32_t QUEUE_WAIT_MS = 2000;

struct queue {
    ring r;
    pthread_mutex_t l; // guards r
    pthread_cond_t c;  // broadcast on every push
    char *name;        // owned copy, for log lines only
};

// A queue that holds n items before its first growth; returns 0.
int queue_init(queue *q, uint64_t n, const char *name);
// Appends item, growing the queue when it is full; 0. -1 only for a NULL item (which a pop
// could not tell from "nothing") or when the queue cannot grow any further.
int queue_push(queue *q, void *item);
// The oldest item, or NULL when none arrived within QUEUE_WAIT_MS.
void *queue_pop_timed(queue *q);
// The same with a wait of wait_ms milliseconds.
void *queue_pop_wait(queue *q, uint32_t wait_ms);
// Releases the queue's own resources; items still queued are left alone.
void queue_free(queue *q);
