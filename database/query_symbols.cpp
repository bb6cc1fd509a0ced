#include "database/query_symbols.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>

#include "database/query_rootcalls.h"
#include "database/store/dbs.h"
#include "database/store/kv.h"
#include "database/store/symbols.h"
#include "lib/be_load.h"
#include "lib/cursor.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/pattern.h"
#include "server/reply.h"

namespace {

// ---- SYMBOLS ----

constexpr uint32_t SYMQ_MIN_LEN = 3;
constexpr uint32_t SYMQ_PATTERN_HEAD = 4; // mode, type, u16 L
constexpr uint32_t SYMQ_IDS_HEAD = 3;     // mode, u16 k
constexpr uint32_t SYMQ_PAIR = 5;         // u8 type, u32 id

struct pattern_free_fn {
    void operator()(pattern *p) const { pattern_free(p); }
};

// The reply of one SYMBOLS request and, for a search, its compiled expression.
struct symq {
    qresp_out out;
    std::unique_ptr<pattern, pattern_free_fn> expression;
};

// Adds one symbol: 0, or 1 once the reply is full, which ends the walk.
int symq_add(symq *q, uint32_t type, uint32_t id, uint16_t len, const char *name) {
    if (!qresp_out_open(&q->out, SYMQ_ITEM_HEAD + len))
        return 1;
    qresp_out_u8(&q->out, static_cast<uint8_t>(type));
    qresp_out_u32(&q->out, id);
    qresp_out_u16(&q->out, len);
    qresp_out_bytes(&q->out, name, len);
    return 0;
}

int dbq_symbols_on_symbol(void *ctx, uint32_t type, uint32_t id, uint16_t len, uint64_t,
                          const char *name) {
    auto *q = static_cast<symq *>(ctx);
    if (pattern_match(q->expression.get(), name) != 0) {
        LOG_DEBUG("Symbol unmatched: %s", name);
        return 0;
    }
    return symq_add(q, type, id, len, name);
}

int dbq_symbols_on_id(void *ctx, uint32_t type, uint32_t id, uint16_t len, uint64_t,
                      const char *name) {
    return symq_add(static_cast<symq *>(ctx), type, id, len, name);
}

msg *symq_refuse() {
    LOG_ERROR("Invalid request!");
    return nullptr;
}

// Mode 1: the type's symbols, in id order, whose names the expression finds a match in.
msg *symq_by_pattern(uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    if (len < SYMQ_PATTERN_HEAD)
        return symq_refuse();
    const uint8_t type = args[1];
    const uint16_t text_len = load_be16(args + 2);
    if (len - SYMQ_PATTERN_HEAD < text_len)
        return symq_refuse();
    symq q;
    be_cursor c{args, len, SYMQ_PATTERN_HEAD};
    q.expression.reset(dbq_pattern_text(&c, text_len, PATTERN_REGEX));
    if (q.expression == nullptr)
        return symq_refuse();
    LOG_DEBUG("Searching for symbols by pattern of type %d", type);
    // An unknown type or an unreadable file fails the walk; the store has said why.
    if (symbols_foreach(type, &q, dbq_symbols_on_symbol) != 0)
        return nullptr;
    return qresp_out_finish(&q.out, q.out.limit.status, rid, qid);
}

// Mode 2: the names of the listed ids, pair by pair; ids not stored are left out.
msg *symq_by_ids(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    const uint16_t k = load_be16(args + 1);
    if (k == 0 || (len - SYMQ_IDS_HEAD) / SYMQ_PAIR < k)
        return symq_refuse();
    LOG_DEBUG("Searching for symbols by ids of size %u", k);
    symq q;
    for (uint32_t i = 0; i < k && !q.out.limit.cut; i++) {
        const uint8_t *pair = args + SYMQ_IDS_HEAD + i * SYMQ_PAIR;
        const uint32_t id = load_be32(pair + 1);
        // A type without a symbol map refuses the request.
        if (dbs_symbols_resolve(db, pair[0], 1, &id, &q, dbq_symbols_on_id) != 0)
            return nullptr;
    }
    return qresp_out_finish(&q.out, q.out.limit.status, rid, qid);
}

// ---- KV METRICS ----

constexpr uint32_t KVQ_HEAD = 18; // from, to, u16 L
constexpr uint32_t KVQ_AGENT = 8;
constexpr uint32_t KVQ_MAX_AGENTS = UINT16_MAX;

// The reply of one KV METRICS request and the agent whose days are being read.
struct kvq {
    qresp_out out;
    uint64_t agent = 0;
    bool longer = false; // a day file held more than one item carries
};

// A day file is read straight into the reply, behind the room for its item head, and only
// when the whole of it fits: one that does not ends the agent's walk unread.
uint8_t *dbq_kv_metrics_place(void *ctx, uint64_t n) {
    auto *q = static_cast<kvq *>(ctx);
    if (!qresp_out_open(&q->out, KVQ_ITEM_HEAD + n))
        return nullptr;
    return qresp_out_tail(&q->out) + KVQ_ITEM_HEAD;
}

int dbq_kv_metrics_on_day(void *ctx, uint64_t n, bool longer) {
    auto *q = static_cast<kvq *>(ctx);
    if (longer) {
        LOG_WARN("A KV day file of agent [%016" PRIX64 "] holds more than %zu bytes; the rest "
                 "is not sent.",
                 q->agent, KV_BULK_BYTES);
        q->longer = true;
    }
    if (n == 0)
        return 0;
    qresp_out_u64(&q->out, q->agent);
    qresp_out_u64(&q->out, n);
    qresp_out_skip(&q->out, n);
    return 0;
}

constexpr dbs_kv_day_sink KVQ_SINK = {dbq_kv_metrics_place, dbq_kv_metrics_on_day};

// Room for the most this request can read, never past one reply: the pages stay unused
// until written, and the reply then grows in place.
uint64_t kvq_estimate(uint64_t agents, uint64_t from, uint64_t to) {
    const uint64_t days = std::min<uint64_t>(to / DAY_MS - from / DAY_MS + 1, UINT32_MAX);
    const uint64_t per_agent = days * (KVQ_ITEM_HEAD + KV_BULK_BYTES);
    return per_agent > UINT64_MAX / agents ? UINT64_MAX : per_agent * agents;
}

} // namespace

