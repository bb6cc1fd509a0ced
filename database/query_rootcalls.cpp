#include "database/query_rootcalls.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "database/database_ctx.h"
#include "database/store/dbs.h"
#include "database/store/ext.h"
#include "database/store/symbols.h"
#include "database/store/walk.h"
#include "lib/bbuf.h"
#include "lib/bitset.h"
#include "lib/cursor.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/pattern.h"
#include "server/reply.h"

pattern *dbq_pattern_text(be_cursor *c, uint32_t length, int kind) {
    const uint8_t *bytes;
    if (!c->take(length, &bytes))
        return nullptr;
    const std::string text(reinterpret_cast<const char *>(bytes), length);
    return pattern_create(text.c_str(), kind);
}

namespace {

constexpr uint16_t CALL_HAS_ENTRY = CALL_F_PARAMS | CALL_F_EXC_TEXT;
// Durations are 24-bit: a maximum of 0 stands for the largest.
constexpr uint32_t DUR_MAX = 0xFFFFFF;
constexpr uint16_t PATTERN_TEXT_MAX = 256;
constexpr uint32_t AGENT_ENTRY_SIZE = 24;

struct rc_agent {
    uint64_t id;
    uint64_t range[2];
};

// One request: its filters, then the reply being built and the walk's position.
struct rc_query {
    uint32_t flags = 0;
    uint32_t min_dur = 0;
    uint32_t max_dur = 0;
    uint32_t max_records = 0;
    uint32_t class_id = 0;
    uint32_t method_id = 0;
    uint32_t unused = 0;
    pattern *class_pattern = nullptr;
    pattern *method_pattern = nullptr;
    pattern *key_pattern = nullptr;
    pattern *value_pattern = nullptr;
    bitset *class_ids = nullptr;  // classes whose names match, with a class pattern
    bitset *method_ids = nullptr; // methods whose names match, with a method pattern
    std::vector<rc_agent> agents;

    dbs *db = nullptr;   // the store whose maps and registry are looked at; NULL: files only
    dbs_walk walk;       // bounded: at the bound the reply ends with what was found, cut
    bool unread = false; // a walk could not read all it should have

    bbuf *reply = nullptr;
    qresp_limit limit; // once cut at the size limit, nothing more is added
    uint64_t agent_id = 0;
    uint64_t sent = 0;
    uint64_t last_sent = 0; // root time of the last record, low 3 bits cleared
    bool limit_mark = false;
    bool matched = false;
    // The search in all calls: the root call whose calls are being delivered.
    bool have_root = false;
    rcall_key root_key = 0;
    bool root_tested = false;

    rc_query() = default;
    rc_query(const rc_query &) = delete;
    rc_query &operator=(const rc_query &) = delete;
    ~rc_query() {
        for (pattern *p : {class_pattern, method_pattern, key_pattern, value_pattern})
            pattern_free(p);
        bitset_free(class_ids);
        bitset_free(method_ids);
        free(reply);
    }

