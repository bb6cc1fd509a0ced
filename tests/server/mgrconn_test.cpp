// The Manager link: its hello, and its thread against a listening socket of the test that
// plays the Manager. Tests with threads run in a forked child (see loop_harness.h) and use
// short watch periods and back-off units.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <functional>
#include <endian.h>
#include <memory>
#include <sys/resource.h>
#include <thread>

#include "server/loop_harness.h"
#include "server/mgrconn.h"

namespace {

using steady = std::chrono::steady_clock;

sockaddr_storage addr4(const char *host, uint16_t port) {
    sockaddr_storage ss{};
    auto *a = reinterpret_cast<sockaddr_in *>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, host, &a->sin_addr);
    return ss;
}

sockaddr_storage addr6(const char *host, uint16_t port) {
    sockaddr_storage ss{};
    auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    inet_pton(AF_INET6, host, &a->sin6_addr);
    return ss;
}

// Hellos written out by hand: type 1, length 28, "DATABASE", family and port big-endian,
// 16 address bytes.
const Bytes kHead = Bytes("\x01\x00\x00\x00\x1c", 5) + "DATABASE";
// 127.0.0.1 port 9000 (0x2328).
const Bytes kHelloLoopback = kHead + Bytes("\x00\x02\x23\x28\x7f\x00\x00\x01", 8) + Bytes(12, '\0');
// 10.1.2.3 port 9100 (0x238c), the redirect address of the cases below.
const Bytes kHelloRedirect = kHead + Bytes("\x00\x02\x23\x8c\x0a\x01\x02\x03", 8) + Bytes(12, '\0');
// ::1 port 9000.
const Bytes kHelloIpv6 = kHead + Bytes("\x00\x0a\x23\x28", 4) + Bytes(15, '\0') + "\x01";

const Bytes kAnswer = Bytes("\x01\x00\x00\x00\x08\0MANAGER", 13);

Bytes be32(uint32_t v) {
    v = htobe32(v);
    return Bytes(reinterpret_cast<const char *>(&v), sizeof v);
}

// A frame without compression and without header check, as the Manager may send it.
Bytes frame_of(const Bytes &body) {
    const auto n = static_cast<uint32_t>(body.size());
    return Bytes("KR\x30\x06", 4) + be32(n + 4) + be32(0) + body + be32(n);
}

TEST(MgrconnHello, AnnouncesAnAddressTheManagerCanDial) {
    const sockaddr_storage redirect = addr4("10.1.2.3", 9100);
    const struct {
        const char *name;
        sockaddr_storage listen;
        const sockaddr_storage *redirect;
        Bytes hello;
    } cases[] = {
        {"specific IPv4", addr4("127.0.0.1", 9000), &redirect, kHelloLoopback},
        {"IPv4 any-address", addr4("0.0.0.0", 7000), &redirect, kHelloRedirect},
        {"specific IPv6", addr6("::1", 9000), &redirect, kHelloIpv6},
        {"IPv6 any-address", addr6("::", 7000), &redirect, kHelloRedirect},
        {"any-address without redirect", addr4("0.0.0.0", 9000), nullptr,
         kHead + Bytes("\x00\x02\x23\x28", 4) + Bytes(16, '\0')},
    };
    for (const auto &c : cases) {
        uint8_t out[MGRCONN_HELLO_SIZE];
        ASSERT_EQ(mgrconn_hello(out, &c.listen, c.redirect), 0) << c.name;
        EXPECT_EQ(hex(Bytes(reinterpret_cast<char *>(out), sizeof out)), hex(c.hello)) << c.name;
    }
    sockaddr_storage local{};
    local.ss_family = AF_UNIX;
    uint8_t out[MGRCONN_HELLO_SIZE];
    EXPECT_EQ(mgrconn_hello(out, &local, &redirect), -1);
}

// One connection of the link as the Manager sees it.
struct Accepted {
    std::vector<uint8_t> block = std::vector<uint8_t>(0x10000 + 0x10000);
    sock s{};
    std::vector<Bytes> bodies;
    bool closed = false;

