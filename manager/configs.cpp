#include "manager/configs.h"

#include <climits>
#include <cstring>
#include <ctime>
#include <vector>

#include "lib/be_load.h"
#include "lib/log.h"
#include "lib/murmur3.h"
#include "lib/xalloc.h"
#include "manager/mgr_storage.h"

namespace {

// Author and label texts read back are cut to this many characters.
constexpr size_t CFG_TEXT_MAX = 31;

// One summary row with its activation time.
struct cfg_row {
    ConfigurationInfo info;
    uint64_t lastupdate;
};

} // namespace

void cfg_info_to_wire(const ConfigurationInfo *info, std::span<uint8_t, CFGINFO_SIZE> wire) {
    uint8_t *p = wire.data();
    store_be64(p, info->id1);
    store_be64(p + 8, info->id2);
    store_be64(p + 16, info->createdat);
    memcpy(p + 24, info->author, sizeof info->author);
    memcpy(p + 56, info->label, sizeof info->label);
    store_be16(p + 88, 0);
    p[90] = info->flags;
}

int cfg_info_put(bbuf *b, const ConfigurationInfo *info) {
    if (bbuf_remaining(b) < CFGINFO_SIZE)
        return -1;
    uint8_t wire[CFGINFO_SIZE];
    cfg_info_to_wire(info, wire);
    bbuf_put_bytes(b, wire, sizeof wire);
    return 0;
}

void cfg_info_from_wire(std::span<const uint8_t, CFGINFO_SIZE> wire, ConfigurationInfo *info) {
    const uint8_t *p = wire.data();
    *info = ConfigurationInfo{};
    info->id1 = load_be64(p);
    info->id2 = load_be64(p + 8);
    info->createdat = load_be64(p + 16);
    memcpy(info->author, p + 24, sizeof info->author);
    memcpy(info->label, p + 56, sizeof info->label);
    info->flags = p[90];
}

// The columns uuid1, uuid2, author, createdat, label, lastupdate, length(draft),
// length(data) of one row.
static cfg_row cfg_read_row(sqlite3_stmt *st) {
    cfg_row r{};
    r.info.id1 = mgr_col_u64(st, 0);
    r.info.id2 = mgr_col_u64(st, 1);
    mgr_col_text(st, 2, r.info.author, CFG_TEXT_MAX);
    r.info.createdat = mgr_col_u64(st, 3);
    mgr_col_text(st, 4, r.info.label, CFG_TEXT_MAX);
    r.lastupdate = mgr_col_u64(st, 5);
    if (sqlite3_column_int64(st, 6) != 0)
        r.info.flags |= CFGINFO_F_DRAFT;
    if (sqlite3_column_int64(st, 7) != 0)
        r.info.flags |= CFGINFO_F_DATA;
    return r;
}

// Whether a row with the id exists; a failed check is logged and counts as none.
static bool cfg_exists(mgr_storage *s, uint64_t id1, uint64_t id2) {
    mgr_stmt st(s->db, "SELECT 1 FROM CONFIGURATIONS WHERE UUID1=?1 AND UUID2=?2", 300);
    if (!st.ok() || st.bind_u64(1, id1) != 0 || st.bind_u64(2, id2) != 0)
        return false;
    return st.step() == SQLITE_ROW;
}

int cfg_store_draft(mgr_storage *s, const mgr_config *config) {
    const ConfigurationInfo &info = config->info;
    if (config->size > UINT32_MAX) {
        LOG_ERROR("Configuration %016lX.%016lX too large: %lu bytes.", info.id1, info.id2,
                  config->size);
        return -1;
    }
    uint64_t hash = murmur3_hash64(config->blob, static_cast<uint32_t>(config->size));
    {
        std::lock_guard<std::mutex> sql(s->sql);
        bool exists = cfg_exists(s, info.id1, info.id2);
        mgr_stmt st(s->db,
                    exists ? "UPDATE CONFIGURATIONS SET LABEL=?3, DRAFT=?4, DRAFTHASH=?5 WHERE "
                             "UUID1=?1 AND UUID2=?2;"
                           : "INSERT INTO CONFIGURATIONS (uuid1, uuid2, label, draft, drafthash, "
                             "author, createdat) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7);",
                    exists ? 310 : 320);
        if (!st.ok() || st.bind_u64(1, info.id1) != 0 || st.bind_u64(2, info.id2) != 0 ||
            st.bind_text(3, info.label, strnlen(info.label, sizeof info.label)) != 0 ||
            st.bind_blob(4, config->blob, config->size) != 0 || st.bind_u64(5, hash) != 0)
            return -1;
        if (!exists &&
            (st.bind_text(6, info.author, strnlen(info.author, sizeof info.author)) != 0 ||
             st.bind_u64(7, info.createdat) != 0))
            return -1;
        if (st.done() != 0)
            return -1;
    }
    LOG_INFO("Configuration %016lX.%016lX stored successfully.", info.id1, info.id2);
    return 0;
}

