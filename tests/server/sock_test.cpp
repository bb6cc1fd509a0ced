#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "lib/log.h"
#include "server/frame_bytes.h"
#include "server/msg.h"
#include "server/sock.h"
#include "support/test_support.h"

namespace {

sockaddr_un local_addr(const char *path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path, sizeof a.sun_path - 1);
    return a;
}

const sockaddr *sa(const void *addr) {
    return static_cast<const sockaddr *>(addr);
}

// Messages laid end to end in received bodies, each as its own bytes.
int split_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
    static_cast<std::vector<Bytes> *>(ctx)->push_back(
        message(type, Bytes(reinterpret_cast<const char *>(data), len)));
    return 0;
}

std::vector<Bytes> messages_of(const std::vector<Bytes> &bodies) {
    std::vector<Bytes> out;
    for (const Bytes &b : bodies)
        msg_foreach(b.size(), u8(b), &out, split_message);
    return out;
}

// A sender `a` and a receiver `b` over a local socket pair, each with a block of its own
// (same split and size on both sides), and the bodies b has received.
struct Link {
    std::vector<uint8_t> block_a;
    std::vector<uint8_t> block_b;
    sock a{};
    sock b{};
    std::vector<Bytes> got;

    Link(uint64_t recv_area, uint64_t zip_area)
        : block_a(recv_area + zip_area), block_b(recv_area + zip_area) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        const sockaddr_un pa = local_addr("peer-a");
        const sockaddr_un pb = local_addr("peer-b");
        sock_init(&a, fds[0], sa(&pb), recv_area, block_a.data(), block_a.size());
        sock_init(&b, fds[1], sa(&pa), recv_area, block_b.data(), block_b.size());
    }
    ~Link() {
        sock_close(&a);
        sock_close(&b);
    }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Reads at b whatever has arrived; -1 as soon as b refuses something.
    int drain() {
        pollfd p{b.fd, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
            if (sock_recv(&b, &got, collect) != 0)
                return -1;
        }
        return 0;
    }
    // Offers a message until the open frame takes it (or refuses it for good).
    int offer(const Bytes &m) {
        for (;;) {
            int rc = sock_send(&a, u8(m), m.size());
            if (rc != ENOSPC || drain() != 0)
                return rc;
        }
    }
    // Closes and sends the open frame, draining b until the frame has left.
    int flush() {
        for (;;) {
            int rc = sock_send(&a, nullptr, 0);
            if (rc != ENOSPC || drain() != 0)
                return rc;
        }
    }
};

