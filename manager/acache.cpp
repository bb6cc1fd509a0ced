#include "manager/acache.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/log.h"
#include "lib/murmur3.h"
#include "lib/xalloc.h"
#include "manager/configs.h"
#include "manager/mgr_storage.h"

namespace {

// Holds the cache lock of `s` for reading or writing for the life of the object.
class acache_reader {
public:
    explicit acache_reader(mgr_storage *s) : s(s) {
        KRV_LOCKCALL(pthread_rwlock_rdlock(&s->acache.lock));
    }
    ~acache_reader() { KRV_LOCKCALL(pthread_rwlock_unlock(&s->acache.lock)); }
    acache_reader(const acache_reader &) = delete;
    acache_reader &operator=(const acache_reader &) = delete;

private:
    mgr_storage *s;
};

class acache_writer {
public:
    explicit acache_writer(mgr_storage *s) : s(s) {
        KRV_LOCKCALL(pthread_rwlock_wrlock(&s->acache.lock));
    }
    ~acache_writer() { KRV_LOCKCALL(pthread_rwlock_unlock(&s->acache.lock)); }
    acache_writer(const acache_writer &) = delete;
    acache_writer &operator=(const acache_writer &) = delete;

private:
    mgr_storage *s;
};

// The agent ids of a list, for membership tests over the whole slot array.
class aid_set {
public:
    aid_set(const uint64_t *aids, uint64_t n) {
        if (aids != nullptr)
            ids_.assign(aids, aids + n);
        std::sort(ids_.begin(), ids_.end());
    }
    bool has(uint64_t aid) const { return std::binary_search(ids_.begin(), ids_.end(), aid); }

private:
    std::vector<uint64_t> ids_;
};

// A Database text read from AGENTS is cut to the longest text a nurl prints as.
constexpr size_t DB_TEXT_MAX = NET_TEXT_SIZE - 1;

} // namespace

// The used slot with this aid, or NULL. The caller holds the lock and passes an aid other
// than 0 (which would name a free slot).
static mgr_agent *acache_find(struct acache *c, uint64_t aid) {
    for (uint64_t i = 0; i < c->nslots; i++) {
        if (c->slots[i].aid == aid)
            return &c->slots[i];
    }
    return nullptr;
}

// Applies `fn` to every used slot under the write lock of `lock`.
template <class F> static void acache_update_slots(struct acache *c, F fn) {
    pthread_rwlock_t *lock = &c->lock;
    KRV_LOCKCALL(pthread_rwlock_wrlock(lock));
    for (uint64_t i = 0; i < c->nslots; i++) {
        if (c->slots[i].aid != 0)
            fn(c->slots[i]);
    }
    KRV_LOCKCALL(pthread_rwlock_unlock(lock));
}

// One AGENTS row (aid, type, label, cid1, cid2, db, datahash) into a slot record; false
// for a row that cannot name an agent (aid 0).
static bool acache_row(sqlite3_stmt *st, mgr_agent *a) {
    *a = mgr_agent{};
    a->aid = mgr_col_u64(st, 0);
    if (a->aid == 0)
        return false;
    a->identity.type = static_cast<uint8_t>(sqlite3_column_int(st, 1));
    // A label of 63 characters fills the field without a terminator.
    mgr_col_text(st, 2, a->identity.label, sizeof a->identity.label);
    a->cid1 = mgr_col_u64(st, 3);
    a->cid2 = mgr_col_u64(st, 4);
    a->datahash = mgr_col_u64(st, 6);
    if (sqlite3_column_type(st, 5) != SQLITE_NULL) {
        char text[DB_TEXT_MAX + 1] = {};
        mgr_col_text(st, 5, text, DB_TEXT_MAX);
        nurl database{};
        if (url_to_nurl(text, &database) != 0) {
            char label[AGENT_LABEL_TEXT];
            agent_label_text(&a->identity, label);
            LOG_ERROR("Invalid socket address in agent %s : %s", label, text);
        }
        a->database = database;
    }
    return true;
}

