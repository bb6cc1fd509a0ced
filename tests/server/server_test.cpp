// The server thread over real loopback sockets, with test loops behind it, and a real service
// process. Tests with threads run in a forked child (see loop_harness.h).
#include <gtest/gtest.h>

#include <csignal>
#include <endian.h>
#include <memory>
#include <numeric>
#include <regex>
#include <sys/resource.h>
#include <sys/stat.h>

#include "server/loop_harness.h"
#include "server/role.h"
#include "server/runtime.h"
#include "server/server.h"
#include "server/service.h"

namespace {

Bytes be32(uint32_t v) {
    v = htobe32(v);
    return Bytes(reinterpret_cast<const char *>(&v), sizeof v);
}

// A frame without compression written out by hand: "KR", version 0x3006, payload length,
// header check (0: none), body, trailer.
Bytes frame_of(const Bytes &body, uint32_t check = 0) {
    const auto n = static_cast<uint32_t>(body.size());
    return Bytes("KR\x30\x06", 4) + be32(n + 4) + be32(check) + body + be32(n);
}

Bytes hello(const Bytes &data) {
    return frame_of(message(MSG_HELLO, data));
}

const Bytes kAgent("\0\0\0AGENT", 8);

// What the test loops were handed: the loop's peer type and the hello body.
struct Routed {
    uint32_t pt;
    Bytes body;
};

std::mutex routed_m;
std::vector<Routed> *routed; // one per child

void record_auth(auth_request *req) {
    {
        std::lock_guard<std::mutex> lk(routed_m);
        routed->push_back({req->target->pt, Bytes(reinterpret_cast<char *>(req->body), req->len)});
    }
    close(req->peer.connfd);
    free(req);
}

void ignore_frame(peer_ctx *, const uint8_t *, uint64_t) {}

size_t routed_count() {
    std::lock_guard<std::mutex> lk(routed_m);
    return routed->size();
}

// A started server on 127.0.0.1 and a free port with a test loop for each peer type given.
// Its threads are never joined, so the server record outlives the harness.
struct Harness {
    server &s = *new server{};
    uint16_t port = 0;

    explicit Harness(std::initializer_list<uint32_t> pts, uint32_t timeout_ms = 0,
                     uint32_t tick_ms = 0) {
        routed = new std::vector<Routed>;
        sockaddr_in a = loopback(0);
        s.addr = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a));
        s.auth_timeout_ms = timeout_ms;
        s.tick_ms = tick_ms;
        EXPECT_EQ(server_listen(&s), 0);
        socklen_t len = sizeof a;
        getsockname(s.connfd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        for (uint32_t pt : pts)
            EXPECT_EQ(server_add_loop(&s, iol_create(
                                              pt, nullptr, [](iol_peer *p) { free(p); },
                                              record_auth, ignore_frame, nullptr)),
                      0);
        EXPECT_EQ(server_start(&s), 0);
    }
};

// Each refusal closes the connection without an answer; no loop sees the hello.
TEST(ServerThread, RefusedHellosCloseTheConnection) {
    const struct {
        const char *name;
        Bytes bytes;
        std::string line;
    } cases[] = {
        {"not a hello", frame_of(message(MSG_DB_QUERY, "UICLIENTSE")),
         "WARN   Unsupported message type [2] from client "},
        {"kind cut short", hello("UICLIEN"), "WARN   Message corrupted from client "},
        {"no target", hello("UICLIENTS"), "WARN   Message corrupted from client "},
        {"unknown target", hello("UICLIENTXY"), "WARN   Invalid target: 5859!\n"},
        {"agent for a Manager at a Database", hello(kAgent + "ER"),
         "WARN   Unsupported server client type from client "},
        {"Database at a Database", hello("DATABASE"),
         "ERROR  Unsupported client type from client "},
        {"unknown kind", hello("HELLOKRV"),
         "WARN   Unknown authentication attempt [48454C4C4F4B5256] from client "},
        {"frame beyond 512 bytes", hello("UICLIENTSE" + Bytes(590, 'x')),
         "ERROR  NET: Receive buffer size exceeded!\n"},
        {"wrong header check", frame_of(message(MSG_HELLO, "UICLIENTSE"), 0x12345678),
         "ERROR  NET: Network header corrupted.\n"},
    };
    RunResult r = in_child([&] {
        Harness h({PT_DB_AG, PT_DB_UI});
        for (const auto &c : cases) {
            Client client(h.port);
            std::string text = local_text(client.s.fd);
            client.send_raw(c.bytes);
            EXPECT_TRUE(client.wait_closed()) << c.name;
            EXPECT_TRUE(logged(c.line)) << c.name;
            EXPECT_TRUE(logged("INFO   Server client connection " + text + " closed.\n")) << c.name;
        }
        EXPECT_TRUE(eventually([&] { return h.s.nconns == 0; }));
        EXPECT_EQ(routed_count(), 0u);
    });
    EXPECT_CHILD_OK(r);
}

