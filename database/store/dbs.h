// The Database file store under "storage.db": its version file, the open handle with its
// symbol maps, and the registry of agents with their per-agent write state.
//
// What survives what. Every write of the store goes to the kernel when it is made (write(2)
// and its kin, never a user-space buffer), and what a write left half done is cut off when
// the file is next opened, so a crash of the process loses nothing that was handed to the
// store. Against a power loss, data is forced to the disk (fsync, fdatasync, msync) at these
// points:
// - a new agent: its identity file, its directory and "storage.db/data" when it registers;
// - key/value samples: the journal of a move before any day file grows by it;
// - symbol files: after growing, within a second (the key/value maintainer syncs them after
//   each pass), and when the store quiesces;
// - root calls: an agent's hour files, extension files and calls indexes of the hours it has
//   written when it moves on to a later hour, when one of its open hours is closed to make
//   room for another, and when its collector state closes (at its disconnect or the
//   service's quiesce).
// Staging files and key/value day files are not forced: a power loss may cost the samples
// of the last moments, never the consistency of the files.
#pragma once

#include <cstdint>

#include "database/store/agent_state.h"
#include "database/store/symbols.h"
#include "lib/version.h"

struct kv_maintainer;

// The open store: one per service process with the Database role.
struct dbs {
    smap *smaps[4]; // SYM_THREAD, SYM_CLASS, SYM_METHOD, SYM_KEY in this order
    dbs_agents agents;
    kv_maintainer *kv_maint; // the thread that moves staged key/value samples
};

// Writes `version` big-endian into a new (or truncated) file at `path`, mode 0600. 0 or -1.
int create_dbversion_file(uint16_t version, const char *path);

// Creates an empty store in the working directory: its directories, the version file and
// the four symbol files. 0, or -1 at the first failure (nothing is removed).
int storage_create_db();

// Checks the version and the directories of the store in the working directory, loads the
// symbol maps and the agents registry, moves the key/value staging files left behind into
// the day files and starts the key/value maintainer. NULL on any failure (already reported).
dbs *dbs_open();

// The symbol map of a symbol type 1..4, NULL for any other type.
smap *dbs_smap(dbs *db, uint32_t type);

// Registers an agent: 0 when it is new (its directory and identity file are written), 17
// (EEXIST) when the registry holds it already, another errno value when its directory or
// identity file cannot be written. Every result but the last leaves a registry item.
int dbs_agent_register(dbs *db, const uint8_t identity[64], uint64_t aid);

// The agent's write state, or NULL when it is not registered. One hash lookup.
dbs_agent *dbs_agent_find(dbs *db, uint64_t aid);

// Stops the key/value maintainer and syncs the symbol files; the store stays readable and
// nothing is freed. For a service that stops with threads still reading the store. 0, or
// -1 when a sync failed (logged).
int dbs_quiesce(dbs *db);

// Quiesces the store and frees the handle, its symbol maps and its registry. Only when no
// other thread uses the store any more and the agents' files have been closed by their
// owners. 0, or -1 when a sync or a symbol file's close failed (logged).
int dbs_close(dbs *db);

// smap_store on the map of a type; 0 for a type without a map or on failure.
uint32_t dbs_symbol_store(dbs *db, uint32_t type, uint16_t len, const char *name);

// The id of a stored name; 0 when the type has no map or the name is not stored.
uint32_t dbs_symbol_find(dbs *db, uint32_t type, const char *name, uint16_t len);

// Calls cb(ctx, type, id, strlen(name), 0, name) for each listed id in order; an id that is
// not stored is warned about and passed over; a non-zero result ends the walk. 0, or -1
// when the type has no map.
int dbs_symbols_resolve(dbs *db, uint32_t type, uint32_t n, const uint32_t *ids, void *ctx,
                        symbol_cb cb);
