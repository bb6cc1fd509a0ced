#include "manager/mgr_storage.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "lib/log.h"
#include "lib/thread.h"
#include "lib/xalloc.h"

namespace {

// The four tables, created by one script.
constexpr const char *SCHEMA =
    "CREATE TABLE USERS(username TEXT PRIMARY KEY, password TEXT, permissions INTEGER) WITHOUT "
    "ROWID;CREATE TABLE CONFIGURATIONS(uuid1 INTEGER UNIQUE, uuid2 INTEGER UNIQUE, author TEXT "
    "NOT NULL, createdat INTEGER NOT NULL, lastupdate INTEGER, label TEXT NOT NULL, data BLOB, "
    "draft BLOB, drafthash INTEGER, datahash INTEGER, PRIMARY KEY(uuid1, uuid2)) WITHOUT "
    "ROWID;CREATE TABLE AGENTS(aid INTEGER PRIMARY KEY, type INTEGER, label TEXT NOT NULL, cid1 "
    "INTEGER, cid2 INTEGER, db TEXT, FOREIGN KEY(cid1, cid2) REFERENCES CONFIGURATIONS(uuid1, "
    "uuid2)); CREATE TABLE BANNED(user TEXT NOT NULL, agent INTEGER, FOREIGN KEY(user) "
    "REFERENCES USERS(username) ON DELETE CASCADE, FOREIGN KEY(agent) REFERENCES AGENTS(aid) ON "
    "DELETE CASCADE);";

// How long a statement waits for a lock another process (a command beside the server)
// holds on the file before it fails.
constexpr int BUSY_TIMEOUT_MS = 5000;

// Statement offsets inside a site's block.
constexpr int AT_STEP = 8;
constexpr int AT_RESET = 9;
constexpr int AT_END = 1;
constexpr int AT_ROLLBACK = 2;

// Every statement may wait up to the busy time-out for another process's lock, and every
// peer of a loop would wait with it: statements never run on an IO loop thread. Debug
// builds stop at the first one that does.
void mgr_sql_thread_check() {
    assert(!thread_is_loop() && "Manager storage statement on an IO loop thread");
}

} // namespace

void mgr_sql_log(int site, int rc) {
    if (site == SQL_PLAIN)
        LOG_ERROR("SQL: %s", sqlite3_errstr(rc));
    else
        LOG_ERROR("SQL[%d]: %s", site, sqlite3_errstr(rc));
}

mgr_stmt::mgr_stmt(sqlite3 *db, const char *text, int site) : site_(site) {
    mgr_sql_thread_check();
    // A disconnected storage has no connection to prepare on.
    int rc = db != nullptr ? sqlite3_prepare_v2(db, text, -1, &st_, nullptr) : SQLITE_MISUSE;
    if (rc != SQLITE_OK) {
        sqlite3_finalize(st_);
        st_ = nullptr;
        fail(0, rc);
    }
}

int mgr_stmt::fail(int offset, int rc) {
    rc_ = rc;
    mgr_sql_log(site_ == SQL_PLAIN ? SQL_PLAIN : site_ + offset, rc);
    return -1;
}

int mgr_stmt::bind_u64(int n, uint64_t v) {
    int rc = sqlite3_bind_int64(st_, n, static_cast<sqlite3_int64>(v));
    return rc == SQLITE_OK ? 0 : fail(n, rc);
}

int mgr_stmt::bind_text(int n, const char *text, size_t len) {
    if (len > INT_MAX)
        return fail(n, SQLITE_TOOBIG);
    int rc = sqlite3_bind_text(st_, n, text, static_cast<int>(len), SQLITE_STATIC);
    return rc == SQLITE_OK ? 0 : fail(n, rc);
}

int mgr_stmt::bind_text_or_null(int n, const char *text) {
    if (text != nullptr)
        return bind_text(n, text, strlen(text));
    int rc = sqlite3_bind_null(st_, n);
    return rc == SQLITE_OK ? 0 : fail(n, rc);
}

int mgr_stmt::bind_blob(int n, const void *data, size_t size) {
    int rc = size == 0 ? sqlite3_bind_zeroblob(st_, n, 0)
                       : sqlite3_bind_blob64(st_, n, data, size, SQLITE_STATIC);
    return rc == SQLITE_OK ? 0 : fail(n, rc);
}

