// IO loop threads carry the loop marker, which the Manager storage's debug check reads.
#include <gtest/gtest.h>

#include <atomic>

#include "lib/thread.h"
#include "server/loop_harness.h"

namespace {

TEST(IoLoopThread, IsMarkedAsALoopThread) {
    RunResult r = in_child([] {
        static std::atomic<int> on_loop{-1};
        loop *l = iol_create(
            PT_DB_UI, nullptr, [](iol_peer *) {}, [](auth_request *) {},
            [](peer_ctx *, const uint8_t *, uint64_t) {}, nullptr);
        ASSERT_NE(l, nullptr);
        ASSERT_EQ(iol_start(l, nullptr, [](void *) { on_loop.store(thread_is_loop() ? 1 : 0); },
                            nullptr),
                  0);
        EXPECT_TRUE(eventually([] { return on_loop.load() != -1; }));
        EXPECT_EQ(on_loop.load(), 1);
        EXPECT_FALSE(thread_is_loop());
    });
    EXPECT_CHILD_OK(r);
}

} // namespace
