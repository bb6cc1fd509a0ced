#include "database/query_index.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "database/store/walk.h"
#include "lib/be_load.h"
#include "lib/format.h"
#include "lib/log.h"
#include "server/reply.h"

namespace {

constexpr uint32_t AGENT_ID_LEN = 8;

// The counters of one cell.
struct chart_cell {
    uint64_t roots;
    uint64_t with_exceptions; // root calls whose exception count is not 0
    uint64_t sum_dur;         // CALLS GRID only
    uint64_t sum_aux;         // CALLS GRID only
    double mean;              // running mean of the roots' shares
};

// The time range cut into n cells of width w; the last one also holds the remainder.
struct time_cells {
    uint64_t from;
    uint64_t to;
    uint64_t w;
    uint32_t n;

    uint32_t of(uint64_t t) const {
        return static_cast<uint32_t>(std::min<uint64_t>((t - from) / w, n - 1));
    }
    uint64_t start(uint32_t i) const { return from + i * w; }
    uint64_t end(uint32_t i) const { return i + 1 < n ? from + (i + 1) * w - 1 : to; }
};

// The share of a root's duration not taken by its AUX value. An AUX above the duration
// gives 0: taken as a wrapped difference it would count as thousands of per cent.
double dur_share(const call_record *root) {
    if (root->DUR == 0 || root->AUX > root->DUR)
        return 0;
    return static_cast<double>(root->DUR - root->AUX) / root->DUR;
}

// Counts a root call; the mean is kept as a running mean, so that its truncation to whole
// per cent comes out as clients expect.
void cell_count(chart_cell *c, const rcall *rc) {
    const double m = static_cast<double>(c->roots);
    c->mean = (c->mean * m + dur_share(rc->root)) / (m + 1);
    c->roots++;
    if (rc->exceptions != 0)
        c->with_exceptions++;
}

uint64_t share_percent(const chart_cell &c) {
    return static_cast<uint64_t>(100 * c.mean);
}

// Reads the time range; false (logged) when it runs backwards, which would wrap the cell
// width.
bool read_range(const uint8_t *at, uint64_t *from, uint64_t *to) {
    *from = load_be64(at);
    *to = load_be64(at + 8);
    if (*from <= *to)
        return true;
    LOG_ERROR("Invalid time range!");
    return false;
}

// ---- INDEX ----

struct indexq {
    time_cells t;
    std::vector<chart_cell> cells;
    dbs_walk walk;
};

int dbq_index_on_rcall(void *ctx, rcall_key, uint16_t, const rcall *rc, const uint8_t *, uint16_t) {
    auto *q = static_cast<indexq *>(ctx);
    cell_count(&q->cells[q->t.of(rc->root->TSTAMP)], rc);
    return 0;
}

void index_log_range(const time_cells &t) {
    if (log_level.load(std::memory_order_relaxed) < 2)
        return;
    char from[32], to[32];
    fmt_time(from, static_cast<time_t>(t.from / 1000));
    fmt_time(to, static_cast<time_t>(t.to / 1000));
    LOG_DEBUG("Finding rcalls for TF=%s TT=%s", from, to);
}

msg *index_refuse() {
    LOG_ERROR("Invalid request!");
    return nullptr;
}

// ---- CALLS GRID ----

struct gridq {
    time_cells t;
    uint32_t dw;
    std::vector<chart_cell> cells; // n x n, row by row
    dbs_walk walk;
};

int dbq_calls_grid_on_rcall(void *ctx, rcall_key, uint16_t, const rcall *rc, const uint8_t *,
                            uint16_t) {
    auto *q = static_cast<gridq *>(ctx);
    const call_record *root = rc->root;
    const uint32_t row = std::min(root->DUR / q->dw, q->t.n - 1);
    chart_cell &c = q->cells[uint64_t{row} * q->t.n + q->t.of(root->TSTAMP)];
    c.sum_dur += root->DUR;
    c.sum_aux += root->AUX;
    cell_count(&c, rc);
    return 0;
}

// A duration bound: row bounds past what 32 bits hold stay at the largest value instead of
// wrapping back to short durations.
uint32_t dur_bound(uint64_t v) {
    return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX));
}

// Writes the agent's grid into the room opened for it and clears the counters.
void grid_write(gridq *q, qresp_out *out, uint64_t agent) {
    const uint32_t n = q->t.n;
    qresp_out_u64(out, agent);
    for (uint32_t j = 0; j < n; j++) {
        const uint32_t low = dur_bound(uint64_t{j} * q->dw);
        const uint32_t high = j + 1 < n ? dur_bound((uint64_t{j} + 1) * q->dw - 1) : GRIDQ_DUR_TOP;
        for (uint32_t i = 0; i < n; i++) {
            const chart_cell &c = q->cells[uint64_t{j} * n + i];
            qresp_out_u64(out, q->t.start(i));
            qresp_out_u64(out, q->t.end(i));
            qresp_out_u32(out, low);
            qresp_out_u32(out, high);
            qresp_out_u64(out, c.roots);
            qresp_out_u64(out, c.with_exceptions);
            qresp_out_u64(out, c.sum_dur);
            qresp_out_u64(out, c.sum_aux);
            qresp_out_u64(out, share_percent(c));
        }
    }
    std::fill(q->cells.begin(), q->cells.end(), chart_cell{});
}

