#include "manager/agent_peer.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/bbuf.h"
#include "lib/be_load.h"
#include "lib/clock.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/murmur3.h"
#include "lib/xalloc.h"
#include "manager/acache.h"
#include "manager/agentcmd.h"
#include "manager/manager_ctx.h"
#include "manager/peer_tasks.h"
#include "server/reply.h"
#include "server/runtime.h"
#include "server/server.h"

namespace {

// An agent's label as log lines show it.
struct label_text {
    char text[AGENT_LABEL_TEXT];
    explicit label_text(const agent_identity &id) { agent_label_text(&id, text); }
};

// What the Manager reads of an agent's hello.
struct mgagent_hello {
    uint64_t start_ms;
    agent_identity identity;
    uint64_t cid1;
    uint64_t cid2;
    uint64_t hash;
    nurl database; // host order
};

mgagent_hello hello_decode(const uint8_t *body) {
    mgagent_hello h{};
    h.start_ms = load_be64(body);
    memcpy(&h.identity, body + 8, sizeof h.identity);
    h.cid1 = load_be64(body + 72);
    h.cid2 = load_be64(body + 80);
    h.hash = load_be64(body + 88);
    nurl_from_wire(std::span<const uint8_t, NURL_SIZE>(body + 96, NURL_SIZE), &h.database);
    return h;
}

manager_ctx *mgagent_ctx(const loop *l) {
    return static_cast<manager_ctx *>(l->ctx);
}

// The MG-AG table, indexed by message type.
const msg_handler MGAGENT_TABLE[MGAGENT_TYPES] = {
    nullptr, nullptr, nullptr, nullptr, mgagent_on_agent_data,     nullptr,
    nullptr, nullptr, mgagent_on_query_response, nullptr, nullptr, nullptr,
};

} // namespace

void agent_status_from_wire(std::span<const uint8_t, AGENT_STATUS_LEN> wire, AgentStatus *out) {
    const uint8_t *p = wire.data();
    AgentStatus s{};
    s.u64_0 = load_be64(p);
    s.u16_8 = load_be16(p + 8);
    for (size_t i = 0; i < 10; i++)
        s.values[i] = load_be64(p + 10 + 8 * i);
    s.u16_90 = load_be16(p + 90);
    s.u16_92 = load_be16(p + 92);
    memcpy(s.raw_94, p + 94, sizeof s.raw_94);
    s.u16_110 = load_be16(p + 110);
    s.mem_total = load_be64(p + 112);
    s.mem_free = load_be64(p + 120);
    memcpy(s.raw_128, p + 128, sizeof s.raw_128);
    *out = s;
}

void agent_status_to_wire(const AgentStatus *status, std::span<uint8_t, AGENT_STATUS_LEN> out) {
    const AgentStatus s = *status;
    uint8_t *p = out.data();
    store_be64(p, s.u64_0);
    store_be16(p + 8, s.u16_8);
    for (size_t i = 0; i < 10; i++)
        store_be64(p + 10 + 8 * i, s.values[i]);
    store_be16(p + 90, s.u16_90);
    store_be16(p + 92, s.u16_92);
    memcpy(p + 94, s.raw_94, sizeof s.raw_94);
    store_be16(p + 110, s.u16_110);
    store_be64(p + 112, s.mem_total);
    store_be64(p + 120, s.mem_free);
    memcpy(p + 128, s.raw_128, sizeof s.raw_128);
}

static void mgagent_refuse(auth_request *req) {
    close(req->peer.connfd);
    free(req);
}

// The Database a Standalone server gives a new agent: itself. Listening on the any-address,
// which nobody can dial, it names the local address the agent reached it on.
static void mgagent_own_address(const manager_ctx *ctx, int connfd, nurl *out) {
    sockaddr_storage local = ctx->srv->addr.address;
    if (sockaddr_is_any(&local)) {
        socklen_t len = sizeof local;
        if (getsockname(connfd, reinterpret_cast<sockaddr *>(&local), &len) != 0) {
            LOG_SYSERR("getsockname");
            local = ctx->srv->addr.address;
        }
    }
    sockaddr_to_nurl(reinterpret_cast<const sockaddr *>(&local), out);
}

// Uploads the cached configuration unless the agent runs that very version.
static void mgagent_check_config(manager_ctx *ctx, const mgr_agent &cached, const mgagent_hello &h,
                                 const char *label) {
    if (cfg_id_none(cached.cid1, cached.cid2)) {
        LOG_INFO("Agent [%s] has no configuration assigned.", label);
        return;
    }
    // The id the agent reports only tells whether it runs any configuration at all.
    if (!cfg_id_none(h.cid1, h.cid2) && h.hash == cached.datahash) {
        LOG_INFO("Agent [%s] configuration up-to-date.", label);
        return;
    }
    LOG_INFO("Agent [%s] configuration update required.", label);
    agentcmd_prepare_config_upload(ctx, cached.aid, cached.cid1, cached.cid2);
}

