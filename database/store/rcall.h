// Root-call files: every completed root call of an agent is appended to the hour file of its
// root's time, "storage.db/data/<agent>/mc/<day>.<hour>", as a 96-byte RootCall header and
// the 48-byte records of its other calls; its extension blob goes to "<day>.<hour>.x" and
// its place into the day's calls index.
//
// Records are big-endian in files. Readers hand out host-order records whose extension
// locators point into the ".x" file and whose file id names the hour file they came from.
#pragma once

#include <cstddef>
#include <cstdint>

struct dbs_agent;

// Call flags.
constexpr uint16_t CALL_F_ROOT = 0x01;     // the root call, last of its stack
constexpr uint16_t CALL_F_PARAMS = 0x02;   // its extension entry holds key/value pairs
constexpr uint16_t CALL_F_EXC_TEXT = 0x08; // exception call whose entry holds a text
constexpr uint16_t CALL_F_EXC = 0x10;      // exception call

// Most calls a stored root call holds besides its root.
constexpr uint32_t MAX_RCALL_CALLS = 40000;

// Low 44 bits of an extension locator: the offset of the entry's block.
constexpr uint64_t EXT_BLOCK_MASK = (uint64_t{1} << 44) - 1;

struct call_record {
    uint64_t TSTAMP;  // ms since the epoch, UTC
    uint64_t ext;     // extension locator
    uint32_t file_id; // day << 5 | hour of the hour file, set by readers; 0 in files
    uint32_t CLASS;
    uint32_t METHOD;
    uint32_t EXCEPTION; // class of the exception, 0 for none
    uint32_t CORDER;
    uint32_t AUX;
    uint32_t DUR;
    uint16_t SDEPTH;
    uint16_t flags;
};
static_assert(sizeof(call_record) == 48);

constexpr char ROOTCALL_MAGIC[8] = {'_', 'S', 'P', 'R', 'I', 'N', 'V', '_'};

// Header of a stored root call, big-endian.
struct RootCall {
    call_record root;    // as handed in by the collector, file id 0
    uint64_t ext_offset; // offset of the extension blob in the ".x" file, 0 without one
    uint32_t ext_length; // 0 without a blob
    uint32_t thread;     // thread symbol id
    uint16_t exceptions; // exception calls among the calls
    uint16_t n;          // call records that follow
    char magic[8];       // ROOTCALL_MAGIC
    uint8_t zero[20];
};
static_assert(sizeof(RootCall) == 96);

// Largest stored root call, and so the scan buffer that holds any of them.
constexpr uint32_t CSP_SCAN_BUFFER_SIZE = sizeof(RootCall) + MAX_RCALL_CALLS * sizeof(call_record);

// One root call. From the collector: `count` calls in file byte order, the root last and
// `root` pointing at it, with the blob from the extension builder. From a reader: `count`
// is the number of calls besides the root, `calls` NULL when there are none, `root` a
// separate host-order copy, no blob.
struct rcall {
    call_record *calls;
    call_record *root;
    const void *ext;
    uint32_t ext_length;
    uint32_t thread;
    uint16_t exceptions;
    uint16_t count;
};

// Names a stored root call: day << 48 | hour << 43 | offset of its RootCall in the hour file.
using rcall_key = uint64_t;

// The last day an rcall_key can name (16 bits): no root call of a later day is stored.
constexpr uint64_t RCALL_MAX_DAY = 0xFFFF;

constexpr uint64_t RCALL_KEY_OFFSET_MASK = (uint64_t{1} << 43) - 1;

inline rcall_key rcall_key_make(uint32_t day, uint32_t hour, uint64_t offset) {
    return uint64_t{day} << 48 | uint64_t{hour} << 43 | (offset & RCALL_KEY_OFFSET_MASK);
}
inline uint32_t rcall_key_day(rcall_key key) {
    return static_cast<uint32_t>(key >> 48);
}
inline uint32_t rcall_key_hour(rcall_key key) {
    return static_cast<uint32_t>(key >> 43) & 31;
}
// day << 5 | hour: the file id of the key's hour file.
inline uint32_t rcall_key_file_id(rcall_key key) {
    return static_cast<uint32_t>(key >> 43);
}
inline uint64_t rcall_key_offset(rcall_key key) {
    return key & RCALL_KEY_OFFSET_MASK;
}

// Converts a record between file byte order and host order (the same swap either way).
void call_record_swap(call_record *c);

// Turns a record read from a file into the form readers hand out: host order, the extension
// locator made absolute with the offset of its root call's blob, the file id set.
void call_record_place(call_record *c, uint64_t ext_offset, uint32_t file_id);

// "storage.db/data/<agent>/mc/<day>.<hour><suffix>" into buf; suffix "" names the hour
// file, ".x" its extension file.
constexpr size_t RCALL_PATH_MAX = 64;
void rcall_path(char *buf, uint64_t agent_id, uint32_t day, uint32_t hour, const char *suffix);

// Writes the agent's gathered root calls (dbs_rcall_stage), then syncs and closes every open
// hour of the agent (its hour files, extension files and calls indexes); the state is left
// with no hour open. -1 when a write, a sync, a close or an unmap failed (logged): what was
// written last may not have reached the disk.
int dbs_agent_mc_close(dbs_agent *a);
// Writes the agent's gathered root calls, then syncs the open hours of the agent that were
// written since their last sync. 0 or -1.
int dbs_agent_mc_sync(dbs_agent *a);
// Writes the root calls gathered by dbs_rcall_stage to their files: one write to the hour
// file and, when they have blobs, one to its extension file. Their calls-index entries are
// put just before. When the write fails, both files are cut back, the entries taken back
// and the root calls counted and told as lost. 0, or -1 when they were not stored.
int dbs_agent_mc_flush(dbs_agent *a);
// Bytes the agent's buffers of gathered root calls hold (kept between flushes, so that each
// batch costs no new allocation), for the collector's memory budgets.
uint64_t dbs_agent_mc_batch_bytes(const dbs_agent *a);
// Writes the gathered root calls and releases the buffers that held them. 0, or -1 as
// dbs_agent_mc_flush.
int dbs_agent_mc_batch_release(dbs_agent *a);
// The number of hours the agent has open (each holds one or two descriptors).
uint32_t dbs_agent_mc_open_hours(const dbs_agent *a);

