#include "database/store/walk.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <endian.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/agent_state.h"
#include "database/store/cindex.h"
#include "database/store/ext.h"
#include "lib/files.h"
#include "lib/format.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/xalloc.h"

namespace {

constexpr uint16_t CALL_HAS_ENTRY = CALL_F_PARAMS | CALL_F_EXC_TEXT;
constexpr uint16_t CALL_IS_EXCEPTION = CALL_F_EXC_TEXT | CALL_F_EXC;
// The last hour (since the epoch) that can have an hour file.
constexpr uint64_t LAST_HOUR = (RCALL_MAX_DAY + 1) * 24 - 1;
// Ranges of up to this many hours try each hour's file; longer ones list the agent's
// directory first, so that a walk costs what exists rather than what the range spans.
constexpr uint64_t PROBE_HOURS = 72;

// ---- the agent's "mc" directory ----

void mc_dir_path(char *buf, size_t len, uint64_t agent_id) {
    snprintf(buf, len, "storage.db/data/%016" PRIX64 "/mc", agent_id);
}

// "<day>.<rest>": the day and where the rest starts.
bool mc_name_day(const char *name, uint64_t *day, const char **rest) {
    const char *p = name;
    uint32_t d;
    if (!parse_u32_prefix(&p, &d) || *p != '.')
        return false;
    *day = d;
    *rest = p + 1;
    return true;
}

// "<day>.<hour>", the name of an hour file: its hour since the epoch.
bool mc_name_hour(const char *name, uint64_t *hour_n) {
    uint64_t day;
    uint32_t hour;
    const char *rest;
    if (!mc_name_day(name, &day, &rest) || !parse_u32_prefix(&rest, &hour) || *rest != '\0' ||
        hour > 23)
        return false;
    *hour_n = day * 24 + hour;
    return true;
}

// Calls fn(name, day) for each entry of the agent's "mc" directory whose name starts with a
// day number and a dot. 0; 1 when the directory does not exist; -1 when it cannot be read.
template <typename Fn> int mc_dir_foreach(uint64_t agent_id, Fn fn) {
    char path[64];
    mc_dir_path(path, sizeof path, agent_id);
    dir_ptr dir(opendir(path));
    if (!dir) {
        if (errno == ENOENT) {
            LOG_DEBUG("No such directory: %s", path);
            return 1;
        }
        LOG_SYSERR_PATH("opendir", path);
        return -1;
    }
    while (const dirent *de = sys_next_visible(dir.get())) {
        uint64_t day;
        const char *rest;
        if (mc_name_day(de->d_name, &day, &rest))
            fn(path, de->d_name, day);
    }
    if (errno != 0)
        LOG_SYSERR_PATH("readdir", path);
    return 0;
}

// The hour files of the agent's "mc" directory, ascending. -1 when it cannot be read.
int mc_dir_hours(uint64_t agent_id, std::vector<uint64_t> *hours) {
    hours->clear();
    const int rc = mc_dir_foreach(agent_id, [&](const char *, const char *name, uint64_t) {
        uint64_t h;
        if (mc_name_hour(name, &h))
            hours->push_back(h);
    });
    std::sort(hours->begin(), hours->end());
    return rc < 0 ? -1 : 0;
}

// The hours (since the epoch) from `first` to `last` whose hour files a walk opens, in
// ascending order. A walk of a request lists the agent's directory (once for consecutive
// walks of the same agent) and opens only the files that exist; a walk of its own tries
// every hour of a short span and lists the directory for a longer one. -1 when the
// directory cannot be read.
int walk_hours(dbs_walk *w, uint64_t agent_id, uint64_t first, uint64_t last,
               std::vector<uint64_t> *hours) {
    hours->clear();
    if (first > last)
        return 0;
    if (!w->list && last - first < PROBE_HOURS) {
        for (uint64_t h = first; h <= last; h++)
            hours->push_back(h);
        return 0;
    }
    if (!w->listed || w->listed_agent != agent_id) {
        w->listed = false;
        if (mc_dir_hours(agent_id, &w->listed_hours) != 0)
            return -1;
        w->listed = true;
        w->listed_agent = agent_id;
    }
    auto lo = std::lower_bound(w->listed_hours.begin(), w->listed_hours.end(), first);
    auto hi = std::upper_bound(lo, w->listed_hours.end(), last);
    hours->assign(lo, hi);
    return 0;
}

// ---- the time-range walk ----

// Opens a file of a walk read-only: the descriptor, or -1 when it is missing (an hour without
// root calls, logged at DEBUG) or cannot be opened (logged).
int walk_open(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    if (errno == ENOENT)
        LOG_DEBUG("No such file %s", path);
    else
        LOG_SYSERR_PATH("open", path);
    return -1;
}

// Bytes of the extension file the walk with the roots' entries reads at a time. Root calls
// store their blobs in the order of the hour file, so one read serves the entries of many
// root calls.
constexpr uint32_t EXT_WINDOW_SIZE = 128 * 1024;
static_assert(EXT_WINDOW_SIZE >= EXT_BLOCK_SPAN);

// The bytes of the extension file from `start` on, as last read.
struct ext_window {
    uint8_t *data; // EXT_WINDOW_SIZE bytes
    uint64_t start;
    uint64_t length;
};

// What a scan callback of a walk learns about the hour file being scanned.
struct walk_hour {
    uint8_t *ext_buffer; // extension reader buffer; NULL when the walk reads no entries
    ext_window window;   // of the walk with the roots' entries
    int ext_fd;          // the hour's extension file, -1 when it is not open
    uint32_t file_id;    // day << 5 | hour
};

// Makes the buffers a walk needs, once for all the walks that share `w`.
void walk_prepare(dbs_walk *w, bool with_ext, bool with_window, bool with_tree) {
    if (w->scan == nullptr)
        w->scan = krv_malloc(CSP_SCAN_BUFFER_SIZE);
    if (with_ext && w->ext == nullptr)
        w->ext = static_cast<uint8_t *>(krv_malloc(EXT_READER_BUFFER_SIZE));
    if (with_window && w->window == nullptr)
        w->window = static_cast<uint8_t *>(krv_malloc(EXT_WINDOW_SIZE));
    if (with_tree && w->tree == nullptr)
        w->tree = call_tree_new();
}

enum class hour_scan { done, unopened, unread };

// Scans one hour file (and opens its extension file when the walk reads entries): done (a
// missing file too), unopened when the file exists but cannot be opened, unread when the scan
// could not read it (the walk ends).
hour_scan walk_one_hour(uint64_t agent_id, uint64_t hour_n, uint64_t offset,
                        const uint64_t range[2], void *scan_buffer, walk_hour *wh, void *ctx,
                        csp_scan_cb cb) {
    const auto day = static_cast<uint32_t>(hour_n / 24);
    const auto hour = static_cast<uint32_t>(hour_n % 24);
    char path[RCALL_PATH_MAX];
    rcall_path(path, agent_id, day, hour, "");
    int fd = walk_open(path);
    if (fd < 0)
        return errno == ENOENT ? hour_scan::done : hour_scan::unopened;
    wh->ext_fd = -1;
    wh->window.length = 0;
    bool ext_missing = false;
    if (wh->ext_buffer != nullptr) {
        rcall_path(path, agent_id, day, hour, ".x");
        wh->ext_fd = walk_open(path);
        // Without its extension file the hour's entries would silently be left out.
        ext_missing = wh->ext_fd < 0 && errno != ENOENT;
    }
    wh->file_id = day << 5 | hour;
    // The scan converts roots only: each walk converts the calls it hands out.
    int rc = csp_scan_rcall_stack(fd, offset, wh->file_id, range, CSP_SCAN_BUFFER_SIZE, scan_buffer,
                                  ctx, cb, csp_scan_expected(agent_id, wh->file_id, range), false);
    close(fd);
    if (wh->ext_fd >= 0)
        close(wh->ext_fd);
    if (rc < 0)
        return hour_scan::unread;
    return ext_missing ? hour_scan::unopened : hour_scan::done;
}

// Runs the scan callback over every root call of the range. `wh` is the part of `ctx` that
// the walk fills in for each hour file; its ext_buffer says whether extension files are opened.
// An hour file that cannot be opened is passed over, one that cannot be read ends the walk;
// either makes the result -1 (logged where it failed).
int walk_range(dbs_walk *w, uint64_t agent_id, const uint64_t range[2], walk_hour *wh, void *ctx,
               csp_scan_cb cb) {
    const uint64_t from = range[0];
    if (from > range[1])
        return 0;
    const uint64_t first = from / HOUR_MS;
    // Only the file of from's own hour may start inside: the offset names a place in it.
    uint64_t start = 0;
    if (from % HOUR_MS >= 1000 && first <= LAST_HOUR)
        cindex_find(&start, agent_id, static_cast<uint32_t>(from / DAY_MS), first % 24,
                    from % HOUR_MS / 60000, from % 60000 / 1000);
    std::vector<uint64_t> hours;
    if (walk_hours(w, agent_id, first, std::min(range[1] / HOUR_MS, LAST_HOUR), &hours) != 0)
        return -1;
    int rc = 0;
    for (uint64_t h : hours) {
        if (w->ended)
            break;
        // Hours are in time order: once one starts past `until`, so do the rest.
        if (h * HOUR_MS > w->until)
            break;
        if (w->files_left == 0) {
            w->cut = true;
            break;
        }
        w->files_left--;
        const uint64_t offset = h == first ? start : 0;
        const hour_scan scan = walk_one_hour(agent_id, h, offset, range, w->scan, wh, ctx, cb);
        if (scan != hour_scan::done)
            rc = -1;
        if (scan == hour_scan::unread)
            break;
    }
    return rc;
}

// Converts the calls of a root call the scan left in file byte order.
void walk_place_calls(const walk_hour &wh, uint64_t ext_offset, rcall *rc) {
    for (uint16_t i = 0; i < rc->count; i++)
        call_record_place(&rc->calls[i], ext_offset, wh.file_id);
}

rcall_key walk_key(const walk_hour &wh, uint64_t offset) {
    return rcall_key_make(wh.file_id >> 5, wh.file_id & 31, offset);
}

// Makes the window hold the `span` bytes from `block` on. False when they cannot be read.
bool window_cover(int fd, ext_window *w, uint64_t block, uint64_t span) {
    if (block >= w->start && block - w->start + span <= w->length)
        return true;
    const ssize_t got = io_pread_full(fd, w->data, EXT_WINDOW_SIZE, block);
    if (got < 0) {
        LOG_SYSERR("pread");
        w->length = 0;
        return false;
    }
    w->start = block;
    w->length = static_cast<uint64_t>(got);
    return true;
}

// The root's own entry, when the walk reads entries and the root has one inside its blob.
const uint8_t *root_entry(walk_hour *wh, const call_record *root, uint64_t ext_offset,
                          uint32_t ext_length, uint16_t *length) {
    *length = 0;
    const uint64_t block = ext_locator_block(root->ext);
    // A locator outside the root call's own blob would name another root call's entry.
    if (wh->ext_fd < 0 || !(root->flags & CALL_HAS_ENTRY) || block < ext_offset ||
        block - ext_offset >= ext_length)
        return nullptr;
    // The entry's block lies within the rest of the blob, and no block is longer than the
    // window.
    const uint64_t span = std::min<uint64_t>(ext_length - (block - ext_offset), EXT_BLOCK_SPAN);
    if (!window_cover(wh->ext_fd, &wh->window, block, span))
        return nullptr;
    const uint64_t at = block - wh->window.start;
    return ext_read_mem(wh->window.data + at, std::min(span, wh->window.length - at), root->ext,
                        wh->ext_buffer, length);
}

// ---- walk with the root's entry ----

struct rcall_walk {
    walk_hour hour;
    void *ctx;
    dbs_rcall_cb cb;
    dbs_calls_filter wanted;
};

int rcall_walk_on_scan(void *p, uint64_t offset, uint64_t ext_offset, uint32_t ext_length,
                       rcall *rc) {
    auto *w = static_cast<rcall_walk *>(p);
    call_record *calls = rc->calls;
    rc->calls = nullptr;
    if (calls != nullptr && (w->wanted == nullptr || w->wanted(w->ctx, rc))) {
        rc->calls = calls;
        walk_place_calls(w->hour, ext_offset, rc);
    }
    uint16_t length;
    const uint8_t *entry = root_entry(&w->hour, rc->root, ext_offset, ext_length, &length);
    return w->cb(w->ctx, walk_key(w->hour, offset), rc->count, rc, entry, length) != 0 ? 1 : 0;
}

// ---- tree walk ----

struct tree_walk {
    walk_hour hour;
    call_tree *tree;
    void *ctx;
    dbs_tree_cb cb;
};

int tree_walk_on_scan(void *p, uint64_t, uint64_t ext_offset, uint32_t, rcall *rc) {
    auto *w = static_cast<tree_walk *>(p);
    walk_place_calls(w->hour, ext_offset, rc);
    call_tree_build(rc->root, rc->count, rc->calls, w->tree);
    return w->cb(w->ctx, w->tree) == 1 ? 1 : 0;
}

// ---- walk per call ----

struct call_walk {
    walk_hour hour;
    void *ctx;
    dbs_call_cb cb;
    // The root call being delivered; its calls are converted one by one as they go out, so
    // that calls a callback skips cost nothing.
    const rcall *rc;
    uint64_t ext_offset;
    rcall_ref ref;
    uint32_t next; // index of the next call to deliver; rc->count is the root
    int result;    // the callback's first non-zero result for this root call
};

int call_deliver(call_walk *w, const uint8_t *entry, uint16_t length) {
    const uint32_t i = w->next++;
    call_record *call = w->rc->root;
    if (i < w->rc->count) {
        call = &w->rc->calls[i];
        call_record_place(call, w->ext_offset, w->hour.file_id);
    }
    w->result = w->cb(w->ctx, &w->ref, w->rc, call, entry, length);
    return w->result;
}

// Delivers the calls before index `end` without entries until the callback says stop.
int call_deliver_upto(call_walk *w, uint32_t end) {
    while (w->next < end) {
        if (call_deliver(w, nullptr, 0) != 0)
            return w->result;
    }
    return 0;
}

int call_walk_on_entry(void *p, uint16_t, uint16_t call_index, const uint8_t *data,
                       uint16_t length) {
    auto *w = static_cast<call_walk *>(p);
    if (call_index > w->rc->count) {
        LOG_ERROR("Extension entry of call %u skipped: the root call has %u calls.", call_index,
                  w->rc->count + 1u);
        return 0;
    }
    if (call_index < w->next)
        return 0;
    if (call_deliver_upto(w, call_index) != 0 || call_deliver(w, data, length) != 0)
        return 1;
    // Once the root is out, the rest of the blob has nothing to deliver.
    return w->next > w->rc->count ? 1 : 0;
}

int call_walk_on_scan(void *p, uint64_t offset, uint64_t ext_offset, uint32_t ext_length,
                      rcall *rc) {
    auto *w = static_cast<call_walk *>(p);
    w->rc = rc;
    w->ext_offset = ext_offset;
    w->ref = {walk_key(w->hour, offset), rc->count};
    w->next = 0;
    w->result = 0;
    if (w->hour.ext_fd >= 0 && ext_length != 0 &&
        ext_iterate_exts(w->hour.ext_fd, ext_offset, ext_length, w->hour.ext_buffer, w,
                         call_walk_on_entry) < 0)
        return 1;
    if (w->result == 0)
        call_deliver_upto(w, rc->count + 1u);
    return w->result != 0 && w->result != 1 ? 1 : 0;
}

} // namespace

