// The collector's status dump: one record per agent the collector serves, read under the
// agents' slot locks and written out big-endian for the online push.
//
// A record is 42 + 6 m bytes: u64 agent id, u64 completed roots that had an exception call,
// u64 completed roots, u64 time (ms) and u64 value of the last JVM thread-count sample, u16
// m, then m entries {u16 age bucket, u16 exception roots, u16 open roots} for the buckets
// with root calls in progress, ascending. Bucket b counts those that began b - 1 whole
// seconds ago (0 to 98); counts above 65,535 show as 65,535.
#pragma once

#include <cstdint>

#include "lib/bbuf.h"

struct collector;

// Bytes of a status record without its age entries, and of one age entry.
constexpr uint32_t STATUS_REC_HEAD = 42;
constexpr uint32_t STATUS_AGE_ENTRY = 6;
// Offset of m in a record.
constexpr uint32_t STATUS_REC_M = 40;

// Appends one status record per agent served (workers in order, slots in table order) to
// *buf, which moves when it grows (a NULL *buf is made). Takes each worker's table lock only
// to copy its slot pointers, then one slot lock at a time.
void collector_dump_status(uint64_t now_ms, bbuf **buf, collector *c);

// The size of the status record at rec[0, len): 0 when fewer bytes than it needs are left.
uint32_t collector_status_rec_size(const uint8_t *rec, uint64_t len);