// The lines of the counted summaries of the refused connections' limiter.
uint64_t refusals_suppressed(const std::string &text) {
    static const std::regex summary(
        R"(WARN   Server: Refused connections: (\d+) log lines suppressed in the last \d+ s\.\n)");
    const std::vector<uint64_t> counts = captured_numbers(text, summary);
    return std::accumulate(counts.begin(), counts.end(), uint64_t{0});
}

// A churn of refused connections costs the limiter's first lines, then summaries counting
// the rest; the accepts themselves are the server's own events and stay.
TEST(ServerThread, RefusalChurnCostsTheLogItsFirstLines) {
    RunResult r = in_child([] {
        Harness h({PT_DB_UI}, 0, 50);
        log_limiter_init(&h.s.refusals, "Server: Refused connections", 4, 1000, LOG_LIMIT_RENEW);
        for (int i = 0; i < 30; i++) {
            Client client(h.port);
            client.send_raw(hello("HELLOKRV"));
            EXPECT_TRUE(client.wait_closed());
        }
        // Each refusal says why and that the connection closed: 4 of those 60 lines pass.
        EXPECT_TRUE(eventually([] { return refusals_suppressed(child_log()) == 56; }));
    });
    EXPECT_CHILD_OK(r);
    const std::string text = log_text(r);
    EXPECT_EQ(count_of(text, "Unknown authentication attempt") +
                  count_of(text, "INFO   Server client connection "),
              4u);
    EXPECT_EQ(count_of(text, "INFO   New connection attempt from "), 30u);
}

TEST(ServerThread, HellosReachTheLoopOfTheirPeerType) {
    const struct {
        Bytes bytes;
        uint32_t pt;
        Bytes body;
    } cases[] = {
        {hello(kAgent + "SE" + "agent body"), PT_DB_AG, "agent body"},
        {hello(kAgent + "ER" + "mgr"), PT_MG_AG, "mgr"},
        {hello("DATABASE"), PT_MG_DB, ""},
        {kHelloFrame, PT_DB_UI, ""},
        {hello("UICLIENTER" + Bytes("\0login", 6)), PT_MG_UI, Bytes("\0login", 6)},
    };
    RunResult r = in_child([&] {
        Harness h({PT_DB_AG, PT_MG_AG, PT_MG_DB, PT_DB_UI, PT_MG_UI});
        EXPECT_EQ(h.s.mask, 0x3Eu);
        for (const auto &c : cases) {
            Client client(h.port);
            client.send_raw(c.bytes);
            EXPECT_TRUE(client.wait_closed());
            ASSERT_TRUE(eventually([&] { return routed_count() == 1; })) << c.pt;
            EXPECT_EQ(routed->back().pt, c.pt);
            EXPECT_EQ(routed->back().body, c.body);
            routed->clear();
        }
        // The slot is freed just after the hand-over, which the loop may finish first.
        EXPECT_TRUE(eventually([&] { return h.s.nconns == 0; }));
    });
    EXPECT_CHILD_OK(r);
}

// What a test loop found in the socket behind a hello: it reads until it has `behind_want`
// bytes (or a time-out), so what it gets does not depend on how the bytes were cut on the way.
size_t behind_want;
Bytes *behind;

