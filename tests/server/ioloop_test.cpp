// IO loops with a test role over loopback connections. Each test runs in a forked child: loop
// threads are never joined, and the child's log is read back while it runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <endian.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <numeric>
#include <regex>
#include <thread>

#include "server/loop_harness.h"
#include "server/server.h"

namespace {

// The test role: a hello body holds the peer's uid as 8 big-endian bytes; the answer is
// "welcome". Frames and closes are recorded.
struct Received {
    uint64_t uid;
    uint64_t cid;
    Bytes body;
};

struct RoleLog {
    std::mutex m;
    std::vector<Received> frames;
    std::vector<uint64_t> closed;
};

RoleLog *role; // one per child

const Bytes kWelcome = message(MSG_HELLO, "welcome");

void role_on_auth(auth_request *req) {
    uint64_t uid = 0;
    memcpy(&uid, req->body, std::min<size_t>(req->len, sizeof uid));
    auto *peer = static_cast<iol_peer *>(calloc(1, sizeof(iol_peer)));
    peer->uid = be64toh(uid);
    iol_accept_request(req, peer, new_msg(MSG_HELLO, "welcome"));
}

// When a test sets it, the role makes each message of a frame a task of its peer: the task
// logs a WARN line, waits at the gate, then replies "done <data>".
struct TaskRole {
    std::mutex m;
    std::vector<Bytes> ran;
    std::vector<Bytes> released;
    std::map<uint64_t, int> running; // by uid
    std::map<uint64_t, int> most;    // the most at once, by uid
    ThreadGate gate;
};

TaskRole *tasks; // set by the task tests

struct TaskArg {
    peer_ctx ctx;
    Bytes data;
};

void task_run(void *arg) {
    auto *t = static_cast<TaskArg *>(arg);
    {
        std::lock_guard<std::mutex> lk(tasks->m);
        tasks->ran.push_back(t->data);
        const int now = ++tasks->running[t->ctx.uid];
        tasks->most[t->ctx.uid] = std::max(tasks->most[t->ctx.uid], now);
    }
    LOG_WARN("task %s", t->data.c_str());
    LOG_DEBUG("debug %s", t->data.c_str());
    tasks->gate.pass();
    {
        std::lock_guard<std::mutex> lk(tasks->m);
        --tasks->running[t->ctx.uid];
    }
    iol_reply(t->ctx.l, PeerId{t->ctx.uid, t->ctx.cid, t->ctx.idx, t->ctx.pt},
              new_msg(MSG_PUSH, "done " + t->data));
    delete t;
}

void task_release(void *arg) {
    auto *t = static_cast<TaskArg *>(arg);
    {
        std::lock_guard<std::mutex> lk(tasks->m);
        tasks->released.push_back(t->data);
    }
    delete t;
}

int task_submit(void *arg, uint8_t, uint32_t len, const uint8_t *data) {
    const auto *ctx = static_cast<const peer_ctx *>(arg);
    auto *t = new TaskArg{*ctx, Bytes(reinterpret_cast<const char *>(data), len)};
    return iol_peer_submit(ctx, task_run, t, task_release, len);
}

void role_on_frame(peer_ctx *ctx, const uint8_t *body, uint64_t len) {
    if (tasks != nullptr) {
        LOG_ERROR("frame of %lu bytes", len);
        msg_foreach(len, body, ctx, task_submit);
        return;
    }
    std::lock_guard<std::mutex> lk(role->m);
    role->frames.push_back({ctx->uid, ctx->cid, Bytes(reinterpret_cast<const char *>(body), len)});
}

size_t tasks_ran() {
    std::lock_guard<std::mutex> lk(tasks->m);
    return tasks->ran.size();
}

std::vector<Bytes> tasks_released() {
    std::lock_guard<std::mutex> lk(tasks->m);
    return tasks->released;
}

std::vector<Bytes> queries(const std::vector<std::string> &names) {
    std::vector<Bytes> out;
    for (const std::string &n : names)
        out.push_back(message(MSG_DB_QUERY, n));
    return out;
}

void role_on_close(iol_peer *peer) {
    std::lock_guard<std::mutex> lk(role->m);
    role->closed.push_back(peer->uid);
    free(peer);
}

size_t frames_of(uint64_t uid) {
    std::lock_guard<std::mutex> lk(role->m);
    size_t n = 0;
    for (const Received &r : role->frames)
        n += r.uid == uid;
    return n;
}

size_t closes_of(uint64_t uid) {
    std::lock_guard<std::mutex> lk(role->m);
    return static_cast<size_t>(std::count(role->closed.begin(), role->closed.end(), uid));
}

Bytes be64(uint64_t v) {
    v = htobe64(v);
    return Bytes(reinterpret_cast<const char *>(&v), sizeof v);
}

// A started DB-UI loop with the test role, a listener that stands in for the server thread,
// and the clients connected through it.
struct Bench {
    loop *l;
    int lfd;
    uint16_t port;
    std::vector<std::unique_ptr<Client>> clients;
    // Non-zero: the socket buffers of the next connections, both ends, in bytes. Small buffers
    // make a client that does not read hold the loop's output back at once, where the
    // kernel's grown loopback buffers would take megabytes first.
    int buffers = 0;

    // `tune` may change the loop's settings before it starts.
    explicit Bench(mtp_pool *pool = nullptr, iol_error_cb on_error = nullptr,
                   const std::function<void(loop *)> &tune = {}) {
        role = new RoleLog;
        l = iol_create(PT_DB_UI, pool, role_on_close, role_on_auth, role_on_frame, nullptr);
        EXPECT_NE(l, nullptr);
        if (tune)
            tune(l);
        EXPECT_EQ(iol_start(l, on_error, nullptr, nullptr), 0);
        lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(lfd, 64);
        getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }

    // Connects a client and returns the server side of its connection.
    conn_peer connect_client() {
        clients.push_back(std::make_unique<Client>(port));
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        int fd = accept4(lfd, reinterpret_cast<sockaddr *>(&a), &len, SOCK_NONBLOCK);
        if (buffers != 0) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffers, sizeof buffers);
            setsockopt(clients.back()->s.fd, SOL_SOCKET, SO_RCVBUF, &buffers, sizeof buffers);
        }
        return conn_peer{fd, netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a)), 0};
    }

    // A client that has said hello with this uid and got its answer; its index in clients.
    size_t join(uint64_t uid) {
        conn_peer peer = connect_client();
        Bytes body = be64(uid);
        auto *req = static_cast<auth_request *>(malloc(sizeof(auth_request) + body.size()));
        req->target = l;
        req->peer = peer;
        req->len = static_cast<uint32_t>(body.size());
        memcpy(req->body, body.data(), body.size());
        EXPECT_EQ(iol_send(l, IOMessage{req, IOM_AUTH, PeerId{}}), 0);
        EXPECT_TRUE(clients.back()->wait_messages(1));
        EXPECT_EQ(clients.back()->messages().at(0), kWelcome);
        return clients.size() - 1;
    }

    PeerId id_of(uint64_t uid) {
        PeerId id;
        iol_get_peer_id(&id, l, uid);
        return id;
    }

    void send_to(const PeerId &id, const Bytes &data) {
        ASSERT_EQ(iol_send(l, IOMessage{new_msg(MSG_PUSH, data), IOM_SEND, id}), 0);
    }
};

// Queues n empty sends, which the loop takes as no-ops.
void fill_ring(loop *l, const PeerId &id, int n) {
    for (int i = 0; i < n; i++)
        ASSERT_EQ(iol_send(l, IOMessage{nullptr, IOM_SEND, id}), 0);
}

TEST(IoLoop, CreateRefusesUnknownPeerTypes) {
    RunResult r = in_child([] {
        for (uint32_t pt : {0u, 6u})
            EXPECT_EQ(iol_create(pt, nullptr, role_on_close, role_on_auth, role_on_frame, nullptr),
                      nullptr);
        loop *l =
            iol_create(PT_MG_AG, nullptr, role_on_close, role_on_auth, role_on_frame, nullptr);
        ASSERT_NE(l, nullptr);
        EXPECT_STREQ(l->tag, "MG-AG");
        EXPECT_EQ(l->iomq.capacity, IOL_RING_SLOTS);
    });
    EXPECT_CHILD_OK(r);
    EXPECT_EQ(count_of(log_text(r), "FATAL  Invalid peer type!\n"), 2u);
}

TEST(IoLoop, AcceptsReadsAndSends) {
    RunResult r = in_child([] {
        Bench b;
        size_t c = b.join(0x77);
        EXPECT_TRUE(logged("INFO   IOL[DB-UI]: TID=0 started.\n"));
        EXPECT_TRUE(logged("INFO   IOL[DB-UI] Client #1 accepted.\n"));
        EXPECT_EQ(iol_peer_count(b.l), 1u);

        PeerId id = b.id_of(0x77);
        EXPECT_EQ(id.uid, 0x77u);
        EXPECT_NE(id.cid, 0u);
        EXPECT_EQ(id.idx, 0u);
        EXPECT_EQ(id.pt, PT_DB_UI);

        // What the client sends reaches on_frame with the sender's identity.
        b.clients[c]->send({message(MSG_DB_QUERY, "q1"), message(MSG_DB_QUERY, "q2")});
        ASSERT_TRUE(eventually([] { return frames_of(0x77) == 1; }));
        EXPECT_EQ(role->frames[0].cid, id.cid);
        EXPECT_EQ(role->frames[0].body, message(MSG_DB_QUERY, "q1") + message(MSG_DB_QUERY, "q2"));

        // A reply through the loop reaches the connection it names, a send without connection
        // id the peer with the uid; one naming another connection id is dropped as gone.
        const struct {
            PeerId to;
            bool delivered;
        } sends[] = {
            {id, true},
            {PeerId{0x77, id.cid + 1, id.idx, PT_DB_UI}, false},
            {PeerId{0x77, 0, 0, PT_DB_UI}, true},
            {PeerId{0x77, id.cid, 5, PT_DB_UI}, true}, // a wrong slot hint
        };
        std::vector<Bytes> want{kWelcome};
        for (size_t i = 0; i < std::size(sends); i++) {
            const Bytes data = "send " + std::to_string(i);
            b.send_to(sends[i].to, data);
            if (sends[i].delivered)
                want.push_back(message(MSG_PUSH, data));
        }
        b.send_to(id, "last");
        want.push_back(message(MSG_PUSH, "last"));
        ASSERT_TRUE(b.clients[c]->wait_messages(want.size()));
        EXPECT_EQ(b.clients[c]->messages(), want);
        EXPECT_EQ(b.l->gone.load(), 1u);

        // The peer table as other threads see it.
        std::vector<std::string> seen;
        iol_foreach_peer(b.l, &seen, [](void *arg, const netaddr *addr, iol_peer *) {
            static_cast<std::vector<std::string> *>(arg)->push_back(addr->text);
            return 0;
        });
        EXPECT_EQ(seen, std::vector<std::string>{local_text(b.clients[c]->s.fd)});
        int calls = 0;
        auto count_call = [](void *arg, iol_peer *) { ++*static_cast<int *>(arg); };
        iol_with_peer(b.l, &calls, count_call, PeerId{0x77, 12345, 0, PT_DB_UI});
        EXPECT_EQ(calls, 0);
        iol_with_peer(b.l, &calls, count_call, id);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(b.id_of(0x78).cid, 0u);
        EXPECT_EQ(b.id_of(0).uid, 0u);
    });
    EXPECT_CHILD_OK(r);
    std::string text = log_text(r);
    EXPECT_NE(text.find("WARN   Peer not found: uid= 0000000000000078\n"), std::string::npos);
    EXPECT_NE(text.find("ERROR  Empty peer uid!\n"), std::string::npos);
}

