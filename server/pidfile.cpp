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

int krv_write_pidfile(pid_t pid, const char *dir, const char *name, int lock) {
    std::string path = std::string(dir) + "/" + name;
    char text[16];
    int len = snprintf(text, sizeof text, "%d", static_cast<int>(pid));

    int fd = pidfile_open(path);
    if (fd < 0) {
        printf("\033[91mError2! %s: %s\033[0m\n", strerror(errno), path.c_str());
        return -1;
    }
    if (lock) {
        int held = sys_write_trylock(fd);
        if (held != 0) {
            printf(held < 0 ? "\033[91mCannot create a pid file.\033[0m\n"
                            : "\033[91mAnother Korvane instance already running.\033[0m\n");
            close(fd);
            return -1;
        }
    }
    // Only the lock holder may change the content: a refused second start leaves the
    // running master's pid in place.
    if (ftruncate(fd, 0) != 0) {
        LOG_SYSERR("ftruncate");
        close(fd);
        return -1;
    }
    if (io_write_all(fd, text, static_cast<size_t>(len) + 1) != 0) {
        LOG_SYSERR("write");
        close(fd);
        return -1;
    }
    return fd;
}