int mgr_stmt::step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE)
        return rc;
    return fail(AT_STEP, rc);
}

int mgr_stmt::done() {
    int rc = sqlite3_step(st_);
    return rc == SQLITE_DONE ? 0 : fail(AT_STEP, rc);
}

int mgr_stmt::reset() {
    int rc = sqlite3_reset(st_);
    return rc == SQLITE_OK ? 0 : fail(AT_RESET, rc);
}

size_t mgr_col_text(sqlite3_stmt *st, int col, char *out, size_t max) {
    const unsigned char *text = sqlite3_column_text(st, col);
    if (text == nullptr)
        return 0;
    size_t n = static_cast<size_t>(sqlite3_column_bytes(st, col));
    if (n > max)
        n = max;
    memcpy(out, text, n);
    return n;
}

int mgr_exec(mgr_storage *s, const char *text, int site) {
    mgr_sql_thread_check();
    int rc = s->db != nullptr ? sqlite3_exec(s->db, text, nullptr, nullptr, nullptr) : SQLITE_MISUSE;
    if (rc == SQLITE_OK)
        return 0;
    mgr_sql_log(site, rc);
    return -1;
}

int mgr_tx_begin(mgr_storage *s, int site) {
    // Every transaction of the storage writes. Taking the write lock at its start lets the
    // busy time-out wait out another process's lock; a transaction that has read first and
    // then meets that lock on its first write is refused at once, without waiting.
    return mgr_exec(s, "BEGIN IMMEDIATE TRANSACTION;", site);
}

int mgr_tx_finish(mgr_storage *s, int rc, int site) {
    if (rc == 0 && mgr_exec(s, "END;", site + AT_END) == 0)
        return 0;
    mgr_exec(s, "ROLLBACK;", site + AT_ROLLBACK);
    return -1;
}

int mgr_storage_create(const char *dir) {
    if (mkdir(dir, 0700) != 0) {
        printf("\033[91mCannot create directory %s : %s\033[0m\n", dir, strerror(errno));
        return -1;
    }
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(MGR_STORAGE_FILE, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        printf("\033[91mError!: %s\033[0m\n", sqlite3_errmsg(db));
        sqlite3_close(db);
        return -1;
    }
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    char *error = nullptr;
    if (sqlite3_exec(db, SCHEMA, nullptr, nullptr, &error) != SQLITE_OK) {
        printf("\033[91mError!: %s\033[0m\n", error != nullptr ? error : sqlite3_errmsg(db));
        sqlite3_free(error);
        sqlite3_close(db);
        return -1;
    }
    return sqlite3_close(db) == SQLITE_OK ? 0 : -1;
}

mgr_storage *mgr_storage_open() {
    LOG_INFO("SQL3 version: %s", sqlite3_libversion());
    LOG_INFO("SQL3 threadsafe: %s", sqlite3_threadsafe() ? "YES" : "NO");
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(MGR_STORAGE_FILE, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        LOG_FATAL("Cannot open the manager storage: %s", sqlite3_errmsg(db));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    char *error = nullptr;
    if (sqlite3_exec(db, "PRAGMA foreign_keys = on;", nullptr, nullptr, &error) != SQLITE_OK) {
        LOG_FATAL("Error!: %s", error != nullptr ? error : sqlite3_errmsg(db));
        sqlite3_free(error);
        sqlite3_close(db);
        return nullptr;
    }
    mgr_storage *s = new (std::nothrow) mgr_storage{};
    if (s == nullptr)
        xalloc_fail(__LINE__, sizeof(mgr_storage));
    s->db = db;
    if (acache_load(s) != 0) {
        mgr_storage_close(s);
        return nullptr;
    }
    return s;
}

void mgr_storage_disconnect(mgr_storage *s) {
    if (s == nullptr)
        return;
    std::lock_guard<std::mutex> sql(s->sql);
    sqlite3_close(s->db);
    s->db = nullptr;
}

void mgr_storage_close(mgr_storage *s) {
    if (s == nullptr)
        return;
    sqlite3_close(s->db);
    acache_free(&s->acache);
    pthread_rwlock_destroy(&s->acache.lock);
    delete s;
}