TEST(IoLoop, BroadcastReachesEveryPeer) {
    RunResult r = in_child(
        [] {
            Bench b;
            ASSERT_EQ(iol_send(b.l, IOMessage{new_msg(MSG_PUSH, "nobody"), IOM_BROADCAST,
                                              PeerId{0, 0, 0, PT_DB_UI}}),
                      0);
            EXPECT_TRUE(logged("DEBUG  No UI clients to broadcast to.\n"));
            for (uint64_t uid : {1, 2, 3})
                b.join(uid);
            ASSERT_EQ(iol_send(b.l, IOMessage{new_msg(MSG_PUSH, "all"), IOM_BROADCAST,
                                              PeerId{0, 0, 0, PT_DB_UI}}),
                      0);
            for (auto &c : b.clients) {
                ASSERT_TRUE(c->wait_messages(2));
                EXPECT_EQ(c->messages()[1], message(MSG_PUSH, "all"));
            }
        },
        2);
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, DropEndsOnlyTheConnectionItNames) {
    RunResult r = in_child([] {
        Bench b;
        size_t c = b.join(9);
        PeerId id = b.id_of(9);
        // A drop meant for an earlier connection of the same peer leaves this one alone.
        ASSERT_EQ(iol_send(b.l, IOMessage{nullptr, IOM_DROP, PeerId{9, id.cid + 1, 0, 0}}), 0);
        EXPECT_TRUE(logged("ERROR  IOL[DB-UI]: Mismatch CID!\n"));
        EXPECT_EQ(iol_peer_count(b.l), 1u);
        EXPECT_EQ(closes_of(9), 0u);

        ASSERT_EQ(iol_send(b.l, IOMessage{nullptr, IOM_DROP, id}), 0);
        EXPECT_TRUE(b.clients[c]->wait_closed());
        EXPECT_TRUE(eventually([] { return closes_of(9) == 1; }));
        EXPECT_EQ(iol_peer_count(b.l), 0u);
        EXPECT_TRUE(logged("INFO   IOL[DB-UI]: Client [UID=0000000000000009] destroyed.\n"));
    });
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, ClosedClientIsDropped) {
    RunResult r = in_child([] {
        Bench b;
        size_t c = b.join(4);
        sock_close(&b.clients[c]->s);
        EXPECT_TRUE(eventually([] { return closes_of(4) == 1; }));
        EXPECT_EQ(iol_peer_count(b.l), 0u);
    });
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, SameUidReplacesTheConnectionInItsSlot) {
    RunResult r = in_child([] {
        Bench b;
        b.join(1);
        size_t first = b.join(5);
        PeerId before = b.id_of(5);
        size_t second = b.join(5);
        PeerId after = b.id_of(5);
        EXPECT_TRUE(b.clients[first]->wait_closed());
        EXPECT_FALSE(b.clients[second]->closed);
        EXPECT_EQ(closes_of(5), 1u);
        EXPECT_EQ(after.idx, before.idx);
        EXPECT_NE(after.cid, before.cid);
        EXPECT_EQ(iol_peer_count(b.l), 2u);
        EXPECT_TRUE(logged("WARN   IOL[DB-UI]: Client already connected. The existing connection "
                           "will be dropped.\n"));
        // A reply meant for the old connection is dropped, never handed to the new one, where
        // it could match a request of another session.
        b.send_to(before, "for the old one");
        b.send_to(after, "for the new one");
        ASSERT_TRUE(b.clients[second]->wait_messages(2));
        EXPECT_EQ(b.clients[second]->messages(),
                  (std::vector<Bytes>{kWelcome, message(MSG_PUSH, "for the new one")}));
        EXPECT_EQ(b.l->gone.load(), 1u);
    });
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, TableGrowsBy32AndKeepsSlots) {
    RunResult r = in_child([] {
        Bench b;
        for (uint64_t uid = 1; uid <= 33; uid++)
            b.join(uid);
        EXPECT_EQ(b.l->peers.size, 64u);
        for (uint64_t uid = 1; uid <= 33; uid++)
            EXPECT_EQ(b.id_of(uid).idx, uid - 1);
        // A freed slot is taken by the next newcomer.
        ASSERT_EQ(iol_send(b.l, IOMessage{nullptr, IOM_DROP, b.id_of(3)}), 0);
        EXPECT_TRUE(eventually([] { return closes_of(3) == 1; }));
        b.join(100);
        EXPECT_EQ(b.id_of(100).idx, 2u);
    });
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, FullRingRefusesAndDrainsLater) {
    RunResult r = in_child([] {
        Bench b;
        size_t c = b.join(1);
        PeerId id = b.id_of(1);
        Gate gate;
        gate.close_on(b.l);
        fill_ring(b.l, id, 999);
        b.send_to(id, "last");
        msg *refused = new_msg(MSG_PUSH, "refused");
        EXPECT_EQ(iol_send(b.l, IOMessage{refused, IOM_SEND, id}), -1);
        free(refused);
        EXPECT_TRUE(logged("WARN   IOL[DB-UI] queue full! IOMessage 4 dropped.\n"));
        gate.release();
        ASSERT_TRUE(b.clients[c]->wait_messages(2));
        EXPECT_EQ(b.clients[c]->messages()[1], message(MSG_PUSH, "last"));
        b.send_to(id, "again");
        ASSERT_TRUE(b.clients[c]->wait_messages(3));
    });
    EXPECT_CHILD_OK(r);
}

// A sender that may wait is held while the ring is full and queues its command as soon as
// the loop makes room; one whose wait runs out is refused like any sender.
TEST(IoLoop, WaitingSenderGetsRoomOnceTheLoopDrains) {
    RunResult r = in_child([] {
        Bench b;
        size_t c = b.join(1);
        PeerId id = b.id_of(1);
        Gate gate;
        gate.close_on(b.l);
        fill_ring(b.l, id, 1000);
        msg *refused = new_msg(MSG_PUSH, "refused");
        EXPECT_EQ(iol_send_wait(b.l, IOMessage{refused, IOM_SEND, id}, 1), -1);
        free(refused);
        int waited = 1;
        std::thread sender([&] {
            waited =
                iol_send_wait(b.l, IOMessage{new_msg(MSG_PUSH, "waited"), IOM_SEND, id}, 60000);
        });
        // Released only once the sender waits, so that the room it gets is the loop's doing.
        EXPECT_TRUE(eventually([&] {
            pthread_mutex_lock(&b.l->iomq.guard);
            const bool held = b.l->iomq.waiting == 1;
            pthread_mutex_unlock(&b.l->iomq.guard);
            return held;
        }));
        gate.release();
        sender.join();
        EXPECT_EQ(waited, 0);
        ASSERT_TRUE(b.clients[c]->wait_messages(2));
        EXPECT_EQ(b.clients[c]->messages()[1], message(MSG_PUSH, "waited"));
    });
    EXPECT_CHILD_OK(r);
}

