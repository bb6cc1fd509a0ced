#include "database/collector.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "database/agent_collector.h"
#include "database/store/ext.h"
#include "lib/be_load.h"
#include "lib/log.h"
#include "lib/thread.h"
#include "lib/xalloc.h"
#include "server/msg.h"

namespace {

constexpr uint32_t TABLE_FIRST_SLOTS = 64;
constexpr uint32_t TABLE_GROW_SLOTS = 16;
constexpr uint64_t QUEUE_FIRST_ENTRIES = 512;

// Queued by collector_stop behind everything else; it ends the worker. Only its address is
// used: it is never read, written or freed.
const collector_msg COLLECTOR_STOP{};

// Numbers the collector queues of the process.
std::atomic<int> collector_queue_seq{0};

uint8_t *collector_msg_data(collector_msg *m) {
    return reinterpret_cast<uint8_t *>(m + 1);
}

collector_msg *collector_msg_new(uint64_t agent_id, uint64_t size, const uint8_t *data) {
    auto *m = static_cast<collector_msg *>(krv_malloc(sizeof(collector_msg) + size));
    m->agent_id = agent_id;
    m->size = size;
    m->fn = nullptr;
    m->arg = nullptr;
    if (size > 0)
        memcpy(collector_msg_data(m), data, size);
    return m;
}

collector_worker *collector_worker_of(collector *c, uint64_t agent_id) {
    return &c->workers[agent_id % c->n];
}

// Appends n zeroed slots to the worker's table; they become its highest free slots.
void collector_table_grow(collector_worker *cw, uint32_t n) {
    agent_table *t = &cw->collectors;
    auto batch = std::make_unique<agent_slot[]>(n);
    for (uint32_t i = 0; i < n; i++)
        pthread_mutex_init(&batch[i].lock, nullptr);
    const auto first = static_cast<uint32_t>(t->items.size());
    KRV_LOCKCALL(pthread_mutex_lock(&cw->collectors.lock));
    for (uint32_t i = 0; i < n; i++)
        t->items.push_back(&batch[i]);
    KRV_LOCKCALL(pthread_mutex_unlock(&cw->collectors.lock));
    t->batches.push_back(std::move(batch));
    for (uint32_t i = 0; i < n; i++)
        t->free_slots.push(first + i);
}

void collector_table_count(collector_worker *cw, int delta) {
    KRV_LOCKCALL(pthread_mutex_lock(&cw->collectors.lock));
    cw->collectors.active += delta;
    KRV_LOCKCALL(pthread_mutex_unlock(&cw->collectors.lock));
}

// The slot serving an agent; an agent without one gets the first free slot (the table grows
// when none is free) with new collector state.
agent_slot *collector_slot_for(collector_worker *cw, uint64_t agent_id) {
    agent_table *t = &cw->collectors;
    if (t->last != nullptr && t->last->agent_id == agent_id)
        return t->last;
    auto it = t->by_agent.find(agent_id);
    if (it != t->by_agent.end())
        return t->last = t->items[it->second];
    if (t->free_slots.empty())
        collector_table_grow(cw, TABLE_GROW_SLOTS);
    const uint32_t index = t->free_slots.top();
    t->free_slots.pop();
    agent_slot *avail = t->items[index];
    agent_collector *ac = agent_collector_create(&cw->cb, agent_id, &cw->memory);
    KRV_LOCKCALL(pthread_mutex_lock(&avail->lock));
    avail->ac = ac;
    avail->agent_id = agent_id;
    KRV_LOCKCALL(pthread_mutex_unlock(&avail->lock));
    char who[48];
    snprintf(who, sizeof who, "Collector: Agent [%016lX]", agent_id);
    log_limiter_init(&avail->limiter, who, LOG_LIMIT_FIRST, LOG_LIMIT_INTERVAL_MS, 0);
    t->by_agent.emplace(agent_id, index);
    collector_table_count(cw, 1);
    return t->last = avail;
}

// The agent went away: its collector state and everything it had in progress go.
void collector_agent_gone(collector_worker *cw, uint64_t agent_id) {
    LOG_DEBUG("Collector received agent disconnect notification.");
    agent_table *t = &cw->collectors;
    auto it = t->by_agent.find(agent_id);
    if (it == t->by_agent.end())
        return;
    agent_slot *ptr = t->items[it->second];
    log_limiter_end(&ptr->limiter);
    KRV_LOCKCALL(pthread_mutex_lock(&ptr->lock));
    agent_collector_destroy(ptr->ac);
    ptr->ac = nullptr;
    ptr->agent_id = 0;
    KRV_LOCKCALL(pthread_mutex_unlock(&ptr->lock));
    t->free_slots.push(it->second);
    t->by_agent.erase(it);
    if (t->last == ptr)
        t->last = nullptr;
    collector_table_count(cw, -1);
}

// Walks the messages of one payload of an agent. The root calls they complete reach the
// files together once the payload has been walked.
void collector_agent_data(collector_worker *cw, collector_msg *m) {
    agent_slot *slot = collector_slot_for(cw, m->agent_id);
    collector_msg_ctx ctx{slot, cw->scratch.get()};
    agent_payload_begin(slot->ac);
    {
        log_scope scope(&slot->limiter);
        msg_foreach(m->size, collector_msg_data(m), &ctx, collector_process_message);
    }
    // A failed write has been counted and told as a loss by the store.
    (void)agent_payload_end(slot->ac);
}

// A payload has been handled: its bytes leave the worker's count, and once the count is
// down to half the budget the agents held meanwhile are released. The lock is taken after
// every payload: a hold decided on a count read just before this subtraction is then
// either seen here or made after it, never lost between the two.
void collector_drained(collector_worker *cw, uint64_t size) {
    const uint64_t left = cw->queued.fetch_sub(size) - size;
    collector *c = cw->owner;
    KRV_LOCKCALL(pthread_mutex_lock(&cw->flow_lock));
    if (!cw->held.empty() && left <= c->budget / 2) {
        for (uint64_t agent_id : cw->held)
            c->release(c->release_ctx, agent_id);
        cw->held.clear();
    }
    KRV_LOCKCALL(pthread_mutex_unlock(&cw->flow_lock));
}

void *collector_thread(void *arg) {
    collector_worker_main(static_cast<collector_worker *>(arg));
    return nullptr;
}

// ---- records ----

struct record_counts {
    uint32_t calls;
    uint32_t kvs;
    uint32_t symbols;
};

// A record handler takes the bytes after the type byte and gives the bytes it used, or -1
// when the record does not fit in them.
using record_fn = int64_t (*)(collector_msg_ctx *ctx, uint8_t type, const uint8_t *p, uint32_t rest,
                              record_counts *n);

int64_t record_symbol(collector_msg_ctx *ctx, uint8_t type, const uint8_t *p, uint32_t rest,
                      record_counts *n) {
    n->symbols++;
    if (rest < 6)
        return -1;
    const uint32_t id = load_be32(p);
    const uint16_t len = load_be16(p + 4);
    if (len > rest - 6)
        return -1;
    agent_collector *ac = ctx->slot->ac;
    // A name that cannot be mapped has been logged; the records behind it are read on.
    (void)agent_symbol_map_put(ac, agent_symbol_map_of(ac, type), id, len,
                               reinterpret_cast<const char *>(p + 6), ac->cb.symbol_save,
                               ac->cb.db);
    return 6 + int64_t{len};
}

int64_t record_kv(collector_msg_ctx *ctx, uint8_t, const uint8_t *p, uint32_t rest,
                  record_counts *n) {
    n->kvs++;
    if (rest < sizeof(kv_record))
        return -1;
    kv_record rec{load_be32(p), load_be64(p + 4), load_be64(p + 12)};
    agent_collector *ac = ctx->slot->ac;
    // A dropped sample has been logged; the records behind it are read on.
    (void)agent_kv_process(agent_symbol_map_of(ac, AREC_SYM_KEY), ac, &rec, ac->cb.kv_save);
    return sizeof(kv_record);
}

int64_t record_call(collector_msg_ctx *ctx, uint8_t, const uint8_t *p, uint32_t rest,
                    record_counts *n) {
    n->calls++;
    if (rest < 2)
        return -1;
    const uint16_t len = load_be16(p);
    if (len > rest - 2)
        return -1;
    // A dropped call or root call has been logged; the records behind it are read on.
    (void)agent_call_process(ctx->slot->ac, ctx->scratch, p + 2, len);
    return 2 + int64_t{len};
}

// Handlers by record type; types without one are refused.
constexpr record_fn RECORD_HANDLERS[] = {
    nullptr,       nullptr,       record_symbol, record_symbol,
    record_symbol, record_symbol, record_kv,     record_call,
};

// Hands the records of one message to their handlers. 0, or -1 when the message is
// abandoned.
int collector_records(collector_msg_ctx *mctx, uint32_t len, const uint8_t *data) {
    record_counts n{};
    uint32_t pos = 0;
    while (len - pos > 1) {
        const uint8_t rtype = data[pos];
        if (rtype >= std::size(RECORD_HANDLERS) || RECORD_HANDLERS[rtype] == nullptr) {
            LOG_ERROR("Unsupported agent data type: %x", rtype);
            return -1;
        }
        const int64_t used = RECORD_HANDLERS[rtype](mctx, rtype, data + pos + 1, len - pos - 1, &n);
        if (used < 0) {
            LOG_ERROR("Message processing failure. Message corrupted!");
            return -1;
        }
        pos += 1 + static_cast<uint32_t>(used);
    }
    LOG_DEBUG("Processed: INV[%u] KV[%u] SYM[%u]", n.calls, n.kvs, n.symbols);
    return 0;
}

// ---- set-up and teardown ----

void collector_worker_setup(collector *c, collector_worker *cw, const collector_callbacks *cb) {
    cw->owner = c;
    cw->cb = *cb;
    pthread_mutex_init(&cw->flow_lock, nullptr);
    cw->scratch = std::make_unique<uint8_t[]>(COLLECTOR_SCRATCH_SIZE);
    pthread_mutex_init(&cw->collectors.lock, nullptr);
    collector_table_grow(cw, TABLE_FIRST_SLOTS);
    char name[16];
    snprintf(name, sizeof name, "CQ-%d", collector_queue_seq.fetch_add(1));
    queue_init(&cw->q, QUEUE_FIRST_ENTRIES, name);
}

// Takes what is left in a stopped worker's queue: calls are cancelled, payloads dropped
// (counted in the WARN line), disconnect notices and stop markers let go.
void collector_worker_drain(collector_worker *cw) {
    uint64_t frames = 0, bytes = 0;
    void *item;
    while ((item = queue_pop_wait(&cw->q, 0)) != nullptr) {
        if (item == &COLLECTOR_STOP)
            continue;
        auto *m = static_cast<collector_msg *>(item);
        if (m->fn != nullptr) {
            m->fn(m->arg, true);
        } else if (m->size != 0) {
            frames++;
            bytes += m->size;
            cw->queued.fetch_sub(m->size);
        }
        free(m);
    }
    if (frames != 0)
        LOG_WARN("Collector worker stopped with %lu frames (%lu bytes) of agent data queued behind "
                 "its stop: they are not stored.",
                 frames, bytes);
}

// Destroys the collector state of every agent the stopped worker serves, which closes the
// agents' store files.
void collector_worker_close_agents(collector_worker *cw) {
    agent_table *t = &cw->collectors;
    for (uint32_t i = 0; i < t->items.size(); i++) {
        agent_slot *slot = t->items[i];
        KRV_LOCKCALL(pthread_mutex_lock(&slot->lock));
        agent_collector *ac = slot->ac;
        slot->ac = nullptr;
        slot->agent_id = 0;
        KRV_LOCKCALL(pthread_mutex_unlock(&slot->lock));
        if (ac == nullptr)
            continue;
        agent_collector_destroy(ac);
        t->free_slots.push(i);
        collector_table_count(cw, -1);
    }
    t->by_agent.clear();
    t->last = nullptr;
}

void collector_worker_release(collector_worker *cw) {
    collector_worker_drain(cw);
    queue_free(&cw->q);
    for (agent_slot *slot : cw->collectors.items) {
        if (slot->ac != nullptr)
            agent_collector_destroy(slot->ac);
        pthread_mutex_destroy(&slot->lock);
    }
    pthread_mutex_destroy(&cw->collectors.lock);
    pthread_mutex_destroy(&cw->flow_lock);
}

} // namespace