int cfg_read(mgr_storage *s, uint64_t id1, uint64_t id2, uint8_t which, mgr_config *out) {
    *out = mgr_config{};
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db,
                which == CFG_DATA
                    ? "SELECT data, datahash FROM CONFIGURATIONS WHERE uuid1=?1 AND uuid2=?2;"
                    : "SELECT draft, drafthash FROM CONFIGURATIONS WHERE uuid1=?1 AND uuid2=?2;",
                330);
    if (!st.ok() || st.bind_u64(1, id1) != 0 || st.bind_u64(2, id2) != 0)
        return -1;
    bool found = false;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        found = true;
        const void *bytes = sqlite3_column_blob(st.get(), 0);
        int n = sqlite3_column_bytes(st.get(), 0);
        if (bytes == nullptr || n <= 0)
            continue;
        if (out->blob != nullptr) {
            LOG_ERROR("Spurious configuration data retrieved.");
            rc = -1;
            break;
        }
        out->blob = static_cast<uint8_t *>(krv_malloc(static_cast<size_t>(n)));
        memcpy(out->blob, bytes, static_cast<size_t>(n));
        out->size = static_cast<uint64_t>(n);
        out->hash = mgr_col_u64(st.get(), 1);
    }
    if (rc != SQLITE_DONE) {
        free(out->blob);
        *out = mgr_config{};
        return -1;
    }
    if (!found)
        return 2;
    out->info.id1 = id1;
    out->info.id2 = id2;
    out->info.reserved = 0;
    out->which = which;
    return 0;
}

// The UPDATE of an activation and the data hash it leaves. 0 or -1.
static int cfg_activate_row(mgr_storage *s, uint64_t id1, uint64_t id2, uint64_t *hash) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt up(s->db,
                "UPDATE CONFIGURATIONS SET data = draft, datahash = drafthash, lastupdate = ?3 "
                "WHERE uuid1=?1 AND uuid2=?2;",
                340);
    if (!up.ok() || up.bind_u64(1, id1) != 0 || up.bind_u64(2, id2) != 0 ||
        up.bind_u64(3, static_cast<uint64_t>(time(nullptr))) != 0 || up.done() != 0)
        return -1;
    mgr_stmt get(s->db, "SELECT datahash FROM CONFIGURATIONS WHERE uuid1=?1 AND uuid2=?2;", 350);
    if (!get.ok() || get.bind_u64(1, id1) != 0 || get.bind_u64(2, id2) != 0)
        return -1;
    int rc = get.step();
    if (rc < 0)
        return -1;
    *hash = rc == SQLITE_ROW ? mgr_col_u64(get.get(), 0) : 0;
    return 0;
}

int cfg_activate(mgr_storage *s, uint64_t id1, uint64_t id2) {
    // Held until the cache has the new hash, so an attach cannot slip in between.
    std::lock_guard<std::mutex> change(s->acache.update);
    uint64_t hash = 0;
    if (cfg_activate_row(s, id1, id2, &hash) != 0)
        return -1;
    acache_set_datahash(s, id1, id2, hash);
    LOG_INFO("Configuration %016lX.%016lX activated successfully.", id1, id2);
    return 0;
}

int cfg_set_label(mgr_storage *s, uint64_t id1, uint64_t id2, const char *label) {
    {
        std::lock_guard<std::mutex> sql(s->sql);
        mgr_stmt st(s->db, "UPDATE CONFIGURATIONS SET label = ?1 WHERE uuid1=?2 AND uuid2=?3;",
                    360);
        if (!st.ok() || st.bind_text(1, label, strlen(label)) != 0 || st.bind_u64(2, id1) != 0 ||
            st.bind_u64(3, id2) != 0 || st.done() != 0)
            return -1;
    }
    LOG_INFO("Configuration %016lX.%016lX label updated successfully.", id1, id2);
    return 0;
}

int cfg_delete(mgr_storage *s, uint64_t id1, uint64_t id2) {
    {
        std::lock_guard<std::mutex> sql(s->sql);
        mgr_stmt st(s->db, "DELETE FROM CONFIGURATIONS WHERE UUID1=?1 AND UUID2=?2;", 370);
        if (!st.ok() || st.bind_u64(1, id1) != 0 || st.bind_u64(2, id2) != 0 || st.done() != 0)
            return -1;
    }
    LOG_INFO("Configuration %016lX.%016lX deleted successfully.", id1, id2);
    return 0;
}

// Every summary row, read under the storage lock. 0 or -1.
static int cfg_read_all(mgr_storage *s, std::vector<cfg_row> *rows) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db,
                "SELECT uuid1, uuid2, author, createdat, label, lastupdate, length(draft), "
                "length(data) FROM CONFIGURATIONS;",
                380);
    if (!st.ok())
        return -1;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        rows->push_back(cfg_read_row(st.get()));
    return rc == SQLITE_DONE ? 0 : -1;
}

int cfg_foreach(mgr_storage *s, void *ctx, cfg_cb cb) {
    std::vector<cfg_row> rows;
    if (cfg_read_all(s, &rows) != 0)
        return -1;
    for (const cfg_row &r : rows)
        cb(ctx, &r.info, r.lastupdate);
    return 0;
}

ConfigurationInfo cfg_get_info(mgr_storage *s, uint64_t id1, uint64_t id2, uint64_t *lastupdate) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db,
                "SELECT uuid1, uuid2, author, createdat, label, lastupdate, length(draft), "
                "length(data) FROM CONFIGURATIONS WHERE uuid1=?1 AND uuid2=?2;",
                390);
    if (!st.ok() || st.bind_u64(1, id1) != 0 || st.bind_u64(2, id2) != 0 || st.step() != SQLITE_ROW)
        return ConfigurationInfo{};
    cfg_row r = cfg_read_row(st.get());
    *lastupdate = r.lastupdate;
    return r.info;
}
