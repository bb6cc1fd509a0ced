// The agents cache: every agent the Manager knows, held in memory beside its AGENTS row so
// that hellos, queries and commands read agents without SQL.
//
// Changes that write the table and the cache (registration, deletion, attaching, detaching,
// setting the Database, activating a configuration) hold the cache's `update` mutex from
// their first statement to the end of their cache update, so concurrent changes leave the
// cache as the table. The table is written first: a failed statement leaves both unchanged.
// No operation runs SQL while it holds the cache lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <vector>

#include "lib/agent_type.h"
#include "lib/netaddr.h"

struct mgr_storage;
struct mgr_config;

// One cached agent, 116 bytes without padding, host order. A free slot is all zero.
struct __attribute__((packed)) mgr_agent {
    agent_identity identity;
    uint64_t aid;  // murmur3_hash64 of the 64 identity bytes; 0 marks a free slot
    nurl database; // the agent's Database; all zero for none
    uint64_t cid1; // the attached configuration, 0.0 for none
    uint64_t cid2;
    uint64_t datahash; // hash of that configuration's active version, 0 when none is known
};
static_assert(sizeof(mgr_agent) == 116);

// The array grows 16 slots at a time and never beyond 65535.
inline constexpr uint64_t ACACHE_MAX_SLOTS = 65535;
inline constexpr uint64_t ACACHE_GROWTH = 16;

struct acache {
    mgr_agent *slots;      // owned; used slots may sit anywhere
    uint64_t count;        // slots in use
    uint64_t nslots;       // slots in the array; it never shrinks while the handle lives
    pthread_rwlock_t lock; // guards the three fields above and every slot
    std::mutex update;     // serializes the changes that write the table and the cache
};

// The one rule for "no configuration": both halves of the id are zero.
inline bool cfg_id_none(uint64_t id1, uint64_t id2) {
    return (id1 | id2) == 0;
}

// Empties the cache record and fills it from AGENTS; called before other threads exist.
// Stops at 65535 agents with "Too many agents!". 0 or -1.
int acache_load(mgr_storage *s);
// Releases the slots and zeroes both counts.
void acache_free(struct acache *cache);

// Copies of one slot; all zero when there is no such agent.
mgr_agent acache_lookup(mgr_storage *s, uint64_t aid);
mgr_agent acache_get(mgr_storage *s, uint64_t aid);
// The agent whose id is the hash of these 64 identity bytes.
mgr_agent acache_get_by_identity(mgr_storage *s, const agent_identity *identity);
// The attached configuration id (ids[0], ids[1]) or the Database address of a cached agent:
// 0, or -1 for aid 0 or an agent not cached.
int acache_get_cfg_ids(mgr_storage *s, uint64_t aid, uint64_t ids[2]);
int acache_get_db_addr(mgr_storage *s, uint64_t aid, nurl *out);

// Registers a connecting agent (identity, aid, Database address, no configuration). A
// cached agent is returned as cached. A new one gets its AGENTS row first and its slot only
// once the row exists; it is returned as stored. All zero when the agent cannot be
// registered (cache full, failed INSERT, aid 0).
mgr_agent acache_add(mgr_storage *s, const mgr_agent *record);

// Deletes the agent's row (its BANNED rows go with it), then its slot. 0, or -1 when it
// is not cached or the row cannot be deleted (the slot then stays).
int acache_delete(mgr_storage *s, uint64_t aid);

// Attaches the configuration cid1.cid2 to the `n` listed agents in one transaction, then
// to their slots, which take the configuration's stored data hash (`datahash`, the hash the
// caller read with the active data, only when no configuration row exists). An id 0.0, a
// configuration that does not exist or any failed statement gives -1 and changes nothing.
int acache_attach_cfg(mgr_storage *s, uint64_t datahash, uint64_t cid1, uint64_t cid2,
                      const uint64_t *aids, uint64_t n);

// Reads the active data of cid1.cid2 into *data (as cfg_read with CFG_DATA) and attaches
// the configuration to the listed agents as acache_attach_cfg does, both under the `update`
// mutex that activation holds too: an activation comes before both or after both, so the
// data read is the version whose hash the agents get. 0, 2 when no configuration has that
// id (nothing attached), -1 on failure; *data holds a blob only after 0 (the caller frees it).
int acache_attach_cfg_read(mgr_storage *s, uint64_t cid1, uint64_t cid2, const uint64_t *aids,
                           uint64_t n, mgr_config *data);

// Deletes the configuration cid1.cid2: in one transaction detaches it from every agent the
// table attaches to it (whatever the cache says) and deletes its row; once committed, the
// cache lets it go too. *detached gets the agents that were attached to it in the table or
// in the cache, sorted, each once. An id that names no configuration changes nothing and
// succeeds. 0, or -1 with nothing changed and *detached empty.
int acache_delete_cfg(mgr_storage *s, uint64_t cid1, uint64_t cid2,
                      std::vector<uint64_t> *detached);

// Detaches the configuration from the listed agents or, with `aids` NULL, from every agent.
// An id 0.0 gives -1 at once. 0 or -1; a failure changes nothing.
int acache_detach_cfg(mgr_storage *s, uint64_t cid1, uint64_t cid2, uint64_t n,
                      const uint64_t *aids);

// Sets the Database address of the listed agents or, with `aids` NULL, of every agent;
// `address` NULL clears it (db NULL, all-zero slot address). 0 or -1; a failure changes
// nothing.
int acache_set_db(mgr_storage *s, const nurl *address, uint64_t n, const uint64_t *aids);

// Stores `hash` in every slot attached to cid1.cid2. Callers that also write the table
// hold the `update` mutex around both.
void acache_set_datahash(mgr_storage *s, uint64_t cid1, uint64_t cid2, uint64_t hash);

// Called once per used slot in array order under the read lock; the result is ignored. A
// callback may read the storage but must not change the cache.
using acache_cb = int (*)(void *ctx, const mgr_agent *slot);
void acache_foreach(mgr_storage *s, void *ctx, acache_cb cb);
