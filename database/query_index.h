// The INDEX and CALLS GRID data queries: root calls counted in equal time cells for the
// charts of a graphical client. INDEX sums several agents into n time cells; CALLS GRID
// gives each agent an n x n grid of time columns by duration rows.
#pragma once

#include <cstdint>

struct dbs;
struct msg;

constexpr uint64_t DBQ_INDEX = 11;
constexpr uint64_t DBQ_CALLS_GRID = 12;

// An INDEX request: u32 n, u64 from, u64 to, then k >= 1 agent ids and nothing else. A reply
// cell: u64 start, u64 end (inclusive), u64 root calls, u64 of them with exception calls,
// u64 100 x the mean share of the roots' duration not taken by their AUX value.
constexpr uint32_t INDEXQ_HEAD_LEN = 20;
constexpr uint32_t INDEXQ_CELL_LEN = 40;

// A CALLS GRID request: u32 n, u32 dw (width of a duration row), u64 from, u64 to, u32 k,
// then k agent ids; bytes after them are ignored. Per agent the reply holds its id and n x n
// cells of 64 bytes, row by row from the shortest durations: u64 time start, u64 time end,
// u32 duration low, u32 duration high, u64 root calls, u64 with exception calls, u64 sum of
// DUR, u64 sum of AUX, u64 100 x mean share.
constexpr uint32_t GRIDQ_HEAD_LEN = 28;
constexpr uint32_t GRIDQ_MIN_LEN = GRIDQ_HEAD_LEN + 8;
constexpr uint32_t GRIDQ_CELL_LEN = 64;
// The upper bound of the last duration row (durations are 24-bit).
constexpr uint32_t GRIDQ_DUR_TOP = 0xFFFFFF;

// The most cells an INDEX request may ask for: as many as one reply carries (419,429).
uint32_t dbq_index_max_cells();
// The largest n of a CALLS GRID request: one agent's grid still fits in a reply (511).
uint32_t dbq_calls_grid_max_n();

// Runs an INDEX request on the store's files (relative to the working directory): status 1
// with the n cells, the last one reaching `to`; 4 with the counts of what was read when the
// walks reached the most hour files one request may open (no later agent is read). NULL
// when the request is refused (logged) or an agent's files could not all be read; the
// dispatcher answers it with status 2.
msg *dbq_index_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len);

// Runs a CALLS GRID request: status 1 with each agent's grid in request order; 4 when the
// grids of the later agents no longer fit in the reply (those agents are not read), or when
// the walks reached the most hour files one request may open: the agent they stopped in
// gives the grid of what was read, and the later agents are left out. NULL when
// the request is refused (logged) or an agent's files could not all be read.
msg *dbq_calls_grid_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len);
