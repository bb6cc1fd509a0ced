// A read-write lock held for the life of a scope.
#pragma once

#include <pthread.h>

#include "lib/log.h"

// Takes `lock` for reading or, with `write`, for writing, and releases it when the guard
// goes. A failed lock or unlock call is logged and the code carries on, as everywhere else.
class rwlock_guard {
public:
    rwlock_guard(pthread_rwlock_t *lock, bool write) : lock_(lock) {
        if (write)
            KRV_LOCKCALL(pthread_rwlock_wrlock(lock_));
        else
            KRV_LOCKCALL(pthread_rwlock_rdlock(lock_));
    }
    ~rwlock_guard() { KRV_LOCKCALL(pthread_rwlock_unlock(lock_)); }
    rwlock_guard(const rwlock_guard &) = delete;
    rwlock_guard &operator=(const rwlock_guard &) = delete;

private:
    pthread_rwlock_t *lock_;
};