static_assert(COLLECTOR_SCRATCH_SIZE >= EXT_SCRATCH_SIZE);

collector *collector_init(uint16_t n, const collector_callbacks *cb) {
    if (n == 0) {
        LOG_FATAL("Invalid number of collector threads.");
        return nullptr;
    }
    auto *c =
        new collector{n, new collector_worker[n], {true}, COLLECTOR_QUEUE_BUDGET, nullptr, nullptr};
    for (uint16_t i = 0; i < n; i++)
        collector_worker_setup(c, &c->workers[i], cb);
    for (uint16_t i = 0; i < n; i++) {
        collector_worker *cw = &c->workers[i];
        const int rc = pthread_create(&cw->thread, nullptr, collector_thread, cw);
        if (rc != 0) {
            LOG_FATAL("Collector failure: %s.", strerror(rc));
            collector_stop(c);
            collector_free(c);
            return nullptr;
        }
        cw->started = true;
    }
    LOG_INFO("Collector subsystem initialized.");
    return c;
}

int collector_enqueue(collector *c, uint64_t agent_id, uint64_t size, const uint8_t *data) {
    collector_msg *m = collector_msg_new(agent_id, size, data);
    collector_worker *cw = collector_worker_of(c, agent_id);
    // Counted before the push, so that the worker never subtracts bytes not yet added.
    cw->queued.fetch_add(size);
    if (queue_push(&cw->q, m) != 0) {
        cw->queued.fetch_sub(size);
        free(m);
        return -1;
    }
    return 0;
}

