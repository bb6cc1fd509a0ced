#include "database/query_flame.h"

#include <vector>

#include "database/store/agents.h"
#include "database/store/walk.h"
#include "lib/be_load.h"
#include "lib/log.h"
#include "server/reply.h"

namespace {

constexpr uint32_t AGENT_ID_LEN = 8;
constexpr uint16_t CALL_IS_EXCEPTION = CALL_F_EXC_TEXT | CALL_F_EXC;

// One node of the merged graph, named by its index (its id, in order of creation; 0 is the
// graph root, which is nobody's child, so 0 also stands for "none" in the links).
struct fgraph_node {
    uint32_t parent;
    uint32_t first_child; // children in the order they were created
    uint32_t last_child;
    uint32_t next_sibling;
    uint64_t sum_aux;
    uint64_t sum_dur;
    uint32_t cls;
    uint32_t method;
    uint32_t leaf;       // merged calls without children in their tree
    uint32_t inner;      // merged calls with children
    uint32_t exceptions; // merged exception calls
    uint16_t depth;
};

// A child looked up by its parent and (class, method): open addressing, id 0 marks a free
// slot.
struct fgraph_slot {
    uint32_t parent;
    uint32_t cls;
    uint32_t method;
    uint32_t id;
};

constexpr size_t FGRAPH_FIRST_SLOTS = 1024;

// A tree node waiting to be merged under the graph node `under`.
struct fgraph_pending {
    const call_tree_node *t;
    uint32_t under;
};

struct fgraph {
    std::vector<fgraph_node> nodes = std::vector<fgraph_node>(1);
    std::vector<fgraph_slot> slots = std::vector<fgraph_slot>(FGRAPH_FIRST_SLOTS);
    std::vector<fgraph_pending> pending;
    uint32_t max_nodes = 0; // besides the root
    uint64_t roots = 0;     // root calls merged
    bool cut = false;       // a node was not made for want of room in the reply
    dbs_walk walk;
};

size_t fgraph_hash(uint32_t parent, uint32_t cls, uint32_t method) {
    uint64_t h = (uint64_t{cls} << 32 | method) * 0x9E3779B97F4A7C15u;
    h ^= uint64_t{parent} * 0xC2B2AE3D27D4EB4Fu;
    h ^= h >> 31;
    h *= 0x94D049BB133111EBu;
    return static_cast<size_t>(h ^ (h >> 29));
}

// The slot of (parent, class, method): the one holding it, or the free one where it goes.
fgraph_slot *fgraph_slot_of(fgraph *g, uint32_t parent, uint32_t cls, uint32_t method) {
    const size_t mask = g->slots.size() - 1;
    for (size_t i = fgraph_hash(parent, cls, method) & mask;; i = (i + 1) & mask) {
        fgraph_slot *s = &g->slots[i];
        if (s->id == 0 || (s->parent == parent && s->cls == cls && s->method == method))
            return s;
    }
}

// Doubles the table once it is half full.
void fgraph_grow_slots(fgraph *g) {
    if (2 * g->nodes.size() <= g->slots.size())
        return;
    std::vector<fgraph_slot> old(g->slots.size() * 2);
    old.swap(g->slots);
    for (const fgraph_slot &s : old) {
        if (s.id != 0)
            *fgraph_slot_of(g, s.parent, s.cls, s.method) = s;
    }
}

// The child of `under` for the call's (class, method), made when missing. 0 when it is
// missing and the graph has no room left.
uint32_t fgraph_child(fgraph *g, uint32_t under, const call_record &call) {
    fgraph_slot *s = fgraph_slot_of(g, under, call.CLASS, call.METHOD);
    if (s->id != 0)
        return s->id;
    if (g->nodes.size() - 1 >= g->max_nodes) {
        g->cut = true;
        return 0;
    }
    const auto id = static_cast<uint32_t>(g->nodes.size());
    *s = {under, call.CLASS, call.METHOD, id};
    fgraph_node &parent = g->nodes[under];
    if (parent.last_child == 0)
        parent.first_child = id;
    else
        g->nodes[parent.last_child].next_sibling = id;
    parent.last_child = id;
    const uint16_t depth = static_cast<uint16_t>(parent.depth + 1);
    g->nodes.push_back({under, 0, 0, 0, 0, 0, call.CLASS, call.METHOD, 0, 0, 0, depth});
    fgraph_grow_slots(g);
    return id;
}

void fgraph_add(fgraph_node *node, const call_tree_node *t) {
    node->sum_aux += t->call.AUX;
    node->sum_dur += t->call.DUR;
    if (t->child_count != 0)
        node->inner++;
    else
        node->leaf++;
    if (t->call.flags & CALL_IS_EXCEPTION)
        node->exceptions++;
}

// Merges tree node t and its subtree under the graph node `under`, in the order a
// depth-first walk meets the tree's nodes (children in tree order), with a stack of its own:
// a tree may be 40,001 calls deep. A subtree whose node cannot be made is left out.
void fgraph_merge(fgraph *g, uint32_t under, const call_tree_node *t) {
    g->pending.assign(1, {t, under});
    while (!g->pending.empty()) {
        const fgraph_pending p = g->pending.back();
        g->pending.pop_back();
        const uint32_t id = fgraph_child(g, p.under, p.t->call);
        if (id == 0)
            continue;
        fgraph_add(&g->nodes[id], p.t);
        for (uint16_t i = p.t->child_count; i-- > 0;)
            g->pending.push_back({p.t->children[i], id});
    }
}

// The graph root sums every root call merged, also those whose nodes could not be made.
int dbq_flame_graph_on_tree(void *ctx, const call_tree *tree) {
    auto *g = static_cast<fgraph *>(ctx);
    const call_record &root = tree->nodes[0].call;
    fgraph_node &top = g->nodes[0];
    top.sum_aux += root.AUX;
    top.sum_dur += root.DUR;
    if (root.flags & CALL_IS_EXCEPTION)
        top.exceptions++;
    g->roots++;
    fgraph_merge(g, 0, &tree->nodes[0]);
    return 0;
}

void fgraph_write(qresp_out *out, uint32_t id, const fgraph_node &n) {
    qresp_out_u64(out, 0);
    qresp_out_u32(out, n.parent);
    qresp_out_u64(out, n.sum_aux);
    qresp_out_u64(out, n.sum_dur);
    qresp_out_u32(out, n.cls);
    qresp_out_u32(out, n.method);
    qresp_out_u32(out, n.leaf);
    qresp_out_u32(out, n.inner);
    qresp_out_u32(out, n.exceptions);
    qresp_out_u32(out, id);
    qresp_out_u16(out, n.depth);
}

// Writes every node in pre-order, following the links instead of recursing.
void fgraph_serialize(const fgraph *g, qresp_out *out) {
    uint32_t id = 0;
    for (;;) {
        const fgraph_node &n = g->nodes[id];
        fgraph_write(out, id, n);
        if (n.first_child != 0) {
            id = n.first_child;
            continue;
        }
        while (id != 0 && g->nodes[id].next_sibling == 0)
            id = g->nodes[id].parent;
        if (id == 0)
            return;
        id = g->nodes[id].next_sibling;
    }
}

msg *refuse() {
    LOG_ERROR("Invalid request!");
    return nullptr;
}

} // namespace

