#include "database/query_exceptions.h"

#include <algorithm>
#include <cinttypes>
#include <unordered_map>
#include <vector>

#include "database/store/walk.h"
#include "lib/be_load.h"
#include "lib/log.h"
#include "server/reply.h"

namespace {

constexpr uint16_t CALL_IS_EXCEPTION = CALL_F_EXC_TEXT | CALL_F_EXC;
constexpr uint32_t AGENT_ID_LEN = 8;

bool is_exception(const call_record *c) {
    return (c->flags & CALL_IS_EXCEPTION) != 0;
}

// ---- TOP EXCEPTIONS ----

// Exceptions of one class counted at the current agent.
struct topx_counter {
    uint32_t class_id;
    uint32_t count;
    uint32_t root_count; // of them, thrown by the root call itself
};

// One request: its bounds, the counters of the agent being walked and the reply.
struct topx {
    uint16_t mode = 0;
    uint64_t range[2] = {0, 0};
    uint32_t min_dur = 0;
    uint32_t max_dur = 0;
    std::vector<topx_counter> counters;
    std::unordered_map<uint32_t, uint32_t> by_class; // class id -> index in counters
    dbs_walk walk;
    qresp_out out;
};

void dbq_top_exc_count(uint32_t class_id, bool is_root, topx *q) {
    auto [at, added] = q->by_class.try_emplace(class_id, static_cast<uint32_t>(q->counters.size()));
    if (added)
        q->counters.push_back({class_id, 0, 0});
    topx_counter &c = q->counters[at->second];
    c.count++;
    if (is_root)
        c.root_count++;
}

// The order of the list: larger count first; equal counts go to the class whose id mod 10
// is lower, then to the lower id.
bool dbq_top_exc_cmp(const topx_counter &a, const topx_counter &b) {
    if (a.count != b.count)
        return a.count > b.count;
    if (a.class_id % 10 != b.class_id % 10)
        return a.class_id % 10 < b.class_id % 10;
    return a.class_id < b.class_id;
}

bool topx_in_range(const topx *q, uint64_t t) {
    return t >= q->range[0] && t <= q->range[1];
}

// Mode 0: every exception call whose own time lies in the range. The calls of a root call
// are looked at only when the collector counted exceptions among them.
int dbq_top_exceptions_on_rcall(void *ctx, rcall_key, uint16_t, const rcall *rc, const uint8_t *,
                                uint16_t) {
    auto *q = static_cast<topx *>(ctx);
    if (is_exception(rc->root) && topx_in_range(q, rc->root->TSTAMP))
        dbq_top_exc_count(rc->root->EXCEPTION, true, q);
    if (rc->exceptions == 0)
        return 0;
    for (uint32_t i = 0; i < rc->count; i++) {
        const call_record *c = &rc->calls[i];
        if (is_exception(c) && topx_in_range(q, c->TSTAMP))
            dbq_top_exc_count(c->EXCEPTION, false, q);
    }
    return 0;
}

// Where an exception arises: an exception call none of whose direct children is one.
bool topx_is_origin(const call_tree_node *node) {
    if (!is_exception(&node->call))
        return false;
    for (uint16_t i = 0; i < node->child_count; i++) {
        if (is_exception(&node->children[i]->call))
            return false;
    }
    return true;
}

// Other modes: each exception once, at the deepest call that has it, in the trees of root
// calls within the range and the duration bounds.
int dbq_top_exceptions_on_tree(void *ctx, const call_tree *tree) {
    auto *q = static_cast<topx *>(ctx);
    const call_record &root = tree->nodes[0].call;
    if (tree->exceptions == 0 && !is_exception(&root))
        return 0;
    if (!topx_in_range(q, root.TSTAMP) || root.DUR < q->min_dur || root.DUR > q->max_dur)
        return 0;
    if (topx_is_origin(&tree->nodes[0]))
        dbq_top_exc_count(root.EXCEPTION, true, q);
    for (uint32_t i = 1; i <= tree->n; i++) {
        if (topx_is_origin(&tree->nodes[i]))
            dbq_top_exc_count(tree->nodes[i].call.EXCEPTION, false, q);
    }
    return 0;
}

// Appends the agent's list. False when it does not fit whole: the reply is cut there.
bool topx_append(topx *q, uint64_t agent) {
    const size_t n = std::min<size_t>(q->counters.size(), TOPX_ITEMS);
    if (n == 0)
        return true;
    std::partial_sort(q->counters.begin(), q->counters.begin() + static_cast<ptrdiff_t>(n),
                      q->counters.end(), dbq_top_exc_cmp);
    if (!qresp_out_open(&q->out, n * TOPX_ITEM_LEN))
        return false;
    for (size_t i = 0; i < n; i++) {
        const topx_counter &c = q->counters[i];
        LOG_DEBUG("TOP %zu: %X -> %u/%u", i, c.class_id, c.count, c.root_count);
        qresp_out_u64(&q->out, agent);
        qresp_out_u32(&q->out, c.class_id);
        qresp_out_u32(&q->out, c.count);
        qresp_out_u32(&q->out, c.root_count);
    }
    return true;
}

// Counts the agent's exceptions. False when its files could not all be read.
bool topx_walk(topx *q, uint64_t agent) {
    q->counters.clear();
    q->by_class.clear();
    if (q->mode == TOPX_MODE_CALLS)
        return dbs_rcall_foreach(agent, q->range, q, dbq_top_exceptions_on_rcall, false, &q->walk,
                                 dbs_calls_with_exceptions) == 0;
    return dbs_rcall_foreach_tree(agent, q->range, q, dbq_top_exceptions_on_tree, &q->walk) == 0;
}

// ---- EXCEPTIONS OCCURRENCES ----

// One request: what is looked for, the run being counted and the reply.
struct excq {
    uint64_t range[2] = {0, 0};
    uint32_t class_id = 0;
    bool open = false; // a run is being counted
    uint64_t second = 0;
    uint32_t count = 0;
    dbs_walk walk;
    qresp_out out;
};

// Appends the open run. False when it does not fit: the reply is cut and ends there.
bool excq_close_run(excq *q) {
    if (!qresp_out_open(&q->out, EXCQ_RUN_LEN))
        return false;
    qresp_out_u64(&q->out, q->second * 1000);
    qresp_out_u32(&q->out, q->count);
    return true;
}

// Counts one call when it is an occurrence. False once the reply is cut.
bool excq_examine(excq *q, const call_record *c) {
    if (!is_exception(c) || c->EXCEPTION != q->class_id || c->TSTAMP < q->range[0] ||
        c->TSTAMP > q->range[1])
        return true;
    const uint64_t second = c->TSTAMP / 1000;
    if (q->open && q->second == second) {
        q->count++;
        return true;
    }
    if (q->open && !excq_close_run(q))
        return false;
    q->open = true;
    q->second = second;
    q->count = 1;
    return true;
}

// Counts the occurrences of a root call, the root first. False once the reply is cut.
bool excq_examine_all(excq *q, const rcall *rc) {
    if (!excq_examine(q, rc->root))
        return false;
    if (rc->exceptions == 0)
        return true;
    for (uint32_t i = 0; i < rc->count; i++) {
        if (!excq_examine(q, &rc->calls[i]))
            return false;
    }
    return true;
}

// Once the reply is cut nothing more joins it: the walk ends there and opens no later hour.
int dbq_exc_occurrences_on_rcall(void *ctx, rcall_key, uint16_t, const rcall *rc, const uint8_t *,
                                 uint16_t) {
    auto *q = static_cast<excq *>(ctx);
    if (q->out.limit.cut || !excq_examine_all(q, rc)) {
        q->walk.ended = true;
        return -1;
    }
    return 0;
}

msg *refuse(const char *line) {
    LOG_ERROR("%s", line);
    return nullptr;
}

} // namespace