int acache_load(mgr_storage *s) {
    struct acache *c = &s->acache;
    c->slots = nullptr;
    c->count = 0;
    c->nslots = 0;
    c->lock = PTHREAD_RWLOCK_INITIALIZER;
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db,
                "SELECT A.*, C.DATAHASH FROM AGENTS AS A LEFT JOIN CONFIGURATIONS AS C ON "
                "A.CID1=C.UUID1 AND A.CID2=C.UUID2",
                100);
    if (!st.ok())
        return -1;
    // The rows are gathered first so the array is allocated once, with exactly one slot
    // per agent.
    std::vector<mgr_agent> rows;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        // One more row would need a slot beyond the cap.
        if (rows.size() == ACACHE_MAX_SLOTS) {
            LOG_ERROR("Too many agents!");
            rc = SQLITE_DONE;
            break;
        }
        mgr_agent a;
        if (acache_row(st.get(), &a))
            rows.push_back(a);
    }
    if (rc != SQLITE_DONE)
        return -1;
    if (!rows.empty()) {
        c->slots = static_cast<mgr_agent *>(krv_malloc(rows.size() * sizeof(mgr_agent)));
        memcpy(c->slots, rows.data(), rows.size() * sizeof(mgr_agent));
    }
    c->nslots = rows.size();
    c->count = rows.size();
    return 0;
}

void acache_free(struct acache *cache) {
    KRV_LOCKCALL(pthread_rwlock_wrlock(&cache->lock));
    free(cache->slots);
    cache->slots = nullptr;
    cache->count = 0;
    cache->nslots = 0;
    KRV_LOCKCALL(pthread_rwlock_unlock(&cache->lock));
}

mgr_agent acache_lookup(mgr_storage *s, uint64_t aid) {
    mgr_agent copy{};
    if (aid == 0)
        return copy;
    acache_reader r(s);
    if (const mgr_agent *a = acache_find(&s->acache, aid))
        copy = *a;
    return copy;
}

mgr_agent acache_get(mgr_storage *s, uint64_t aid) {
    return aid == 0 ? mgr_agent{} : acache_lookup(s, aid);
}

mgr_agent acache_get_by_identity(mgr_storage *s, const agent_identity *identity) {
    uint64_t aid = murmur3_hash64(identity, sizeof *identity);
    return aid == 0 ? mgr_agent{} : acache_lookup(s, aid);
}

int acache_get_cfg_ids(mgr_storage *s, uint64_t aid, uint64_t ids[2]) {
    mgr_agent a = acache_get(s, aid);
    if (a.aid == 0)
        return -1;
    ids[0] = a.cid1;
    ids[1] = a.cid2;
    return 0;
}

int acache_get_db_addr(mgr_storage *s, uint64_t aid, nurl *out) {
    mgr_agent a = acache_get(s, aid);
    if (a.aid == 0)
        return -1;
    *out = a.database;
    return 0;
}

// The slot a new agent goes into: the first free one, else the first of up to 16 new ones.
// The caller holds the write lock and has made sure there is room.
static mgr_agent *acache_take_slot(struct acache *c) {
    if (c->count < c->nslots) {
        for (uint64_t i = 0; i < c->nslots; i++) {
            if (c->slots[i].aid == 0)
                return &c->slots[i];
        }
    }
    uint64_t old = c->nslots;
    uint64_t grown = std::min(old + ACACHE_GROWTH, ACACHE_MAX_SLOTS);
    c->slots = static_cast<mgr_agent *>(krv_realloc(c->slots, grown * sizeof(mgr_agent)));
    memset(&c->slots[old], 0, (grown - old) * sizeof(mgr_agent));
    c->nslots = grown;
    LOG_DEBUG("Agents cache enlarged from %lu to %lu", old, grown);
    return &c->slots[old];
}

static int acache_insert_row(mgr_storage *s, const mgr_agent *a, const char *db_text) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db, "INSERT INTO AGENTS (aid, type, label, db) VALUES (?1, ?2, ?3, ?4);", 110);
    if (!st.ok() || st.bind_u64(1, a->aid) != 0 || st.bind_u64(2, a->identity.type) != 0 ||
        st.bind_text(3, a->identity.label, strnlen(a->identity.label, sizeof a->identity.label)) !=
            0 ||
        st.bind_text(4, db_text, strlen(db_text)) != 0)
        return -1;
    return st.done();
}