// Bytes waiting on fd, read without blocking.
Bytes read_ready(int fd) {
    Bytes out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

// ---- Sending ----

TEST(SockSend, HelloLeavesAsHandWrittenBytesOnlyWhenFlushed) {
    Link l(64, 4096);
    EXPECT_EQ(sock_send(&l.a, nullptr, 0), 0);
    EXPECT_EQ(read_ready(l.b.fd), "");

    EXPECT_EQ(sock_send(&l.a, u8(kHelloBody), kHelloBody.size()), EAGAIN);
    EXPECT_EQ(read_ready(l.b.fd), "");
    EXPECT_EQ(sock_send(&l.a, nullptr, 0), 0);
    EXPECT_EQ(hex(read_ready(l.b.fd)), hex(kHelloFrame));
    EXPECT_EQ(l.a.used, 0u);
    EXPECT_EQ(l.a.pending, 0u);

    // Nothing gathered: no empty frame.
    EXPECT_EQ(sock_send(&l.a, nullptr, 0), 0);
    EXPECT_EQ(read_ready(l.b.fd), "");
}

struct RoundTripCase {
    const char *name;
    uint64_t recv_area;
};

void PrintTo(const RoundTripCase &c, std::ostream *os) {
    *os << c.name;
}

class SockRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(SockRoundTrip, MessagesArriveUnchangedInOrder) {
    Link l(GetParam().recv_area, 1 << 20);
    const std::vector<Bytes> sent = {
        kHelloBody,
        message(MSG_AGENT_DATA, Bytes(595, 'a')),
        message(MSG_DB_QUERY, noise(70000, 4)),
        message(MSG_PUSH, Bytes(100000, 'p')),
        message(MSG_RESPONSE, "r1"),
        message(MSG_RESPONSE, noise(600, 5)),
        message(MSG_AGENT_COMMAND, "last"),
    };
    for (size_t i = 0; i < sent.size(); i++) {
        ASSERT_EQ(l.offer(sent[i]), EAGAIN) << i;
        if (i % 2 == 1) {
            ASSERT_EQ(l.flush(), 0) << i;
        }
    }
    ASSERT_EQ(l.flush(), 0);
    ASSERT_EQ(l.drain(), 0);
    EXPECT_EQ(l.got.size(), 4u);
    EXPECT_EQ(messages_of(l.got), sent);
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, SockRoundTrip,
                         testing::Values(RoundTripCase{"OneByteReads", 1},
                                         RoundTripCase{"SevenByteReads", 7},
                                         RoundTripCase{"LoopArea", SOCK_RECV_AREA}),
                         [](const testing::TestParamInfo<RoundTripCase> &i) {
                             return std::string(i.param.name);
                         });

TEST(SockRoundTrip, SeveralFramesInOneRead) {
    Link l(SOCK_RECV_AREA, 1 << 20);
    const std::vector<Bytes> sent = {message(MSG_PUSH, "one"), message(MSG_PUSH, "two"),
                                     message(MSG_PUSH, Bytes(5000, '3'))};
    for (const Bytes &m : sent) {
        ASSERT_EQ(sock_send(&l.a, u8(m), m.size()), EAGAIN);
        ASSERT_EQ(sock_send(&l.a, nullptr, 0), 0);
    }
    ASSERT_EQ(sock_recv(&l.b, &l.got, collect), 0);
    EXPECT_EQ(l.got, sent);
}

TEST(SockSend, FrameInFlightTakesNoMessageUntilItHasLeft) {
    Link l(SOCK_RECV_AREA, 1 << 20);
    int small = 4096;
    ASSERT_EQ(setsockopt(l.a.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    const Bytes big = message(MSG_PUSH, noise(256 * 1024, 6));
    const Bytes next = message(MSG_RESPONSE, "next");

    ASSERT_EQ(sock_send(&l.a, u8(big), big.size()), EAGAIN);
    ASSERT_EQ(sock_send(&l.a, nullptr, 0), ENOSPC);
    const uint64_t used = l.a.used;
    const uint64_t pending = l.a.pending;
    EXPECT_EQ(sock_send(&l.a, u8(next), next.size()), ENOSPC);
    EXPECT_EQ(l.a.used, used);
    EXPECT_EQ(l.a.pending, pending);

    // Offered again while the receiver drains, the message joins a new frame.
    ASSERT_EQ(l.offer(next), EAGAIN);
    ASSERT_EQ(l.flush(), 0);
    ASSERT_EQ(l.drain(), 0);
    EXPECT_EQ(l.got, (std::vector<Bytes>{big, next}));
}

TEST(SockSend, TooBigMessageIsRefusedAndTheConnectionGoesOn) {
    Link l(SOCK_RECV_AREA, 1 << 20);
    const Bytes before = message(MSG_PUSH, "before");
    const Bytes after = message(MSG_PUSH, "after");
    // Refused on its length alone: none of these bytes is read.
    const std::vector<uint8_t> huge(MSG_MAX_LEN + 1);

    ASSERT_EQ(sock_send(&l.a, u8(before), before.size()), EAGAIN);
    EXPECT_EQ(sock_send(&l.a, huge.data(), huge.size()), E2BIG);
    EXPECT_EQ(l.a.used, before.size());
    ASSERT_EQ(sock_send(&l.a, u8(after), after.size()), EAGAIN);
    ASSERT_EQ(l.flush(), 0);
    ASSERT_EQ(l.drain(), 0);
    EXPECT_EQ(l.got, std::vector<Bytes>{before + after});
}

TEST(SockSend, FramesStayWithinWhatTheReceiverAccepts) {
    // A compression area of 3072 bytes: payloads of at most 3072, so bodies of at most 3068.
    Link l(SOCK_RECV_AREA, 3072);
    const Bytes m1 = message(MSG_PUSH, noise(1495, 7)); // 1500 bytes
    const Bytes m2 = message(MSG_PUSH, noise(1495, 8));
    const Bytes m3 = message(MSG_PUSH, noise(1495, 9));
    const Bytes whole = message(MSG_PUSH, noise(3063, 10)); // 3068: alone in a frame
    const Bytes over = message(MSG_PUSH, noise(3064, 11));  // 3069: never fits

    EXPECT_EQ(sock_send(&l.a, u8(m1), m1.size()), EAGAIN);
    EXPECT_EQ(sock_send(&l.a, u8(m2), m2.size()), EAGAIN);
    // A third would take the payload to 4504: the frame is closed without it.
    EXPECT_EQ(sock_send(&l.a, u8(m3), m3.size()), ENOSPC);
    EXPECT_EQ(l.a.pending, 12u + 3000 + 4);
    ASSERT_EQ(l.offer(m3), EAGAIN);
    EXPECT_EQ(sock_send(&l.a, u8(over), over.size()), E2BIG);
    EXPECT_EQ(sock_send(&l.a, u8(whole), whole.size()), ENOSPC);
    ASSERT_EQ(l.offer(whole), EAGAIN);
    ASSERT_EQ(l.flush(), 0);
    ASSERT_EQ(l.drain(), 0);
    EXPECT_EQ(l.got, (std::vector<Bytes>{m1 + m2, m3, whole}));
}

TEST(SockSend, LargestMessageLeavesInAFrameOfItsOwn) {
    Link l(SOCK_RECV_AREA, SOCK_COMPRESS_AREA);
    const Bytes half = message(MSG_RESPONSE, Bytes(MSG_MAX_LEN / 2, 'h'));
    const Bytes largest = message(MSG_RESPONSE, Bytes(MSG_MAX_DATA, 'L'));
    ASSERT_EQ(largest.size(), MSG_MAX_LEN);

    ASSERT_EQ(sock_send(&l.a, u8(half), half.size()), EAGAIN);
    ASSERT_EQ(l.flush(), 0);
    // The send buffer has grown for half of it; with nothing gathered the largest message is
    // taken at once, never closed into an empty frame.
    EXPECT_EQ(sock_send(&l.a, u8(largest), largest.size()), EAGAIN);
    EXPECT_EQ(sock_send(&l.a, u8(half), half.size()), ENOSPC);
    ASSERT_EQ(l.offer(half), EAGAIN);
    ASSERT_EQ(l.flush(), 0);
    ASSERT_EQ(l.drain(), 0);
    ASSERT_EQ(l.got.size(), 3u);
    EXPECT_TRUE(l.got[0] == half);
    EXPECT_TRUE(l.got[1] == largest);
    EXPECT_TRUE(l.got[2] == half);
}

// ---- Connecting ----

// A connection goes to an IPv4 or a local-socket listener alike: the address is passed with
// its family's own length (a local one is refused at the length of the largest address).
TEST(SockConnect, ReachesListenersOfEachFamily) {
    TempDir dir;
    for (const int family : {AF_INET, AF_UNIX}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "local");
        const int lfd = socket(family, SOCK_STREAM, 0);
        ASSERT_GE(lfd, 0);
        sockaddr_storage addr{};
        socklen_t len;
        if (family == AF_INET) {
            auto *in = reinterpret_cast<sockaddr_in *>(&addr);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *in;
        } else {
            const sockaddr_un un = local_addr(dir.sub("listen.sock").c_str());
            memcpy(&addr, &un, sizeof un);
            len = sizeof un;
        }
        ASSERT_EQ(bind(lfd, sa(&addr), len), 0) << strerror(errno);
        ASSERT_EQ(listen(lfd, 1), 0);
        ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr *>(&addr), &len), 0);
        std::vector<uint8_t> block(4096);
        sock s;
        sock_connect(&s, 1024, block.data(), block.size(), &addr);
        EXPECT_GE(s.fd, 0);
        EXPECT_NE(s.cid, 0u);
        sock_close(&s);
        close(lfd);
    }
}

