// Calls index: one file per agent and UTC day, "storage.db/data/<agent>/mc/<day>.index",
// with a slot for every second of the day telling where in that hour's root-call file the
// first root call of the second was stored and how many were stored for it. The agent's
// writer keeps the index of its current day mapped; readers map it for one lookup only.
//
// Slots are host order. The writer updates them through a shared mapping while readers may
// look at the same slots; each field is loaded and stored whole, so a reader sees a field
// either before or after an update.
#pragma once

#include <cstddef>
#include <cstdint>

struct cindex_slot {
    uint64_t offset; // offset in the hour file of the first root call stored for the second
    uint64_t count;  // root calls stored for the second; 0 when the slot is empty
};

constexpr uint64_t CINDEX_SLOTS = 86400;
// The whole file: the slots, then 2048 unused zero bytes.
constexpr uint64_t CINDEX_FILE_SIZE = 0x152000;

// Maps the index of `agent_id` and `day`. With `create` the file is created when missing,
// its blocks are allocated (so that stores through the map cannot fault on a full volume)
// and it is mapped writable; without, it is mapped read-only. A file of any other size than
// CINDEX_FILE_SIZE (an empty one being created aside) is not taken for an index. NULL on
// any failure, which is logged.
cindex_slot *cindex_open(uint64_t agent_id, uint32_t day, bool create);
// cindex_open without its log lines: a failure gives NULL and its errno value in *err, and
// the name of the failed call in *call, or NULL there when the file exists with another
// size than an index has. For a writer that reports its failures per agent.
cindex_slot *cindex_map(uint64_t agent_id, uint32_t day, bool create, int *err, const char **call);

// "storage.db/data/<agent>/mc/<day>.index" into buf.
constexpr size_t CINDEX_PATH_MAX = 64;
void cindex_path(char *buf, uint64_t agent_id, uint32_t day);

// Writes the changed slots of a writable map to its file and waits until they are stored.
// 0, or -1 (logged).
int cindex_sync(cindex_slot *slots);

// Unmaps an index from cindex_open; NULL is accepted. 0, or -1 (logged) when the unmap
// fails.
int cindex_close(cindex_slot *slots);

// Counts one root call stored at `offset` of the hour file for the given time of its root:
// the first of its second sets the slot's offset. A NULL map is ignored.
void cindex_put(cindex_slot *slots, uint64_t offset, uint64_t hour, uint64_t minute,
                uint64_t second);

// Takes back a cindex_put whose root call could not be stored. A NULL map is ignored.
void cindex_unput(cindex_slot *slots, uint64_t offset, uint64_t hour, uint64_t minute,
                  uint64_t second);

// The slot of `second` (0..3599) of `hour` (0..23), read whole.
cindex_slot cindex_get(const cindex_slot *slots, uint64_t hour, uint32_t second);
// Sets that slot.
void cindex_set(cindex_slot *slots, uint64_t hour, uint32_t second, cindex_slot value);

// Empties the 3600 slots of `hour` (0..23): its hour file starts anew, so offsets left from
// an earlier file of that name must not be used. A NULL map is ignored.
void cindex_clear_hour(cindex_slot *slots, uint64_t hour);

// The smallest offset among the slots of `hour` from that second of the hour to its end: where
// a walk of the hour file must start to see every root call stored for that second or later.
// 0 when those slots are all empty. -1 (and 0) when the index cannot be read. The hour file
// itself is not looked at (cindex_find in rcall.h checks the offset against it).
int cindex_first_offset(uint64_t *offset, uint64_t agent_id, uint32_t day, uint64_t hour,
                        uint64_t minute, uint64_t second);

// The number of root calls the index counts for the seconds `first` to `last` (seconds of
// the hour, 0..3599) of `hour`. -1 when the index cannot be read.
int cindex_count(uint64_t *count, uint64_t agent_id, uint32_t day, uint64_t hour, uint32_t first,
                 uint32_t last);