void read_behind(auth_request *req) {
    Bytes got;
    char buf[256];
    pollfd p{req->peer.connfd, POLLIN, 0};
    while (got.size() < behind_want && poll(&p, 1, 5000) == 1) {
        ssize_t n = recv(req->peer.connfd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    {
        std::lock_guard<std::mutex> lk(routed_m);
        *behind = got;
    }
    record_auth(req);
}

// The server thread reads no further than the end of the frame that holds the hello: frames
// sent behind it in the same send reach the loop intact, while a second message inside the
// hello's own frame is refused once. The slot is then clean for the next connection.
TEST(ServerThread, BytesBehindTheHelloFrameAreKeptForTheLoop) {
    RunResult r = in_child([] {
        behind = new Bytes;
        server &s = *new server{};
        routed = new std::vector<Routed>;
        sockaddr_in a = loopback(0);
        s.addr = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a));
        ASSERT_EQ(server_listen(&s), 0);
        socklen_t len = sizeof a;
        getsockname(s.connfd, reinterpret_cast<sockaddr *>(&a), &len);
        ASSERT_EQ(server_add_loop(&s, iol_create(
                                          PT_DB_UI, nullptr, [](iol_peer *p) { free(p); },
                                          read_behind, ignore_frame, nullptr)),
                  0);
        ASSERT_EQ(server_start(&s), 0);
        const uint16_t port = ntohs(a.sin_port);

        const Bytes after = frame_of(message(MSG_DB_QUERY, "first query")) + kHelloFrame;
        behind_want = after.size();
        Client first(port);
        std::string text = local_text(first.s.fd);
        first.send_raw(frame_of(message(MSG_HELLO, "UICLIENTSE") + message(MSG_DB_QUERY, "q")) +
                       after);
        EXPECT_TRUE(first.wait_closed());
        ASSERT_TRUE(eventually([] { return routed_count() == 1; }));
        EXPECT_EQ(routed->back().body, "");
        {
            std::lock_guard<std::mutex> lk(routed_m);
            EXPECT_EQ(hex(*behind), hex(after));
        }
        EXPECT_TRUE(logged("WARN   Premature data from client " + text + "\n"));
        EXPECT_EQ(count_of(child_log(), "Premature data"), 1u);

        behind_want = 0;
        Client next(port);
        next.send_raw(Bytes(kHelloFrame, 0, 5));
        next.send_raw(Bytes(kHelloFrame, 5));
        EXPECT_TRUE(next.wait_closed());
        EXPECT_TRUE(eventually([] { return routed_count() == 2; }));
        EXPECT_TRUE(eventually([&] { return s.nconns == 0; }));
    });
    EXPECT_CHILD_OK(r);
}

TEST(ServerThread, SlotTableGrowsBy16) {
    RunResult r = in_child([] {
        Harness h({PT_DB_UI});
        std::vector<std::unique_ptr<Client>> waiting;
        auto connect_one = [&] {
            waiting.push_back(std::make_unique<Client>(h.port));
            waiting.back()->send_raw("KR\x30"); // the start of a header: accepted, still silent
            size_t n = waiting.size();
            ASSERT_TRUE(eventually(
                [&] { return count_of(child_log(), "INFO   Connection established to") == n; }));
        };
        for (int i = 0; i < 31; i++)
            connect_one();
        EXPECT_EQ(h.s.nconns, 31u);
        EXPECT_EQ(h.s.nslots, 32u);
        connect_one();
        EXPECT_EQ(h.s.nconns, 32u);
        EXPECT_EQ(h.s.nslots, 48u);
        // The slots that moved with the table still complete their hellos.
        waiting[0]->send_raw(Bytes(kHelloFrame, 3));
        EXPECT_TRUE(eventually([] { return routed_count() == 1; }));
        // The hand-over to the loop orders the server thread's slot writes before this read.
        EXPECT_EQ(std::string(h.s.slots[32].peer.addr.text), local_text(waiting.back()->s.fd));
        EXPECT_EQ(h.s.slots[31].peer.connfd, -1);
        // The connections stay open until the child ends, so that the server thread does not
        // free their slots while this thread has just read them.
        for (auto &c : waiting)
            (void)c.release();
    });
    EXPECT_CHILD_OK(r);
}

