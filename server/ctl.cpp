#include "server/ctl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "lib/crc32.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/thread.h"
#include "server/runtime.h"

namespace {

// A read takes at least this much, whatever the FIFO reports as its capacity.
constexpr size_t CTL_READ_MIN = 65536;

// Makes sure a FIFO stands at the channel's path: an existing one is kept, anything else
// there (a regular file would always read as ready, the reader would spin) is removed first.
// 0, or -1 with errno set.
int ctl_make_fifo() {
    struct stat st;
    if (lstat(CTL_FIFO_PATH, &st) == 0) {
        if (S_ISFIFO(st.st_mode))
            return 0;
        if (unlink(CTL_FIFO_PATH) != 0)
            return -1;
    } else if (errno != ENOENT) {
        return -1;
    }
    if (mkfifo(CTL_FIFO_PATH, 0600) != 0 && errno != EEXIST)
        return -1;
    return 0;
}

int ctl_open(int flags) {
    for (;;) {
        const int fd = open(CTL_FIFO_PATH, flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

bool same_fifo(int a, int b) {
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && S_ISFIFO(sa.st_mode) &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Opens the read end and the reader's own write end of the FIFO at the channel's path.
// 0, or -1 after the FATAL line (the FIFO is removed then).
int ctl_open_ends(ctl_server *srv) {
    fd_owner rd(ctl_open(O_RDONLY));
    if (!rd.valid()) {
        LOG_FATAL("Cannot open the command channel: %s", strerror(errno));
        unlink(CTL_FIFO_PATH);
        return -1;
    }
    // With a reader in place the write end opens at once.
    fd_owner wr(ctl_open(O_WRONLY));
    if (!wr.valid() || !same_fifo(rd.get(), wr.get())) {
        LOG_FATAL("Cannot open the command channel: %s",
                  wr.valid() ? "not the FIFO just opened" : strerror(errno));
        unlink(CTL_FIFO_PATH);
        return -1;
    }
    // Only the environment's owner writes commands: a FIFO kept from before loses any
    // other permission.
    if (fchmod(rd.get(), 0600) != 0)
        LOG_SYSERR_PATH("fchmod", CTL_FIFO_PATH);
    const int cap = fcntl(rd.get(), F_GETPIPE_SZ);
    srv->buf.resize(std::max(cap > 0 ? static_cast<size_t>(cap) : 0, CTL_READ_MIN));
    srv->fd = rd.release();
    srv->keep_fd = wr.release();
    return 0;
}

void *ctl_thread(void *arg) {
    ctl_server_main(static_cast<ctl_server *>(arg));
    return nullptr;
}

// One read of everything the FIFO holds, up to the buffer's size.
void ctl_read_once(ctl_server *srv) {
    ssize_t n;
    do {
        n = read(srv->fd, srv->buf.data(), srv->buf.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN)
            LOG_ERROR("Control server read error: %s", strerror(errno));
        return;
    }
    if (n > 0)
        ctl_handle_bytes(srv, srv->buf.data(), static_cast<size_t>(n));
}

} // namespace

int ctl_server_start(ctl_server *srv) {
    if (ctl_make_fifo() != 0) {
        LOG_FATAL("Cannot create a command channel: %s", strerror(errno));
        return -1;
    }
    if (ctl_open_ends(srv) != 0)
        return -1;
    pthread_t thread;
    const int rc = start_detached(&thread, ctl_thread, srv);
    if (rc != 0) {
        LOG_FATAL("Cannot start the command channel thread: %s", strerror(rc));
        close(srv->fd);
        close(srv->keep_fd);
        srv->fd = srv->keep_fd = -1;
        return -1;
    }
    return 0;
}

void ctl_server_main(ctl_server *srv) {
    pollfd p{srv->fd, POLLIN, 0};
    while (running.load() == 1) {
        const int rc = poll(&p, 1, srv->wait_ms);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (p.revents & (POLLERR | POLLNVAL)) != 0) {
            LOG_ERROR("Control server event error: %s",
                      rc < 0 ? strerror(errno) : "error condition on the FIFO");
            break;
        }
        if (rc == 0) {
            LOG_DEBUG("Control server timed out.");
            continue;
        }
        // The reader's own write end keeps POLLHUP away: readable data is all that wakes it.
        if ((p.revents & POLLIN) != 0)
            ctl_read_once(srv);
    }
    LOG_INFO("Control server stopped.");
}

void ctl_handle_bytes(ctl_server *srv, const uint8_t *data, size_t n) {
    size_t at = 0;
    while (at < n) {
        const size_t left = n - at;
        if (left < sizeof(ctl_command)) {
            LOG_WARN("Invalid command size.");
            return;
        }
        ctl_command head;
        memcpy(&head, data + at, sizeof head);
        // The record must end inside this read and within the largest record.
        if (head.length > std::min(left, CTL_RECORD_MAX) - sizeof head) {
            LOG_WARN("Invalid command data size.");
            return;
        }
        const uint8_t *body = data + at + sizeof head;
        at += sizeof head + head.length;
        if (head.crc != 0 && (head.length == 0 || crc32_calc(body, head.length) != head.crc)) {
            LOG_WARN("Command data corrupted!");
            continue;
        }
        if (head.command == CTL_CMD_REROUTE)
            ctl_handle_reroute(srv, head.length, body);
    }
}

void ctl_handle_reroute(ctl_server *srv, uint32_t length, const uint8_t *data) {
    if (srv->mode != MODE_MANAGER) {
        LOG_WARN("Agents reroute not supported!");
        return;
    }
    uint16_t k = 0;
    if (length >= CTL_REROUTE_HEAD)
        memcpy(&k, data + NURL_SIZE, sizeof k);
    if (length < CTL_REROUTE_HEAD || length != CTL_REROUTE_HEAD + 8u * k) {
        LOG_WARN("Invalid reroute command size!");
        return;
    }
    nurl address;
    memcpy(&address, data, NURL_SIZE);
    if (address.family != AF_INET && address.family != AF_INET6) {
        // Stored, it would read back as no Database at all.
        LOG_WARN("Invalid reroute address family: %u!", address.family);
        return;
    }
    // No ids is no change: the store takes a missing list as every agent.
    if (k == 0)
        return;
    std::vector<uint64_t> aids(k);
    memcpy(aids.data(), data + CTL_REROUTE_HEAD, 8u * k);
    const ctl_reroute_ops &ops = srv->reroute;
    if (ops.store(ops.ctx, &address, k, aids.data()) != 0) {
        LOG_ERROR("Agents reroute failure.");
        return;
    }
    for (uint64_t aid : aids)
        ops.tell(ops.ctx, aid, &address);
}

int ctl_send_command(uint16_t command, uint32_t length, const void *data) {
    if (length > CTL_RECORD_MAX - sizeof(ctl_command)) {
        printf("\033[91mCommand send error: %s\033[0m\n", strerror(EMSGSIZE));
        return -1;
    }
    // Whatever stands there that is no FIFO is never opened; no reader fails the open.
    struct stat st;
    if (lstat(CTL_FIFO_PATH, &st) == 0 && !S_ISFIFO(st.st_mode)) {
        printf("\033[91mError: %s is not a FIFO\033[0m\n", CTL_FIFO_PATH);
        return -1;
    }
    fd_owner fd(ctl_open(O_WRONLY));
    if (!fd.valid()) {
        printf("\033[91mError: %s\033[0m\n", strerror(errno));
        return -1;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        printf("\033[91mError: %s is not a FIFO\033[0m\n", CTL_FIFO_PATH);
        return -1;
    }
    ctl_command head{crc32_calc(data, length), command, length};
    iovec iov[2] = {{&head, sizeof head}, {const_cast<void *>(data), length}};
    const size_t total = sizeof head + length;
    ssize_t n;
    do {
        n = writev(fd.get(), iov, 2);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        printf("\033[91mCommand send error: %s\033[0m\n", strerror(errno));
        return -1;
    }
    // A FIFO takes a write of this size whole or not at all.
    return static_cast<size_t>(n) == total ? 0 : -1;
}

int ctl_send_reroute(uint64_t count, const agent_entry *entries, const nurl *address) {
    if (count > CTL_REROUTE_MAX_AGENTS) {
        printf("\033[91mToo many agents!\033[0m\n");
        return -1;
    }
    std::vector<uint8_t> data(CTL_REROUTE_HEAD + 8 * count);
    memcpy(data.data(), address, NURL_SIZE);
    const uint16_t k = static_cast<uint16_t>(count);
    memcpy(data.data() + NURL_SIZE, &k, sizeof k);
    for (uint64_t i = 0; i < count; i++)
        memcpy(data.data() + CTL_REROUTE_HEAD + 8 * i, &entries[i].id, 8);
    if (ctl_send_command(CTL_CMD_REROUTE, static_cast<uint32_t>(data.size()), data.data()) != 0) {
        printf("\033[91mUnable to reroute agents!\033[0m\n");
        return -1;
    }
    return 0;
}