uint32_t dbq_flame_graph_max_nodes() {
    const uint32_t records = qresp_max_data() / FGRAPH_RECORD_LEN;
    return records > 0 ? records - 1 : 0;
}

msg *dbq_flame_graph_run(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    if (len < FGRAPH_HEAD_LEN || len % AGENT_ID_LEN != 0)
        return refuse();
    const uint32_t k = (len - FGRAPH_HEAD_LEN) / AGENT_ID_LEN;
    if (k > FGRAPH_MAX_AGENTS)
        return refuse();
    const uint64_t range[2] = {load_be64(args), load_be64(args + 8)};
    fgraph g;
    g.max_nodes = dbq_flame_graph_max_nodes();
    g.pending.reserve(CALL_TREE_NODES);
    for (uint32_t i = 0; i < k && !g.walk.cut; i++) {
        const uint64_t agent = load_be64(args + FGRAPH_HEAD_LEN + i * AGENT_ID_LEN);
        if (dbs_agent_exists(agent) == 0)
            continue;
        // Files that could not all be read would pass for a smaller graph.
        if (dbs_rcall_foreach_tree(agent, range, &g, dbq_flame_graph_on_tree, &g.walk) != 0)
            return nullptr;
    }
    const bool walk_cut = dbs_walk_report_cut(&g.walk, "FLAME GRAPH");
    if (g.roots == 0) {
        LOG_DEBUG("No nodes found!");
        return qresp_build(walk_cut ? QRESP_PARTIAL : QRESP_OK, rid, qid, nullptr, 0);
    }
    if (g.cut)
        LOG_WARN("Response size limit exceeded. The response will be truncated.");
    qresp_out out;
    qresp_out_open(&out, uint64_t{FGRAPH_RECORD_LEN} * g.nodes.size());
    fgraph_serialize(&g, &out);
    return qresp_out_finish(&out, g.cut || walk_cut ? QRESP_PARTIAL : QRESP_OK, rid, qid);
}