    explicit Accepted(int fd) {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len);
        sock_init(&s, fd, reinterpret_cast<sockaddr *>(&a), 0x10000, block.data(), block.size());
    }
    ~Accepted() { sock_close(&s); }
    Accepted(const Accepted &) = delete;
    Accepted &operator=(const Accepted &) = delete;

    void pump(int ms) {
        pollfd p{s.fd, POLLIN, 0};
        if (!closed && poll(&p, 1, ms) > 0 && sock_recv(&s, &bodies, collect) != 0)
            closed = true;
    }
    // The messages received so far, each as its own bytes.
    std::vector<Bytes> messages() const {
        std::vector<Bytes> out;
        for (const Bytes &b : bodies)
            msg_foreach(b.size(), u8(b), &out,
                        [](void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
                            static_cast<std::vector<Bytes> *>(ctx)->push_back(
                                message(type, Bytes(reinterpret_cast<const char *>(data), len)));
                            return 0;
                        });
        return out;
    }
    bool wait_hello() {
        return eventually([&] {
                   pump(5);
                   return !messages().empty() || closed;
               }) &&
               !messages().empty();
    }
    bool wait_closed() {
        return eventually([&] {
            pump(5);
            return closed;
        });
    }
    void answer() const {
        const Bytes f = frame_of(kAnswer);
        EXPECT_EQ(send(s.fd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
    }
};

// The listening socket that plays the Manager, on 127.0.0.1 and a port of its own.
struct FakeManager {
    int fd = -1;
    uint16_t port = 0;

    FakeManager() { fd = listen_on_loopback(8, &port); }
    ~FakeManager() { close(fd); }
    FakeManager(const FakeManager &) = delete;
    FakeManager &operator=(const FakeManager &) = delete;

    sockaddr_storage address() const { return addr4("127.0.0.1", port); }
    std::string text() const { return "127.0.0.1:" + std::to_string(port); }

    // The next connection of the link, or nullptr when none comes within `ms`.
    std::unique_ptr<Accepted> accept_within(int ms = 5000) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return nullptr;
        int c = accept(fd, nullptr, nullptr);
        return c < 0 ? nullptr : std::make_unique<Accepted>(c);
    }
    bool has_pending() const {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }
};

// A joinable link thread over a record of its own, stopped and released by the destructor.
struct Link {
    std::atomic<int32_t> run{1};
    std::unique_ptr<mgrconn> mc = std::make_unique<mgrconn>();
    bool started = false;

    Link(const sockaddr_storage &manager, const sockaddr_storage &listen,
         const sockaddr_storage *redirect, uint32_t unit_ms, uint32_t watch_ms = 50,
         uint32_t answer_wait_ms = 2000) {
        EXPECT_EQ(mgrconn_init(mc.get(), &manager, &listen, redirect, &run), 0);
        mc->backoff_unit_ms = unit_ms;
        mc->watch_ms = watch_ms;
        mc->answer_wait_ms = answer_wait_ms;
        started = mgrconn_launch(mc.get(), false) == 0;
        EXPECT_TRUE(started);
    }
    ~Link() {
        if (started)
            mgrconn_stop(mc.get());
        mgrconn_release(mc.get());
    }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
};

// When the log first holds `n` copies of `text` (waiting at most `seconds`); time_point{}
// when it never does.
steady::time_point when_logged(const std::string &text, size_t n, double seconds = 5) {
    if (!eventually([&] { return count_of(child_log(), text) >= n; }, seconds))
        return {};
    return steady::now();
}