uint64_t dbs_walk_files_max() {
    return test_setting_ms(DBS_WALK_FILES_ENV, static_cast<uint32_t>(DBS_WALK_FILES_MAX));
}

bool dbs_walk_report_cut(const dbs_walk *w, const char *query) {
    if (w->cut)
        LOG_WARN("%s: %" PRIu64 " hour files scanned, as many as one request may: the reply "
                 "holds what they gave.",
                 query, w->max_files);
    return w->cut;
}

dbs_walk::~dbs_walk() {
    free(scan);
    free(ext);
    free(window);
    call_tree_free(tree);
}

bool dbs_calls_none(void *, const rcall *) {
    return false;
}

bool dbs_calls_with_exceptions(void *, const rcall *rc) {
    return rc->exceptions != 0;
}

int dbs_rcall_foreach(uint64_t agent_id, const uint64_t range[2], void *ctx, dbs_rcall_cb cb,
                      bool with_extensions, dbs_walk *shared, dbs_calls_filter wanted) {
    dbs_walk own(false, UINT64_MAX);
    dbs_walk *b = shared != nullptr ? shared : &own;
    walk_prepare(b, with_extensions, with_extensions, false);
    rcall_walk w{{with_extensions ? b->ext : nullptr, {b->window, 0, 0}, -1, 0}, ctx, cb, wanted};
    return walk_range(b, agent_id, range, &w.hour, &w, rcall_walk_on_scan);
}

