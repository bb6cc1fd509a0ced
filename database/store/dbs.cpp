#include "database/store/dbs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unordered_map>
#include <sys/stat.h>
#include <unistd.h>

#include "database/store/agents.h"
#include "database/store/kv.h"
#include "database/store/symbols.h"
#include "lib/be_load.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/xalloc.h"

namespace {

constexpr const char *VERSION_FILE = "storage.db/.database";

// The store's directories, parents first: created by storage_create_db in this order and
// checked by dbs_open in this order.
constexpr const char *STORE_DIRS[] = {"storage.db", "storage.db/arch", "storage.db/data",
                                      "storage.db/symbols"};

constexpr uint32_t SYMBOL_TYPES[] = {SYM_THREAD, SYM_CLASS, SYM_METHOD, SYM_KEY};

} // namespace

int create_dbversion_file(uint16_t version, const char *path) {
    fd_owner fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid())
        return -1;
    uint8_t word[2];
    store_be16(word, version);
    if (io_write_all(fd.get(), word, sizeof word) != 0) {
        LOG_SYSERR("write");
        fd.reset();
        unlink(path);
        return -1;
    }
    return 0;
}

int storage_create_db() {
    for (const char *dir : STORE_DIRS) {
        if (mkdir(dir, 0700) != 0) {
            LOG_SYSERR_PATH("mkdir", dir);
            return -1;
        }
    }
    if (create_dbversion_file(PROTOCOL_VERSION, VERSION_FILE) != 0)
        return -1;
    for (uint32_t type : SYMBOL_TYPES) {
        if (symbols_create(type) != 0)
            return -1;
    }
    return 0;
}

