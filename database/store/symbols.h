// Symbol files and symbol maps: one append-only file per symbol type under
// "storage.db/symbols", and an in-memory map per type that gives each name its id.
//
// A symbol's id is the byte offset of its record in the file divided by 16, so ids grow
// with the file and each type has its own. Records are 16-aligned:
//   00 1E 00 1E | u16 length (big-endian) | name bytes | zero fill to a multiple of 16.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "lib/files.h"

constexpr uint32_t SYM_THREAD = 1;
constexpr uint32_t SYM_CLASS = 2;
constexpr uint32_t SYM_METHOD = 3;
constexpr uint32_t SYM_KEY = 4;

// Longest name: its record (6-byte head, name, fill) takes at most 2048 bytes.
constexpr uint16_t SYMBOL_NAME_MAX = 2042;
constexpr uint32_t SYMBOL_REC_MAX = 2048;

// First 16 bytes of every symbol file: "KORVANE" and nine zero bytes.
extern const uint8_t SYMBOLS_MAGIC[16];

// "THREAD", "CLASS", "METHOD", "KEY"; NULL for a type without a file.
const char *symbol_type_name(uint32_t type);
// "storage.db/symbols/thr" ... "storage.db/symbols/kvs"; NULL for a type without a file.
const char *symbols_path(uint32_t type);

struct smap_entry {
    char *name; // the map's own NUL-terminated copy
    uint64_t hash;
    uint32_t id;
    uint16_t len;
};

// An id bucket slot. It keeps the name copy, which never moves, rather than a pointer into
// a hash bucket, whose array moves when it grows.
struct smap_id_ref {
    const char *name;
    uint32_t id;
};

template <typename T> struct smap_bucket {
    uint32_t capacity;
    uint32_t count;
    T *items;
};

constexpr uint32_t SMAP_BUCKETS = 65536;

struct smap {
    pthread_rwlock_t guard;
    smap_bucket<smap_entry> by_hash[SMAP_BUCKETS];
    smap_bucket<smap_id_ref> by_id[SMAP_BUCKETS];
    uint64_t offset; // where the next record goes: the file's length, a multiple of 16
    uint64_t count;  // symbols in the map
    uint64_t synced; // the file is known to be on the disk up to here (smap_sync alone)
    int32_t fd;      // the file opened for writing, -1 when closed
};

// Called per symbol with its type, id, length, hash (0 when the caller does not compute
// it) and NUL-terminated name. A non-zero result ends the walk.
using symbol_cb = int (*)(void *ctx, uint32_t type, uint32_t id, uint16_t len, uint64_t hash,
                          const char *name);

// Creates (or truncates) the file of a type with only its header. 0 or -1.
int symbols_create(uint32_t type);

// Loads the file of a type into a new map and opens it for appending. A torn last record is
// cut off and a damaged record is skipped, so the map holds every readable symbol and new
// records start at a multiple of 16. NULL on failure.
smap *symbols_open(uint32_t type);

// Closes the file and frees the map with all its names. No other thread may use it. 0, or -1
// when the close reports a failed write (logged).
int smap_close(smap *ss);

// Adds a loaded record to both bucket tables. Loading only: takes no lock. 0.
int smap_insert(smap *m, uint32_t type, uint32_t id, uint16_t len, uint64_t hash, const char *name);

// The id of a name, appending a record when the name is new; 0 when the name is longer than
// SYMBOL_NAME_MAX or the record cannot be written whole (the file is then left as before).
uint32_t smap_store(smap *m, uint16_t len, const char *name);

// The id of a stored name, or 0.
uint32_t smap_find_id(smap *m, uint16_t len, const char *name);

// The map's name for an id, or NULL. The name lives as long as the map.
const char *smap_get_name(smap *m, uint32_t id);

// Calls cb(ctx, type, id, strlen(name), 0, name) for every symbol of the map, in no
// particular order, under the map's read lock (stores wait meanwhile); a non-zero result
// ends the walk. `type` is the map's symbol type, handed on to cb.
void smap_foreach(smap *m, uint32_t type, void *ctx, symbol_cb cb);

// Makes the records appended since the last call durable (fdatasync). One thread at a time.
// 0, or -1 (logged).
int smap_sync(smap *m);

// Reads the file of a type from its start (not the map, without a lock) and calls cb per
// record. 0, or -1 when the file cannot be read.
int symbols_foreach(uint32_t type, void *ctx, symbol_cb cb);

// Calls cb(ctx, name, path, size) for every entry of "storage.db/symbols" whose name does
// not begin with ".". 0, or -1 when the directory cannot be opened.
int symbols_file_foreach(void *ctx, sys_file_cb cb);

// Prints the symbol counts per type on standard output; with `verbose` every symbol too.
// 0, or -1 when a symbol file cannot be read.
int symbols_print_stats(int verbose);
