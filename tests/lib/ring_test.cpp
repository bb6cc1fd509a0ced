#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "lib/log.h"
#include "lib/ring.h"
#include "support/test_support.h"

namespace {

// Items are the addresses of these values, so that pointers compare by identity.
std::vector<uint64_t> values(1000);

void *item(uint64_t i) {
    return &values.at(i);
}

TEST(Ring, HoldsExactlyTheItemsAskedForAndKeepsOneSlotEmpty) {
    ring r;
    ring_init(&r, 100);
    EXPECT_EQ(r.capacity, 101u);
    for (uint64_t i = 0; i < 100; i++)
        ASSERT_EQ(ring_push(&r, item(i)), 0) << i;
    EXPECT_EQ(ring_push(&r, item(100)), -1);
    EXPECT_EQ(r.count, 100u);
    EXPECT_EQ(r.items[r.tail], nullptr);
    for (uint64_t i = 0; i < 100; i++)
        ASSERT_EQ(ring_pop(&r), item(i)) << i;
    ring_free(&r);
}

TEST(Ring, PopOfAnEmptyRingChangesNothing) {
    ring r;
    ring_init(&r, 3);
    ASSERT_EQ(ring_push(&r, item(0)), 0);
    ASSERT_EQ(ring_pop(&r), item(0));
    const ring before = r;
    EXPECT_EQ(ring_pop(&r), nullptr);
    EXPECT_EQ(r.head, before.head);
    EXPECT_EQ(r.tail, before.tail);
    EXPECT_EQ(r.count, 0u);
    // The popped slot was cleared.
    for (uint64_t i = 0; i < r.capacity; i++)
        EXPECT_EQ(r.items[i], nullptr) << i;
    ring_free(&r);
}

TEST(Ring, NullItemIsRefused) {
    ring r;
    ring_init(&r, 2);
    EXPECT_EQ(ring_push(&r, nullptr), -1);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(r.head, r.tail);
    ring_free(&r);
}

// A ring driven by pushes and pops, then grown, against a deque doing the same.
struct GrowCase {
    const char *name;
    uint64_t n;      // ring_init size
    uint64_t pushes; // first pushes
    uint64_t pops;   // then pops
    uint64_t more;   // then pushes again (wrapping tail below head)
    uint64_t grow;   // then ring_grow by this
};

void PrintTo(const GrowCase &c, std::ostream *os) {
    *os << c.name;
}

class RingGrowTest : public testing::TestWithParam<GrowCase> {};

TEST_P(RingGrowTest, KeepsOrderAcrossGrowthAndWrapAround) {
    const GrowCase c = GetParam();
    ring r;
    ring_init(&r, c.n);
    std::deque<void *> model;
    uint64_t next = 0;
    auto push = [&](uint64_t k) {
        for (uint64_t i = 0; i < k; i++, next++) {
            ASSERT_EQ(ring_push(&r, item(next)), 0);
            model.push_back(item(next));
        }
    };
    auto pop = [&](uint64_t k) {
        for (uint64_t i = 0; i < k; i++) {
            ASSERT_EQ(ring_pop(&r), model.front());
            model.pop_front();
        }
    };
    push(c.pushes);
    pop(c.pops);
    push(c.more);
    ASSERT_EQ(ring_grow(&r, c.grow), 0);
    EXPECT_EQ(r.capacity, c.n + 1 + c.grow);
    EXPECT_EQ(r.head, 0u);
    EXPECT_EQ(r.tail, model.size());
    EXPECT_EQ(r.count, model.size());
    // The grown ring is full again exactly at its new size, and wraps on.
    push(r.capacity - 1 - model.size());
    EXPECT_EQ(ring_push(&r, item(next)), -1);
    pop(3);
    push(3);
    pop(model.size());
    EXPECT_EQ(ring_pop(&r), nullptr);
    ring_free(&r);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RingGrowTest,
    testing::Values(GrowCase{"Empty", 4, 0, 0, 0, 3}, GrowCase{"Straight", 4, 3, 0, 0, 3},
                    GrowCase{"FullStraight", 4, 4, 0, 0, 3}, GrowCase{"Wrapped", 4, 4, 3, 2, 3},
                    GrowCase{"FullWrapped", 4, 4, 3, 3, 3}, GrowCase{"EmptyAtEnd", 4, 4, 4, 0, 5},
                    GrowCase{"ByZero", 4, 4, 2, 2, 0}, GrowCase{"Large", 100, 100, 60, 60, 256}),
    [](const testing::TestParamInfo<GrowCase> &i) { return std::string(i.param.name); });

TEST(Ring, GrowthPastSixtyFourBitsIsRefusedAndLogged) {
    for (uint32_t level : {0u, 1u}) {
        RunResult res = run_forked([level] {
            log_level.store(level);
            ring r;
            ring_init(&r, 2);
            ring_push(&r, item(0));
            ring_push(&r, item(1));
            bool ok = ring_grow(&r, UINT64_MAX - 2) == -1 && r.capacity == 3 && r.count == 2 &&
                      ring_pop(&r) == item(0) && ring_pop(&r) == item(1);
            ring_free(&r);
            _exit(ok ? 0 : 1);
        });
        EXPECT_EQ(res.exit_code, 0) << level;
        if (level == 0)
            EXPECT_EQ(res.err, "");
        else
            EXPECT_EQ(res.err.substr(18), "ERROR  Queue cannot grow.\n");
    }
}

TEST(Ring, ImpossibleSizeStopsTheProcessAsOutOfMemory) {
    RunResult res = run_forked([] {
        ring r;
        ring_init(&r, UINT64_MAX);
    });
    EXPECT_EQ(res.signal, SIGABRT);
    EXPECT_TRUE(res.err.ends_with(": Out of memory! [8]")) << res.err;
}

} // namespace
