#include "lib/mtp.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "lib/clock.h"
#include "lib/log.h"
#include "lib/xalloc.h"

// A failed pthread call (which returns its error code instead of setting errno), in the
// system-call failure form, attributed to `func`.
#define MTP_CALLERR(func, call, rc) LOG_ERROR("[%s:%d] %s %s", func, __LINE__, call, strerror(rc))

mtp_pool *mtp_create(uint8_t min, uint8_t max, uint16_t qsize, const char *name) {
    if (min == 0)
        min = 1;
    if (max == 0 || max > 128)
        max = 128;
    uint32_t size = qsize == 0 ? 1024 : qsize;
    if (min > max) {
        LOG_FATAL("Invalid pool sizes: min. size=%u max. size=%u", min, max);
        return nullptr;
    }
    mtp_pool *pool = new (krv_calloc(1, sizeof(mtp_pool))) mtp_pool{};
    snprintf(pool->name, sizeof pool->name, "%s", name ? name : "Generic");
    pool->tasks.items = static_cast<mtp_task *>(krv_calloc(size + 1, sizeof(mtp_task)));
    pool->tasks.capacity = size + 1;
    pthread_mutex_init(&pool->tasks.mtx, nullptr);
    cond_init_monotonic(&pool->tasks.cond);
    pool->running = 1;
    pool->max = max;
    pool->min = min;
    pool->workers = static_cast<mtp_worker *>(krv_calloc(max, sizeof(mtp_worker)));
    for (unsigned i = 0; i < max; i++) {
        mtp_worker *w = new (&pool->workers[i]) mtp_worker{};
        w->pool = pool;
        w->tasks = &pool->tasks;
        w->state = MTP_STOPPED;
    }
    pool->tick_ms = 1000;
    pool->wait_ms = 2000;
    return pool;
}

// Creates a joinable thread. A failure to prepare the attributes is logged as made by
// `func` and the thread is then created with the defaults. 0 or pthread_create's code.
static int mtp_thread_create(pthread_t *thread, void *(*body)(void *), void *arg,
                             const char *func) {
    pthread_attr_t attr;
    pthread_attr_t *use = nullptr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        MTP_CALLERR(func, "pthread_attr_init", rc);
    } else {
        use = &attr;
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
        if (rc != 0)
            MTP_CALLERR(func, "pthread_attr_setdetachstate", rc);
    }
    rc = pthread_create(thread, use, body, arg);
    if (use != nullptr)
        pthread_attr_destroy(&attr);
    return rc;
}

int start_worker(mtp_worker *slot) {
    slot->run = 1;
    // Waiting from now on, so that the managing thread never takes the slot for one whose
    // worker has left while the new thread is still starting.
    slot->state = MTP_WAITING;
    int rc = mtp_thread_create(&slot->thread, worker_main, slot, __func__);
    if (rc != 0) {
        slot->state = MTP_STOPPED;
        LOG_ERROR("Cannot create a pool worker: %s", strerror(rc));
        return -1;
    }
    slot->joinable = true;
    return 0;
}

// Clears the run flag and wakes the worker; called with the tasks' mutex held, so that a
// worker between its look at the flag and its wait cannot miss the wake-up.
static void mtp_tell_to_leave(mtp_worker *slot) {
    slot->retiring = true;
    slot->run = 0;
    pthread_cond_broadcast(&slot->tasks->cond);
}

void stop_worker(mtp_worker *slot) {
    KRV_LOCKCALL(pthread_mutex_lock(&slot->tasks->mtx));
    mtp_tell_to_leave(slot);
    KRV_LOCKCALL(pthread_mutex_unlock(&slot->tasks->mtx));
}

// Joins a worker that has stopped; its slot can then take a new worker.
static void join_worker(mtp_worker *slot) {
    int rc = pthread_join(slot->thread, nullptr);
    slot->joinable = false;
    slot->retiring = false;
    if (rc != 0)
        MTP_CALLERR("stop_worker", "pthread_join", rc);
}

// The workers start before the managing thread, so that nothing decides on the counts
// while they are still being set up.
int mtp_start(mtp_pool *pool) {
    for (unsigned i = 0; i < pool->min; i++) {
        pool->cur++;
        if (start_worker(&pool->workers[i]) != 0) {
            pool->cur--;
            LOG_FATAL("Unable to start a new worker.");
            return -1;
        }
    }
    int rc = mtp_thread_create(&pool->mthread, mtp_manage, pool, __func__);
    if (rc != 0) {
        LOG_ERROR("Cannot create a pool managing thread: %s", strerror(rc));
        return -1;
    }
    return 0;
}

int mtp_submit(mtp_pool *pool, void (*fn)(void *), void *arg) {
    mtp_tasks *t = &pool->tasks;
    int rc = -1;
    KRV_LOCKCALL(pthread_mutex_lock(&pool->tasks.mtx));
    uint32_t next = t->tail + 1 == t->capacity ? 0 : t->tail + 1;
    if (next != t->head) {
        t->items[t->tail] = mtp_task{fn, arg, 0};
        t->tail = next;
        t->count++;
        t->pending++;
        pthread_cond_broadcast(&t->cond);
        rc = 0;
    }
    KRV_LOCKCALL(pthread_mutex_unlock(&pool->tasks.mtx));
    return rc;
}