long ms_between(steady::time_point a, steady::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

// The lines of one dial in their order, the DEBUG one included.
void expect_in_order(const std::string &log, const std::vector<std::string> &lines) {
    size_t at = 0;
    for (const std::string &l : lines) {
        size_t found = log.find(l, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << l;
        if (found != std::string::npos)
            at = found + l.size();
    }
}

struct AnnounceCase {
    const char *name;
    sockaddr_storage listen;
    Bytes hello;
};

void PrintTo(const AnnounceCase &c, std::ostream *os) {
    *os << c.name;
}

class MgrconnAnnounce : public testing::TestWithParam<AnnounceCase> {};

TEST_P(MgrconnAnnounce, HelloReachesTheManagerAndTheLinkIsEstablished) {
    const AnnounceCase c = GetParam();
    RunResult r = in_child(
        [&] {
            FakeManager mgr;
            const sockaddr_storage redirect = addr4("10.1.2.3", 9100);
            Link link(mgr.address(), c.listen, &redirect, 10);
            auto conn = mgr.accept_within();
            ASSERT_NE(conn, nullptr);
            ASSERT_TRUE(conn->wait_hello());
            EXPECT_EQ(conn->messages().size(), 1u);
            EXPECT_EQ(hex(conn->messages()[0]), hex(c.hello));
            conn->answer();
            ASSERT_TRUE(logged("INFO   Manager connection established.\n"));
            expect_in_order(child_log(),
                            {"INFO   Manager client started.\n",
                             "INFO   Connecting to the manager [" + mgr.text() + "]...\n",
                             "INFO   Connection to the manager established.\n",
                             "DEBUG  Hello message sent to the manager.\n",
                             "INFO   Manager connection established.\n"});
            EXPECT_EQ(count_of(child_log(), "INFO   Manager connector started.\n"), 1u);
        },
        2);
    EXPECT_CHILD_OK(r);
}

INSTANTIATE_TEST_SUITE_P(
    ListeningAddresses, MgrconnAnnounce,
    testing::Values(AnnounceCase{"Loopback", addr4("127.0.0.1", 9000), kHelloLoopback},
                    AnnounceCase{"AnyAddressAnnouncesTheRedirect", addr4("0.0.0.0", 7000),
                                 kHelloRedirect}),
    [](const testing::TestParamInfo<AnnounceCase> &i) { return std::string(i.param.name); });

// A Manager that answers 300 ms after the hello keeps one connection through ten watch
// periods: no hello again, no redial.
TEST(MgrconnLink, LateAnswerThenTenQuietWatchPeriods) {
    RunResult r = in_child([] {
        FakeManager mgr;
        const sockaddr_storage listen = addr4("127.0.0.1", 9000);
        Link link(mgr.address(), listen, nullptr, 10, 30);
        auto conn = mgr.accept_within();
        ASSERT_NE(conn, nullptr);
        ASSERT_TRUE(conn->wait_hello());
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the Manager is slow
        conn->answer();
        ASSERT_TRUE(eventually([&] { return link.mc->quiet_watches.load() >= 10; }));
        conn->pump(0);
        EXPECT_FALSE(conn->closed);
        EXPECT_EQ(conn->messages().size(), 1u);
        EXPECT_FALSE(mgr.has_pending());
        const std::string log = child_log();
        EXPECT_EQ(count_of(log, "Connecting to the manager ["), 1u);
        EXPECT_EQ(count_of(log, "INFO   Manager connection established.\n"), 1u);
        EXPECT_EQ(count_of(log, "INFO   Connection to the manager established.\n"), 1u);
        EXPECT_EQ(count_of(log, "ERROR  "), 0u);
    });
    EXPECT_CHILD_OK(r);
}

// The Manager closes an established connection: the next watch sees it and the link dials
// again after 2 back-off units (the back-off starts over), then is established again.
TEST(MgrconnLink, ClosedByTheManagerRedialsAfterTwoUnits) {
    RunResult r = in_child([] {
        constexpr long unit = 100;
        FakeManager mgr;
        const sockaddr_storage listen = addr4("127.0.0.1", 9000);
        Link link(mgr.address(), listen, nullptr, unit, 10000);
        auto first = mgr.accept_within();
        ASSERT_NE(first, nullptr);
        ASSERT_TRUE(first->wait_hello());
        first->answer();
        ASSERT_TRUE(logged("INFO   Manager connection established.\n"));
        const auto closed_at = steady::now();
        first.reset();
        auto second = mgr.accept_within();
        const auto redial_at = steady::now();
        ASSERT_NE(second, nullptr);
        EXPECT_TRUE(logged("ERROR  Manager client does not accept any data.\n"));
        EXPECT_GE(ms_between(closed_at, redial_at), 2 * unit);
        EXPECT_LT(ms_between(closed_at, redial_at), 4 * unit);
        ASSERT_TRUE(second->wait_hello());
        EXPECT_EQ(hex(second->messages()[0]), hex(kHelloLoopback));
        second->answer();
        EXPECT_NE(when_logged("INFO   Manager connection established.\n", 2), steady::time_point{});
        EXPECT_EQ(count_of(child_log(), "Connecting to the manager ["), 2u);
    });
    EXPECT_CHILD_OK(r);
}

// Nothing listens: each attempt fails and the pause before the next one doubles.
TEST(MgrconnLink, NothingListeningBacksOffTwoFourEightUnits) {
    RunResult r = in_child([] {
        // Long enough that a loaded machine's lateness in noticing an attempt stays within
        // the slack below.
        constexpr long unit = 250;
        const unsigned port = free_tcp_port();
        const sockaddr_storage manager = addr4("127.0.0.1", static_cast<uint16_t>(port));
        const sockaddr_storage listen = addr4("127.0.0.1", 9000);
        const std::string line =
            "INFO   Connecting to the manager [127.0.0.1:" + std::to_string(port) + "]...\n";
        const auto start = steady::now();
        Link link(manager, listen, nullptr, unit);
        steady::time_point at[3];
        for (size_t i = 0; i < 3; i++) {
            at[i] = when_logged(line, i + 1);
            ASSERT_NE(at[i], steady::time_point{}) << i;
        }
        // Attempt i comes after pauses of 2, 4, ... units in all; it is observed a little
        // later than it happens, never earlier, and with a slack that grows with the pause
        // but stays short of what a pause doubled once more would add.
        long paused = 0;
        for (size_t i = 0; i < 3; i++) {
            paused += (2l << i) * unit;
            EXPECT_GE(ms_between(start, at[i]), paused) << i;
            EXPECT_LT(ms_between(start, at[i]), paused + (2l + (1l << i)) * unit) << i;
        }
        const std::string refused =
            "] connect 127.0.0.1:" + std::to_string(port) + " Connection refused\n";
        EXPECT_TRUE(eventually([&] { return count_of(child_log(), refused) == 3; }));
        EXPECT_EQ(count_of(child_log(), "Connection to the manager established."), 0u);
    });
    EXPECT_CHILD_OK(r);
}

// A Manager that never answers, or that refuses the hello by closing, does not establish the
// link; the link closes its connection and dials again.
TEST(MgrconnLink, MissingOrRefusedAnswerFailsTheConnection) {
    const struct {
        const char *name;
        bool close_after_hello;
        const char *line;
    } cases[] = {
        {"silent Manager", false, nullptr},
        {"Manager closes", true, "INFO   NET: Connection ["},
    };
    for (const auto &c : cases) {
        RunResult r = in_child([&] {
            FakeManager mgr;
            const sockaddr_storage listen = addr4("127.0.0.1", 9000);
            Link link(mgr.address(), listen, nullptr, 10, 50, 200);
            auto first = mgr.accept_within();
            ASSERT_NE(first, nullptr);
            ASSERT_TRUE(first->wait_hello());
            if (c.close_after_hello) {
                first.reset();
            } else {
                EXPECT_TRUE(first->wait_closed());
            }
            ASSERT_TRUE(logged("ERROR  Connection response read failed!\n"));
            if (c.line != nullptr) {
                EXPECT_TRUE(logged(std::string(c.line) + mgr.text() + "] closed by peer.\n"));
            }
            auto second = mgr.accept_within();
            ASSERT_NE(second, nullptr);
            EXPECT_TRUE(second->wait_hello());
            EXPECT_EQ(count_of(child_log(), "Manager connection established."), 0u);
        });
        EXPECT_CHILD_OK(r) << c.name;
    }
}

// The run flag cleared while the link is established ends the thread within a watch period:
// the Manager sees the connection close, and nothing dials again.
TEST(MgrconnLink, ClearedRunFlagClosesTheLinkAndEndsTheThread) {
    RunResult r = in_child([] {
        FakeManager mgr;
        const sockaddr_storage listen = addr4("127.0.0.1", 9000);
        Link link(mgr.address(), listen, nullptr, 10, 50);
        auto conn = mgr.accept_within();
        ASSERT_NE(conn, nullptr);
        ASSERT_TRUE(conn->wait_hello());
        conn->answer();
        ASSERT_TRUE(logged("INFO   Manager connection established.\n"));
        link.run.store(0);
        EXPECT_TRUE(conn->wait_closed());
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 5;
        EXPECT_EQ(pthread_timedjoin_np(link.mc->thread, nullptr, &deadline), 0);
        link.started = false;
        EXPECT_FALSE(mgr.has_pending());
        EXPECT_EQ(count_of(child_log(), "ERROR  "), 0u);
    });
    EXPECT_CHILD_OK(r);
}

// Wherever the link waits (the pause before an attempt, a connect the network never
// completes, the Manager's answer, the watch), a stop ends its thread at once, although
// every one of those waits would go on for a minute or more.
TEST(MgrconnStop, EndsTheLinkAtOnceWhereverItWaits) {
    constexpr uint32_t kLong = 60000;
    const struct {
        const char *name;
        uint32_t unit_ms; // back-off unit: the first attempt comes after two
        // Sets up the Manager side and returns the address to dial.
        std::function<sockaddr_storage(std::shared_ptr<void> *keep)> manager;
        // True once the link waits where the case wants it.
        std::function<bool(const mgrconn *mc, void *kept)> waiting;
    } cases[] = {
        {"pause before the first attempt", kLong,
         [](std::shared_ptr<void> *) {
             return addr4("127.0.0.1", static_cast<uint16_t>(free_tcp_port()));
         },
         [](const mgrconn *, void *) { return logged("INFO   Manager client started.\n"); }},
        {"connect to a black-holed listener", 1,
         [](std::shared_ptr<void> *keep) {
             auto hole = std::make_shared<BlackHole>();
             *keep = hole;
             return addr4("127.0.0.1", hole->port);
         },
         [](const mgrconn *mc, void *) {
             return eventually([&] { return mc->dials.load() >= 1; });
         }},
        {"answer of a Manager that never answers", 1,
         [](std::shared_ptr<void> *keep) {
             auto mgr = std::make_shared<FakeManager>();
             *keep = mgr;
             return mgr->address();
         },
         [](const mgrconn *, void *kept) {
             // The connection stays open until the child ends.
             static std::unique_ptr<Accepted> conn;
             conn = static_cast<FakeManager *>(kept)->accept_within();
             return conn != nullptr && conn->wait_hello();
         }},
    };
    for (const auto &c : cases) {
        RunResult r = in_child([&] {
            std::shared_ptr<void> kept;
            const sockaddr_storage manager = c.manager(&kept);
            const sockaddr_storage listen = addr4("127.0.0.1", 9000);
            auto link = std::make_unique<Link>(manager, listen, nullptr, c.unit_ms, kLong, kLong);
            ASSERT_TRUE(c.waiting(link->mc.get(), kept.get())) << c.name;
            const auto before = steady::now();
            mgrconn_stop(link->mc.get());
            link->started = false;
            EXPECT_LT(ms_between(before, steady::now()), 1000) << c.name;
            EXPECT_EQ(link->mc->link.fd, -1) << c.name;
        });
        EXPECT_CHILD_OK(r) << c.name;
    }
}

// An established link whose poll fails (here: the descriptor limit below the two descriptors
// it polls) pauses 1, 2, 4, ... back-off units between its retries instead of spinning, and
// watches quietly again once poll works.
TEST(MgrconnLink, FailingPollBacksOff) {
    RunResult r = in_child([] {
        constexpr long unit = 100;
        FakeManager mgr;
        const sockaddr_storage listen = addr4("127.0.0.1", 9000);
        Link link(mgr.address(), listen, nullptr, unit, 20);
        auto conn = mgr.accept_within();
        ASSERT_NE(conn, nullptr);
        ASSERT_TRUE(conn->wait_hello());
        conn->answer();
        ASSERT_TRUE(logged("INFO   Manager connection established.\n"));
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit one = saved;
        one.rlim_cur = 1;
        const auto lowered = steady::now();
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one), 0);
        const bool failed_thrice = eventually([&] { return link.mc->poll_failures.load() >= 3; });
        const long took = ms_between(lowered, steady::now());
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        ASSERT_TRUE(failed_thrice);
        // The third failure comes after pauses of 1 and 2 units.
        EXPECT_GE(took, 3 * unit);
        EXPECT_LE(link.mc->poll_failures.load(), 4u);
        EXPECT_TRUE(logged("ERROR  Manager client event error: Invalid argument\n"));
        const uint64_t quiet = link.mc->quiet_watches.load();
        EXPECT_TRUE(eventually([&] { return link.mc->quiet_watches.load() > quiet + 2; }));
        EXPECT_EQ(count_of(child_log(), "Manager client does not accept any data."), 0u);
    });
    EXPECT_CHILD_OK(r);
}

