#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "lib/log.h"
#include "lib/mtp.h"
#include "lib/xalloc.h"
#include "support/test_support.h"

namespace {

// Pools are never destroyed by the system; a test that never started one gives its memory
// back so that leak checking stays meaningful.
void free_unstarted(mtp_pool *pool) {
    pthread_mutex_destroy(&pool->tasks.mtx);
    pthread_cond_destroy(&pool->tasks.cond);
    free(pool->tasks.items);
    free(pool->workers);
    free(pool);
}

// Polls `done` until it holds or about five seconds have passed.
template <typename Pred> bool wait_for(Pred done) {
    for (int i = 0; i < 5000; i++) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// A started pool paced for tests: a decision every 6 x 2 ms, waits of 10 ms unless given.
mtp_pool *fast_pool(uint8_t min, uint8_t max, uint16_t qsize, uint32_t wait_ms = 10) {
    mtp_pool *pool = mtp_create(min, max, qsize, "Test");
    pool->tick_ms = 2;
    pool->wait_ms = wait_ms;
    if (mtp_start(pool) != 0)
        abort();
    return pool;
}

unsigned live_slots(const mtp_pool *pool) {
    unsigned n = 0;
    for (unsigned i = 0; i < pool->max; i++)
        n += pool->workers[i].state != MTP_STOPPED;
    return n;
}

TEST(MtpCreate, AdjustsSizesAndNamesThePool) {
    struct Case {
        uint8_t min, max;
        uint16_t qsize;
        const char *name;
        uint8_t want_min, want_max;
        uint32_t want_capacity;
        const char *want_name;
    };
    const Case cases[] = {
        {0, 0, 0, nullptr, 1, 128, 1025, "Generic"},
        {1, 20, 100, "ManagerPool", 1, 20, 101, "ManagerPool"},
        {3, 200, 1, "x", 3, 128, 2, "x"},
        {128, 128, 65535, "0123456789012345678901234567890123456789", 128, 128, 65536,
         "0123456789012345678901234567890"},
    };
    for (const Case &c : cases) {
        mtp_pool *pool = mtp_create(c.min, c.max, c.qsize, c.name);
        ASSERT_NE(pool, nullptr);
        EXPECT_STREQ(pool->name, c.want_name);
        EXPECT_EQ(pool->min, c.want_min);
        EXPECT_EQ(pool->max, c.want_max);
        EXPECT_EQ(pool->tasks.capacity, c.want_capacity);
        EXPECT_EQ(pool->running, 1u);
        EXPECT_EQ(pool->cur, 0);
        EXPECT_EQ(pool->tasks.pending, 0u);
        EXPECT_EQ(pool->tasks.waiting, 0);
        for (unsigned i = 0; i < pool->max; i++) {
            EXPECT_EQ(pool->workers[i].state, MTP_STOPPED);
            EXPECT_EQ(pool->workers[i].pool, pool);
        }
        free_unstarted(pool);
    }
}

TEST(MtpCreate, RefusesMinAboveMaxWithAFatalLine) {
    struct Case {
        uint8_t min, max;
        const char *line;
    };
    const Case cases[] = {
        {5, 3, "FATAL  Invalid pool sizes: min. size=5 max. size=3\n"},
        {200, 0, "FATAL  Invalid pool sizes: min. size=200 max. size=128\n"},
        {129, 255, "FATAL  Invalid pool sizes: min. size=129 max. size=128\n"},
    };
    for (const Case &c : cases) {
        RunResult r = run_forked([&] {
            log_level.store(1);
            printf("%s", mtp_create(c.min, c.max, 10, "P") == nullptr ? "null" : "pool");
        });
        EXPECT_EQ(r.out, "null");
        ASSERT_GE(r.err.size(), 18u);
        EXPECT_EQ(r.err.substr(18), c.line);
    }
}

void count_call(void *arg) {
    ++*static_cast<std::atomic<int> *>(arg);
}

TEST(MtpSubmit, RingOfHundredRefusesTheHundredAndFirstTask) {
    RunResult r = run_forked([] {
        log_level.store(3);
        mtp_pool *pool = mtp_create(1, 1, 100, "Q");
        std::atomic<int> calls{0};
        int accepted = 0;
        for (int i = 0; i < 100; i++)
            accepted += mtp_submit(pool, count_call, &calls) == 0;
        int refused = mtp_submit(pool, count_call, &calls);
        printf("accepted=%d refused=%d pending=%u\n", accepted, refused, pool->tasks.pending);
        // Once started, the queued tasks run and the ring takes tasks again.
        mtp_start(pool);
        bool ran = wait_for([&] { return calls == 100; });
        printf("ran=%d again=%d\n", ran, mtp_submit(pool, count_call, &calls));
        ran = wait_for([&] { return calls == 101; });
        printf("ran=%d\n", ran);
    });
    EXPECT_EQ(r.out, "accepted=100 refused=-1 pending=100\nran=1 again=0\nran=1\n");
    EXPECT_EQ(r.err, "");
}

struct Job {
    int index;
    std::vector<std::atomic<int>> *runs;
};

void run_job(void *arg) {
    Job *job = static_cast<Job *>(arg);
    ++(*job->runs)[static_cast<size_t>(job->index)];
    free(job);
}

TEST(MtpWorkers, EveryTaskRunsExactlyOnceAndFreesItsArgument) {
    RunResult r = run_forked([] {
        const int n = 2000;
        std::vector<std::atomic<int>> runs(n);
        // A small ring, so that it wraps many times and the submitter meets a full ring.
        mtp_pool *pool = fast_pool(2, 4, 8);
        int refusals = 0;
        for (int i = 0; i < n; i++) {
            Job *job = static_cast<Job *>(krv_malloc(sizeof(Job)));
            *job = Job{i, &runs};
            while (mtp_submit(pool, run_job, job) != 0) {
                refusals++;
                std::this_thread::yield();
            }
        }
        // A task without a function is dropped; the one behind it still runs.
        mtp_submit(pool, nullptr, nullptr);
        std::atomic<int> last{0};
        while (mtp_submit(pool, count_call, &last) != 0)
            std::this_thread::yield();
        wait_for([&] {
            int done = last;
            for (auto &x : runs)
                done += x;
            return done == n + 1;
        });
        int once = 0;
        for (auto &x : runs)
            once += x == 1;
        printf("once=%d last=%d pending=%u refused=%s\n", once, last.load(), pool->tasks.pending,
               refusals > 0 ? "yes" : "no");
    });
    EXPECT_EQ(r.out, "once=2000 last=1 pending=0 refused=yes\n");
    EXPECT_EQ(r.signal, 0) << r.err;
}

// Holds every task on a gate until the test opens it.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> inside{0};
};

void wait_at_gate(void *arg) {
    Gate *g = static_cast<Gate *>(arg);
    ++g->inside;
    while (!g->open)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    --g->inside;
}

TEST(MtpManage, GrowsWhileTasksWaitAndShrinksWhileWorkersIdle) {
    RunResult r = run_forked([] {
        mtp_pool *pool = fast_pool(1, 4, 100);
        printf("start cur=%u live=%u\n", pool->cur.load(), live_slots(pool));
        Gate gate;
        for (int i = 0; i < 10; i++)
            mtp_submit(pool, wait_at_gate, &gate);
        bool grew = wait_for([&] { return gate.inside == 4; });
        printf("grew=%d cur=%u live=%u\n", grew, pool->cur.load(), live_slots(pool));
        gate.open = true;
        bool shrank = wait_for([&] { return pool->cur == 1 && live_slots(pool) == 1; });
        printf("shrank=%d pending=%u\n", shrank, pool->tasks.pending);
        // Never below min: a while later one worker is still there and serves.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::atomic<int> calls{0};
        mtp_submit(pool, count_call, &calls);
        bool served = wait_for([&] { return calls == 1; });
        printf("cur=%u served=%d\n", pool->cur.load(), served);
    });
    EXPECT_EQ(r.out, "start cur=1 live=1\ngrew=1 cur=4 live=4\nshrank=1 pending=0\n"
                     "cur=1 served=1\n");
}

TEST(MtpManage, WorkerThatLeftOnItsOwnIsJoinedAndReplaced) {
    RunResult r = run_forked([] {
        mtp_pool *pool = fast_pool(1, 1, 100);
        // The worker is told to leave behind the managing thread's back, as when its wait
        // fails: the only slot is then stopped while still counted.
        pool->workers[0].run = 0;
        bool gone = wait_for([&] { return pool->cur == 0; });
        printf("gone=%d\n", gone);
        // Waiting tasks make the rule start a worker in the freed slot.
        std::atomic<int> calls{0};
        for (int i = 0; i < 5; i++)
            mtp_submit(pool, count_call, &calls);
        bool served = wait_for([&] { return calls == 5; });
        printf("served=%d cur=%u live=%u\n", served, pool->cur.load(), live_slots(pool));
    });
    EXPECT_EQ(r.out, "gone=1\nserved=1 cur=1 live=1\n");
}

// A worker told to leave is woken and leaves at once, without the task that arrives at that
// moment; the call does not wait for it. Workers wait a minute here, so only the wake-up can
// make one leave in time.
TEST(MtpManage, StoppedWorkerLeavesAtOnceWithoutTakingATask) {
    RunResult r = run_forked([] {
        mtp_pool *pool = mtp_create(2, 2, 100, "Stop");
        pool->tick_ms = 60000; // no decision during the test
        pool->wait_ms = 60000;
        if (mtp_start(pool) != 0)
            abort();
        wait_for([&] {
            pthread_mutex_lock(&pool->tasks.mtx);
            const bool both = pool->tasks.waiting == 2;
            pthread_mutex_unlock(&pool->tasks.mtx);
            return both;
        });
        mtp_worker *leaving = &pool->workers[0];
        const auto before = std::chrono::steady_clock::now();
        stop_worker(leaving);
        const bool returned_at_once = std::chrono::steady_clock::now() - before <
                                      std::chrono::seconds(1);
        static pthread_t ran_on;
        static std::atomic<bool> ran{false};
        mtp_submit(
            pool,
            [](void *) {
                ran_on = pthread_self();
                ran = true;
            },
            nullptr);
        bool left = wait_for([&] { return leaving->state == MTP_STOPPED; });
        bool served = wait_for([] { return ran.load(); });
        printf("at_once=%d left=%d served=%d by_other=%d\n", returned_at_once, left, served,
               served && !pthread_equal(ran_on, leaving->thread));
        // Joined here as the managing thread would at its next decision, a minute away: the
        // child leaves no ended thread behind unjoined.
        if (left && pthread_join(leaving->thread, nullptr) == 0)
            leaving->joinable = false;
    });
    EXPECT_EQ(r.out, "at_once=1 left=1 served=1 by_other=1\n") << r.err;
}

// Shrinking never holds the managing thread: with waits of a minute, idle workers are let go
// within a few decisions while a long task arrives and runs, and a later burst is served.
TEST(MtpManage, PoolShrinksWhileATaskArrives) {
    RunResult r = run_forked([] {
        mtp_pool *pool = fast_pool(1, 4, 100, 60000);
        Gate first;
        for (int i = 0; i < 10; i++)
            mtp_submit(pool, wait_at_gate, &first);
        bool grew = wait_for([&] { return first.inside == 4; });
        first.open = true;
        wait_for([&] { return first.inside == 0; });
        Gate arriving;
        mtp_submit(pool, wait_at_gate, &arriving);
        bool shrank = wait_for([&] { return pool->cur == 1 && live_slots(pool) == 1; });
        bool running = arriving.inside == 1;
        arriving.open = true;
        std::atomic<int> calls{0};
        for (int i = 0; i < 20; i++)
            mtp_submit(pool, count_call, &calls);
        bool served = wait_for([&] { return calls == 20; });
        printf("grew=%d shrank=%d running=%d served=%d\n", grew, shrank, running, served);
    });
    EXPECT_EQ(r.out, "grew=1 shrank=1 running=1 served=1\n") << r.err;
}

// The rule fed one decision's worth of wake-ups: five readings, then a sixth that is only
// a trigger and must not count.
struct Decision {
    int readings[5]; // pending - waiting at each wake-up
    uint8_t cur, min, max;
    mtp_action want;
    uint8_t count;
};

struct Scenario {
    const char *what;
    std::vector<Decision> decisions;
};

mtp_plan feed(mtp_rule *rule, int reading, const Decision &d) {
    uint32_t pending = reading > 0 ? static_cast<uint32_t>(reading) : 0;
    uint32_t waiting = reading < 0 ? static_cast<uint32_t>(-reading) : 0;
    return mtp_rule_step(rule, pending, waiting, d.cur, d.min, d.max);
}

TEST(MtpRule, DecidesEverySixthWakeUpFromTheSumOfFiveSamples) {
    const int Q = 10, I = -1, N = 0; // ten queued with one busy worker; an idle worker
    const Scenario scenarios[] = {
        {"one busy worker, ten queued", {{{Q, Q, Q, Q, Q}, 1, 1, 20, MTP_GROW, 2}}},
        {"one slot left", {{{Q, Q, Q, Q, Q}, 19, 1, 20, MTP_GROW, 1}}},
        {"at max", {{{Q, Q, Q, Q, Q}, 20, 1, 20, MTP_GROW, 0}}},
        {"sum 5 grows", {{{1, 1, 1, 1, 1}, 1, 1, 4, MTP_GROW, 2}}},
        {"sum 4 keeps", {{{1, 1, 1, 1, N}, 1, 1, 4, MTP_KEEP, 0}}},
        {"sum -4 keeps", {{{I, I, I, I, N}, 4, 1, 4, MTP_KEEP, 0}}},
        {"mixed readings", {{{20, -5, -5, -5, -5}, 1, 1, 4, MTP_KEEP, 0}}},
        {"five idle workers, min 1",
         {{{-5, -5, -5, -5, -5}, 5, 1, 8, MTP_SHRINK, 2},
          {{-3, -3, -3, -3, -3}, 3, 1, 8, MTP_KEEP, 0},
          {{-3, -3, -3, -3, -3}, 3, 1, 8, MTP_SHRINK, 2},
          {{I, I, I, I, I}, 1, 1, 8, MTP_KEEP, 0},
          {{I, I, I, I, I}, 1, 1, 8, MTP_SHRINK, 0},
          {{I, I, I, I, I}, 1, 1, 8, MTP_KEEP, 0}}},
        {"one above min stops one", {{{-2, -2, -2, -2, -2}, 2, 1, 8, MTP_SHRINK, 1}}},
        {"a grow clears the skip",
         {{{I, I, I, I, I}, 4, 1, 8, MTP_SHRINK, 2},
          {{Q, Q, Q, Q, Q}, 2, 1, 8, MTP_GROW, 2},
          {{I, I, I, I, I}, 4, 1, 8, MTP_SHRINK, 2}}},
        {"a quiet sum keeps the skip",
         {{{I, I, I, I, I}, 4, 1, 8, MTP_SHRINK, 2},
          {{N, N, N, N, N}, 2, 1, 8, MTP_KEEP, 0},
          {{I, I, I, I, I}, 2, 1, 8, MTP_KEEP, 0},
          {{I, I, I, I, I}, 2, 1, 8, MTP_SHRINK, 1}}},
        {"a shrink at min still sets the skip",
         {{{I, I, I, I, I}, 1, 1, 8, MTP_SHRINK, 0},
          {{I, I, I, I, I}, 3, 1, 8, MTP_KEEP, 0},
          {{I, I, I, I, I}, 3, 1, 8, MTP_SHRINK, 2}}},
        {"cycles do not carry samples over",
         {{{Q, Q, Q, Q, Q}, 1, 1, 4, MTP_GROW, 2}, {{N, N, N, N, 4}, 3, 1, 4, MTP_KEEP, 0}}},
    };
    for (const Scenario &s : scenarios) {
        mtp_rule rule{};
        int step = 0;
        for (const Decision &d : s.decisions) {
            for (int reading : d.readings) {
                mtp_plan p = feed(&rule, reading, d);
                EXPECT_EQ(p.action, MTP_KEEP) << s.what << ", sampling before decision " << step;
            }
            // The trigger reading is far outside the threshold either way.
            mtp_plan p = feed(&rule, step % 2 ? 1000 : -1000, d);
            EXPECT_EQ(p.action, d.want) << s.what << ", decision " << step;
            EXPECT_EQ(p.count, d.count) << s.what << ", decision " << step;
            step++;
        }
    }
}

} // namespace