// Waits until a task is pending and takes the oldest. 1 with *task filled; 0 when the
// ring turned out empty; -1 when the worker is to end (its run flag is cleared, or the
// wait failed). A worker told to leave takes no task, even one that is pending: it is no
// longer counted, and whatever it took would hold up the pool's bookkeeping of it.
static int worker_take(mtp_worker *slot, mtp_task *task) {
    mtp_tasks *t = slot->tasks;
    KRV_LOCKCALL(pthread_mutex_lock(&t->mtx));
    t->waiting++;
    int rc = 0;
    while (rc == 0) {
        if (slot->run == 0) {
            rc = -1;
            break;
        }
        if (t->pending != 0)
            break;
        timespec deadline = monotonic_deadline(slot->pool->wait_ms);
        rc = pthread_cond_timedwait(&t->cond, &t->mtx, &deadline);
        if (rc == ETIMEDOUT)
            rc = 0;
    }
    if (rc != 0) {
        t->waiting--;
        KRV_LOCKCALL(pthread_mutex_unlock(&t->mtx));
        if (rc > 0)
            MTP_CALLERR("worker_main", "pthread_cond_timedwait", rc);
        return -1;
    }
    int got = t->head != t->tail;
    if (got) {
        *task = t->items[t->head];
        t->items[t->head] = mtp_task{};
        t->head = t->head + 1 == t->capacity ? 0 : t->head + 1;
        t->count--;
        t->pending--;
        // Running from the take on, under the mutex: the managing thread, which looks at the
        // state under it too, never tells a worker that holds a task to leave.
        slot->state = MTP_RUNNING;
    }
    t->waiting--;
    pthread_cond_broadcast(&t->cond);
    KRV_LOCKCALL(pthread_mutex_unlock(&t->mtx));
    return got;
}

void *worker_main(void *arg) {
    mtp_worker *slot = static_cast<mtp_worker *>(arg);
    while (slot->run) {
        slot->state = MTP_WAITING;
        mtp_task task{};
        int got = worker_take(slot, &task);
        if (got < 0)
            break;
        if (got == 0 || task.fn == nullptr)
            continue;
        task.fn(task.arg);
    }
    slot->state = MTP_STOPPED;
    return nullptr;
}

mtp_plan mtp_rule_step(mtp_rule *rule, uint32_t pending, uint32_t waiting, uint8_t cur, uint8_t min,
                       uint8_t max) {
    if (rule->wakeups < 5) {
        rule->samples[rule->wakeups++] = static_cast<int64_t>(pending) - waiting;
        return {MTP_KEEP, 0};
    }
    rule->wakeups = 0;
    int64_t sum = 0;
    for (int64_t s : rule->samples)
        sum += s;
    if (sum >= 5) {
        rule->skip = 0;
        return {MTP_GROW, static_cast<uint8_t>(cur < max ? std::min(2, max - cur) : 0)};
    }
    if (sum <= -5) {
        if (rule->skip) {
            rule->skip = 0;
            return {MTP_KEEP, 0};
        }
        rule->skip = 1;
        return {MTP_SHRINK, static_cast<uint8_t>(cur > min ? std::min(2, cur - min) : 0)};
    }
    return {MTP_KEEP, 0};
}

static void mtp_sleep_ms(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Joins the workers that have stopped, so that their slots can be used again: those told to
// leave (counted out already) and those whose wait failed (counted out here).
static void mtp_reap(mtp_pool *pool) {
    for (unsigned i = 0; i < pool->max; i++) {
        mtp_worker *w = &pool->workers[i];
        if (w->joinable && w->state == MTP_STOPPED) {
            const bool told = w->retiring;
            join_worker(w);
            if (!told)
                pool->cur--;
        }
    }
}

static void mtp_grow(mtp_pool *pool, unsigned count) {
    unsigned started = 0;
    for (unsigned i = 0; i < pool->max && started < count; i++) {
        mtp_worker *w = &pool->workers[i];
        if (w->joinable || w->state != MTP_STOPPED)
            continue;
        // Counted before it starts: a worker may take tasks at once, and whoever sees the
        // tasks served must see the worker counted.
        pool->cur++;
        if (start_worker(w) != 0) {
            pool->cur--;
            LOG_ERROR("Unable to start a new worker.");
            return;
        }
        started++;
    }
}

// Tells up to `count` waiting workers to leave, without waiting for them. Each is looked at
// under the tasks' mutex, so one that has just taken a task is left alone.
static void mtp_shrink(mtp_pool *pool, unsigned count) {
    unsigned stopped = 0;
    KRV_LOCKCALL(pthread_mutex_lock(&pool->tasks.mtx));
    for (unsigned i = 0; i < pool->max && stopped < count; i++) {
        mtp_worker *w = &pool->workers[i];
        if (w->state != MTP_WAITING || w->run == 0)
            continue;
        mtp_tell_to_leave(w);
        pool->cur--;
        stopped++;
    }
    KRV_LOCKCALL(pthread_mutex_unlock(&pool->tasks.mtx));
}

void *mtp_manage(void *arg) {
    mtp_pool *pool = static_cast<mtp_pool *>(arg);
    mtp_rule rule{};
    while (pool->running == 1) {
        mtp_sleep_ms(pool->tick_ms);
        mtp_reap(pool);
        KRV_LOCKCALL(pthread_mutex_lock(&pool->tasks.mtx));
        uint32_t pending = pool->tasks.pending;
        uint32_t waiting = pool->tasks.waiting;
        KRV_LOCKCALL(pthread_mutex_unlock(&pool->tasks.mtx));
        mtp_plan plan = mtp_rule_step(&rule, pending, waiting, pool->cur, pool->min, pool->max);
        if (plan.action == MTP_GROW)
            mtp_grow(pool, plan.count);
        else if (plan.action == MTP_SHRINK)
            mtp_shrink(pool, plan.count);
    }
    return nullptr;
}