void collector_set_release(collector *c, collector_release_cb release, void *ctx) {
    c->release = release;
    c->release_ctx = ctx;
}

int collector_hold(collector *c, uint64_t agent_id, void (*hold)(void *arg), void *arg) {
    collector_worker *cw = collector_worker_of(c, agent_id);
    int held = 0;
    KRV_LOCKCALL(pthread_mutex_lock(&cw->flow_lock));
    if (c->release != nullptr && cw->queued.load() > c->budget) {
        hold(arg);
        if (std::find(cw->held.begin(), cw->held.end(), agent_id) == cw->held.end())
            cw->held.push_back(agent_id);
        held = 1;
    }
    KRV_LOCKCALL(pthread_mutex_unlock(&cw->flow_lock));
    return held;
}

int collector_call(collector *c, uint64_t agent_id, collector_call_fn fn, void *arg) {
    collector_msg *m = collector_msg_new(agent_id, 0, nullptr);
    m->fn = fn;
    m->arg = arg;
    if (queue_push(&collector_worker_of(c, agent_id)->q, m) != 0) {
        free(m);
        return -1;
    }
    return 0;
}

int collector_notify_disconnect(collector *c, uint64_t agent_id) {
    collector_msg *m = collector_msg_new(agent_id, 0, nullptr);
    if (queue_push(&collector_worker_of(c, agent_id)->q, m) != 0) {
        free(m);
        return -1;
    }
    LOG_DEBUG("Agent [%016lX] disconnected notification enqueued.", agent_id);
    return 0;
}