mgr_agent acache_add(mgr_storage *s, const mgr_agent *record) {
    if (record->aid == 0)
        return mgr_agent{};
    std::lock_guard<std::mutex> change(s->acache.update);
    mgr_agent cached{};
    bool room;
    {
        acache_writer w(s);
        if (const mgr_agent *a = acache_find(&s->acache, record->aid))
            cached = *a;
        room = s->acache.count < s->acache.nslots || s->acache.nslots < ACACHE_MAX_SLOTS;
    }
    if (cached.aid != 0) {
        LOG_DEBUG("Agent already stored!");
        return cached;
    }
    LOG_DEBUG("Agent not in the manager!");
    if (!room) {
        LOG_ERROR("Too many agents!");
        return mgr_agent{};
    }
    // The row comes first, so no reader meets an agent the table does not have; the update
    // mutex keeps the room found above until the slot is taken.
    char db_text[NET_TEXT_SIZE];
    nurl database = record->database;
    nurl_to_url(&database, db_text);
    if (acache_insert_row(s, record, db_text) != 0)
        return mgr_agent{};
    {
        acache_writer w(s);
        *acache_take_slot(&s->acache) = *record;
        s->acache.count++;
    }
    char label[AGENT_LABEL_TEXT];
    agent_label_text(&record->identity, label);
    LOG_INFO("New agent [%s] [DB=%s] added to the manager.", label, db_text);
    return *record;
}

static int acache_delete_row(mgr_storage *s, uint64_t aid) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db, "DELETE FROM AGENTS WHERE aid=?1;", 120);
    if (!st.ok() || st.bind_u64(1, aid) != 0)
        return -1;
    return st.done();
}

int acache_delete(mgr_storage *s, uint64_t aid) {
    std::lock_guard<std::mutex> change(s->acache.update);
    bool known = false;
    if (aid != 0) {
        acache_writer w(s);
        known = acache_find(&s->acache, aid) != nullptr;
    }
    if (!known) {
        LOG_WARN("Cannot delete the agent [%016lX]. No such agent!", aid);
        return -1;
    }
    if (acache_delete_row(s, aid) != 0)
        return -1;
    acache_writer w(s);
    *acache_find(&s->acache, aid) = mgr_agent{};
    s->acache.count--;
    return 0;
}

// Steps `st` once per listed id bound to ?`param`, or once as it is when `aids` is NULL.
static int acache_step_listed(mgr_stmt &st, int param, const uint64_t *aids, uint64_t n) {
    if (aids == nullptr)
        return st.done();
    for (uint64_t i = 0; i < n; i++) {
        if (st.reset() != 0 || st.bind_u64(param, aids[i]) != 0 || st.done() != 0)
            return -1;
    }
    return 0;
}

// Reads the data hash of a configuration row into *hash; no row leaves it as it is.
static int acache_read_datahash(mgr_stmt &st, uint64_t *hash) {
    int rc = st.step();
    if (rc < 0)
        return -1;
    if (rc == SQLITE_ROW)
        *hash = mgr_col_u64(st.get(), 0);
    return st.reset();
}

static int acache_attach_rows(mgr_storage *s, uint64_t cid1, uint64_t cid2, const uint64_t *aids,
                              uint64_t n, uint64_t *hash) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt up(s->db, "UPDATE AGENTS SET cid1=?1, cid2=?2 WHERE aid=?3;", 130);
    mgr_stmt get(s->db, "SELECT datahash FROM CONFIGURATIONS WHERE uuid1=?1 AND uuid2=?2;", 140);
    if (!up.ok() || !get.ok() || up.bind_u64(1, cid1) != 0 || up.bind_u64(2, cid2) != 0 ||
        get.bind_u64(1, cid1) != 0 || get.bind_u64(2, cid2) != 0)
        return -1;
    if (mgr_tx_begin(s, 150) != 0)
        return -1;
    int rc = aids == nullptr ? 0 : acache_step_listed(up, 3, aids, n);
    if (rc == 0)
        rc = acache_read_datahash(get, hash);
    return mgr_tx_finish(s, rc, 150);
}