static void mgagent_check_database(manager_ctx *ctx, const mgr_agent &cached,
                                   const mgagent_hello &h, const char *label) {
    const nurl assigned = cached.database;
    if (nurl_is_empty(&assigned)) {
        LOG_INFO("Agent [%s] has no database assigned.", label);
        return;
    }
    if (nurl_cmp(&h.database, &assigned) == 0) {
        LOG_INFO("Agent [%s] database target up-to-date.", label);
        return;
    }
    char text[NET_TEXT_SIZE];
    nurl_to_url(&assigned, text);
    LOG_INFO("Agent [%s] database update required to %s.", label, text);
    agentcmd_set_database(ctx, cached.aid, &assigned);
}

void mgagent_register(manager_ctx *ctx, auth_request *req) {
    const mgagent_hello h = hello_decode(req->body);
    const uint64_t aid = murmur3_hash64(&h.identity, sizeof h.identity);
    char started[32];
    fmt_time(started, static_cast<time_t>(h.start_ms / 1000));
    LOG_INFO("Authenticating agent [%016lX: %s] started at [%s] connected from %s", aid,
             label_text(h.identity).text, started, req->peer.addr.text);

    mgr_agent record{};
    record.identity = h.identity;
    record.aid = aid;
    if (ctx->mode == MODE_STANDALONE) {
        nurl own;
        mgagent_own_address(ctx, req->peer.connfd, &own);
        record.database = own;
    }
    // From here on the cached record speaks for the agent, not its hello.
    const mgr_agent cached = acache_add(ctx->mgrdb, &record);
    if (cached.aid == 0) {
        mgagent_refuse(req);
        return;
    }
    auto *peer = static_cast<mgagent_peer *>(krv_calloc(1, sizeof(mgagent_peer)));
    peer->base.uid = aid;
    peer->identity = cached.identity;
    peer->start_ms = h.start_ms;
    msg *answer = msg_new(MSG_HELLO, MGR_HELLO_ANSWER, sizeof MGR_HELLO_ANSWER);
    if (iol_accept_request(req, &peer->base, answer) != 0)
        return;
    // Queued behind the answer to the same loop, so the agent receives them in this order.
    const label_text label(cached.identity);
    mgagent_check_config(ctx, cached, h, label.text);
    mgagent_check_database(ctx, cached, h, label.text);
}

// The pool task of the waiting hellos: registers them one after another until none waits.
static void mgagent_register_waiting(void *arg) {
    auto *ctx = static_cast<manager_ctx *>(arg);
    mgagent_hellos &q = ctx->hellos;
    for (;;) {
        auth_request *req;
        {
            std::lock_guard<std::mutex> lk(q.m);
            if (q.waiting.empty()) {
                q.draining = false;
                return;
            }
            req = q.waiting.front();
            q.waiting.pop_front();
        }
        mgagent_register(ctx, req);
    }
}

void mgagent_on_auth(auth_request *req) {
    if (req->len < MGAGENT_HELLO_LEN) {
        LOG_ERROR("Incorrect agent hello size.");
        mgagent_refuse(req);
        return;
    }
    manager_ctx *ctx = mgagent_ctx(req->target);
    mgagent_hellos &q = ctx->hellos;
    std::unique_lock<std::mutex> lk(q.m);
    if (q.waiting.size() >= q.limit) {
        lk.unlock();
        LOG_WARN("Agent hello from %s refused: %u hellos wait for registration.",
                 req->peer.addr.text, q.limit);
        mgagent_refuse(req);
        return;
    }
    q.waiting.push_back(req);
    if (q.draining)
        return;
    q.draining = true;
    lk.unlock();
    if (iol_submit_task(req->target, ctx, mgagent_register_waiting) == 0)
        return;
    // No worker will take them: every hello waiting (this one; hellos only come from this
    // thread) is refused.
    std::deque<auth_request *> refused;
    lk.lock();
    refused.swap(q.waiting);
    q.draining = false;
    lk.unlock();
    LOG_ERROR("Cannot enqueue agent hello. Queue full.");
    for (auth_request *r : refused)
        mgagent_refuse(r);
}

void mgagent_on_frame(peer_ctx *ctx, const uint8_t *data, uint64_t len) {
    msg_foreach(len, data, ctx, mgagent_on_message);
}

int mgagent_on_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
    return mgr_submit_message(static_cast<const peer_ctx *>(ctx), MGAGENT_TABLE, MGAGENT_TYPES,
                              type, len, data);
}

