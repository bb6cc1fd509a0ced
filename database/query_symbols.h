// The SYMBOLS and KV METRICS data queries: the names behind symbol ids, found by a pattern
// over one type's symbol file or listed by (type, id) pairs, and the stored day files of one
// metric key for several agents over a time range.
#pragma once

#include <cstdint>

struct dbs;
struct msg;

constexpr uint64_t DBQ_SYMBOLS = 2;
constexpr uint64_t DBQ_KV_METRICS = 5;

// The first byte of a SYMBOLS request.
enum : uint8_t {
    SYMQ_BY_PATTERN = 1, // u8 type, u16 L, an extended regular expression of L bytes
    SYMQ_BY_IDS = 2,     // u16 k >= 1, k x (u8 type, u32 id)
};

// A SYMBOLS reply item: u8 type, u32 id, u16 length, the name.
constexpr uint32_t SYMQ_ITEM_HEAD = 7;
// A KV METRICS reply item: u64 agent id, u64 n, the n bytes of a day file.
constexpr uint32_t KVQ_ITEM_HEAD = 16;

// Runs a SYMBOLS request (the bytes after the request and query ids) on the store `db`:
// status 1 with one item per symbol found, 4 when the reply was cut at its size limit. NULL
// when the request is refused (logged, but for an unknown type or an unreadable symbol file,
// which the store logs); the dispatcher answers it with status 2.
msg *dbq_symbols_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len);

// Runs a KV METRICS request on the store `db`: status 1 with one item per day file read,
// agents in request order and days ascending (none when from is later than to); 3 without
// data for a key name the store does not hold, whatever the range; 4 when the reply was cut
// at its size limit or a day file held more than one item carries. NULL when the request is
// refused or a day file cannot be read.
msg *dbq_kv_metrics_run(dbs *db, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len);
