#include "server/sock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/uio.h>
#include <unistd.h>

#include "lib/clock.h"
#include "lib/fd.h"
#include "lib/netaddr.h"
#include "lib/log.h"
#include "lib/xalloc.h"
#include "server/msg.h"

// A send buffer larger than this is cut back to it once its frame has left.
static constexpr uint64_t SOCK_SEND_KEEP = 256 * 1024;

// Taken and incremented for every record initialised, by any thread.
static std::atomic<uint16_t> sock_cid_counter{0};

static uint64_t sock_next_cid() {
    uint64_t n = sock_cid_counter.fetch_add(1, std::memory_order_relaxed);
    return n << 32 | (wall_clock_ms() & 0xFFFFFFFFu);
}

// Peers are reached over IPv4, IPv6 or a local socket.
static bool sock_family_supported(int family) {
    return family == AF_INET || family == AF_INET6 || family == AF_UNIX;
}

// Frames already batch messages, so Nagle's delay would only hold back a flushed frame.
static void sock_set_nodelay(int fd, int family) {
    if (family != AF_INET && family != AF_INET6)
        return;
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        LOG_SYSERR("setsockopt");
}

static void sock_clear(sock *s) {
    *s = sock{};
    s->fd = -1;
}

sock *sock_init(sock *out, int fd, const sockaddr *addr, uint64_t split, uint8_t *block,
                uint64_t total) {
    sock_clear(out);
    out->cid = sock_next_cid();
    out->fd = fd;
    out->addr = netaddr_from_sockaddr(addr);
    out->sbuf = static_cast<uint8_t *>(krv_malloc(FRAME_TRAILER_LEN));
    out->scap = FRAME_TRAILER_LEN;
    frame_rx_init(&out->rx, nullptr, 0, true);
    split = std::min(split, total);
    out->rarea = block;
    out->rsize = split;
    out->zarea = block + split;
    out->zsize = total - split;
    sock_set_nodelay(fd, addr->sa_family);
    return out;
}

sock *sock_connect(sock *out, uint64_t split, uint8_t *block, uint64_t total,
                   const sockaddr_storage *addr) {
    sock_clear(out);
    const auto *sa = reinterpret_cast<const sockaddr *>(addr);
    int fd = socket(addr->ss_family, SOCK_STREAM, 0);
    if (fd < 0) {
        LOG_SYSERR("socket");
        return out;
    }
    if (connect(fd, sa, static_cast<socklen_t>(sockaddr_size(addr->ss_family))) != 0) {
        LOG_SYSERR("connect");
        close(fd);
        return out;
    }
    if (fd_set_nonblocking(fd) != 0) {
        close(fd);
        return out;
    }
    return sock_init(out, fd, sa, split, block, total);
}

int sock_close(sock *s) {
    if (s->fd >= 0)
        close(s->fd);
    free(s->sbuf);
    frame_rx_free(&s->rx);
    sock_clear(s);
    return 0;
}

static std::span<uint8_t> sock_zarea(const sock *s) {
    return {s->zarea, static_cast<size_t>(s->zsize)};
}

// Closes the gathered body into a frame; it is then in flight until every byte has left.
static void sock_close_frame(sock *s) {
    s->pending = frame_pack(&s->hdr, s->sbuf, s->used, sock_zarea(s));
}