void mgagent_on_close(iol_peer *peer) {
    auto *p = reinterpret_cast<mgagent_peer *>(peer);
    if (p->relay != nullptr)
        relay_agent_gone(p->relay, relay_conn{p->base.uid, p->base.cid});
    if (p->unmatched > 0)
        LOG_WARN("Agent [%016lX]: %lu answers that match no forwarded query dropped.", p->base.uid,
                 p->unmatched);
    free(p->jvmprops);
    free(p);
}

static void mgagent_store_status(void *arg, iol_peer *peer) {
    reinterpret_cast<mgagent_peer *>(peer)->status = *static_cast<const AgentStatus *>(arg);
}

void mgagent_on_agent_data(iol_task *t) {
    LOG_DEBUG("Handling agent data ...");
    if (t->len == 0) {
        LOG_ERROR("Incorrect agent data size: %u!.", t->len);
        return;
    }
    if (t->data[0] != AGENT_DATA_STATUS) {
        LOG_ERROR("Unsupported agent data id: %X", t->data[0]);
        return;
    }
    if (t->len - 1 != AGENT_STATUS_LEN) {
        LOG_ERROR("Incorrect agent status size: %u", t->len - 1);
        return;
    }
    LOG_DEBUG("Received agent status data.");
    AgentStatus status;
    agent_status_from_wire(std::span<const uint8_t, AGENT_STATUS_LEN>(t->data + 1, AGENT_STATUS_LEN),
                           &status);
    iol_with_peer(t->ctx.l, &status, mgagent_store_status, mgr_sender(t->ctx));
    LOG_DEBUG("AgentStatus: Mem total=%lu, Mem free=%lu", status.mem_total, status.mem_free);
}

// Counts an answer of the sending agent connection that matched nothing; tells of the count
// in one line per interval.
struct unmatched_count {
    uint64_t now_ms;
    uint64_t told; // the count to tell now, 0 for none
};

static void mgagent_count_unmatched(void *arg, iol_peer *peer) {
    auto *c = static_cast<unmatched_count *>(arg);
    auto *p = reinterpret_cast<mgagent_peer *>(peer);
    p->unmatched++;
    if (p->unmatched_ms == 0 || c->now_ms - p->unmatched_ms >= MGAGENT_UNMATCHED_INTERVAL_MS) {
        c->told = p->unmatched;
        p->unmatched = 0;
        p->unmatched_ms = c->now_ms;
    }
}

static void mgagent_unmatched(const iol_task *t) {
    unmatched_count c{monotonic_ms(), 0};
    iol_with_peer(t->ctx.l, &c, mgagent_count_unmatched, mgr_sender(t->ctx));
    if (c.told > 0)
        LOG_WARN("Agent [%016lX]: %lu answers that match no forwarded query dropped.", t->ctx.uid,
                 c.told);
}

void mgagent_on_query_response(iol_task *t) {
    LOG_DEBUG("Handling a query response of size %u...", t->len);
    if (t->ctx.pt != PT_MG_AG) {
        LOG_ERROR("Unsupported peer response.");
        return;
    }
    // An answer without data is relayed as well: the client waits for it.
    if (t->len < AGENT_ANSWER_HDR_LEN) {
        LOG_ERROR("Incorrect response size %u.", t->len);
        return;
    }
    const uint64_t rid = load_be64(t->data);
    const uint64_t qid = load_be64(t->data + 8);
    const uint16_t status = load_be16(t->data + 16);
    PeerId to;
    memcpy(&to, t->data + 18, sizeof to);
    // Relayed only to the client connection whose query went to this very agent connection
    // with these ids, and only once; whatever else the agent names is not believed.
    manager_ctx *ctx = mgagent_ctx(t->ctx.l);
    const relay_query asked{relay_conn{t->ctx.uid, t->ctx.cid}, rid, qid};
    if (to.pt != PT_MG_UI || !relay_take(&ctx->relay, relay_conn{to.uid, to.cid}, asked)) {
        mgagent_unmatched(t);
        return;
    }
    uint8_t *payload = t->data + AGENT_ANSWER_HDR_LEN;
    const uint32_t n = t->len - AGENT_ANSWER_HDR_LEN;
    if (qid == AGENT_QUERY_JVM_PROPERTIES && n > 0) {
        // The properties travel on as a NUL-terminated text.
        payload[n - 1] = 0;
        if (status == QRESP_OK && payload[0] != 0 && n <= MGAGENT_JVMPROPS_MAX)
            mgagent_cache_jvmprops(t->ctx.l, reinterpret_cast<const char *>(payload),
                                   mgr_sender(t->ctx));
    }
    msg *reply = qresp_build(status, rid, qid, n > 0 ? payload : nullptr, n);
    if (reply == nullptr)
        reply = qresp_build(QRESP_ERROR, rid, qid, nullptr, 0);
    mgr_send_reply(ctx, to, reply);
}