int dbs_rcall_foreach_tree(uint64_t agent_id, const uint64_t range[2], void *ctx, dbs_tree_cb cb,
                           dbs_walk *shared) {
    dbs_walk own(false, UINT64_MAX);
    dbs_walk *b = shared != nullptr ? shared : &own;
    walk_prepare(b, false, false, true);
    tree_walk w{{nullptr, {}, -1, 0}, b->tree, ctx, cb};
    return walk_range(b, agent_id, range, &w.hour, &w, tree_walk_on_scan);
}

int dbs_rcall_foreach_call(uint64_t agent_id, const uint64_t range[2], void *ctx, dbs_call_cb cb,
                           dbs_walk *shared) {
    dbs_walk own(false, UINT64_MAX);
    dbs_walk *b = shared != nullptr ? shared : &own;
    walk_prepare(b, true, false, false);
    call_walk w{{b->ext, {}, -1, 0}, ctx, cb, nullptr, 0, {}, 0, 0};
    return walk_range(b, agent_id, range, &w.hour, &w, call_walk_on_scan);
}

uint8_t *dbs_rcall_execution_stack_get(const rcall_ref *ref, uint64_t agent_id) {
    const uint16_t n = ref->count;
    if (n == 0)
        return nullptr;
    if (n > MAX_RCALL_CALLS) {
        LOG_ERROR("Invalid number of calls.");
        return nullptr;
    }
    char path[RCALL_PATH_MAX];
    rcall_path(path, agent_id, rcall_key_day(ref->key), rcall_key_hour(ref->key), "");
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            LOG_DEBUG("No such file: %s", path);
        else
            LOG_SYSERR_PATH("open", path);
        return nullptr;
    }
    RootCall header;
    std::vector<call_record> calls(n);
    int rc = csp_get_rcall_stack(fd, rcall_key_offset(ref->key), n, &header, calls.data());
    close(fd);
    if (rc != 0)
        return nullptr;
    const uint64_t ext_offset = be64toh(header.ext_offset);
    for (call_record &c : calls) {
        if (be16toh(c.flags) & CALL_HAS_ENTRY)
            LOG_DEBUG("BOFF %" PRIu64, ext_locator_block(be64toh(c.ext)));
        call_record_place(&c, ext_offset, rcall_key_file_id(ref->key));
    }
    auto *out = static_cast<uint8_t *>(krv_malloc(sizeof n + n * sizeof(call_record)));
    memcpy(out, &n, sizeof n);
    memcpy(out + sizeof n, calls.data(), n * sizeof(call_record));
    return out;
}

