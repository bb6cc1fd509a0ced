// The Manager storage: the SQLite file "storage.mgr/storage" with the tables USERS,
// CONFIGURATIONS, AGENTS and BANNED, its open handle, and the statement helpers the users,
// configurations and agents cache modules share.
//
// One connection serves every thread of a process. The handle's `sql` mutex is held around
// each statement (prepare to finalize) and each transaction (BEGIN to END or ROLLBACK), so
// no thread's statement runs inside another thread's transaction and a failure's text is
// read before anyone else uses the connection. Lock order: the cache's `update` mutex,
// then the cache lock or `sql`; `sql` is never held while the cache lock is taken.
//
// Failing SQLite calls are logged as "SQL[n]: text" with SQLite's text for the result code.
// Each statement owns a block of ten numbers starting at its site: the prepare logs the site
// itself, a bind of ?k site + k, a step site + 8, a reset site + 9. A transaction's BEGIN
// logs its site, END site + 1 and ROLLBACK site + 2. The site SQL_PLAIN logs "SQL: text".
//
// 64-bit ids and hashes are bound and read as signed 64-bit integers with the same bits.
//
// A statement may wait for another process's lock on the file, so none runs on an IO loop
// thread; debug builds assert it at every statement and plain statement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <sqlite3.h>

#include "manager/acache.h"

// The storage file, relative to the environment directory.
inline constexpr const char *MGR_STORAGE_FILE = "storage.mgr/storage";

struct mgr_storage {
    sqlite3 *db;          // the process's connection, serialized threading mode; NULL once closed
    struct acache acache; // the agents
    std::mutex sql;       // held around each statement and each transaction
    // Test-only: when set, password hashes of users_add and users_set_password take their
    // 8 salt characters from here instead of the random source. NULL in every real handle.
    int (*test_salt)(char salt[8]);
};

// Creates `dir` (mode 0700) and the storage file "storage.mgr/storage" with its four
// tables; the file name does not follow `dir`. Messages go to standard output. 0 or -1.
int mgr_storage_create(const char *dir);

// Opens the existing storage file (never creates it), switches foreign keys on and loads
// the agents cache. NULL after a FATAL line.
mgr_storage *mgr_storage_open();

// Closes the connection and frees the cache and the handle; NULL is ignored.
void mgr_storage_close(mgr_storage *s);

// Closes the connection under the storage lock and leaves the handle (db NULL) for threads
// that still hold it: their statements fail from then on. NULL is ignored.
void mgr_storage_disconnect(mgr_storage *s);

// Site of statements whose failures are logged as "SQL: text".
inline constexpr int SQL_PLAIN = 0;

// Logs a failed call of `site` with result code `rc`.
void mgr_sql_log(int site, int rc);

// One statement, prepared from its full text and finalized when the object goes. Texts and
// blobs are bound without copying: the caller's buffers outlive the statement.
class mgr_stmt {
public:
    mgr_stmt(sqlite3 *db, const char *text, int site);
    ~mgr_stmt() { sqlite3_finalize(st_); }
    mgr_stmt(const mgr_stmt &) = delete;
    mgr_stmt &operator=(const mgr_stmt &) = delete;

    // False when the prepare failed (logged).
    bool ok() const { return st_ != nullptr; }
    sqlite3_stmt *get() const { return st_; }
    // The result code of the last failing call, SQLITE_OK when none failed.
    int rc() const { return rc_; }
    // Numbers the following calls from `site` on (see the block rule above).
    void set_site(int site) { site_ = site; }

    // Binds: 0, or -1 logged.
    int bind_u64(int n, uint64_t v);
    int bind_text(int n, const char *text, size_t len);
    // NULL is bound as SQL NULL, any other text as a text.
    int bind_text_or_null(int n, const char *text);
    // A zero size binds an empty blob, never NULL.
    int bind_blob(int n, const void *data, size_t size);

    // SQLITE_ROW or SQLITE_DONE; any other result is logged and gives -1.
    int step();
    // Steps a statement that must complete without a row: 0, or -1 logged.
    int done();
    // Resets for new bindings: 0, or -1 logged.
    int reset();

private:
    int fail(int offset, int rc);

    sqlite3_stmt *st_ = nullptr;
    int site_;
    int rc_ = SQLITE_OK;
};

// Column readers of the current row.
inline uint64_t mgr_col_u64(sqlite3_stmt *st, int col) {
    return static_cast<uint64_t>(sqlite3_column_int64(st, col));
}

// Copies at most `max` bytes of a text column into `out` (which the caller has zeroed and
// which holds at least `max` bytes); a NULL column copies nothing. The bytes copied.
size_t mgr_col_text(sqlite3_stmt *st, int col, char *out, size_t max);

// A plain statement ("BEGIN TRANSACTION;" and the like) on the caller's locked connection:
// 0, or -1 logged at `site`.
int mgr_exec(mgr_storage *s, const char *text, int site);

// Starts a transaction that holds the file's write lock from its start ("BEGIN IMMEDIATE
// TRANSACTION;") at `site`, waiting up to the busy time-out for another process's lock: 0
// or -1.
int mgr_tx_begin(mgr_storage *s, int site);

// Ends the transaction of `site`: with `rc` 0 "END;", otherwise "ROLLBACK;". A failing END
// is followed by ROLLBACK too, so the transaction never stays open. 0 when committed,
// else -1.
int mgr_tx_finish(mgr_storage *s, int rc, int site);