TEST(SockSend, UnsupportedPeerFamily) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    std::vector<uint8_t> block(4096);
    sockaddr_storage none{};
    sock s;
    sock_init(&s, fds[0], sa(&none), 1024, block.data(), block.size());
    EXPECT_EQ(sock_send(&s, u8(kHelloBody), kHelloBody.size()), EAGAIN);
    EXPECT_EQ(sock_send(&s, nullptr, 0), EAFNOSUPPORT);
    EXPECT_EQ(read_ready(fds[1]), "");
    sock_close(&s);
    close(fds[1]);
}

TEST(SockSend, ClosedPeerIsAnErrorNotASignal) {
    RunResult res = run_forked([] {
        signal(SIGPIPE, SIG_DFL);
        Link l(64, 4096);
        close(l.b.fd);
        l.b.fd = -1;
        sock_send(&l.a, u8(kHelloBody), kHelloBody.size());
        printf("%d\n", sock_send(&l.a, nullptr, 0));
    });
    EXPECT_EQ(res.signal, 0);
    EXPECT_EQ(res.out, std::to_string(EPIPE) + "\n");
}

TEST(SockSend, DebugLineCountsTheBytesSent) {
    RunResult res = run_forked([] {
        log_level.store(2);
        Link l(64, 4096);
        sock_send(&l.a, u8(kHelloBody), kHelloBody.size());
        sock_send(&l.a, nullptr, 0);
    });
    EXPECT_EQ(log_text(res), "DEBUG  Socket sent 31\n");
}