// An accept the loop cannot take closes the connection and releases what it carried.
TEST(IoLoop, AcceptRefusedByAFullRingClosesTheConnection) {
    RunResult r = in_child([] {
        Bench b;
        Gate gate;
        gate.close_on(b.l);
        fill_ring(b.l, PeerId{}, 1000);
        conn_peer peer = b.connect_client();
        auto *req = static_cast<auth_request *>(malloc(sizeof(auth_request)));
        *req = auth_request{b.l, peer, 0};
        auto *p = static_cast<iol_peer *>(calloc(1, sizeof(iol_peer)));
        p->uid = 7;
        iol_accept_request(req, p, new_msg(MSG_HELLO, "welcome"));
        EXPECT_TRUE(b.clients.back()->wait_closed());
        EXPECT_TRUE(b.clients.back()->messages().empty());
        gate.release();
        EXPECT_EQ(b.id_of(7).uid, 0u);
    });
    EXPECT_CHILD_OK(r);
}

// A peer's queue grows past its first 100 slots while the loop is held: every message
// arrives, in order, and a broadcast still reaches every peer.
TEST(IoLoop, PeerQueueGrowsAndKeepsEveryMessageInOrder) {
    RunResult r = in_child([] {
        Bench b;
        size_t busy = b.join(1);
        size_t other = b.join(2);
        PeerId id = b.id_of(1);
        Gate gate;
        gate.close_on(b.l);
        for (int i = 0; i < 250; i++)
            b.send_to(id, "m" + std::to_string(i));
        ASSERT_EQ(iol_send(b.l, IOMessage{new_msg(MSG_PUSH, "all"), IOM_BROADCAST,
                                          PeerId{0, 0, 0, PT_DB_UI}}),
                  0);
        gate.release();
        ASSERT_TRUE(b.clients[busy]->wait_messages(252));
        auto got = b.clients[busy]->messages();
        for (int i = 0; i < 250; i++)
            EXPECT_EQ(got[static_cast<size_t>(i) + 1], message(MSG_PUSH, "m" + std::to_string(i)));
        EXPECT_EQ(got[251], message(MSG_PUSH, "all"));
        ASSERT_TRUE(b.clients[other]->wait_messages(2));
        EXPECT_EQ(b.clients[other]->messages()[1], message(MSG_PUSH, "all"));
        EXPECT_EQ(iol_peer_count(b.l), 2u);
    });
    EXPECT_CHILD_OK(r);
    EXPECT_EQ(log_text(r).find("queue full"), std::string::npos);
}

// A peer that does not read what it is sent: above the soft limit its reading is paused (what
// it sends meanwhile waits in its socket), once it has read its backlog reading resumes and
// what it sent is handled; above the hard limit it is closed with a WARN. Another peer is
// served throughout.
TEST(IoLoop, OutputBudgetPausesThenClosesAPeerThatDoesNotRead) {
    RunResult r = in_child(
        [] {
            Bench b(nullptr, nullptr, [](loop *l) {
                l->out_soft = 256 << 10;
                l->peer_hard = 4 << 20;
            });
            b.buffers = 16 << 10;
            size_t slow = b.join(1);
            b.buffers = 0;
            size_t other = b.join(2);
            const PeerId id = b.id_of(1);
            // Incompressible, each unlike the others (a frame of equal chunks packs small), so
            // that the socket's small buffers take few chunks.
            uint64_t seed = 0x9E3779B97F4A7C15ull;
            auto chunk = [&seed] {
                Bytes c(16 << 10, '\0');
                for (char &b : c) {
                    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
                    b = static_cast<char>(seed >> 56);
                }
                return c;
            };
            // The client reads nothing meanwhile: its buffers take a few chunks, the loop holds
            // the rest, until the pause. However late the loop takes them, 48 chunks stay below
            // the hard limit, and what the loop then packs into one frame fits the client's
            // frame size.
            size_t sent = 0;
            while (count_of(child_log(), "reading paused.") == 0 && sent < 48) {
                b.send_to(id, chunk());
                sent++;
            }
            ASSERT_TRUE(logged("DEBUG  IOL[DB-UI]: Client [UID=0000000000000001] has "));
            b.clients[slow]->send({message(MSG_DB_QUERY, "while paused")});
            b.send_to(b.id_of(2), "served");
            ASSERT_TRUE(b.clients[other]->wait_messages(2));
            ASSERT_TRUE(b.clients[slow]->wait_messages(sent + 1, 20))
                << b.clients[slow]->messages().size() << " of " << sent + 1;
            EXPECT_TRUE(logged("DEBUG  IOL[DB-UI]: Client [UID=0000000000000001] output drained: "
                               "reading resumed.\n"));
            EXPECT_TRUE(eventually([] { return frames_of(1) == 1; }));

            // Now it stops reading for good: closed once the loop holds over 4 MiB for it.
            while (closes_of(1) == 0 && iol_send(b.l, IOMessage{new_msg(MSG_PUSH, chunk()),
                                                                IOM_SEND, id}) >= 0) {
            }
            EXPECT_TRUE(eventually([] { return closes_of(1) == 1; }, 20));
            EXPECT_TRUE(logged("WARN   IOL[DB-UI]: Client [UID=0000000000000001] holds "));
            EXPECT_TRUE(logged(" bytes, over its limit of 4194304: closed.\n"));
            EXPECT_EQ(iol_peer_count(b.l), 1u);
        },
        2);
    EXPECT_CHILD_OK(r);
}

// A close asked for by another thread is made even while the command ring is full.
TEST(IoLoop, CloseWishIsNeverLost) {
    RunResult r = in_child([] {
        Bench b;
        size_t c = b.join(1);
        b.join(2);
        PeerId id = b.id_of(1);
        EXPECT_EQ(iol_close_peer(b.l, PeerId{1, id.cid + 1, 0, 0}), -1);
        Gate gate;
        gate.close_on(b.l);
        fill_ring(b.l, id, 1000);
        EXPECT_EQ(iol_send(b.l, IOMessage{nullptr, IOM_SEND, id}), -1);
        EXPECT_EQ(iol_close_peer(b.l, id), 0);
        gate.release();
        EXPECT_TRUE(b.clients[c]->wait_closed());
        EXPECT_TRUE(eventually([] { return closes_of(1) == 1; }));
        EXPECT_TRUE(logged("WARN   IOL[DB-UI]: Client [UID=0000000000000001] closed: a message "
                           "for it could not be queued.\n"));
        EXPECT_EQ(iol_peer_count(b.l), 1u);
    });
    EXPECT_CHILD_OK(r);
}

