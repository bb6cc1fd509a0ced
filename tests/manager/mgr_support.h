// Manager storage tests run in a fresh temporary directory holding a new storage file, as
// the environment directory holds it for the server.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sqlite3.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "lib/log.h"
#include "lib/log_capture.h"
#include "lib/murmur3.h"
#include "manager/acache.h"
#include "manager/mgr_storage.h"
#include "support/in_temp_dir.h"
#include "support/test_support.h"

// Runs `fn` with descriptor `fd` (1 or 2) pointed at a temporary file and gives back what
// was written there; log lines are read at `level` with their stamps removed.
inline std::string capture_fd(int fd, const std::function<void()> &fn, uint32_t level = 2) {
    fflush(stdout);
    FILE *tmp = tmpfile();
    int saved = dup(fd);
    dup2(fileno(tmp), fd);
    uint32_t old_level = log_level.load();
    log_level.store(level);
    fn();
    log_level.store(old_level);
    fflush(stdout);
    dup2(saved, fd);
    close(saved);
    std::string text;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, tmp)) > 0)
        text.append(buf, n);
    fclose(tmp);
    return fd == 2 ? strip_log_stamps(text) : text;
}

inline std::string capture_log(const std::function<void()> &fn, uint32_t level = 2) {
    return capture_fd(2, fn, level);
}

inline std::string capture_out(const std::function<void()> &fn) {
    return capture_fd(1, fn, 0);
}

// Every row of a query, each column as text ("NULL" for NULL), columns joined by '|'.
inline std::vector<std::string> sql_rows(sqlite3 *db, const std::string &query) {
    std::vector<std::string> rows;
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr), SQLITE_OK)
        << query << ": " << sqlite3_errmsg(db);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(st); c++) {
            if (c > 0)
                row += "|";
            const unsigned char *t = sqlite3_column_text(st, c);
            row += t != nullptr ? std::string(reinterpret_cast<const char *>(t),
                                              static_cast<size_t>(sqlite3_column_bytes(st, c)))
                                : "NULL";
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    return rows;
}

inline void sql_exec(sqlite3 *db, const std::string &text) {
    char *err = nullptr;
    ASSERT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err), SQLITE_OK)
        << text << ": " << (err ? err : "");
}

// An agent as its hello presents it: identity, its id and a Database address (none for
// an empty text).
inline mgr_agent agent_rec(uint8_t type, const std::string &label, const char *db = "") {
    mgr_agent a{};
    agent_identity id{};
    id.type = type;
    memcpy(id.label, label.data(), std::min(label.size(), sizeof id.label));
    a.identity = id;
    a.aid = murmur3_hash64(&id, sizeof id);
    if (db[0] != '\0') {
        nurl nu{};
        EXPECT_EQ(url_to_nurl(db, &nu), 0) << db;
        a.database = nu;
    }
    return a;
}

inline std::string agent_text(const mgr_agent &a) {
    char head[256];
    nurl db = a.database;
    char url[NET_TEXT_SIZE];
    uint32_t level = log_level.exchange(0);
    nurl_to_url(&db, url);
    log_level.store(level);
    snprintf(head, sizeof head, "%016lX %u [%.63s] db=%s cfg=%016lX.%016lX hash=%016lX",
             static_cast<unsigned long>(a.aid), a.identity.type, a.identity.label, url,
             static_cast<unsigned long>(a.cid1), static_cast<unsigned long>(a.cid2),
             static_cast<unsigned long>(a.datahash));
    return head;
}

// The used slots of a cache, by agent id, as text.
inline std::map<uint64_t, std::string> cache_of(mgr_storage *s) {
    std::map<uint64_t, std::string> seen;
    acache_foreach(s, &seen, [](void *ctx, const mgr_agent *a) {
        (*static_cast<std::map<uint64_t, std::string> *>(ctx))[a->aid] = agent_text(*a);
        return 0;
    });
    return seen;
}

// The slots of a cache in array order.
inline std::vector<mgr_agent> slots_of(mgr_storage *s) {
    std::vector<mgr_agent> seen;
    acache_foreach(s, &seen, [](void *ctx, const mgr_agent *a) {
        static_cast<std::vector<mgr_agent> *>(ctx)->push_back(*a);
        return 0;
    });
    return seen;
}

class MgrStore : public InTempDir {
protected:
    void SetUp() override {
        InTempDir::SetUp();
        ASSERT_EQ(mgr_storage_create("storage.mgr"), 0);
        s = mgr_storage_open();
        ASSERT_NE(s, nullptr);
    }
    void TearDown() override {
        mgr_storage_close(s);
        InTempDir::TearDown();
    }

    void reopen() {
        mgr_storage_close(s);
        s = mgr_storage_open();
        ASSERT_NE(s, nullptr);
    }

    // A second handle on the same file: what a fresh load finds.
    std::map<uint64_t, std::string> fresh_cache() {
        mgr_storage *f = mgr_storage_open();
        EXPECT_NE(f, nullptr);
        std::map<uint64_t, std::string> seen = f != nullptr ? cache_of(f) : decltype(seen){};
        mgr_storage_close(f);
        return seen;
    }

    std::vector<std::string> rows(const std::string &query) { return sql_rows(s->db, query); }
    void exec(const std::string &text) { sql_exec(s->db, text); }

    // Registers an agent, expecting success.
    mgr_agent add(const mgr_agent &a) {
        mgr_agent got = acache_add(s, &a);
        EXPECT_EQ(got.aid, a.aid) << agent_text(a);
        return got;
    }

    mgr_storage *s = nullptr;
};