// The attach of acache_attach_cfg for a caller that holds the `update` mutex.
static int acache_attach_held(mgr_storage *s, uint64_t datahash, uint64_t cid1, uint64_t cid2,
                              const uint64_t *aids, uint64_t n) {
    // The hash stored now wins over the caller's: an activation may have come in between.
    uint64_t hash = datahash;
    if (acache_attach_rows(s, cid1, cid2, aids, n, &hash) != 0)
        return -1;
    aid_set listed(aids, n);
    acache_update_slots(&s->acache, [&](mgr_agent &a) {
        if (listed.has(a.aid)) {
            a.cid1 = cid1;
            a.cid2 = cid2;
            a.datahash = hash;
        }
    });
    return 0;
}

int acache_attach_cfg(mgr_storage *s, uint64_t datahash, uint64_t cid1, uint64_t cid2,
                      const uint64_t *aids, uint64_t n) {
    if (cfg_id_none(cid1, cid2))
        return -1;
    std::lock_guard<std::mutex> change(s->acache.update);
    return acache_attach_held(s, datahash, cid1, cid2, aids, n);
}

int acache_attach_cfg_read(mgr_storage *s, uint64_t cid1, uint64_t cid2, const uint64_t *aids,
                           uint64_t n, mgr_config *data) {
    *data = mgr_config{};
    if (cfg_id_none(cid1, cid2))
        return -1;
    std::lock_guard<std::mutex> change(s->acache.update);
    int rc = cfg_read(s, cid1, cid2, CFG_DATA, data);
    if (rc != 0)
        return rc;
    if (acache_attach_held(s, data->hash, cid1, cid2, aids, n) != 0) {
        free(data->blob);
        *data = mgr_config{};
        return -1;
    }
    return 0;
}

// The table's part of acache_delete_cfg: the agents attached to the configuration in the
// table are gathered, detached, and the row deleted, in one transaction. 0 or -1.
static int acache_delete_cfg_rows(mgr_storage *s, uint64_t cid1, uint64_t cid2,
                                  std::vector<uint64_t> *aids) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt sel(s->db, "SELECT aid FROM AGENTS WHERE cid1=?1 AND cid2=?2;", 220);
    mgr_stmt det(s->db, "UPDATE AGENTS SET cid1=NULL, cid2=NULL WHERE cid1=?1 AND cid2=?2;", 230);
    mgr_stmt del(s->db, "DELETE FROM CONFIGURATIONS WHERE UUID1=?1 AND UUID2=?2;", 240);
    for (mgr_stmt *st : {&sel, &det, &del}) {
        if (!st->ok() || st->bind_u64(1, cid1) != 0 || st->bind_u64(2, cid2) != 0)
            return -1;
    }
    if (mgr_tx_begin(s, 250) != 0)
        return -1;
    int rc;
    while ((rc = sel.step()) == SQLITE_ROW)
        aids->push_back(mgr_col_u64(sel.get(), 0));
    rc = rc == SQLITE_DONE ? 0 : -1;
    if (rc == 0)
        rc = det.done();
    if (rc == 0)
        rc = del.done();
    return mgr_tx_finish(s, rc, 250);
}

int acache_delete_cfg(mgr_storage *s, uint64_t cid1, uint64_t cid2,
                      std::vector<uint64_t> *detached) {
    detached->clear();
    std::lock_guard<std::mutex> change(s->acache.update);
    if (acache_delete_cfg_rows(s, cid1, cid2, detached) != 0) {
        detached->clear();
        return -1;
    }
    // 0.0 names no configuration: no slot is attached to it.
    if (!cfg_id_none(cid1, cid2)) {
        acache_update_slots(&s->acache, [&](mgr_agent &a) {
            if (a.cid1 == cid1 && a.cid2 == cid2) {
                detached->push_back(a.aid);
                a.cid1 = 0;
                a.cid2 = 0;
                a.datahash = 0;
            }
        });
    }
    std::sort(detached->begin(), detached->end());
    detached->erase(std::unique(detached->begin(), detached->end()), detached->end());
    LOG_INFO("Configuration %016lX.%016lX deleted successfully.", cid1, cid2);
    return 0;
}