TEST(ServerThread, SilentConnectionTimesOut) {
    RunResult r = in_child([] {
        Harness h({PT_DB_UI}, 200, 20);
        Client silent(h.port);
        std::string text = local_text(silent.s.fd);
        auto start = std::chrono::steady_clock::now();
        silent.send_raw("KR");
        Client prompt(h.port);
        prompt.send_raw(kHelloFrame);
        EXPECT_TRUE(silent.wait_closed());
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
        EXPECT_TRUE(logged("WARN   Client [" + text + "] authentication timed out!\n"));
        EXPECT_EQ(count_of(child_log(), "authentication timed out"), 1u);
        // The prompt connection's hello is routed in its own time, which a loaded machine
        // may put after the silent one's time-out.
        EXPECT_TRUE(eventually([] { return routed_count() == 1u; }));
    });
    EXPECT_CHILD_OK(r);
}

TEST(ServerThread, ResetConnectionLeavesItsSlot) {
    RunResult r = in_child([] {
        Harness h({PT_DB_UI});
        Client c(h.port);
        c.send_raw("KR");
        ASSERT_TRUE(eventually([&] { return h.s.nconns == 1; }));
        linger abort_close{1, 0};
        setsockopt(c.s.fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
        sock_close(&c.s);
        EXPECT_TRUE(eventually([&] { return h.s.nconns == 0; }));
        EXPECT_TRUE(logged("closed.\n"));
    });
    EXPECT_CHILD_OK(r);
}

TEST(ServerThread, AcceptBacksOffWhenOutOfDescriptors) {
    RunResult r = in_child([] {
        Harness h({PT_DB_UI}, 0, 50);
        Client c(h.port);
        // Take every descriptor left below a low limit, so that accepting fails.
        rlimit lim{64, 64};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
        std::vector<int> fillers;
        for (int fd; (fd = dup(0)) >= 0;)
            fillers.push_back(fd);
        c.send_raw(kHelloFrame);
        EXPECT_TRUE(
            logged("ERROR  Cannot accept a server client connection: Too many open files\n"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // At most one failure per tick, not a spin.
        EXPECT_LE(count_of(child_log(), "Cannot accept"), 6u);
        close(fillers.back());
        EXPECT_TRUE(eventually([] { return routed_count() == 1; }));
    });
    EXPECT_CHILD_OK(r);
}

TEST(ServerThread, SendAndLoopLookupByPeerType) {
    RunResult r = in_child([] {
        Harness h({PT_DB_UI});
        for (uint32_t pt : {0u, 6u}) {
            EXPECT_EQ(server_send(&h.s, IOMessage{nullptr, IOM_SEND, PeerId{1, 0, 0, pt}}), -1);
            EXPECT_EQ(server_get_loop(&h.s, pt), nullptr);
        }
        EXPECT_EQ(server_send(&h.s, IOMessage{nullptr, IOM_SEND, PeerId{1, 0, 0, PT_MG_DB}}), -1);
        EXPECT_EQ(server_get_loop(&h.s, PT_MG_DB), nullptr);
        EXPECT_EQ(server_send(&h.s, IOMessage{nullptr, IOM_SEND, PeerId{1, 0, 0, PT_DB_UI}}), 0);
        EXPECT_EQ(server_get_loop(&h.s, PT_DB_UI), h.s.dbui);
    });
    EXPECT_CHILD_OK(r);
    EXPECT_EQ(count_of(log_text(r), "FATAL  Server does not support this peer type!\n"), 4u);
}

msg *no_report(void *, loop *) {
    ADD_FAILURE() << "no report is built without a client";
    return nullptr;
}

TEST(ServerThread, AgentsReportWaitsForClients) {
    RunResult r = in_child(
        [] {
            Harness manager({PT_MG_AG, PT_MG_UI});
            server_report_agents(&manager.s, no_report, nullptr);
            Harness database({PT_DB_AG, PT_DB_UI});
            server_report_agents(&database.s, no_report, nullptr);
        },
        2);
    EXPECT_CHILD_OK(r);
    EXPECT_EQ(count_of(log_text(r), "DEBUG  No UI peers connected. Agents report canceled.\n"), 1u);
}

TEST(ServerThread, LostListeningSocketEndsTheServiceAbnormally) {
    RunResult r = in_child([] {
        Harness h({PT_DB_UI});
        ASSERT_TRUE(logged("INFO   Server [0] started.\n"));
        shutdown(h.s.connfd, SHUT_RDWR);
        sleep(5);
    });
    EXPECT_EQ(r.signal, SIGABRT) << r.err;
    std::string text = log_text(r);
    EXPECT_NE(text.find("INFO   Server stopped.\nFATAL  Server error!\n"), std::string::npos);
}

// ---- roles ----

// What the loop makers of the fake roles were handed.
struct Made {
    uint32_t pt;
    void *ctx;
    mtp_pool *pool;
};

std::vector<Made> *made; // one per child

template <uint32_t PT> loop *fake_loop(void *ctx, mtp_pool *pool) {
    made->push_back({PT, ctx, pool});
    return iol_create(
        PT, pool, [](iol_peer *p) { free(p); }, record_auth, ignore_frame, ctx);
}

// A role of the product's shape: a pool and the loops of the table of its mode, each maker
// a fake one.
role fake_role(uint32_t mode, void *ctx) {
    role r{};
    r.ctx = ctx;
    r.mode = mode;
    if (mode == 1) {
        r.name = "Manager";
        r.pool = {"FakeManagerPool", 1, 2, 4};
        r.loops[0] = {PT_MG_UI, true, 0, fake_loop<PT_MG_UI>};
        r.loops[1] = {PT_MG_AG, true, 0, fake_loop<PT_MG_AG>};
        r.loops[2] = {PT_MG_DB, false, 2, fake_loop<PT_MG_DB>};
    } else {
        r.name = "Database";
        r.pool = {"FakeDatabasePool", 1, 2, 4};
        r.loops[0] = {PT_DB_UI, true, 0, fake_loop<PT_DB_UI>};
        r.loops[1] = {PT_DB_AG, false, 0, fake_loop<PT_DB_AG>};
    }
    return r;
}

// The server on 127.0.0.1 and a port of the system's choice with the roles' pools and loops.
uint16_t set_up_roles(server *s, role_set *roles) {
    sockaddr_in a = loopback(0);
    s->addr = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a));
    EXPECT_EQ(init_server_socket(s, roles), 0);
    socklen_t len = sizeof a;
    getsockname(s->connfd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

TEST(ServerRoles, BothRolesMakeTheirPoolsAndLoopsAndAreServed) {
    RunResult r = in_child([] {
        routed = new std::vector<Routed>;
        made = new std::vector<Made>;
        int manager_ctx = 0, database_ctx = 0;
        role_set roles{{fake_role(1, &manager_ctx), fake_role(2, &database_ctx)}, 2};
        static server s{};
        const uint16_t port = set_up_roles(&s, &roles);
        // In table order, the Manager first; no MG-DB loop beside the Database role.
        ASSERT_EQ(made->size(), 4u);
        const uint32_t pts[] = {PT_MG_UI, PT_MG_AG, PT_DB_UI, PT_DB_AG};
        const void *ctxs[] = {&manager_ctx, &manager_ctx, &database_ctx, &database_ctx};
        for (size_t i = 0; i < 4; i++) {
            EXPECT_EQ((*made)[i].pt, pts[i]) << i;
            EXPECT_EQ((*made)[i].ctx, ctxs[i]) << i;
        }
        ASSERT_NE((*made)[0].pool, nullptr);
        EXPECT_EQ((*made)[1].pool, (*made)[0].pool) << "the Manager's loops share its pool";
        ASSERT_NE((*made)[2].pool, nullptr);
        EXPECT_NE((*made)[2].pool, (*made)[0].pool) << "each role has a pool of its own";
        EXPECT_STREQ((*made)[0].pool->name, "FakeManagerPool");
        EXPECT_STREQ((*made)[2].pool->name, "FakeDatabasePool");
        EXPECT_EQ((*made)[2].pool->max, 2u);
        EXPECT_EQ((*made)[3].pool, nullptr);
        EXPECT_EQ(s.mask, 0x36u);
        EXPECT_EQ(s.mgdb, nullptr);
        EXPECT_EQ(s.mgui->ctx, &manager_ctx);
        EXPECT_EQ(s.dbagent->ctx, &database_ctx);

        ASSERT_EQ(server_start(&s), 0);
        EXPECT_TRUE(logged("INFO   Server [0] started.\n"));
        for (const char *tag : {"MG-UI", "MG-AG", "DB-UI", "DB-AG"})
            EXPECT_NE(child_log().find(std::string("INFO   IOL[") + tag + "]: TID=0 started.\n"),
                      std::string::npos)
                << tag;
        const struct {
            Bytes bytes;
            uint32_t pt;
        } hellos[] = {{hello(kAgent + "SE" + "a"), PT_DB_AG},
                      {hello("UICLIENTER" + Bytes("u")), PT_MG_UI}};
        for (const auto &c : hellos) {
            Client client(port);
            client.send_raw(c.bytes);
            EXPECT_TRUE(client.wait_closed());
            ASSERT_TRUE(eventually([&] { return routed_count() == 1; })) << c.pt;
            EXPECT_EQ(routed->back().pt, c.pt);
            routed->clear();
        }
        Client db(port);
        db.send_raw(hello("DATABASE"));
        EXPECT_TRUE(db.wait_closed());
        EXPECT_TRUE(logged("ERROR  Unsupported client type from client "));
    });
    EXPECT_CHILD_OK(r);
}

TEST(ServerRoles, ManagerAloneServesDatabases) {
    RunResult r = in_child([] {
        routed = new std::vector<Routed>;
        made = new std::vector<Made>;
        role_set roles{{fake_role(1, nullptr)}, 1};
        static server s{};
        const uint16_t port = set_up_roles(&s, &roles);
        ASSERT_EQ(made->size(), 3u);
        EXPECT_EQ(made->back().pt, PT_MG_DB);
        EXPECT_EQ(made->back().pool, nullptr);
        EXPECT_EQ(s.mask, 0x2Cu);
        ASSERT_EQ(server_start(&s), 0);
        Client db(port);
        db.send_raw(hello("DATABASE" + Bytes("nurl")));
        EXPECT_TRUE(db.wait_closed());
        ASSERT_TRUE(eventually([] { return routed_count() == 1; }));
        EXPECT_EQ(routed->back().pt, PT_MG_DB);
        EXPECT_EQ(routed->back().body, "nurl");
    });
    EXPECT_CHILD_OK(r);
}

// What the roles saw at their stop steps, in order.
std::vector<std::string> *steps;
uint16_t stop_port;

// Whether a new connection to the server's port is refused.
bool refused_now() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(stop_port);
    const bool refused = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0;
    close(fd);
    return refused;
}

// The service's stop: the server stops accepting (a connection still waiting for its hello
// is closed) before any role quiesces, and every role quiesces before any closes.
TEST(ServerRoles, StopEndsAcceptingBeforeTheRolesQuiesceAndClose) {
    RunResult r = in_child([] {
        routed = new std::vector<Routed>;
        made = new std::vector<Made>;
        steps = new std::vector<std::string>;
        static struct runtime rt {};
        rt.roles = role_set{{fake_role(1, nullptr), fake_role(2, nullptr)}, 2};
        for (uint32_t i = 0; i < 2; i++) {
            rt.roles.items[i].quiesce = [](role *self, struct runtime *) {
                steps->push_back(std::string("quiesce ") + self->name +
                                 (refused_now() ? " refused" : " accepted"));
            };
            rt.roles.items[i].close = [](role *self, struct runtime *) {
                steps->push_back(std::string("close ") + self->name);
            };
        }
        stop_port = set_up_roles(&rt.server, &rt.roles);
        ASSERT_EQ(server_start(&rt.server), 0);
        Client waiting(stop_port);
        waiting.send_raw("KR");
        ASSERT_TRUE(eventually([] { return rt.server.nconns == 1; }));
        service_stop(&rt);
        EXPECT_TRUE(waiting.wait_closed());
        EXPECT_TRUE(logged("INFO   Server stopped.\n"));
        const std::vector<std::string> want = {"quiesce Manager refused", "quiesce Database refused",
                                               "close Manager", "close Database"};
        EXPECT_EQ(*steps, want);
    });
    EXPECT_CHILD_OK(r);
}

TEST(ServerRoles, FindByModeBit) {
    role_set roles{{fake_role(1, nullptr), fake_role(2, nullptr)}, 2};
    EXPECT_EQ(role_find(&roles, 1), &roles.items[0]);
    EXPECT_EQ(role_find(&roles, 2), &roles.items[1]);
    EXPECT_EQ(role_find(&roles, 3), nullptr);
    EXPECT_EQ(role_set_mode(&roles), 3u);
    role_set one{{fake_role(2, nullptr)}, 1};
    EXPECT_EQ(role_find(&one, 1), nullptr);
    EXPECT_EQ(role_set_mode(&one), 2u);
}

TEST(ServerSetup, BindFailureIsReported) {
    RunResult r = in_child([] {
        Harness h({PT_DB_UI});
        server other{};
        sockaddr_in a = loopback(h.port);
        other.addr = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a));
        role_set none{};
        EXPECT_EQ(init_server_socket(&other, &none), -1);
    });
    EXPECT_CHILD_OK(r);
    std::string text = log_text(r);
    EXPECT_NE(text.find("INFO   --- Server configuration ---\n"), std::string::npos);
    EXPECT_NE(text.find("INFO   : SO_RCVBUF                 : "), std::string::npos);
    EXPECT_NE(text.find("ERROR  Server bind 127.0.0.1:"), std::string::npos);
    EXPECT_NE(text.find("error: Address already in use\nFATAL  Server initialization failure.\n"),
              std::string::npos);
}