void collector_worker_main(collector_worker *cw) {
    LOG_INFO("Collector started [%u].", sys_thread_id());
    collector_msg *m = nullptr;
    while (cw->owner->running.load()) {
        free(m);
        m = nullptr;
        void *item = queue_pop_wait(&cw->q, cw->wait_ms.load(std::memory_order_relaxed));
        if (item == nullptr)
            continue;
        if (item == &COLLECTOR_STOP)
            break;
        m = static_cast<collector_msg *>(item);
        LOG_DEBUG("Retrieved a message %p from a collector queue: %lu.", item, m->size);
        if (m->fn != nullptr) {
            m->fn(m->arg, false);
        } else if (m->size == 0) {
            collector_agent_gone(cw, m->agent_id);
        } else {
            collector_agent_data(cw, m);
            collector_drained(cw, m->size);
        }
    }
    free(m);
    LOG_INFO("Collector worker ended [%u].", sys_thread_id());
}

int collector_process_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
    if (type != MSG_AGENT_DATA) {
        LOG_ERROR("Unsupported message type: %x", type);
        return -1;
    }
    auto *mctx = static_cast<collector_msg_ctx *>(ctx);
    LOG_DEBUG("Processing messages from agent %016lX of size %u...", mctx->slot->agent_id, len);
    // The whole message is handled under the slot lock, taken once for all its records, so
    // that the status dump sees the agent's counts and cells between messages, and the
    // thread count with its time as one pair.
    KRV_LOCKCALL(pthread_mutex_lock(&mctx->slot->lock));
    const int rc = collector_records(mctx, len, data);
    KRV_LOCKCALL(pthread_mutex_unlock(&mctx->slot->lock));
    return rc;
}

void collector_request_stop(collector *c) {
    c->running.store(false);
}

void collector_stop(collector *c) {
    for (uint16_t i = 0; i < c->n; i++) {
        if (c->workers[i].started)
            queue_push(&c->workers[i].q, const_cast<collector_msg *>(&COLLECTOR_STOP));
    }
    for (uint16_t i = 0; i < c->n; i++) {
        collector_worker *cw = &c->workers[i];
        if (cw->started)
            pthread_join(cw->thread, nullptr);
        cw->started = false;
    }
}

void collector_close_agents(collector *c) {
    for (uint16_t i = 0; i < c->n; i++) {
        collector_worker_drain(&c->workers[i]);
        collector_worker_close_agents(&c->workers[i]);
    }
}

void collector_free(collector *c) {
    for (uint16_t i = 0; i < c->n; i++)
        collector_worker_release(&c->workers[i]);
    delete[] c->workers;
    delete c;
}
