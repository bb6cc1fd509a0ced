#include <gtest/gtest.h>

#include <thread>

#include "lib/thread.h"

namespace {

// The loop marker belongs to the thread that set it: threads started before or after it, and
// the thread that started the marked one, stay unmarked.
TEST(ThreadMarker, MarksOnlyTheCallingThread) {
    bool before = true;
    std::thread([&] { before = thread_is_loop(); }).join();
    bool marked = false;
    bool after_in_marked = false;
    std::thread([&] {
        marked = thread_is_loop();
        thread_mark_loop();
        after_in_marked = thread_is_loop();
    }).join();
    bool later = true;
    std::thread([&] { later = thread_is_loop(); }).join();
    EXPECT_FALSE(before);
    EXPECT_FALSE(marked);
    EXPECT_TRUE(after_in_marked);
    EXPECT_FALSE(later);
    EXPECT_FALSE(thread_is_loop());
}

} // namespace