// A real service process on a Database environment.
class ServiceProcess : public testing::Test {
protected:
    TempDir dir;
    std::string env = dir.sub("env");
    unsigned port = free_tcp_port();

    void SetUp() override { lay_out_database_env(env, port); }

    void TearDown() override {
        static const std::regex re(R"(Process \[korvane=(\d+)\] created successfully\.)");
        for (uint64_t pid : captured_numbers(log(), re))
            kill(static_cast<pid_t>(pid), SIGKILL);
        if (pid_t master = atoi(read_file(env + "/var/korvane.pid").c_str()); master > 0)
            kill(master, SIGKILL);
    }

    std::string log() { return read_file(env + "/logs/korvane.log"); }
};

TEST_F(ServiceProcess, DatabaseListensClosesBadHellosAndStops) {
    ASSERT_EQ(run_korvane({"start", env}).exit_code, 0);
    // The server thread may log its start a moment after the service's own line.
    for (const char *line :
         {"INFO   Server initialization success.\n", "INFO   IOL[DB-UI]: TID=0 started.\n",
          "INFO   IOL[DB-AG]: TID=0 started.\n", "INFO   Server [0] started.\n",
          "INFO   ===== STARTED =====\n"})
        EXPECT_TRUE(eventually([&] { return log().find(line) != std::string::npos; })) << line;
    EXPECT_EQ(log().find("IOL[MG-"), std::string::npos);

    Client bad(static_cast<uint16_t>(port));
    bad.send_raw(hello("HELLOKRV"));
    EXPECT_TRUE(bad.wait_closed());
    // The Manager role is not served: a Manager client's hello is refused.
    Client ui(static_cast<uint16_t>(port));
    ui.send_raw(hello("UICLIENTER"));
    EXPECT_TRUE(ui.wait_closed());
    EXPECT_TRUE(eventually([&] {
        return log().find(
                   "WARN   Unknown authentication attempt [48454C4C4F4B5256] from client ") !=
                   std::string::npos &&
               log().find("WARN   Unsupported server client type from client ") !=
                   std::string::npos;
    }));

    RunResult stop = run_korvane({"stop", env});
    EXPECT_EQ(stop.exit_code, 0) << stop.out;
    EXPECT_NE(log().find("INFO   Korvane stopped.\n"), std::string::npos);
}

} // namespace