static int acache_detach_rows(mgr_storage *s, uint64_t cid1, uint64_t cid2, uint64_t n,
                              const uint64_t *aids) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db,
                aids != nullptr
                    ? "UPDATE AGENTS SET cid1=NULL, cid2=NULL WHERE cid1=?1 AND "
                      "cid2=?2 AND aid=?3;"
                    : "UPDATE AGENTS SET cid1=NULL, cid2=NULL WHERE cid1=?1 AND cid2=?2;",
                aids != nullptr ? 160 : 170);
    if (!st.ok() || st.bind_u64(1, cid1) != 0 || st.bind_u64(2, cid2) != 0)
        return -1;
    if (mgr_tx_begin(s, 180) != 0)
        return -1;
    return mgr_tx_finish(s, acache_step_listed(st, 3, aids, n), 180);
}

int acache_detach_cfg(mgr_storage *s, uint64_t cid1, uint64_t cid2, uint64_t n,
                      const uint64_t *aids) {
    if (cfg_id_none(cid1, cid2))
        return -1;
    std::lock_guard<std::mutex> change(s->acache.update);
    if (acache_detach_rows(s, cid1, cid2, n, aids) != 0)
        return -1;
    aid_set listed(aids, n);
    acache_update_slots(&s->acache, [&](mgr_agent &a) {
        if (a.cid1 == cid1 && a.cid2 == cid2 && (aids == nullptr || listed.has(a.aid))) {
            a.cid1 = 0;
            a.cid2 = 0;
            a.datahash = 0;
        }
    });
    LOG_INFO("Configuration %016lX.%016lX detached successfully.", cid1, cid2);
    return 0;
}

static int acache_set_db_rows(mgr_storage *s, const char *db_text, uint64_t n,
                              const uint64_t *aids) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db,
                aids != nullptr ? "UPDATE AGENTS SET db=?1 WHERE aid=?2;"
                                : "UPDATE AGENTS SET db=?1;",
                aids != nullptr ? 190 : 200);
    if (!st.ok() || st.bind_text_or_null(1, db_text) != 0)
        return -1;
    if (mgr_tx_begin(s, 210) != 0)
        return -1;
    return mgr_tx_finish(s, acache_step_listed(st, 2, aids, n), 210);
}

int acache_set_db(mgr_storage *s, const nurl *address, uint64_t n, const uint64_t *aids) {
    char text[NET_TEXT_SIZE] = {};
    nurl database{};
    if (address != nullptr) {
        nurl_to_url(address, text);
        // An address without a text form reads back as none: the cache keeps none too.
        if (text[0] != '\0')
            database = *address;
    }
    std::lock_guard<std::mutex> change(s->acache.update);
    if (acache_set_db_rows(s, address != nullptr ? text : nullptr, n, aids) != 0)
        return -1;
    aid_set listed(aids, n);
    acache_update_slots(&s->acache, [&](mgr_agent &a) {
        if (aids == nullptr || listed.has(a.aid))
            a.database = database;
    });
    return 0;
}

void acache_set_datahash(mgr_storage *s, uint64_t cid1, uint64_t cid2, uint64_t hash) {
    if (cfg_id_none(cid1, cid2))
        return;
    acache_update_slots(&s->acache, [&](mgr_agent &a) {
        if (a.cid1 == cid1 && a.cid2 == cid2)
            a.datahash = hash;
    });
}

void acache_foreach(mgr_storage *s, void *ctx, acache_cb cb) {
    acache_reader r(s);
    for (uint64_t i = 0; i < s->acache.nslots; i++) {
        if (s->acache.slots[i].aid != 0)
            cb(ctx, &s->acache.slots[i]);
    }
}
