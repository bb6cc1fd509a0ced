// Graphical clients at a Database: hellos and query dispatch at a running server
// (`korvane start`), and the full task queue at a server made in a test process, whose pool
// the test can keep busy.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

#include "database/client_peer.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "lib/netaddr.h"
#include "server/reply.h"
#include "server/server.h"

namespace {

// "DATABASE", version 0x3006, a zero byte.

Bytes query(uint64_t rid, uint64_t qid, const Bytes &args = "") {
    return wire_message(MSG_DB_QUERY, be(rid, 8) + be(qid, 8) + args);
}

Bytes reply(uint64_t rid, uint64_t qid, uint16_t status) {
    return wire_message(MSG_RESPONSE, be(rid, 8) + be(qid, 8) + be(status, 2));
}

// Connects and says hello with `body`; the connection is answered and kept.
std::unique_ptr<PeerClient> connect_client(unsigned port, const Bytes &body) {
    auto c = std::make_unique<PeerClient>(port);
    EXPECT_TRUE(c->send({ui_hello(body)}));
    EXPECT_EQ(c->next(), kDatabaseAnswer);
    return c;
}

class ClientPeerTest : public DatabaseServer {};

TEST_F(ClientPeerTest, HelloIsAnsweredWithNameAndVersion) {
    start();
    for (const Bytes &body : {Bytes(""), Bytes(15, 'a'), Bytes(16, 'b'), Bytes(40, 'c')}) {
        PeerClient c(port);
        ASSERT_TRUE(c.send({ui_hello(body)}));
        EXPECT_EQ(c.next(), kDatabaseAnswer) << body.size() << " bytes";
    }
}

// A client's uid comes from the first 16 bytes of its hello body, a shorter body counting as
// padded with zeros; a second connection with the same uid replaces the first.
TEST_F(ClientPeerTest, ClientsWithTheSameFirst16BytesAreOneClient) {
    start();
    const struct {
        Bytes first, second;
        bool same;
    } cases[] = {
        {"abc", Bytes("abc") + Bytes(13, '\0'), true},
        {"0123456789abcdefX", "0123456789abcdefY", true},
        {"abc", "abd", false},
    };
    uint64_t rid = 1;
    for (const auto &c : cases) {
        auto first = connect_client(port, c.first);
        auto second = connect_client(port, c.second);
        if (c.same) {
            EXPECT_TRUE(first->closed_by_server()) << c.second;
        } else {
            ASSERT_TRUE(first->send({query(rid, 2)}));
            EXPECT_EQ(first->next(), reply(rid, 2, QRESP_ERROR));
        }
        ASSERT_TRUE(second->send({query(++rid, 2)}));
        EXPECT_EQ(second->next(), reply(rid, 2, QRESP_ERROR)) << c.second;
    }
}

// Each row's frame is followed by a probe query in a frame of its own: the probe's reply
// shows the connection still served, and whatever the row caused arrives before it.
TEST_F(ClientPeerTest, QueryDispatchOutcomes) {
    start();
    // Status 1 for ONLINE DATA (RID 11) with the RID as data, written out by hand.
    const Bytes online_done("\x08\x00\x00\x00\x1A"
                            "\x00\x00\x00\x00\x00\x00\x00\x0B"
                            "\x00\x00\x00\x00\x00\x00\x00\x03"
                            "\x00\x01"
                            "\x00\x00\x00\x00\x00\x00\x00\x0B",
                            31);
    const struct {
        const char *name;
        std::vector<Bytes> frame;
        std::vector<Bytes> replies;
        std::string line;
    } rows[] = {
        {"not a query",
         {wire_message(MSG_AGENT_DATA, be(1, 8) + be(2, 8))},
         {},
         "ERROR  Incorrect message type.\n"},
        {"query of 15 bytes",
         {wire_message(MSG_DB_QUERY, Bytes(15, 'q'))},
         {},
         "ERROR  Incorrect query size: 15!\n"},
        {"QID 0", {query(1, 0)}, {}, "ERROR  Unsupported query id: 0.\n"},
        {"QID 4", {query(1, 4)}, {}, "ERROR  Unsupported query id: 4.\n"},
        {"QID 13", {query(1, 13)}, {}, "ERROR  Unsupported query id: D.\n"},
        {"largest QID", {query(1, ~0ull)}, {}, "ERROR  Unsupported query id: FFFFFFFFFFFFFFFF.\n"},
        {"messages behind a refused one", {query(1, 13), query(7, 2)}, {}, ""},
        {"a query without the role's store", {query(5, 1)}, {reply(5, 1, QRESP_ERROR)}, ""},
        {"handler refusing its request",
         {query(6, 8)},
         {reply(6, 8, QRESP_ERROR)},
         "ERROR  Invalid request!\n"},
        {"ONLINE DATA subscribing and unsubscribing",
         {query(11, 3, be(1, 4))},
         {online_done},
         "subscribed successfully.\n"},
        {"ONLINE DATA unsubscribing",
         {query(14, 3, be(0, 4))},
         {wire_message(MSG_RESPONSE, be(14, 8) + be(3, 8) + be(1, 2) + be(14, 8))},
         "unsubscribed successfully.\n"},
        {"ONLINE DATA without its argument",
         {query(12, 3)},
         {reply(12, 3, QRESP_ERROR)},
         "ERROR  Incorrect online data argument size: 0!\n"},
        {"two queries in one frame",
         {query(21, 5), query(22, 6)},
         {reply(21, 5, QRESP_ERROR), reply(22, 6, QRESP_ERROR)},
         ""},
    };
    auto c = connect_client(port, "client");
    uint64_t probe = 1000;
    for (const auto &row : rows) {
        ASSERT_TRUE(c->send(row.frame)) << row.name;
        ASSERT_TRUE(c->send({query(++probe, 2)})) << row.name;
        std::vector<Bytes> got;
        const Bytes probe_reply = reply(probe, 2, QRESP_ERROR);
        while (got.size() < row.replies.size() + 1) {
            std::optional<Bytes> m = c->next();
            if (!m)
                break;
            // An online push may come while the client is subscribed.
            if ((*m)[0] != MSG_PUSH)
                got.push_back(*m);
        }
        std::vector<Bytes> want = row.replies;
        want.push_back(probe_reply);
        // Queries run on several pool workers: their replies may come in either order.
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << row.name;
        if (!row.line.empty()) {
            EXPECT_TRUE(logged(row.line)) << row.name;
        }
    }
}

// ---- a full task queue -------------------------------------------------------------------

// The server thread and the DB-UI loop on a pool of one worker with room for one queued
// task, listening on 127.0.0.1 and a port of the system's choice.
unsigned start_client_server(server *s, mtp_pool *pool) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    s->addr = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a));
    EXPECT_EQ(server_listen(s), 0);
    socklen_t len = sizeof a;
    getsockname(s->connfd, reinterpret_cast<sockaddr *>(&a), &len);
    EXPECT_EQ(server_add_loop(s, dbui_loop_create(nullptr, pool)), 0);
    EXPECT_EQ(server_start(s), 0);
    return ntohs(a.sin_port);
}

