// A read-write lock held for the life of a scope.
#pragma once

#include <cerrno>
#include <cstring>
#include <pthread.h>

#include "lib/log.h"

// Takes `lock` for reading or, with `write`, for writing, and releases it when the guard
// goes. A failed lock or unlock call is logged as KRV_LOCKCALL logs it: the call with the
// lock expression `text` as written at the guard's place, and that place's `line`; the
// code carries on. KRV_RWLOCK_GUARD writes both.
class rwlock_guard {
public:
    rwlock_guard(pthread_rwlock_t *lock, bool write, const char *text, int line)
        : lock_(lock), text_(text), line_(line) {
        check(write ? pthread_rwlock_wrlock(lock_) : pthread_rwlock_rdlock(lock_),
              write ? "wrlock" : "rdlock");
    }
    ~rwlock_guard() { check(pthread_rwlock_unlock(lock_), "unlock"); }
    rwlock_guard(const rwlock_guard &) = delete;
    rwlock_guard &operator=(const rwlock_guard &) = delete;

private:
    void check(int rc, const char *call) const {
        if (rc != 0)
            LOG_ERROR("pthread_rwlock_%s(%s) : %s. [%d]", call, text_, strerror(rc), line_);
    }

    pthread_rwlock_t *lock_;
    const char *text_;
    int line_;
};

// A guard named `name` over the lock expression `lock` (a pthread_rwlock_t pointer).
#define KRV_RWLOCK_GUARD(name, lock, write) rwlock_guard name((lock), (write), #lock, __LINE__)