msg *grid_refuse() {
    LOG_ERROR("Invalid request.");
    return nullptr;
}

} // namespace

uint32_t dbq_index_max_cells() {
    return qresp_max_data() / INDEXQ_CELL_LEN;
}

uint32_t dbq_calls_grid_max_n() {
    const uint64_t max = qresp_max_data();
    auto fits = [max](uint64_t n) { return AGENT_ID_LEN + GRIDQ_CELL_LEN * n * n <= max; };
    auto n = static_cast<uint64_t>(std::sqrt(static_cast<double>(max) / GRIDQ_CELL_LEN));
    while (n > 0 && !fits(n))
        n--;
    while (fits(n + 1))
        n++;
    return static_cast<uint32_t>(n);
}

msg *dbq_index_run(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    if (len < INDEXQ_HEAD_LEN)
        return index_refuse();
    const uint32_t n = load_be32(args);
    const uint32_t ids_len = len - INDEXQ_HEAD_LEN;
    if (n == 0 || ids_len == 0 || ids_len % AGENT_ID_LEN != 0)
        return index_refuse();
    indexq q;
    if (!read_range(args + 4, &q.t.from, &q.t.to))
        return index_refuse();
    // The cells are set up before anything is read, and all must fit in the reply.
    if (n > dbq_index_max_cells()) {
        LOG_ERROR("Too many cells: %u, at most %u.", n, dbq_index_max_cells());
        return index_refuse();
    }
    q.t.n = n;
    q.t.w = (q.t.to - q.t.from) / n;
    if (q.t.w == 0)
        return index_refuse();
    q.cells.assign(n, chart_cell{});
    index_log_range(q.t);
    const uint64_t range[2] = {q.t.from, q.t.to};
    for (uint32_t i = 0; i < ids_len / AGENT_ID_LEN && !q.walk.cut; i++) {
        const uint64_t agent = load_be64(args + INDEXQ_HEAD_LEN + i * AGENT_ID_LEN);
        // Files that could not all be read would pass for fewer root calls.
        if (dbs_rcall_foreach(agent, range, &q, dbq_index_on_rcall, false, &q.walk,
                              dbs_calls_none) != 0)
            return nullptr;
    }
    const uint16_t status = dbs_walk_report_cut(&q.walk, "INDEX") ? QRESP_PARTIAL : QRESP_OK;
    qresp_out out;
    qresp_out_open(&out, uint64_t{n} * INDEXQ_CELL_LEN);
    for (uint32_t i = 0; i < n; i++) {
        const chart_cell &c = q.cells[i];
        qresp_out_u64(&out, q.t.start(i));
        qresp_out_u64(&out, q.t.end(i));
        qresp_out_u64(&out, c.roots);
        qresp_out_u64(&out, c.with_exceptions);
        qresp_out_u64(&out, share_percent(c));
    }
    return qresp_out_finish(&out, status, rid, qid);
}

msg *dbq_calls_grid_run(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    if (len < GRIDQ_MIN_LEN)
        return grid_refuse();
    const uint32_t n = load_be32(args);
    const uint32_t dw = load_be32(args + 4);
    const uint32_t k = load_be32(args + 24);
    // In 64 bits: a large k must not wrap past the length.
    if (n == 0 || k == 0 || GRIDQ_HEAD_LEN + uint64_t{k} * AGENT_ID_LEN > len || dw == 0)
        return grid_refuse();
    gridq q;
    if (!read_range(args + 8, &q.t.from, &q.t.to))
        return grid_refuse();
    if (n > dbq_calls_grid_max_n()) {
        LOG_ERROR("Too many cells: %u x %u, at most %u x %u.", n, n, dbq_calls_grid_max_n(),
                  dbq_calls_grid_max_n());
        return grid_refuse();
    }
    q.t.n = n;
    q.t.w = (q.t.to - q.t.from) / n;
    if (q.t.w == 0)
        return grid_refuse();
    q.dw = dw;
    q.cells.assign(uint64_t{n} * n, chart_cell{});
    const uint64_t grid_len = AGENT_ID_LEN + GRIDQ_CELL_LEN * uint64_t{n} * n;
    const uint64_t range[2] = {q.t.from, q.t.to};
    qresp_out out;
    qresp_out_reserve(&out, grid_len * k);
    // Once the walks are cut, the agent they were cut in keeps the grid of what was read and
    // the agents after it are left out.
    for (uint32_t i = 0; i < k && !q.walk.cut; i++) {
        // An agent whose grid no longer fits is not read; neither is any after it.
        if (!qresp_out_open(&out, grid_len))
            break;
        const uint64_t agent = load_be64(args + GRIDQ_HEAD_LEN + uint64_t{i} * AGENT_ID_LEN);
        if (dbs_rcall_foreach(agent, range, &q, dbq_calls_grid_on_rcall, false, &q.walk,
                              dbs_calls_none) != 0)
            return nullptr;
        grid_write(&q, &out, agent);
    }
    uint16_t status = out.limit.status;
    if (dbs_walk_report_cut(&q.walk, "CALLS GRID"))
        status = QRESP_PARTIAL;
    return qresp_out_finish(&out, status, rid, qid);
}