// Reads the stored version word. 0, or -1 when the file is missing, unreadable or short.
static int read_dbversion_file(uint16_t *version) {
    fd_owner fd(open(VERSION_FILE, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    uint8_t word[2];
    const ssize_t n = io_read_full(fd.get(), word, sizeof word);
    if (n < 0)
        LOG_SYSERR("read");
    if (n != sizeof word)
        return -1;
    *version = load_be16(word);
    return 0;
}

static dbs_agent *dbs_agent_new(uint64_t aid) {
    dbs_agent *a = new (krv_calloc(1, sizeof(dbs_agent))) dbs_agent{};
    dbs_agent_init(a, aid);
    return a;
}

// Appends an item; the caller holds the registry's write lock (or is alone at open).
static void dbs_agents_append(dbs_agents *agents, uint64_t aid) {
    agents->items = static_cast<dbs_agent **>(
        krv_realloc(agents->items, (agents->count + 1) * sizeof(dbs_agent *)));
    dbs_agent *a = dbs_agent_new(aid);
    agents->items[agents->count++] = a;
    agents->by_id->emplace(aid, a);
}

// After each pass of the key/value maintainer: the symbol files grown since the last one
// reach the disk.
static void dbs_sync_symbols(void *ctx) {
    for (smap *m : static_cast<dbs *>(ctx)->smaps)
        if (m != nullptr)
            (void)smap_sync(m); // logged; the next pass tries again
}

// Registry item for an agent directory found at open.
static int dbs_agents_load_cb(void *ctx, agent_entry *entry) {
    dbs_agents_append(static_cast<dbs_agents *>(ctx), entry->id);
    return 0;
}

dbs *dbs_open() {
    uint16_t version = 0;
    if (read_dbversion_file(&version) != 0 || !is_version_compatible(version)) {
        printf("\033[91mIncompatible database version!\033[0m\n");
        return nullptr;
    }
    for (const char *dir : STORE_DIRS) {
        struct stat st;
        if (lstat(dir, &st) != 0) {
            LOG_FATAL("Storage check failed. Directory %s: %s", dir, strerror(errno));
            return nullptr;
        }
    }
    dbs *db = static_cast<dbs *>(krv_calloc(1, sizeof(dbs)));
    pthread_rwlock_init(&db->agents.guard, nullptr);
    db->agents.by_id = new std::unordered_map<uint64_t, dbs_agent *>();
    for (uint32_t type : SYMBOL_TYPES) {
        db->smaps[type - 1] = symbols_open(type);
        if (db->smaps[type - 1] == nullptr) {
            (void)dbs_close(db);
            return nullptr;
        }
    }
    // No other thread exists yet: the registry is filled without its lock. The directory was
    // checked just above.
    (void)dbs_foreach_agent(&db->agents, dbs_agents_load_cb);
    // Staging files left by the last run reach the day files before any agent can send;
    // samples that cannot be moved have been logged where they failed, and the store opens
    // all the same.
    (void)dbs_kv_recover(&db->agents);
    db->kv_maint =
        dbs_kv_maintainer_start(&db->agents, KV_MAINTAIN_INTERVAL_MS, dbs_sync_symbols, db);
    if (db->kv_maint == nullptr) {
        (void)dbs_close(db);
        return nullptr;
    }
    return db;
}

int dbs_quiesce(dbs *db) {
    if (db->kv_maint != nullptr)
        dbs_kv_maintainer_stop(db->kv_maint);
    db->kv_maint = nullptr;
    int rc = 0;
    for (smap *m : db->smaps)
        if (m != nullptr && smap_sync(m) != 0)
            rc = -1;
    return rc;
}

int dbs_close(dbs *db) {
    int rc = dbs_quiesce(db);
    for (smap *m : db->smaps) {
        if (m != nullptr && smap_close(m) != 0)
            rc = -1;
    }
    for (uint64_t i = 0; i < db->agents.count; i++) {
        db->agents.items[i]->~dbs_agent();
        free(db->agents.items[i]);
    }
    free(db->agents.items);
    delete db->agents.by_id;
    pthread_rwlock_destroy(&db->agents.guard);
    free(db);
    return rc;
}

smap *dbs_smap(dbs *db, uint32_t type) {
    return type >= SYM_THREAD && type <= SYM_KEY ? db->smaps[type - 1] : nullptr;
}

// The item of an agent, or NULL. The caller holds the registry's lock.
static dbs_agent *dbs_agents_lookup(dbs_agents *agents, uint64_t aid) {
    auto it = agents->by_id->find(aid);
    return it != agents->by_id->end() ? it->second : nullptr;
}

int dbs_agent_register(dbs *db, const uint8_t identity[64], uint64_t aid) {
    KRV_LOCKCALL(pthread_rwlock_wrlock(&db->agents.guard));
    int rc = EEXIST;
    if (dbs_agents_lookup(&db->agents, aid) == nullptr) {
        // An agent directory that was not loaded at open (its identity file was missing or
        // unreadable) is repaired by agent_save and still gets its item.
        rc = agent_save(identity, aid);
        if (rc == 0 || rc == EEXIST)
            dbs_agents_append(&db->agents, aid);
    }
    KRV_LOCKCALL(pthread_rwlock_unlock(&db->agents.guard));
    return rc;
}

dbs_agent *dbs_agent_find(dbs *db, uint64_t aid) {
    LOG_DEBUG("SEARCHING FOR AGENT %016lX", aid);
    KRV_LOCKCALL(pthread_rwlock_rdlock(&db->agents.guard));
    dbs_agent *a = dbs_agents_lookup(&db->agents, aid);
    KRV_LOCKCALL(pthread_rwlock_unlock(&db->agents.guard));
    return a;
}

uint32_t dbs_symbol_store(dbs *db, uint32_t type, uint16_t len, const char *name) {
    smap *m = dbs_smap(db, type);
    return m ? smap_store(m, len, name) : 0;
}

uint32_t dbs_symbol_find(dbs *db, uint32_t type, const char *name, uint16_t len) {
    smap *m = dbs_smap(db, type);
    return m ? smap_find_id(m, len, name) : 0;
}

int dbs_symbols_resolve(dbs *db, uint32_t type, uint32_t n, const uint32_t *ids, void *ctx,
                        symbol_cb cb) {
    smap *m = dbs_smap(db, type);
    if (m == nullptr)
        return -1;
    for (uint32_t i = 0; i < n; i++) {
        const char *name = smap_get_name(m, ids[i]);
        if (name == nullptr) {
            LOG_WARN("Symbol [%u] not found!", ids[i]);
            continue;
        }
        if (cb(ctx, type, ids[i], static_cast<uint16_t>(strlen(name)), 0, name) != 0)
            break;
    }
    return 0;
}