// Sets the loop's stall time on its own thread, after the commands queued before.
void set_stall_ms(loop *l, uint32_t ms) {
    static uint32_t value;
    value = ms;
    auto *c = static_cast<iol_call *>(malloc(sizeof(iol_call)));
    *c = iol_call{&value, [](loop *on, void *arg) { on->stall_ms = *static_cast<uint32_t *>(arg); }};
    ASSERT_EQ(iol_send(l, IOMessage{c, IOM_CALL, PeerId{}}), 0);
}

// A peer whose partial frame makes no progress is closed after the stall time; one that
// completes its frames stays, and so does one whose reading is paused (it waits for us). The
// paused one sent its part first, so had it not been spared it would have gone first.
TEST(IoLoop, StalledPartialFrameIsClosed) {
    RunResult r = in_child(
        [] {
            // No stall time until the held peer is paused: however slowly the loop takes
            // the pause, that peer cannot be closed before it.
            Bench b(nullptr, nullptr, [](loop *l) { l->stall_ms = 600000; });
            size_t held = b.join(1);
            size_t stalled = b.join(2);
            size_t steady = b.join(3);
            const PeerId held_id = b.id_of(1);
            // Part of a frame of 7 payload bytes, read by the loop, then the peer is paused.
            b.clients[held]->send_raw(Bytes("KR\x30\x06\x00\x00\x00\x07\x00\x00\x00\x00"
                                             "ab",
                                             14));
            ASSERT_TRUE(logged("DEBUG  NET: message psz: 7\n"));
            ASSERT_EQ(iol_pause_reading(b.l, held_id), 0);
            b.send_to(held_id, "paused");
            ASSERT_TRUE(b.clients[held]->wait_messages(2));
            set_stall_ms(b.l, 200);

            b.clients[stalled]->send_raw(Bytes("KR\x30", 3));
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; closes_of(2) == 0 && i < 100; i++) {
                b.clients[steady]->send({message(MSG_DB_QUERY, "tick")});
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            EXPECT_TRUE(eventually([] { return closes_of(2) == 1; }));
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
            EXPECT_TRUE(b.clients[stalled]->wait_closed());
            EXPECT_TRUE(logged("WARN   IOL[DB-UI]: Client [UID=0000000000000002] sent no byte of "
                               "its frame for 0.2 seconds: closed.\n"));
            EXPECT_EQ(closes_of(1), 0u);
            EXPECT_EQ(closes_of(3), 0u);
            // Read again, the paused peer's stall counts from its resume.
            ASSERT_EQ(iol_resume_reading(b.l, held_id), 0);
            EXPECT_TRUE(eventually([] { return closes_of(1) == 1; }));
        },
        2);
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, OddCommandsAreReleasedQuietly) {
    RunResult r = in_child(
        [] {
            Bench b;
            b.join(1);
            for (uint32_t type : {0u, 8u})
                ASSERT_EQ(iol_send(b.l, IOMessage{malloc(16), type, PeerId{}}), 0);
            ASSERT_EQ(iol_send(b.l, IOMessage{nullptr, IOM_SEND, b.id_of(1)}), 0);
            ASSERT_EQ(iol_send(b.l, IOMessage{nullptr, IOM_BROADCAST, PeerId{}}), 0);
            b.send_to(PeerId{0x55, 0, 0, PT_DB_UI}, "nobody");
            EXPECT_TRUE(logged("WARN   IOL[DB-UI]: No such peer [UID=0000000000000055] found.\n"));
        },
        1);
    EXPECT_CHILD_OK(r);
    std::string text = log_text(r);
    EXPECT_NE(text.find("ERROR  IOL[DB-UI]: Incorrect IO message type: 0\n"), std::string::npos);
    EXPECT_NE(text.find("ERROR  IOL[DB-UI]: Incorrect IO message type: 8\n"), std::string::npos);
    EXPECT_EQ(count_of(text, "No such peer"), 1u);
}