// Sends what is left of the frame in flight: 0 when it has all left, ENOSPC when bytes
// remain, or the socket's errno (the frame is then unchanged).
static int sock_flush(sock *s) {
    if (!sock_family_supported(s->addr.address.ss_family))
        return EAFNOSUPPORT;
    const uint64_t plen = be32toh(s->hdr.plen);
    const uint64_t sent = FRAME_HDR_LEN + plen - s->pending;
    iovec iov[2];
    msghdr mh{};
    mh.msg_iov = iov;
    if (sent < FRAME_HDR_LEN) {
        iov[0] = {reinterpret_cast<uint8_t *>(&s->hdr) + sent, FRAME_HDR_LEN - sent};
        iov[1] = {s->sbuf, plen};
        mh.msg_iovlen = 2;
    } else {
        iov[0] = {s->sbuf + (sent - FRAME_HDR_LEN), s->pending};
        mh.msg_iovlen = 1;
    }
    // The socket is connected: naming the peer again would only make a local socket refuse
    // the send. MSG_NOSIGNAL turns a closed peer into EPIPE instead of a process-ending signal.
    ssize_t n;
    do
        n = sendmsg(s->fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN)
            return errno;
        n = 0;
    } else {
        LOG_DEBUG("Socket sent %ld", static_cast<long>(n));
    }
    s->pending -= static_cast<uint64_t>(n);
    if (s->pending != 0)
        return ENOSPC;
    s->used = 0;
    // One large reply must not leave its buffer behind for the life of the connection.
    if (s->scap > SOCK_SEND_KEEP) {
        s->sbuf = static_cast<uint8_t *>(krv_realloc(s->sbuf, SOCK_SEND_KEEP));
        s->scap = SOCK_SEND_KEEP;
    }
    return 0;
}

// Appends a message to the open frame, or closes the frame first when the message would take
// its payload past what a receiver accepts.
static int sock_append(sock *s, const uint8_t *msg, uint64_t len) {
    const uint64_t limit = frame_max_payload(sock_zarea(s));
    if (len > MSG_MAX_LEN || len + FRAME_TRAILER_LEN > limit)
        return E2BIG;
    const uint64_t need = s->used + len + FRAME_TRAILER_LEN;
    if (need > limit) {
        sock_close_frame(s);
        return ENOSPC;
    }
    if (need > s->scap) {
        s->scap = std::max(need, std::min(limit, s->scap * 2));
        s->sbuf = static_cast<uint8_t *>(krv_realloc(s->sbuf, s->scap));
    }
    memcpy(s->sbuf + s->used, msg, len);
    s->used += len;
    return EAGAIN;
}

int sock_send(sock *s, const uint8_t *msg, uint64_t len) {
    if (s->pending == 0 && msg == nullptr && s->used != 0)
        sock_close_frame(s);
    if (s->pending != 0) {
        int rc = sock_flush(s);
        if (rc != 0)
            return rc;
    }
    if (msg == nullptr)
        return 0;
    return sock_append(s, msg, len);
}

int mgrconn_send(sock *s, const uint8_t *msg, uint64_t len) {
    int rc = sock_send(s, msg, len);
    if (rc != EAGAIN)
        return rc;
    return sock_send(s, nullptr, 0);
}

// Logs a failed read. The read itself may have taken the socket's pending error, so the
// error it returned stands in when none is pending any more.
static void net_log_error(int fd, int err, const char *peer) {
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) {
        LOG_WARN("NET: Unknown socket error at %s", peer);
        return;
    }
    LOG_WARN("NET: Socket error at %s: %s.", peer, strerror(pending != 0 ? pending : err));
}

int net_recv(int fd, frame_rx *rx, std::span<uint8_t> rarea, std::span<uint8_t> zarea,
             const char *peer, void *ctx, frame_cb on_frame, frame_hold_cb held,
             std::span<uint8_t> *rest) {
    if (rest != nullptr)
        *rest = {};
    ssize_t n;
    do
        n = recv(fd, rarea.data(), rarea.size(), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN)
            return 0;
        net_log_error(fd, errno, peer);
        return -1;
    }
    if (n == 0) {
        LOG_INFO("NET: Connection [%s] closed by peer.", peer);
        return -1;
    }
    const std::span<uint8_t> in = rarea.first(static_cast<size_t>(n));
    uint64_t used = 0;
    if (frame_rx_feed(rx, in, zarea, ctx, on_frame, held, &used) != 0)
        return -1;
    if (rest != nullptr)
        *rest = in.subspan(static_cast<size_t>(used));
    return 0;
}

int sock_recv(sock *s, void *ctx, frame_cb on_frame, frame_hold_cb held,
              std::span<uint8_t> *rest) {
    return net_recv(s->fd, &s->rx, {s->rarea, static_cast<size_t>(s->rsize)}, sock_zarea(s),
                    s->addr.text, ctx, on_frame, held, rest);
}