namespace {

struct report_walk {
    bbuf *buf;
};

int report_one(void *arg, const netaddr *addr, iol_peer *peer) {
    bbuf *b = static_cast<report_walk *>(arg)->buf;
    if (bbuf_remaining(b) < AGENT_REPORT_REC_LEN)
        return 1;
    const auto *p = reinterpret_cast<const mgagent_peer *>(peer);
    uint8_t rec[AGENT_REPORT_REC_LEN] = {};
    rec[0] = 1;
    const auto family = addr->address.ss_family;
    if (family == AF_INET || family == AF_INET6) {
        nurl remote;
        sockaddr_to_nurl(reinterpret_cast<const sockaddr *>(&addr->address), &remote);
        nurl_to_wire(&remote, std::span<uint8_t, NURL_SIZE>(rec + 1, NURL_SIZE));
    }
    store_be64(rec + 1 + NURL_SIZE, p->start_ms);
    agent_status_to_wire(&p->status,
                         std::span<uint8_t, AGENT_STATUS_LEN>(rec + 1 + NURL_SIZE + 8, AGENT_STATUS_LEN));
    bbuf_put_bytes(b, rec, sizeof rec);
    return 0;
}

} // namespace

msg *mgagent_build_status_report(loop *l) {
    LOG_DEBUG("Reporting agent statuses ...");
    const uint64_t count = iol_peer_count(l);
    if (count == 0) {
        LOG_DEBUG("No statuses to report.");
        return nullptr;
    }
    LOG_DEBUG("Found %lu agents in registry.", count);
    // Agents that arrive after the count are left for the next report.
    report_walk walk{bbuf_new(count * AGENT_REPORT_REC_LEN)};
    iol_foreach_peer(l, &walk, report_one);
    msg *report = nullptr;
    if (bbuf_position(walk.buf) == 0)
        LOG_DEBUG("No agents status collected.");
    else
        report = msg_new(MSG_AGENT_DATA, bbuf_data(walk.buf), bbuf_position(walk.buf));
    free(walk.buf);
    return report;
}

namespace {

struct jvmprops_lookup {
    uint64_t aid;
    char *copy;
};

int jvmprops_find(void *arg, const netaddr *, iol_peer *peer) {
    auto *q = static_cast<jvmprops_lookup *>(arg);
    if (peer->uid != q->aid)
        return 0;
    const char *text = reinterpret_cast<const mgagent_peer *>(peer)->jvmprops;
    if (text != nullptr)
        q->copy = krv_strdup(text);
    return 1;
}

struct jvmprops_text {
    const char *text;
};

void jvmprops_keep(void *arg, iol_peer *peer) {
    auto *p = reinterpret_cast<mgagent_peer *>(peer);
    if (p->jvmprops == nullptr)
        p->jvmprops = krv_strdup(static_cast<const jvmprops_text *>(arg)->text);
}

} // namespace

char *mgagent_get_jvmprops(loop *l, uint64_t aid) {
    jvmprops_lookup q{aid, nullptr};
    iol_foreach_peer(l, &q, jvmprops_find);
    return q.copy;
}

void mgagent_cache_jvmprops(loop *l, const char *text, PeerId id) {
    jvmprops_text arg{text};
    iol_with_peer(l, &arg, jvmprops_keep, id);
}

namespace {

struct relay_watch {
    query_relay *relay;
    bool connected;
};

void relay_watch_set(void *arg, iol_peer *peer) {
    auto *w = static_cast<relay_watch *>(arg);
    reinterpret_cast<mgagent_peer *>(peer)->relay = w->relay;
    w->connected = true;
}

} // namespace

bool mgagent_watch_relay(loop *l, PeerId id, query_relay *r) {
    relay_watch w{r, false};
    iol_with_peer(l, &w, relay_watch_set, id);
    return w.connected;
}

loop *mgagent_loop_create(manager_ctx *ctx, mtp_pool *pool) {
    ctx->hellos.limit = test_setting_ms(MGAGENT_HELLOS_ENV, MGAGENT_HELLOS_WAITING);
    loop *l = iol_create(PT_MG_AG, pool, mgagent_on_close, mgagent_on_auth, mgagent_on_frame, ctx);
    if (l != nullptr)
        iol_set_limits(l, iol_limits{MGAGENT_TASKS, MGAGENT_WAITING, MGAGENT_WAITING_BYTES});
    return l;
}