msg *dbq_top_exceptions_run(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    if (len < TOPX_HEAD_LEN)
        return refuse("Invalid request!");
    const uint16_t n = load_be16(args + 26);
    if (TOPX_HEAD_LEN + uint64_t{n} * AGENT_ID_LEN > len)
        return refuse("Invalid request!");
    if (n == 0)
        return refuse("Invalid request! No agents.");
    topx q;
    q.mode = load_be16(args);
    q.range[0] = load_be64(args + 2);
    q.range[1] = load_be64(args + 10);
    q.min_dur = load_be32(args + 18);
    q.max_dur = load_be32(args + 22);
    if (q.max_dur == 0)
        q.max_dur = UINT32_MAX;
    LOG_DEBUG("Request decoded successfully.");
    for (uint16_t i = 0; i < n && !q.walk.cut; i++) {
        // Once not even one item fits, no later agent can add any: it is not walked.
        if (!qresp_limit_fits(&q.out.limit, q.out.used, TOPX_ITEM_LEN))
            break;
        const uint64_t agent = load_be64(args + TOPX_HEAD_LEN + i * AGENT_ID_LEN);
        LOG_DEBUG("Handling errors for agent %016" PRIX64, agent);
        // An agent whose files could not all be read would pass for one with fewer
        // exceptions: the request fails instead.
        if (!topx_walk(&q, agent))
            return nullptr;
        if (!topx_append(&q, agent))
            break;
    }
    uint16_t status = q.out.limit.status;
    if (dbs_walk_report_cut(&q.walk, "TOP EXCEPTIONS"))
        status = QRESP_PARTIAL;
    return qresp_out_finish(&q.out, status, rid, qid);
}

msg *dbq_exceptions_occurrences_run(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args,
                                    uint32_t len) {
    if (len < EXCQ_REQUEST_LEN)
        return refuse("Invalid request.");
    excq q;
    q.range[0] = load_be64(args);
    q.range[1] = load_be64(args + 8);
    const uint64_t agent = load_be64(args + 16);
    q.class_id = load_be32(args + 24);
    LOG_DEBUG("Request decoded successfully.");
    if (dbs_rcall_foreach(agent, q.range, &q, dbq_exc_occurrences_on_rcall, false, &q.walk,
                          dbs_calls_with_exceptions) != 0)
        return nullptr;
    if (q.open && !q.out.limit.cut)
        excq_close_run(&q);
    uint16_t status = q.out.limit.status;
    if (dbs_walk_report_cut(&q.walk, "EXCEPTIONS OCCURRENCES"))
        status = QRESP_PARTIAL;
    return qresp_out_finish(&q.out, status, rid, qid);
}
