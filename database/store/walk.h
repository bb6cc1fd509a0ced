// Reading stored root calls back: walks over an agent's hour files for a time range, the
// calls of one stored root call, the call tree of a root call and the per-agent file sizes.
//
// Walks open every file themselves (paths relative to the working directory), take no lock
// and see each file as it is when read, while the collector may be appending to it. What a
// walk hands to its callback is valid only during that call: host-order records with
// absolute extension locators and file ids set.
#pragma once

#include <cstdint>
#include <vector>

#include "database/store/rcall.h"
#include "lib/format.h"

// A stored root call as clients name it: its key and N, the number of calls besides the root.
struct rcall_ref {
    rcall_key key;
    uint16_t count;
};

// Nodes a call tree holds: the root and the most calls a stored root call has besides it.
constexpr uint32_t CALL_TREE_NODES = MAX_RCALL_CALLS + 1;

struct call_tree_node {
    call_tree_node *parent;    // NULL for node 0
    call_tree_node **children; // child_count nodes in ascending CORDER; NULL without children
    call_record call;          // host order
    uint16_t child_count;
};

// The calls of one root call arranged as a tree: node 0 is the root, nodes 1 to n its other
// calls in ascending CORDER. One allocation, rebuilt in place for every root call; the
// children arrays of all nodes lie back to back in `child_slots`, since every node but the
// root is the child of exactly one node.
struct call_tree {
    call_tree_node nodes[CALL_TREE_NODES];
    call_tree_node *child_slots[MAX_RCALL_CALLS];
    uint16_t n;          // nodes besides node 0
    uint16_t exceptions; // nodes 1 to n whose call is an exception call (flags & 0x18)
};

// Callbacks of the walks, see each walk for what their results mean.
using dbs_rcall_cb = int (*)(void *ctx, rcall_key key, uint16_t count, const rcall *rc,
                             const uint8_t *entry, uint16_t entry_length);
using dbs_tree_cb = int (*)(void *ctx, const call_tree *tree);
using dbs_call_cb = int (*)(void *ctx, const rcall_ref *ref, const rcall *rc,
                            const call_record *call, const uint8_t *entry, uint16_t entry_length);

// Hour files the walks of one request may open in all: a week of hours for each of a
// hundred agents. A request that reaches it answers with what the files it read gave.
constexpr uint64_t DBS_WALK_FILES_MAX = 100 * 7 * 24;
// Test-only: a smaller bound (1 to 65535) for the requests that start while it is set.
constexpr const char *DBS_WALK_FILES_ENV = KRV_TEST_HOOK("WALK_FILES");

// The bound of a request that starts now.
uint64_t dbs_walk_files_max();

// What the walks of one request share: their buffers, made once when a walk first needs
// them; the agent's hour files as listed from its directory (listed again only when the
// next walk is of another agent), so that only hours that have a file are opened; a bound
// on the hour files the walks may open, past which they stop and set `cut`; and the time
// after which the request wants no more root calls: a walk opens no hour file that starts
// later than `until`, which a callback may lower while the walks run. A callback that needs
// nothing more sets `ended`: the walks then open no further hour file.
struct dbs_walk {
    // The walks of one request, bounded by dbs_walk_files_max().
    dbs_walk() : dbs_walk(true, dbs_walk_files_max()) {}
    dbs_walk(bool list_hours, uint64_t files)
        : list(list_hours), max_files(files), files_left(files) {}
    ~dbs_walk();
    dbs_walk(const dbs_walk &) = delete;
    dbs_walk &operator=(const dbs_walk &) = delete;

    void *scan = nullptr;
    uint8_t *ext = nullptr;
    uint8_t *window = nullptr;
    call_tree *tree = nullptr;
    bool list;
    bool listed = false;
    uint64_t listed_agent = 0;
    std::vector<uint64_t> listed_hours; // hours since the epoch, ascending
    uint64_t max_files;
    uint64_t files_left;
    bool cut = false;            // an hour file was left unopened: the bound was reached
    bool ended = false;          // the request wants no more root calls
    uint64_t until = UINT64_MAX; // ms since the epoch
};