TEST(MgrconnSend, SendsTheMessageAtOnce) {
    Link l(SOCK_RECV_AREA, 1 << 20);
    EXPECT_EQ(mgrconn_send(&l.a, u8(kHelloBody), kHelloBody.size()), 0);
    EXPECT_EQ(hex(read_ready(l.b.fd)), hex(kHelloFrame));

    int small = 4096;
    ASSERT_EQ(setsockopt(l.a.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    const Bytes big = message(MSG_HELLO, noise(100000, 12));
    EXPECT_EQ(mgrconn_send(&l.a, u8(big), big.size()), ENOSPC);
    EXPECT_GT(l.a.pending, 0u);
    ASSERT_EQ(l.flush(), 0);
    ASSERT_EQ(l.drain(), 0);
    EXPECT_EQ(l.got, std::vector<Bytes>{big});
}

// ---- Receiving from the socket ----

struct NetCase {
    const char *name;
    int (*make)(int peer[2]); // the descriptor to read; peer[] holds what to close afterwards
    int rc;
    const char *log;
};

void PrintTo(const NetCase &c, std::ostream *os) {
    *os << c.name;
}

int nothing_yet(int peer[2]) {
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, peer);
    return peer[0];
}

int closed_by_peer(int peer[2]) {
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, peer);
    close(peer[1]);
    peer[1] = -1;
    return peer[0];
}

// A TCP connection whose peer closed with our bytes unread: the read meets a reset.
int reset_by_peer(int peer[2]) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(l, sa(&a), sizeof a);
    listen(l, 1);
    getsockname(l, reinterpret_cast<sockaddr *>(&a), &len);
    peer[0] = socket(AF_INET, SOCK_STREAM, 0);
    connect(peer[0], sa(&a), sizeof a);
    int other = accept(l, nullptr, nullptr);
    close(l);
    (void)!write(peer[0], "unread", 6);
    pollfd p{other, POLLIN, 0};
    poll(&p, 1, 1000);
    close(other);
    peer[1] = -1;
    p = {peer[0], POLLIN, 0};
    poll(&p, 1, 1000);
    return peer[0];
}