    bool has_kv_pattern() const { return key_pattern != nullptr || value_pattern != nullptr; }
};

// ---- the request ----

pattern *dbq_parse_pattern(be_cursor *c) {
    uint16_t kind, length;
    if (c->remaining() < 4 || !c->get(&kind) || kind < PATTERN_SUBSTRING || kind > PATTERN_REGEX ||
        !c->get(&length) || length > PATTERN_TEXT_MAX)
        return nullptr;
    return dbq_pattern_text(c, length, kind);
}

bool rc_parse_agents(rc_query *q, be_cursor *c) {
    uint16_t k;
    if (!c->get(&k) || c->remaining() / AGENT_ENTRY_SIZE < k)
        return false;
    if (k == 0) {
        LOG_ERROR("No agents specified!");
        return false;
    }
    LOG_DEBUG("Requesting %u agents with %" PRIu32 " records", k, q->max_records);
    q->agents.resize(k);
    for (rc_agent &a : q->agents) {
        c->get(&a.id);
        c->get(&a.range[0]);
        c->get(&a.range[1]);
        if (a.range[1] != 0 && a.range[0] > a.range[1]) {
            LOG_ERROR("Invalid time range!");
            return false;
        }
    }
    return true;
}

// Reads the whole request into q. False when it is malformed (not yet logged).
bool rc_parse(rc_query *q, const uint8_t *request, uint32_t length) {
    be_cursor c{request, length, 0};
    if (!c.get(&q->flags) || !c.get(&q->min_dur) || !c.get(&q->max_dur) || !c.get(&q->max_records))
        return false;
    static constexpr struct {
        uint32_t flag;
        uint32_t rc_query::*field;
    } ids[] = {{RC_F_CLASS_ID, &rc_query::class_id},
               {RC_F_METHOD_ID, &rc_query::method_id},
               {RC_F_EXCEPTIONS, &rc_query::unused}};
    for (const auto &f : ids) {
        if ((q->flags & f.flag) && !c.get(&(q->*f.field)))
            return false;
    }
    static constexpr struct {
        uint32_t flag;
        pattern *rc_query::*field;
    } patterns[] = {{RC_F_CLASS_PATTERN, &rc_query::class_pattern},
                    {RC_F_METHOD_PATTERN, &rc_query::method_pattern},
                    {RC_F_KEY_PATTERN, &rc_query::key_pattern},
                    {RC_F_VALUE_PATTERN, &rc_query::value_pattern}};
    for (const auto &f : patterns) {
        if ((q->flags & f.flag) && (q->*f.field = dbq_parse_pattern(&c)) == nullptr)
            return false;
    }
    if (q->class_pattern != nullptr)
        q->class_ids = bitset_new(0);
    if (q->method_pattern != nullptr)
        q->method_ids = bitset_new(0);
    return rc_parse_agents(q, &c);
}

// ---- symbols ----

int dbq_root_calls_on_symbol(void *ctx, uint32_t type, uint32_t id, uint16_t, uint64_t,
                             const char *name) {
    auto *q = static_cast<rc_query *>(ctx);
    pattern *p;
    bitset **ids;
    switch (type) {
    case SYM_CLASS:
        p = q->class_pattern;
        ids = &q->class_ids;
        break;
    case SYM_METHOD:
        p = q->method_pattern;
        ids = &q->method_ids;
        break;
    default:
        LOG_WARN("Unexpected symbol type!");
        return 0;
    }
    if (p != nullptr && pattern_match(p, name) == 0)
        *ids = bitset_set(*ids, id);
    return 0;
}

// Marks the ids of the symbols of `type` whose names match: in the store's map, under its
// read lock, or (without a store) from the symbol file. False when the file cannot be read.
bool rc_mark_type(rc_query *q, uint32_t type) {
    if (smap *m = q->db != nullptr ? dbs_smap(q->db, type) : nullptr) {
        smap_foreach(m, type, q, dbq_root_calls_on_symbol);
        return true;
    }
    return symbols_foreach(type, q, dbq_root_calls_on_symbol) == 0;
}

// Marks the ids of the classes and methods whose names match. False when a symbol file
// cannot be read.
bool rc_mark_symbols(rc_query *q) {
    return (q->class_pattern == nullptr || rc_mark_type(q, SYM_CLASS)) &&
           (q->method_pattern == nullptr || rc_mark_type(q, SYM_METHOD));
}

// ---- filters ----

bool rc_duration_passes(const rc_query *q, const call_record *root) {
    return root->DUR >= q->min_dur && root->DUR <= q->max_dur;
}

bool rc_symbols_pass(const rc_query *q, const call_record *root) {
    return (q->class_ids == nullptr || bitset_test(q->class_ids, root->CLASS)) &&
           (q->method_ids == nullptr || bitset_test(q->method_ids, root->METHOD)) &&
           (q->class_id == 0 || root->CLASS == q->class_id) &&
           (q->method_id == 0 || root->METHOD == q->method_id);
}

bool rc_exceptions_pass(const rc_query *q, const rcall *rc) {
    return !(q->flags & RC_F_EXCEPTIONS) || rc->exceptions != 0;
}

int dbq_root_calls_on_kv(void *ctx, char *key, char *value) {
    auto *q = static_cast<rc_query *>(ctx);
    if ((q->key_pattern != nullptr && pattern_match(q->key_pattern, key) != 0) ||
        (q->value_pattern != nullptr && pattern_match(q->value_pattern, value) != 0))
        return 0;
    LOG_DEBUG("KEY=%s |||||||| VAL=%s", key, value);
    q->matched = true;
    return 1;
}

// Whether one pair of the entry satisfies the key and value patterns.
bool rc_entry_matches(rc_query *q, uint16_t flags, const uint8_t *entry, uint16_t length) {
    q->matched = false;
    ext_parse_entry(flags, entry, length, q, dbq_root_calls_on_kv, nullptr);
    return q->matched;
}

// ---- the reply ----

// Once the record limit is reached, a root call is added only when it is no later than the
// last record: hour files that start after that hold none, and the walks no longer open
// them, in this agent's range nor in the next agents'. Once the reply is cut, nothing is
// added at all.
void rc_narrow_walk(rc_query *q) {
    if (q->limit.cut)
        q->walk.ended = true;
    else if (q->limit_mark)
        q->walk.until = q->last_sent;
}

int dbq_root_calls_append(rc_query *q, const rcall_ref *ref, const rcall *rc, const uint8_t *entry,
                          uint16_t entry_length) {
    if (q->limit.cut)
        return -1;
    const uint64_t time = rc->root->TSTAMP & ~uint64_t{7};
    if (q->limit_mark && time > q->last_sent) {
        LOG_DEBUG("Max number of records reached: %" PRIu64 " of %" PRIu32, q->sent,
                  q->max_records);
        return -1;
    }
    if (q->max_records != 0 && q->max_records <= q->sent)
        q->limit_mark = true;
    const uint16_t length = entry != nullptr ? entry_length : 0;
    // The bytes written, not the room allocated, decide whether one more record fits.
    if (!qresp_limit_fits(&q->limit, bbuf_position(q->reply), RC_RECORD_SIZE + length)) {
        rc_narrow_walk(q);
        return -1;
    }
    call_record root = *rc->root;
    call_record_swap(&root);
    bbuf *b = q->reply = bbuf_ensure(q->reply, RC_RECORD_SIZE + length);
    bbuf_put_u64(b, q->agent_id);
    bbuf_put_u64(b, ref->key);
    bbuf_put_u16(b, ref->count);
    bbuf_put_u32(b, rc->thread);
    bbuf_put_u16(b, rc->exceptions);
    bbuf_put_u16(b, rc->count);
    bbuf_put_bytes(b, &root, sizeof root);
    bbuf_put_u16(b, length);
    bbuf_put_bytes(b, entry, length);
    q->sent++;
    q->last_sent = time;
    rc_narrow_walk(q);
    return 0;
}

// Walk over root calls, the root's entry handed with each.
int dbq_root_calls_on_rcall(void *ctx, rcall_key key, uint16_t count, const rcall *rc,
                            const uint8_t *entry, uint16_t entry_length) {
    auto *q = static_cast<rc_query *>(ctx);
    const call_record *root = rc->root;
    if (!rc_duration_passes(q, root) || !rc_symbols_pass(q, root) || !rc_exceptions_pass(q, rc))
        return 0;
    if (!(root->flags & CALL_HAS_ENTRY) || entry == nullptr) {
        if (q->has_kv_pattern())
            return 0;
        entry = nullptr;
    } else if (q->has_kv_pattern() && !rc_entry_matches(q, root->flags, entry, entry_length)) {
        return 0;
    }
    const rcall_ref ref{key, count};
    return dbq_root_calls_append(q, &ref, rc, entry, entry_length) < 0 ? -1 : 0;
}

// Walk over every call: a root call matches when any of its calls' entries does.
int dbq_root_calls_on_call(void *ctx, const rcall_ref *ref, const rcall *rc,
                           const call_record *call, const uint8_t *entry, uint16_t entry_length) {
    auto *q = static_cast<rc_query *>(ctx);
    if (!q->have_root || q->root_key != ref->key) {
        q->have_root = true;
        q->root_key = ref->key;
        q->root_tested = false;
        q->matched = false;
    }
    const call_record *root = rc->root;
    if (!q->root_tested) {
        // The root's own tests come first: a root call that fails them is not searched.
        if (!rc_duration_passes(q, root) || !rc_exceptions_pass(q, rc) || !rc_symbols_pass(q, root))
            return 1;
        q->root_tested = true;
    }
    if (!q->matched) {
        if (!(call->flags & CALL_HAS_ENTRY) || entry == nullptr ||
            !rc_entry_matches(q, call->flags, entry, entry_length))
            return 0;
        LOG_DEBUG("MATCHED!");
    }
    // The record carries the root's own entry, which comes with the root, delivered last.
    if (root->flags & CALL_HAS_ENTRY) {
        if (call != root)
            return 0;
    } else {
        entry = nullptr;
    }
    return dbq_root_calls_append(q, ref, rc, entry, entry_length) == 0 ? 1 : 2;
}

void rc_log_agent(const rc_agent &a) {
    if (log_level.load(std::memory_order_relaxed) < 2)
        return;
    char from[32], to[32];
    fmt_time(from, static_cast<time_t>(a.range[0] / 1000));
    fmt_time(to, static_cast<time_t>(a.range[1] / 1000));
    LOG_DEBUG("Finding rcalls for agent [%016" PRIX64 "]. TF=%s TT=%s", a.id, from, to);
}

void rc_walk_agents(rc_query *q) {
    const bool all_calls = (q->flags & RC_F_ALL_CALLS) && q->has_kv_pattern();
    const bool with_extensions =
        q->flags & (RC_F_ROOT_ENTRY | RC_F_VALUE_PATTERN | RC_F_KEY_PATTERN);
    for (const rc_agent &a : q->agents) {
        if (q->limit.cut || q->walk.cut || q->unread)
            break;
        // An agent the store has never registered has no files: nothing to look at.
        if (q->db != nullptr && dbs_agent_find(q->db, a.id) == nullptr)
            continue;
        q->agent_id = a.id;
        q->have_root = false;
        rc_log_agent(a);
        const int rc =
            all_calls ? dbs_rcall_foreach_call(a.id, a.range, q, dbq_root_calls_on_call, &q->walk)
                      : dbs_rcall_foreach(a.id, a.range, q, dbq_root_calls_on_rcall,
                                          with_extensions, &q->walk, dbs_calls_none);
        if (rc != 0) {
            LOG_ERROR("ROOT CALLS: the root calls of agent [%016" PRIX64
                      "] could not all be read; the request fails.",
                      a.id);
            q->unread = true;
        }
    }
}

} // namespace

msg *dbq_root_calls(database_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *request,
                    uint32_t length) {
    rc_query q;
    q.db = ctx != nullptr ? ctx->db : nullptr;
    if (!rc_parse(&q, request, length)) {
        LOG_ERROR("Invalid request!");
        return nullptr;
    }
    if (q.max_dur == 0)
        q.max_dur = DUR_MAX;
    if (!rc_mark_symbols(&q))
        return nullptr;
    rc_walk_agents(&q);
    // What could not be read is not an empty answer: the client gets status 2.
    if (q.unread)
        return nullptr;
    uint16_t status = q.limit.status;
    if (dbs_walk_report_cut(&q.walk, "ROOT CALLS"))
        status = QRESP_PARTIAL;
    return qresp_build_from_buffer(status, rid, qid, q.reply);
}