// Stores a root call from the collector in the agent's hour file, its blob in the extension
// file and its place in the calls index, at once (root calls the agent has gathered go
// first). Runs on the agent's collector thread only. 0, or
// -1 when it was not stored (and nothing of it stays in the files, nor in the index): the
// loss is counted and told in the agent's loss line.
//
// An agent keeps the files of its last MC_OPEN_HOURS hours open, so that root calls that
// arrive late for an earlier hour cost no reopening. The first time this process opens an
// hour file for appending, it walks it: an incomplete root call at its end is cut off,
// damaged bytes stay where they are (told once, with their offset and length; a file that
// ends in them is padded to a record boundary), and the day's calls index is made to count
// what the file holds as the scans see it.
int dbs_rcall_save(dbs_agent *agent, const rcall *rc);

// Takes a root call from the collector as dbs_rcall_save does, but gathers it with the
// agent's other root calls of the same hour, to be written together by dbs_agent_mc_flush
// (the files hold exactly the bytes dbs_rcall_save would have written). The gathered root
// calls are written first when the root call belongs to another hour, or would take them
// past MC_BATCH_BYTES; a root call larger than that is written at once. Nothing of a
// gathered root call is in the files or the index before the flush. 0, or -1 when it was
// refused or its hour cannot be opened (counted as for dbs_rcall_save).
int dbs_rcall_stage(dbs_agent *agent, const rcall *rc);

// Appends one stored root call: the blob (when given) to ext_fd, then the RootCall and the
// n records of `calls` (file byte order) to data_fd, advancing both sizes. Short writes are
// continued; on a failure both files are cut back to their sizes before the call and -1 is
// returned with the sizes unchanged.
int csp_save_rcall(uint64_t *data_size, uint64_t *ext_size, int32_t data_fd, int32_t ext_fd,
                   const call_record *root, uint32_t thread_id, uint16_t exception_count,
                   uint16_t n, const call_record *calls, uint32_t ext_len, const void *ext_blob);

// Reads the stored root call at `offset` with exactly n calls, in file byte order. -1 unless
// a whole RootCall with its n calls stands there.
int csp_get_rcall_stack(int32_t fd, uint64_t offset, uint16_t n, RootCall *header,
                        call_record *calls);

// 1 when the hour file of `agent_id`, `day` and `hour` holds a valid RootCall header at
// `offset`, else 0.
int csp_rcall_present(uint64_t agent_id, uint32_t day, uint32_t hour, uint64_t offset);

// The offset at which a walk of the hour file of `hour` must start to see every root call
// stored for that second of the hour or later: the calls index's smallest offset from that
// second to the end of the hour (cindex_first_offset), 0 when there is none. The offset is
// used only when the hour file holds a root call there. -1 (and 0) when the index cannot be
// read or its offset is not usable.
int cindex_find(uint64_t *offset, uint64_t agent_id, uint32_t day, uint64_t hour, uint64_t minute,
                uint64_t second);

// Called for each stored root call of a scan inside the range, with the offset of its
// RootCall, its blob's offset and length and the reader-form descriptor (valid only during
// the call). A result of exactly 1 ends the scan.
using csp_scan_cb = int (*)(void *ctx, uint64_t offset, uint64_t ext_offset, uint32_t ext_length,
                            rcall *rc);

// Stands for "scan to the end of the file" where a count of expected root calls is asked.
constexpr uint64_t CSP_SCAN_ALL = UINT64_MAX;

// Walks the stored root calls of the hour file open as fd from `offset`, handing those whose
// root's time lies in range {from, to} (ms, inclusive) to cb; file_id is day << 5 | hour of
// the file. `buffer` is 8-byte aligned and holds buffer_size bytes (CSP_SCAN_BUFFER_SIZE fits
// any record); records are converted in place in it, the calls only with `place_calls` (else
// they stay in file byte order, for the callback to convert what it reads). The file is read
// in growing pieces, starting with a small one. Records past `to` are skipped: the scan ends
// at the end of the file, or once it has met `expected` root calls whose second lies in the
// seconds of the range (see csp_scan_expected). Damaged bytes (a bad header, or a record
// whose count does not fit what follows it while a header stands inside it) are skipped up
// to the next 48-aligned place that holds a header with zero padding; the scan tells them at
// log level 2 only, the writer's check of the file tells them once. 0, or -1 when reading
// fails or a record does not fit in the buffer.
int csp_scan_rcall_stack(int32_t fd, uint64_t offset, uint32_t file_id, const uint64_t range[2],
                         uint32_t buffer_size, void *buffer, void *ctx, csp_scan_cb cb,
                         uint64_t expected = CSP_SCAN_ALL, bool place_calls = true);

// The `expected` argument for a scan of the hour file `file_id` over `range`: the root calls
// the agent's calls index counts for the seconds of the range that fall into that hour, when
// the range ends inside the hour; otherwise, or without an index, CSP_SCAN_ALL.
uint64_t csp_scan_expected(uint64_t agent_id, uint32_t file_id, const uint64_t range[2]);