// The service's entry starts the process's link with the default settings (first attempt
// after 2 seconds); the link ignores SIGPIPE for the whole process, and the service's stop
// ends it.
TEST(MgrconnStart, StartsTheDetachedLinkOfTheProcess) {
    RunResult r = in_child([] {
        signal(SIGPIPE, SIG_DFL);
        FakeManager mgr;
        static std::atomic<int32_t> run{1};
        const sockaddr_storage manager = mgr.address();
        const sockaddr_storage listen = addr4("0.0.0.0", 7000);
        const sockaddr_storage redirect = addr4("10.1.2.3", 9100);
        ASSERT_EQ(mgrconn_start(&manager, &listen, &redirect, &run), 0);
        EXPECT_TRUE(logged("INFO   Manager connector started.\n"));
        auto conn = mgr.accept_within(5000);
        ASSERT_NE(conn, nullptr);
        ASSERT_TRUE(conn->wait_hello());
        EXPECT_EQ(hex(conn->messages()[0]), hex(kHelloRedirect));
        conn->answer();
        EXPECT_TRUE(logged("INFO   Manager connection established.\n"));
        struct sigaction sa {};
        sigaction(SIGPIPE, nullptr, &sa);
        EXPECT_EQ(sa.sa_handler, SIG_IGN);
        // The service's stop ends the link at once, although the run flag is still set.
        const auto before = steady::now();
        mgrconn_shutdown();
        EXPECT_LT(ms_between(before, steady::now()), 1000);
        EXPECT_TRUE(conn->wait_closed());
    });
    EXPECT_CHILD_OK(r);
}

} // namespace