TEST(IoLoop, StopEndsTheThread) {
    RunResult r = in_child([] {
        Bench b;
        ASSERT_EQ(iol_stop(b.l), 0);
        EXPECT_TRUE(logged("INFO   IOL[DB-UI] stopped.\n"));
    });
    EXPECT_CHILD_OK(r);
}

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(IoLoop, PausedPeerIsNotReadButStillSent) {
    RunResult r = in_child([] {
        Bench b;
        size_t c = b.join(1);
        PeerId id = b.id_of(1);
        EXPECT_EQ(iol_pause_reading(b.l, PeerId{1, id.cid + 1, 0, 0}), -1);
        ASSERT_EQ(iol_pause_reading(b.l, id), 0);
        // The pause is in force once a command queued after it has been run.
        b.send_to(id, "one");
        ASSERT_TRUE(b.clients[c]->wait_messages(2));
        b.clients[c]->send({message(MSG_DB_QUERY, "held")});
        // Sending turns writable interest on and off again; the pause survives both.
        b.send_to(id, "two");
        ASSERT_TRUE(b.clients[c]->wait_messages(3));
        // Unread data must not keep the loop awake either.
        const double cpu_before = cpu_seconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_LT(cpu_seconds() - cpu_before, 0.05);
        EXPECT_EQ(frames_of(1), 0u);

        // A resume queued while the command ring is full is not lost.
        Gate gate;
        gate.close_on(b.l);
        fill_ring(b.l, id, 1000);
        EXPECT_EQ(iol_send(b.l, IOMessage{nullptr, IOM_SEND, id}), -1);
        EXPECT_EQ(iol_resume_reading(b.l, id), 0);
        gate.release();
        EXPECT_TRUE(eventually([] { return frames_of(1) == 1; }));
    });
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, PeerGoneEarlierInTheBatchIsNotTouched) {
    // The drop and the peer's readable data wait in the same batch of events; the peer's event
    // must find it closed rather than released.
    RunResult r = in_child([] {
        Bench b;
        size_t c = b.join(1);
        size_t d = b.join(2);
        Gate gate;
        gate.close_on(b.l);
        ASSERT_EQ(iol_send(b.l, IOMessage{nullptr, IOM_DROP, b.id_of(1)}), 0);
        b.clients[c]->send({message(MSG_DB_QUERY, "late")});
        // The replacement of peer 2 by a newcomer with its uid, also with data pending.
        conn_peer peer = b.connect_client();
        auto *a = static_cast<ioma *>(malloc(sizeof(ioma)));
        *a = ioma{nullptr, peer, static_cast<iol_peer *>(calloc(1, sizeof(iol_peer)))};
        ASSERT_EQ(iol_send(b.l, IOMessage{a, IOM_ACCEPT, PeerId{2, 0, 0, 0}}), 0);
        b.clients[d]->send({message(MSG_DB_QUERY, "late too")});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gate.release();
        EXPECT_TRUE(eventually([] { return closes_of(1) == 1 && closes_of(2) == 1; }));
        EXPECT_EQ(iol_peer_count(b.l), 1u);
        EXPECT_TRUE(b.clients[c]->wait_closed());
        EXPECT_TRUE(b.clients[d]->wait_closed());
        // The loop has finished that batch once it runs a later command.
        Gate after;
        after.close_on(b.l);
        after.release();
    });
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, PeerThatCannotBeWatchedIsDestroyed) {
    RunResult r = in_child([] {
        Bench b;
        // A file descriptor epoll refuses.
        FILE *f = tmpfile();
        auto *a = static_cast<ioma *>(malloc(sizeof(ioma)));
        sockaddr_in addr = loopback(1);
        *a = ioma{new_msg(MSG_HELLO, "welcome"),
                  conn_peer{dup(fileno(f)),
                            netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&addr)), 0},
                  static_cast<iol_peer *>(calloc(1, sizeof(iol_peer)))};
        ASSERT_EQ(iol_send(b.l, IOMessage{a, IOM_ACCEPT, PeerId{6, 0, 0, 0}}), 0);
        EXPECT_TRUE(eventually([] { return closes_of(6) == 1; }));
        EXPECT_EQ(iol_peer_count(b.l), 0u);
        EXPECT_TRUE(logged("epoll_ctl(loop->kq, 1, ioma->client.connfd ,&event) : Operation not "
                           "permitted."));
        // A peer without uid would look like a free slot: it is refused.
        conn_peer peer = b.connect_client();
        a = static_cast<ioma *>(malloc(sizeof(ioma)));
        *a = ioma{new_msg(MSG_HELLO, "welcome"), peer,
                  static_cast<iol_peer *>(calloc(1, sizeof(iol_peer)))};
        ASSERT_EQ(iol_send(b.l, IOMessage{a, IOM_ACCEPT, PeerId{}}), 0);
        EXPECT_TRUE(b.clients.back()->wait_closed());
        EXPECT_TRUE(eventually([] { return closes_of(0) == 1; }));
        EXPECT_EQ(iol_peer_count(b.l), 0u);
    });
    EXPECT_CHILD_OK(r);
}

void record_task(iol_task *t) {
    std::lock_guard<std::mutex> lk(role->m);
    role->frames.push_back(
        {t->ctx.uid, t->ctx.cid, Bytes(reinterpret_cast<char *>(t->data), t->len)});
}

TEST(IoLoop, TasksRunOnTheLoopsPool) {
    RunResult r = in_child([] {
        mtp_pool *pool = mtp_create(1, 2, 10, "TestPool");
        ASSERT_EQ(mtp_start(pool), 0);
        Bench b(pool);
        auto *t = static_cast<iol_task *>(malloc(sizeof(iol_task) + 3));
        t->ctx = peer_ctx{b.l, 42, 7, 0, PT_DB_UI};
        t->handler = record_task;
        t->len = 3;
        memcpy(t->data, "abc", 3);
        ASSERT_EQ(iol_submit_task(b.l, t, iol_task_run), 0);
        EXPECT_TRUE(eventually([] { return frames_of(42) == 1; }));
        EXPECT_EQ(role->frames[0].body, "abc");

        loop *bare =
            iol_create(PT_DB_AG, nullptr, role_on_close, role_on_auth, role_on_frame, nullptr);
        int arg = 0;
        EXPECT_EQ(iol_submit_task(bare, &arg, [](void *) {}), -1);
    });
    EXPECT_CHILD_OK(r);
}

TEST(IoLoop, FailedWaitEndsTheServiceAbnormally) {
    RunResult r = in_child([] {
        Bench b(nullptr, server_on_loop_error);
        ASSERT_TRUE(logged("IOL[DB-UI]: TID=0 started."));
        // The loop thread closes its own epoll descriptor, so its next wait fails.
        auto *c = static_cast<iol_call *>(malloc(sizeof(iol_call)));
        *c = iol_call{nullptr, [](loop *l, void *) { close(l->kq); }};
        ASSERT_EQ(iol_send(b.l, IOMessage{c, IOM_CALL, PeerId{}}), 0);
        sleep(5);
    });
    EXPECT_EQ(r.signal, SIGABRT) << r.err;
    std::string text = log_text(r);
    EXPECT_NE(text.find("FATAL  IOL[DB-UI]: Server error: Bad file descriptor\n"),
              std::string::npos);
    EXPECT_NE(text.find("FATAL  Server error!\n"), std::string::npos);
}


// ---- tasks of a peer ----------------------------------------------------------------------

// A pool with room for `workers` tasks at once and as many queued.
mtp_pool *task_pool(uint8_t workers) {
    mtp_pool *pool = mtp_create(workers, workers, workers, "TestPool");
    EXPECT_EQ(mtp_start(pool), 0);
    return pool;
}

// A peer's tasks beyond its running limit wait in order with its reading paused; as they end
// the waiting ones start, reading resumes, and what the peer sent meanwhile is handled. Another
// peer is served throughout.
TEST(IoLoopTasks, TasksBeyondTheRunningLimitWaitWithReadingPaused) {
    RunResult r = in_child([] {
        tasks = new TaskRole;
        Bench b(task_pool(4), nullptr,
                [](loop *l) { iol_set_limits(l, iol_limits{2, 3, 1 << 20}); });
        size_t c = b.join(1);
        size_t other = b.join(2);
        b.clients[c]->send(queries({"a", "b", "c", "d", "e"}));
        ASSERT_TRUE(eventually([] { return tasks_ran() == 2; }));
        // Were it read now, a sixth task would take the peer past its limit and close it.
        b.clients[c]->send(queries({"f"}));
        b.send_to(b.id_of(2), "served");
        ASSERT_TRUE(b.clients[other]->wait_messages(2));
        EXPECT_EQ(tasks_ran(), 2u);
        tasks->gate.release();
        ASSERT_TRUE(b.clients[c]->wait_messages(7));
        std::vector<Bytes> got = b.clients[c]->messages();
        std::sort(got.begin() + 1, got.end());
        std::vector<Bytes> want{kWelcome};
        for (const char *n : {"a", "b", "c", "d", "e", "f"})
            want.push_back(message(MSG_PUSH, std::string("done ") + n));
        std::sort(want.begin() + 1, want.end());
        EXPECT_EQ(got, want);
        EXPECT_EQ(tasks->most[1], 2);
        EXPECT_TRUE(tasks_released().empty());
        EXPECT_FALSE(b.clients[c]->closed);
    });
    EXPECT_CHILD_OK(r);
}