int not_a_socket(int peer[2]) {
    (void)!pipe(peer);
    (void)!write(peer[1], "x", 1);
    return peer[0];
}

class NetRecvTest : public testing::TestWithParam<NetCase> {};

TEST_P(NetRecvTest, ReadFailuresAndTheirLines) {
    const NetCase &c = GetParam();
    RunResult res = run_forked([&c] {
        log_level.store(1);
        int peer[2] = {-1, -1};
        int fd = c.make(peer);
        std::vector<uint8_t> area(256);
        frame_rx rx;
        frame_rx_init(&rx, nullptr, 0, true);
        std::vector<Bytes> got;
        printf("%d %zu\n", net_recv(fd, &rx, area, {}, "peer", &got, collect), got.size());
        frame_rx_free(&rx);
        for (int p : peer)
            if (p >= 0)
                close(p);
    });
    EXPECT_EQ(res.out, std::to_string(c.rc) + " 0\n");
    EXPECT_EQ(log_text(res), c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetRecvTest,
    testing::Values(NetCase{"NothingYet", nothing_yet, 0, ""},
                    NetCase{"ClosedByPeer", closed_by_peer, -1,
                            "INFO   NET: Connection [peer] closed by peer.\n"},
                    NetCase{"ResetByPeer", reset_by_peer, -1,
                            "WARN   NET: Socket error at peer: Connection reset by peer.\n"},
                    NetCase{"NotASocket", not_a_socket, -1,
                            "WARN   NET: Unknown socket error at peer\n"}),
    [](const testing::TestParamInfo<NetCase> &i) { return std::string(i.param.name); });

TEST(SockRecv, RefusedFrameDropsTheConnection) {
    Link l(SOCK_RECV_AREA, 4096);
    const Bytes bad = Bytes("KR\x30\x06\x00\x00\x00\x13\x00\x00\x00\x01", 12) + kHelloBody +
                      Bytes("\x00\x00\x00\x0F", 4);
    ASSERT_EQ(write(l.a.fd, bad.data(), bad.size()), static_cast<ssize_t>(bad.size()));
    EXPECT_EQ(sock_recv(&l.b, &l.got, collect), -1);
    EXPECT_TRUE(l.got.empty());
}

// ---- Records: connection ids, connect, close ----

uint64_t now_ms() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint64_t>(tv.tv_usec) / 1000;
}

TEST(SockRecord, ConnectionIdsDifferWithinOneMillisecond) {
    std::vector<uint8_t> block(1024);
    const sockaddr_un addr = local_addr("x");
    sock s1, s2;
    const uint64_t before = now_ms();
    sock_init(&s1, -1, sa(&addr), 512, block.data(), block.size());
    sock_init(&s2, -1, sa(&addr), 512, block.data(), block.size());
    const uint64_t after = now_ms();
    EXPECT_NE(s1.cid, s2.cid);
    EXPECT_EQ(static_cast<uint16_t>(s2.cid >> 32), static_cast<uint16_t>((s1.cid >> 32) + 1));
    EXPECT_EQ(s1.cid >> 48, 0u);
    for (uint64_t cid : {s1.cid, s2.cid}) {
        const uint64_t low = cid & 0xFFFFFFFFu;
        EXPECT_GE(low, before & 0xFFFFFFFFu);
        EXPECT_LE(low, after & 0xFFFFFFFFu);
    }
    sock_close(&s1);
    sock_close(&s2);
}

TEST(SockRecord, InitSplitsTheBlock) {
    std::vector<uint8_t> block(1000);
    const sockaddr_un addr = local_addr("peer-path");
    sock s;
    sock_init(&s, -1, sa(&addr), 300, block.data(), block.size());
    EXPECT_EQ(s.rarea, block.data());
    EXPECT_EQ(s.rsize, 300u);
    EXPECT_EQ(s.zarea, block.data() + 300);
    EXPECT_EQ(s.zsize, 700u);
    EXPECT_STREQ(s.addr.text, "peer-path");
    EXPECT_EQ(s.used, 0u);
    EXPECT_EQ(s.pending, 0u);
    EXPECT_EQ(s.rx.growable, 1);
    sock_close(&s);
}