msg *dbq_symbols_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    if (len < SYMQ_MIN_LEN)
        return symq_refuse();
    switch (args[0]) {
    case SYMQ_BY_PATTERN:
        return symq_by_pattern(rid, qid, args, len);
    case SYMQ_BY_IDS:
        return symq_by_ids(db, rid, qid, args, len);
    default:
        return symq_refuse();
    }
}

msg *dbq_kv_metrics_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    if (len < KVQ_HEAD)
        return nullptr;
    const uint16_t name_len = load_be16(args + 16);
    if (len - KVQ_HEAD <= name_len)
        return nullptr;
    const char *name_at = reinterpret_cast<const char *>(args + KVQ_HEAD);
    const std::string name(name_at, strnlen(name_at, name_len));
    const std::string shown = fmt_log_text(name.data(), name.size());
    LOG_DEBUG("Key decoded [%s]", shown.c_str());
    const uint32_t rest = len - KVQ_HEAD - name_len;
    if (rest % KVQ_AGENT != 0)
        return nullptr;
    const uint32_t agents = rest / KVQ_AGENT;
    if (agents > KVQ_MAX_AGENTS) {
        LOG_ERROR("Too many agents: %u, at most %u.", agents, KVQ_MAX_AGENTS);
        return nullptr;
    }
    const uint64_t from = load_be64(args), to = load_be64(args + 8);
    const uint32_t key =
        dbs_symbol_find(db, SYM_KEY, name.c_str(), static_cast<uint16_t>(name.size()));
    if (key == 0) {
        LOG_WARN("Unable to find KV key [%s].", shown.c_str());
        return qresp_build(QRESP_NOT_FOUND, rid, qid, nullptr, 0);
    }
    // A range that ends before it starts holds no day.
    if (from > to)
        return qresp_build(QRESP_OK, rid, qid, nullptr, 0);
    kvq q;
    qresp_out_reserve(&q.out, kvq_estimate(agents, from, to));
    const uint8_t *ids = args + KVQ_HEAD + name_len;
    for (uint32_t i = 0; i < agents; i++) {
        // Once cut, a later agent's day still joins when it fits, until not even one sample
        // would.
        if (q.out.limit.cut && qresp_out_left(&q.out) < KVQ_ITEM_HEAD + sizeof(kv_sample))
            break;
        q.agent = load_be64(ids + i * KVQ_AGENT);
        if (dbs_kv_read_days(q.agent, from, to, key, &q, &KVQ_SINK) < 0)
            return nullptr;
    }
    const uint16_t status = q.out.limit.cut || q.longer ? QRESP_PARTIAL : QRESP_OK;
    return qresp_out_finish(&q.out, status, rid, qid);
}