// A task that would take a peer past its waiting limits closes it, with one WARN line: the
// task and those waiting are released unrun, the rest of the frame is not read, and the
// running task's reply is dropped as its connection has gone.
TEST(IoLoopTasks, PeerOverItsWaitingLimitsIsClosed) {
    const struct {
        const char *name;
        iol_limits limits;
        const char *line;
        size_t released; // the refused task and those that waited
    } cases[] = {
        {"tasks", {1, 2, 1 << 20}, "(2 waiting, 2 bytes)", 3},
        // The first waiting task may be of any size, the next must fit in the bytes.
        {"bytes", {1, 10, 1}, "(1 waiting, 1 bytes)", 2},
    };
    for (const auto &k : cases) {
        RunResult r = in_child([&] {
            tasks = new TaskRole;
            static iol_limits limits;
            limits = k.limits;
            Bench b(task_pool(2), nullptr, [](loop *l) { iol_set_limits(l, limits); });
            size_t c = b.join(1);
            b.clients[c]->send(queries({"a", "b", "c", "d", "e"}));
            EXPECT_TRUE(b.clients[c]->wait_closed());
            EXPECT_TRUE(eventually([] { return closes_of(1) == 1; }));
            EXPECT_TRUE(logged("WARN   IOL[DB-UI]: Client [UID=0000000000000001] sent more "
                               "requests than may wait " +
                               std::string(k.line) + ": closed.\n"));
            tasks->gate.release();
            EXPECT_TRUE(eventually([&] { return b.l->gone.load() == 1; }));
            EXPECT_EQ(tasks_ran(), 1u);
            EXPECT_EQ(tasks_released().size(), k.released);
        });
        EXPECT_CHILD_OK(r) << k.name;
        EXPECT_EQ(count_of(log_text(r), "sent more requests than may wait"), 1u) << k.name;
    }
}

// The frame the messages make on the wire.
Bytes frame_of(const std::vector<Bytes> &messages) {
    Bytes body;
    for (const Bytes &m : messages)
        body += m;
    std::vector<uint8_t> buf(body.begin(), body.end());
    buf.resize(body.size() + FRAME_TRAILER_LEN);
    std::vector<uint8_t> area(1 << 16);
    frame_hdr h;
    const uint64_t size = frame_pack(&h, buf.data(), body.size(), area);
    return Bytes(reinterpret_cast<const char *>(&h), FRAME_HDR_LEN) +
           Bytes(reinterpret_cast<const char *>(buf.data()), size - FRAME_HDR_LEN);
}

// Frames of one query each, named from "p0" on, laid end to end.
Bytes pipelined(int n, std::vector<Bytes> *answers) {
    Bytes out;
    for (int i = 0; i < n; i++) {
        const std::string name = "p" + std::to_string(i);
        out += frame_of(queries({name}));
        answers->push_back(message(MSG_PUSH, "done " + name));
    }
    return out;
}

// A client that sends, in one write, far more one-query frames than may run and wait: the
// loop stops taking them while its tasks wait and keeps the rest, which a stalled peer's
// close meanwhile leaves alone; once the tasks move, every query is answered in order and the
// connection stays open. What follows the kept frames, part of a frame, is completed later.
TEST(IoLoopTasks, PipelinedFramesWaitUnreadAndAreAllAnswered) {
    RunResult r = in_child([] {
        tasks = new TaskRole;
        Bench b(task_pool(2), nullptr, [](loop *l) {
            iol_set_limits(l, iol_limits{1, 3, 1 << 20});
            l->stall_ms = 300;
        });
        size_t c = b.join(1);
        size_t stalled = b.join(2);
        std::vector<Bytes> want{kWelcome};
        const Bytes last = frame_of(queries({"last"}));
        b.clients[c]->send_raw(pipelined(200, &want) + last.substr(0, 20));
        ASSERT_TRUE(eventually([] { return tasks_ran() == 1; }));
        b.clients[stalled]->send_raw(Bytes("KR\x30", 3));
        EXPECT_TRUE(eventually([] { return closes_of(2) == 1; }));
        EXPECT_EQ(closes_of(1), 0u);
        tasks->gate.release();
        ASSERT_TRUE(b.clients[c]->wait_messages(want.size(), 20))
            << b.clients[c]->messages().size() << " of " << want.size();
        b.clients[c]->send_raw(last.substr(20));
        want.push_back(message(MSG_PUSH, "done last"));
        ASSERT_TRUE(b.clients[c]->wait_messages(want.size()));
        EXPECT_EQ(b.clients[c]->messages(), want);
        EXPECT_FALSE(b.clients[c]->closed);
        EXPECT_TRUE(tasks_released().empty());
        EXPECT_EQ(tasks->most[1], 1);
    });
    EXPECT_CHILD_OK(r);
    EXPECT_EQ(log_text(r).find("sent more requests than may wait"), std::string::npos);
}