call_tree *call_tree_new() {
    return static_cast<call_tree *>(krv_calloc(1, sizeof(call_tree)));
}

void call_tree_free(call_tree *tree) {
    free(tree);
}

void call_tree_build(const call_record *root, uint16_t n, const call_record *calls,
                     call_tree *tree) {
    if (n > MAX_RCALL_CALLS) {
        LOG_ERROR("Call tree of %u calls not built: at most %u calls fit.", n, MAX_RCALL_CALLS);
        n = 0;
    }
    call_tree_node *nodes = tree->nodes;
    nodes[0] = {nullptr, nullptr, *root, 0};
    tree->n = n;
    tree->exceptions = 0;
    for (uint32_t i = 1; i <= n; i++) {
        nodes[i] = {nullptr, nullptr, calls[i - 1], 0};
        if (nodes[i].call.flags & CALL_IS_EXCEPTION)
            tree->exceptions++;
    }
    std::sort(nodes + 1, nodes + 1 + n, [](const call_tree_node &a, const call_tree_node &b) {
        return a.call.CORDER < b.call.CORDER;
    });
    // Parents first: a climb passes over nodes that no later climb visits again, so the
    // whole attach is linear in n, with no recursion.
    for (uint32_t i = 1; i <= n; i++) {
        call_tree_node *node = &nodes[i];
        call_tree_node *cand = &nodes[i - 1];
        while (cand != &nodes[0] &&
               !(cand->call.SDEPTH < node->call.SDEPTH && cand->call.TSTAMP >= node->call.TSTAMP))
            cand = cand->parent;
        node->parent = cand;
        cand->child_count++;
    }
    // Then each node's children array, in the order the children were attached.
    uint32_t used = 0;
    for (uint32_t i = 0; i <= n; i++) {
        nodes[i].children = nodes[i].child_count != 0 ? &tree->child_slots[used] : nullptr;
        used += nodes[i].child_count;
        nodes[i].child_count = 0;
    }
    for (uint32_t i = 1; i <= n; i++) {
        call_tree_node *parent = nodes[i].parent;
        parent->children[parent->child_count++] = &nodes[i];
    }
}

int getAgentCallsStats(uint64_t agent_id, uint64_t *first, uint64_t *last, uint64_t *data_bytes,
                       uint64_t *ext_bytes) {
    uint64_t lo = UINT64_MAX, hi = 0;
    std::string path;
    int rc = mc_dir_foreach(agent_id, [&](const char *dir, const char *name, uint64_t day) {
        path.assign(dir).append("/").append(name);
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            const size_t len = strlen(name);
            const bool ext = len >= 2 && strcmp(name + len - 2, ".x") == 0;
            *(ext ? ext_bytes : data_bytes) += static_cast<uint64_t>(st.st_size);
        }
        lo = std::min(lo, day * 86400);
        hi = std::max(hi, day * 86400);
    });
    *first = lo == UINT64_MAX ? 0 : lo;
    *last = lo == UINT64_MAX ? 0 : hi;
    return rc < 0 ? -1 : 0;
}
