#include "lib/files.h"

#include <cerrno>
#include <sys/file.h>

#include "lib/log.h"

int sys_write_trylock(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK)
            return 1;
        LOG_SYSERR("flock");
        return -1;
    }
}