// What a client sends ahead is bounded all the same: a frame that alone carries more queries
// than may run and wait closes it, kept behind others or not, with one WARN line; so does a
// backlog that takes it past its hard limit. Whatever was answered before came in order.
TEST(IoLoopTasks, KeptFramesStayWithinTheLimits) {
    const struct {
        const char *name;
        int pipelined;     // one-query frames ahead
        int overfull;      // queries of the frame behind them, 0: none
        uint64_t hard;     // the peer's hard limit
        const char *line;
    } cases[] = {
        {"overfull frame alone", 0, 40, IOL_PEER_HARD,
         "WARN   IOL[DB-UI]: Client [UID=0000000000000001] sent more requests than may wait"},
        {"overfull frame behind others", 20, 40, IOL_PEER_HARD,
         "WARN   IOL[DB-UI]: Client [UID=0000000000000001] sent more requests than may wait"},
        {"backlog past the hard limit", 2000, 0, 8192,
         " bytes, over its limit of 8192: closed.\n"},
    };
    for (const auto &k : cases) {
        RunResult r = in_child([&] {
            tasks = new TaskRole;
            static uint64_t hard;
            hard = k.hard;
            Bench b(task_pool(2), nullptr, [](loop *l) {
                iol_set_limits(l, iol_limits{1, 3, 1 << 20});
                l->peer_hard = hard;
            });
            size_t c = b.join(1);
            std::vector<Bytes> want{kWelcome};
            Bytes bytes = pipelined(k.pipelined, &want);
            if (k.overfull > 0) {
                std::vector<std::string> names;
                for (int i = 0; i < k.overfull; i++)
                    names.push_back("o" + std::to_string(i));
                bytes += frame_of(queries(names));
            }
            b.clients[c]->send_raw(bytes);
            if (k.pipelined > 0) {
                ASSERT_TRUE(eventually([] { return tasks_ran() == 1; }));
            }
            tasks->gate.release();
            EXPECT_TRUE(b.clients[c]->wait_closed(20));
            EXPECT_TRUE(eventually([] { return closes_of(1) == 1; }));
            EXPECT_TRUE(logged(k.line));
            const std::vector<Bytes> got = b.clients[c]->messages();
            ASSERT_LE(got.size(), want.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
        });
        EXPECT_CHILD_OK(r) << k.name;
        EXPECT_EQ(count_of(log_text(r), k.line), 1u) << k.name;
    }
}

// A task the pool refuses is kept, first in line with its peer's reading paused, and runs
// once the pool has room: the loop offers it again at its periodic look.
TEST(IoLoopTasks, PoolRefusalKeepsTheTask) {
    RunResult r = in_child(
        [] {
            tasks = new TaskRole;
            tasks->gate.release();
            mtp_pool *pool = mtp_create(1, 1, 1, "TestPool");
            ASSERT_EQ(mtp_start(pool), 0);
            // A short stall time makes the periodic look frequent.
            Bench b(pool, nullptr, [](loop *l) { l->stall_ms = 100; });
            size_t c = b.join(1);
            ThreadGate busy, queued;
            fill_one_worker_pool(pool, &busy, &queued);
            b.clients[c]->send(queries({"kept"}));
            EXPECT_TRUE(logged("DEBUG  IOL[DB-UI]: Pool full: a task of Client "
                               "[UID=0000000000000001] waits.\n"));
            busy.release();
            ASSERT_TRUE(b.clients[c]->wait_messages(2));
            EXPECT_EQ(b.clients[c]->messages()[1],
                      message(MSG_PUSH, "done kept"));
            EXPECT_TRUE(tasks_released().empty());
        },
        2);
    EXPECT_CHILD_OK(r);
}

// A task that outlives its connection replies to nobody: not to the next connection of the
// same uid, which may have a request of the same id.
TEST(IoLoopTasks, ReplyOfAClosedConnectionIsNotDeliveredToTheNext) {
    RunResult r = in_child([] {
        tasks = new TaskRole;
        Bench b(task_pool(2));
        size_t first = b.join(7);
        b.clients[first]->send(queries({"q"}));
        ASSERT_TRUE(eventually([] { return tasks_ran() == 1; }));
        size_t second = b.join(7);
        EXPECT_TRUE(b.clients[first]->wait_closed());
        tasks->gate.release();
        EXPECT_TRUE(eventually([&] { return b.l->gone.load() == 1; }));
        b.send_to(b.id_of(7), "mine");
        ASSERT_TRUE(b.clients[second]->wait_messages(2));
        EXPECT_EQ(b.clients[second]->messages(),
                  (std::vector<Bytes>{kWelcome, message(MSG_PUSH, "mine")}));
    });
    EXPECT_CHILD_OK(r);
}

// The lines the summaries of peer 1's limiter count (a summary per interval: the lines of one
// burst may straddle two).
uint64_t suppressed_of_1(const std::string &text) {
    static const std::regex summary(
        R"(WARN   IOL\[DB-UI\]: Client \[UID=0000000000000001\]: (\d+) log lines suppressed in )"
        R"(the last \d+ s\.\n)");
    const std::vector<uint64_t> counts = captured_numbers(text, summary);
    return std::accumulate(counts.begin(), counts.end(), uint64_t{0});
}

// What a peer's frames and tasks log goes through the peer's limiter: its first lines, then
// a summary with the count; DEBUG lines, other peers' lines and lines outside any peer pass.
TEST(IoLoopTasks, PeerLinesGoThroughItsLimiter) {
    RunResult r = in_child(
        [] {
            tasks = new TaskRole;
            tasks->gate.release();
            Bench b(task_pool(2), nullptr, [](loop *l) {
                l->log_first = 3;
                l->log_interval_ms = 300;
                l->stall_ms = 1000;
            });
            size_t noisy = b.join(1);
            size_t quiet = b.join(2);
            // One frame line and eight task lines: three pass, six are counted.
            b.clients[noisy]->send(queries({"1", "2", "3", "4", "5", "6", "7", "8"}));
            ASSERT_TRUE(b.clients[noisy]->wait_messages(9));
            EXPECT_TRUE(eventually([] { return suppressed_of_1(child_log()) == 6; }));
            b.clients[quiet]->send(queries({"q"}));
            ASSERT_TRUE(b.clients[quiet]->wait_messages(2));
            LOG_WARN("a server event");
        },
        2);
    EXPECT_CHILD_OK(r);
    const std::string text = log_text(r);
    EXPECT_EQ(count_of(text, "ERROR  frame of ") + count_of(text, "WARN   task "), 5u)
        << text;
    EXPECT_EQ(count_of(text, "DEBUG  debug "), 9u);
    // The closes at the child's exit may add a line of their own after the server event.
    EXPECT_EQ(suppressed_of_1(text.substr(0, text.find("WARN   a server event\n"))), 6u) << text;
    EXPECT_NE(text.find("WARN   a server event\n"), std::string::npos);
}

} // namespace
