#include "lib/queue.h"

#include <cerrno>
#include <cstdlib>

#include "lib/clock.h"
#include "lib/log.h"
#include "lib/xalloc.h"

int queue_init(queue *q, uint64_t n, const char *name) {
    ring_init(&q->r, n);
    q->name = krv_strdup(name);
    pthread_mutex_init(&q->l, nullptr);
    cond_init_monotonic(&q->c);
    return 0;
}

int queue_push(queue *q, void *item) {
    if (item == nullptr) {
        LOG_ERROR("Queue [%s]: NULL item refused.", q->name);
        return -1;
    }
    int rc = 0;
    KRV_LOCKCALL(pthread_mutex_lock(&q->l));
    if (ring_push(&q->r, item) != 0) {
        rc = ring_grow(&q->r, QUEUE_GROW_STEP);
        if (rc == 0) {
            ring_push(&q->r, item);
            LOG_DEBUG("Queue [%s] enlarged to %lu", q->name, q->r.capacity);
        }
    }
    pthread_cond_broadcast(&q->c);
    KRV_LOCKCALL(pthread_mutex_unlock(&q->l));
    return rc;
}

void *queue_pop_wait(queue *q, uint32_t wait_ms) {
    timespec deadline = monotonic_deadline(wait_ms);
    KRV_LOCKCALL(pthread_mutex_lock(&q->l));
    void *item = ring_pop(&q->r);
    while (item == nullptr) {
        int rc = pthread_cond_timedwait(&q->c, &q->l, &deadline);
        // Only a plain wake-up looks again; a passed deadline (or a failed wait, which would
        // fail again at once) ends the pop empty-handed.
        if (rc != 0) {
            if (rc != ETIMEDOUT) {
                errno = rc;
                LOG_SYSERR("pthread_cond_timedwait");
            }
            break;
        }
        item = ring_pop(&q->r);
    }
    KRV_LOCKCALL(pthread_mutex_unlock(&q->l));
    return item;
}

void *queue_pop_timed(queue *q) {
    return queue_pop_wait(q, QUEUE_WAIT_MS);
}

void queue_free(queue *q) {
    pthread_cond_destroy(&q->c);
    pthread_mutex_destroy(&q->l);
    free(q->name);
    q->name = nullptr;
    ring_free(&q->r);
}
