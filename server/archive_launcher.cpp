#include "server/archive_launcher.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "lib/files.h"
#include "lib/format.h"
#include "lib/log.h"
#include "server/config.h"
#include "server/master.h"
#include "server/proc.h"
#include "server/role.h"
#include "server/runtime.h"

// Whether a lock file found by the launcher belongs to a running archive process: 1 when
// another process holds its lock (or that cannot be told), 0 when nobody does, in which
// case it was left over and is removed.
static int archive_lock_held(const char *path) {
    int fd = open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;
        LOG_SYSERR_PATH("open", path);
        return 1;
    }
    int rc = sys_write_trylock(fd);
    if (rc == 0) {
        LOG_WARN("Stale archive lock removed.");
        if (unlink(path) != 0) {
            LOG_SYSERR_PATH("unlink", path);
            rc = 1;
        }
    }
    close(fd);
    return rc == 0 ? 0 : 1;
}

int archive_proc_spawn(const char *dir, struct runtime *rt, time_t now) {
    // The archiver not yet reaped may be between creating the lock file and locking it.
    if (rt->archiver.pid > 0) {
        LOG_INFO("Archive procedure already started.");
        return 0;
    }
    const std::string path = std::string(dir) + "/arch.run";
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (archive_lock_held(path.c_str()) != 0) {
            LOG_INFO("Archive procedure already started.");
            return 0;
        }
    } else if (errno != ENOENT) {
        LOG_ERROR("Unable to start archive procedure: %s", strerror(errno));
        return -1;
    }
    rt->archiver.entry = archive_proc_main;
    rt->archiver.started = now;
    rt->archiver.pid = 0;
    LOG_INFO("Spawning an archive process...");
    if (proc_spawn(&rt->archiver, rt, 0, nullptr) != 0) {
        LOG_ERROR("Archive procedure failed to start.");
        rt->archiver.pid = 0;
        return -1;
    }
    return 0;
}

static unsigned archive_linger_ms() {
    return test_setting_ms(ARCHIVE_LINGER_ENV, ARCHIVE_LINGER_MS);
}

int32_t archive_proc_main(void *arg) {
    auto *rt = static_cast<struct runtime *>(arg);
    close_start_fds();
    log_level.store(2);
    LOG_INFO("Initializing archive procedure...");
    // Held, not closed: the lock lasts as long as this process.
    int fd = open(ARCHIVE_LOCK_FILE, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                  0200);
    if (fd < 0) {
        if (errno != EEXIST)
            LOG_ERROR("Cannot create an archive lock file %s.", strerror(errno));
        return -1;
    }
    if (sys_write_trylock(fd) != 0) {
        LOG_ERROR("Cannot lock the archive lock file %s.", ARCHIVE_LOCK_FILE);
        close(fd);
        return -1;
    }
    LOG_INFO("Archive procedure initialized.");
    const archive_cfg *a = config.archive;
    role *db = role_find(&rt->roles, MODE_DATABASE);
    if (a == nullptr || db == nullptr || db->archive == nullptr ||
        db->archive(db, static_cast<uint64_t>(rt->archiver.started), a->retention,
                    a->policy == ARCHIVE_POLICY_PURGE) != 0)
        LOG_ERROR("Archive procedure failed.");
    log_close();
    const unsigned ms = archive_linger_ms();
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}

void archive_proc_unlock() {
    int fd = open(ARCHIVE_LOCK_FILE, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return;
    // The lock of an archive process that ended is free; one still held is another's.
    if (fd >= 0 && sys_write_trylock(fd) != 0) {
        close(fd);
        return;
    }
    if (unlink(ARCHIVE_LOCK_FILE) != 0)
        LOG_SYSERR_PATH("unlink", ARCHIVE_LOCK_FILE);
    if (fd >= 0)
        close(fd);
}
