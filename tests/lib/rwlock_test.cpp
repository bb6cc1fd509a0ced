#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>

#include "lib/rwlock.h"
#include "log_capture.h"

namespace {

// A failed lock call is logged with the lock expression as written where the guard stands and
// that line, and the code goes on as if it had the lock; a guard leaves the lock free.
TEST(RwlockGuard, FailedLockNamesTheExpressionAndLine) {
    const Logged l = run_logged([] {
        pthread_rwlock_t guard = PTHREAD_RWLOCK_INITIALIZER;
        pthread_rwlock_wrlock(&guard);
        {
            // Taking it again for writing in the same thread is refused (EDEADLK).
            const int line = __LINE__ + 1;
            KRV_RWLOCK_GUARD(w, &guard, true);
            printf("%d\n", line);
        }
        {
            KRV_RWLOCK_GUARD(r, &guard, false);
        }
        printf("%d\n", pthread_rwlock_trywrlock(&guard));
    });
    const size_t nl = l.out.find('\n');
    ASSERT_NE(nl, std::string::npos) << l.out;
    const std::string line = l.out.substr(0, nl);
    EXPECT_EQ(l.lines, "ERROR  pthread_rwlock_wrlock(&guard) : " + std::string(strerror(EDEADLK)) +
                           ". [" + line + "]\n")
        << l.lines;
    EXPECT_EQ(l.out.substr(nl + 1), "0\n");
}

} // namespace
