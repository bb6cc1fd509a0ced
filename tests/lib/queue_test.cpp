#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "lib/log.h"
#include "lib/queue.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Items are the addresses of these values.
std::vector<uint64_t> values(2000);

void *item(uint64_t i) {
    return &values.at(i);
}

class QueueTest : public testing::Test {
protected:
    void SetUp() override { queue_init(&q, 4, "T-1"); }
    void TearDown() override { queue_free(&q); }
    queue q;
};

TEST(QueueGrowth, GrowsBy256AndLogsTheNewSlotCountAtDebugLevel) {
    for (uint32_t level : {1u, 2u}) {
        RunResult res = run_forked([level] {
            log_level.store(level);
            queue q;
            queue_init(&q, 512, "CQ-0");
            for (uint64_t i = 0; i < 513; i++)
                if (queue_push(&q, item(i)) != 0)
                    _exit(2);
            if (q.r.capacity != 769)
                _exit(3);
            for (uint64_t i = 0; i < 513; i++)
                if (queue_pop_wait(&q, 0) != item(i))
                    _exit(4);
            queue_free(&q);
        });
        EXPECT_EQ(res.exit_code, 0) << level;
        if (level == 1)
            EXPECT_EQ(res.err, "");
        else
            EXPECT_EQ(res.err.substr(18), "DEBUG  Queue [CQ-0] enlarged to 769\n");
    }
}

TEST_F(QueueTest, GrowsAgainAndAgainWithoutLosingOrder) {
    for (uint64_t i = 0; i < 600; i++)
        ASSERT_EQ(queue_push(&q, item(i)), 0);
    EXPECT_EQ(q.r.capacity, 5u + 3 * 256);
    for (uint64_t i = 0; i < 600; i++)
        ASSERT_EQ(queue_pop_wait(&q, 0), item(i));
    EXPECT_EQ(queue_pop_wait(&q, 0), nullptr);
}

TEST_F(QueueTest, NullItemIsRefusedWithAnErrorLine) {
    RunResult res = run_forked([this] {
        log_level.store(1);
        _exit(queue_push(&q, nullptr) == -1 && q.r.count == 0 ? 0 : 1);
    });
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.err.substr(18), "ERROR  Queue [T-1]: NULL item refused.\n");
}

TEST_F(QueueTest, PopReturnsAWaitingItemAtOnce) {
    ASSERT_EQ(queue_push(&q, item(7)), 0);
    auto start = Clock::now();
    EXPECT_EQ(queue_pop_timed(&q), item(7));
    EXPECT_LT(elapsed_ms(start), 1000);
}

TEST_F(QueueTest, PopOfAnEmptyQueueGivesUpAtTheDeadline) {
    auto start = Clock::now();
    EXPECT_EQ(queue_pop_wait(&q, 80), nullptr);
    long took = elapsed_ms(start);
    EXPECT_GE(took, 70);
    EXPECT_LT(took, 1500);
}

TEST_F(QueueTest, PushFromAnotherThreadWakesAWaitingPop) {
    std::thread producer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        queue_push(&q, item(3));
    });
    auto start = Clock::now();
    void *got = queue_pop_wait(&q, 10000);
    long took = elapsed_ms(start);
    producer.join();
    EXPECT_EQ(got, item(3));
    EXPECT_LT(took, 5000);
}

// One consumer drains several producers through a small queue that must grow under load;
// every item arrives once and each producer's items arrive in the order it pushed them.
TEST_F(QueueTest, ManyProducersOneConsumerLoseNothingAndKeepEachOrder) {
    constexpr uint32_t kProducers = 4;
    constexpr uint32_t kEach = 20000;
    struct tagged {
        uint32_t producer;
        uint32_t seq;
    };
    std::vector<tagged> items(kProducers * kEach);
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; p++) {
        producers.emplace_back([&, p] {
            for (uint32_t s = 0; s < kEach; s++) {
                tagged *t = &items[p * kEach + s];
                *t = tagged{p, s};
                queue_push(&q, t);
            }
        });
    }
    // Failures are counted, not asserted, so that the producers are always joined.
    std::vector<uint32_t> next(kProducers, 0);
    uint32_t received = 0;
    uint32_t out_of_order = 0;
    bool stalled = false;
    while (received < kProducers * kEach) {
        auto *t = static_cast<tagged *>(queue_pop_wait(&q, 2000));
        if (t == nullptr) {
            stalled = true;
            break;
        }
        if (t->seq != next[t->producer])
            out_of_order++;
        next[t->producer] = t->seq + 1;
        received++;
    }
    for (auto &t : producers)
        t.join();
    EXPECT_FALSE(stalled) << "after " << received;
    EXPECT_EQ(out_of_order, 0u);
    EXPECT_EQ(queue_pop_wait(&q, 0), nullptr);
    for (uint32_t p = 0; p < kProducers; p++)
        EXPECT_EQ(next[p], kEach);
}

} // namespace