// Whether the child has logged a task refused by its pool (its standard error is a file).
bool refused_by_pool() {
    struct stat st {};
    fstat(STDERR_FILENO, &st);
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const ssize_t n = pread(STDERR_FILENO, text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text.find("DEBUG  IOL[DB-UI]: Pool full: a task of Client ") != std::string::npos;
}

// Runs in a child of the test: the threads it starts end with the child.
void full_task_queue() {
    log_level.store(2);
    mtp_pool *pool = mtp_create(1, 1, 1, "DatabasePool");
    ASSERT_EQ(mtp_start(pool), 0);
    // The threads are never joined: the server record outlives this function.
    const unsigned port = start_client_server(new server{}, pool);
    // One task holds the worker, another fills the one queued place.
    ThreadGate busy, queued;
    fill_one_worker_pool(pool, &busy, &queued);

    // The query the full pool refuses waits for room, and is answered once the pool has it.
    auto c = connect_client(port, "client");
    ASSERT_TRUE(c->send({query(1, 2)}));
    ASSERT_TRUE(eventually([] { return refused_by_pool(); }));
    busy.release();
    queued.wait_entered();
    EXPECT_EQ(c->next(), reply(1, 2, QRESP_ERROR));
    ASSERT_TRUE(c->send({query(2, 2)}));
    EXPECT_EQ(c->next(), reply(2, 2, QRESP_ERROR));
}

// A client that sends its first query in the same send as its hello, in a frame of its own,
// gets the answer and then the reply: the bytes behind the hello's frame are not lost.
void hello_and_query_in_one_send() {
    log_level.store(1);
    mtp_pool *pool = mtp_create(1, 2, 10, "DatabasePool");
    ASSERT_EQ(mtp_start(pool), 0);
    const unsigned port = start_client_server(new server{}, pool);
    PeerClient c(port);
    ASSERT_TRUE(c.send_raw(c.pack({ui_hello("eager")}) + c.pack({query(7, 2)}) +
                           c.pack({query(8, 5), query(9, 6)})));
    EXPECT_EQ(c.next(), kDatabaseAnswer);
    std::vector<Bytes> got;
    for (int i = 0; i < 3; i++)
        if (std::optional<Bytes> m = c.next())
            got.push_back(*m);
    std::vector<Bytes> want = {reply(7, 2, QRESP_ERROR), reply(8, 5, QRESP_ERROR),
                               reply(9, 6, QRESP_ERROR)};
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
}

TEST(ClientPeerPool, HelloAndQueryInOneSendGetTheirAnswerAndReply) {
    RunResult r = run_forked([] {
        hello_and_query_in_one_send();
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("Premature data"), std::string::npos) << r.err;
}

TEST(ClientPeerPool, QueryRefusedByAFullPoolWaitsForRoom) {
    RunResult r = run_forked([] {
        full_task_queue();
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

} // namespace