// A listening socket on 127.0.0.1 with a port of the system's choice.
struct Listener {
    int fd;
    sockaddr_storage addr{};
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        auto *in = reinterpret_cast<sockaddr_in *>(&addr);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd, sa(&addr), sizeof *in) != 0 || listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            throw std::runtime_error("listen");
    }
    ~Listener() { close(fd); }
    uint16_t port() const { return ntohs(reinterpret_cast<const sockaddr_in *>(&addr)->sin_port); }
};

TEST(SockConnect, ConnectsNonBlockingWithoutDelay) {
    Listener srv;
    std::vector<uint8_t> block(4096);
    sock s;
    sock_connect(&s, 1000, block.data(), block.size(), &srv.addr);
    ASSERT_NE(s.cid, 0u);
    EXPECT_TRUE(fcntl(s.fd, F_GETFL) & O_NONBLOCK);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(getsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_EQ(nodelay, 1);
    EXPECT_EQ(std::string(s.addr.text), "127.0.0.1:" + std::to_string(srv.port()));
    EXPECT_EQ(s.rsize, 1000u);

    // The hello reaches the listener's side as written by hand.
    int peer = accept(srv.fd, nullptr, nullptr);
    ASSERT_EQ(mgrconn_send(&s, u8(kHelloBody), kHelloBody.size()), 0);
    pollfd p{peer, POLLIN, 0};
    poll(&p, 1, 1000);
    EXPECT_EQ(hex(read_ready(peer)), hex(kHelloFrame));
    close(peer);
    sock_close(&s);
}

struct ConnectFailCase {
    const char *name;
    int family;      // of the address
    const char *log; // after "ERROR  [sock_connect:<line>] "
};

void PrintTo(const ConnectFailCase &c, std::ostream *os) {
    *os << c.name;
}

class SockConnectFail : public testing::TestWithParam<ConnectFailCase> {};

TEST_P(SockConnectFail, LeavesTheRecordClosed) {
    const ConnectFailCase &c = GetParam();
    RunResult res = run_forked([&c] {
        log_level.store(1);
        sockaddr_storage addr;
        {
            Listener gone; // its port is closed again at once
            addr = gone.addr;
        }
        addr.ss_family = static_cast<sa_family_t>(c.family);
        std::vector<uint8_t> block(4096);
        sock s;
        s.fd = 99;
        s.cid = 1;
        sock_connect(&s, 1000, block.data(), block.size(), &addr);
        printf("%d %lu %p\n", s.fd, s.cid, static_cast<void *>(s.sbuf));
    });
    EXPECT_EQ(res.out, "-1 0 (nil)\n");
    const std::string text = log_text(res);
    EXPECT_EQ(text.rfind("ERROR  [sock_connect:", 0), 0u) << text;
    EXPECT_NE(text.find("] " + std::string(c.log) + "\n"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SockConnectFail,
    testing::Values(ConnectFailCase{"Refused", AF_INET, "connect Connection refused"},
                    ConnectFailCase{"NoSuchFamily", AF_UNSPEC,
                                    "socket Address family not supported by protocol"}),
    [](const testing::TestParamInfo<ConnectFailCase> &i) { return std::string(i.param.name); });

TEST(SockRecord, CloseReleasesEverythingAndCanBeRepeated) {
    Link l(64, 4096);
    const int fd = l.a.fd;
    ASSERT_EQ(sock_send(&l.a, u8(kHelloBody), kHelloBody.size()), EAGAIN);
    EXPECT_EQ(sock_close(&l.a), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(l.a.fd, -1);
    EXPECT_EQ(l.a.cid, 0u);
    EXPECT_EQ(l.a.sbuf, nullptr);
    EXPECT_EQ(l.a.rx.payload.data, nullptr);
    EXPECT_EQ(l.a.used, 0u);
    EXPECT_EQ(sock_close(&l.a), 0);
}

} // namespace