// Whether the request's walks were cut at their bound; when they were, WARN that `query`
// answers with what the files it read gave.
bool dbs_walk_report_cut(const dbs_walk *w, const char *query);

// Tells dbs_rcall_foreach whether a root call's calls are wanted, from its root (host
// order) and counts, with `calls` still NULL. Calls nobody reads are not converted.
using dbs_calls_filter = bool (*)(void *ctx, const rcall *rc);
// No root call's calls.
bool dbs_calls_none(void *ctx, const rcall *rc);
// The calls of root calls that hold exception calls.
bool dbs_calls_with_exceptions(void *ctx, const rcall *rc);

// Every walk visits the root calls of `agent_id` whose root time lies in range {from, to}
// (ms, both inclusive), hour file by hour file in time order: missing files are skipped,
// files that cannot be opened are passed over, a read error ends the walk. 0, or -1 when a
// file could not be opened or read (logged): the walk then saw less than is stored. Within
// the range's first hour the calls index lets the walk start where the root calls of `from`
// begin. A walk given `shared` uses its buffers, its listing and its bound; without, it makes
// its own buffers and is not bounded.

// Hands each root call to cb with its key, N and, when `with_extensions` is set and the root
// has an entry in its hour's extension file, the root's entry data (else NULL and 0). The
// descriptor carries the calls of every root call, or, given `wanted`, of those it accepts
// (NULL calls for the others). A non-zero result ends the walk of the current hour file.
int dbs_rcall_foreach(uint64_t agent_id, const uint64_t range[2], void *ctx, dbs_rcall_cb cb,
                      bool with_extensions, dbs_walk *shared = nullptr,
                      dbs_calls_filter wanted = nullptr);

// Builds the call tree of each root call and hands it to cb. A result of exactly 1 ends the
// walk of the current hour file; any other result goes on.
int dbs_rcall_foreach_tree(uint64_t agent_id, const uint64_t range[2], void *ctx, dbs_tree_cb cb,
                           dbs_walk *shared = nullptr);

// Hands each call of each root call to cb, in stored order with the root last, with the
// call's own entry data when it has one (else NULL and 0). A result of 1 skips the rest of
// the root call; any other non-zero result ends the walk of the current hour file.
int dbs_rcall_foreach_call(uint64_t agent_id, const uint64_t range[2], void *ctx, dbs_call_cb cb,
                           dbs_walk *shared = nullptr);

// The calls of the stored root call `ref` names besides its root: a new buffer (the caller
// frees it) holding the host-order u16 n and then n host-order records, unaligned. NULL when
// n is 0 or above MAX_RCALL_CALLS, the hour file is missing, or no root call of n calls is
// stored at the key's offset.
uint8_t *dbs_rcall_execution_stack_get(const rcall_ref *ref, uint64_t agent_id);

// An empty tree, zero-filled.
call_tree *call_tree_new();
// Releases the tree; NULL is allowed.
void call_tree_free(call_tree *tree);
// Replaces the tree's content with the root call of `root` and its n other calls: nodes 1 to
// n sorted by CORDER, each attached under the nearest of the node attached before it and
// that node's ancestors that lies shallower (smaller SDEPTH) and ends no earlier (TSTAMP at
// least the node's), or under the root. A count above MAX_RCALL_CALLS leaves the root alone.
void call_tree_build(const call_record *root, uint16_t n, const call_record *calls,
                     call_tree *tree);

// Adds the sizes of the agent's "mc" files to *data_bytes (hour and index files) and
// *ext_bytes (".x" files), and gives the first and last day that has files as seconds since
// the epoch (day x 86400), both 0 when there is none. 0, or -1 when the directory exists but
// cannot be read.
int getAgentCallsStats(uint64_t agent_id, uint64_t *first, uint64_t *last, uint64_t *data_bytes,
                       uint64_t *ext_bytes);
