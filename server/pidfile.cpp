#include "server/pidfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "lib/files.h"
#include "lib/io.h"
#include "lib/log.h"

// Opens (creating, never truncating) dir/name for writing; an interrupted open is repeated.
static int pidfile_open(const std::string &path) {
    for (;;) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

// A failed call logged under the name of the operation callers know.
static void pidfile_syserr(const char *call, int line) {
    const int e = errno;
    LOG_ERROR("[krv_write_pidfile:%d] %s %s", line, call, strerror(e));
}

// The pid file opened and, with `lock`, locked and written: KRV_PIDFILE_* as
// krv_take_pidfile.
static int pidfile_take(pid_t pid, const char *dir, const char *name, int lock, int *out) {
    std::string path = std::string(dir) + "/" + name;
    char text[16];
    int len = snprintf(text, sizeof text, "%d", static_cast<int>(pid));

    int fd = pidfile_open(path);
    if (fd < 0) {
        printf("\033[91mError2! %s: %s\033[0m\n", strerror(errno), path.c_str());
        return KRV_PIDFILE_FAILED;
    }
    if (lock) {
        int held = sys_write_trylock(fd);
        if (held != 0) {
            printf(held < 0 ? "\033[91mCannot create a pid file.\033[0m\n"
                            : "\033[91mAnother Korvane instance already running.\033[0m\n");
            close(fd);
            return held < 0 ? KRV_PIDFILE_FAILED : KRV_PIDFILE_HELD;
        }
    }
    // Only the lock holder may change the content: a refused second start leaves the
    // running master's pid in place.
    if (ftruncate(fd, 0) != 0) {
        pidfile_syserr("ftruncate", __LINE__);
        close(fd);
        return KRV_PIDFILE_FAILED;
    }
    if (io_write_all(fd, text, static_cast<size_t>(len) + 1) != 0) {
        pidfile_syserr("write", __LINE__);
        close(fd);
        return KRV_PIDFILE_FAILED;
    }
    *out = fd;
    return KRV_PIDFILE_TAKEN;
}

int krv_write_pidfile(pid_t pid, const char *dir, const char *name, int lock) {
    int fd = -1;
    return pidfile_take(pid, dir, name, lock, &fd) == KRV_PIDFILE_TAKEN ? fd : -1;
}

int krv_take_pidfile(pid_t pid, const char *dir, const char *name, int *fd) {
    return pidfile_take(pid, dir, name, 1, fd);
}

void krv_release_pidfile(int fd, const char *dir, const char *name) {
    const std::string path = std::string(dir) + "/" + name;
    if (unlink(path.c_str()) != 0)
        LOG_SYSERR_PATH("unlink", path.c_str());
    close(fd);
}
