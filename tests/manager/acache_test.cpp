#include <gtest/gtest.h>

#include <functional>
#include <pthread.h>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lib/files.h"
#include "lib/thread.h"
#include "manager/acache.h"
#include "manager/configs.h"
#include "manager/users.h"
#include "mgr_support.h"

namespace {

// Signed text of a 64-bit id as SQLite stores it.
std::string sq(uint64_t v) {
    return std::to_string(static_cast<int64_t>(v));
}

// Fills AGENTS with `n` rows (aid 1 to n) without going through the cache.
void bulk_agents(mgr_storage *s, uint64_t n) {
    sql_exec(s->db,
             "WITH RECURSIVE k(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM k WHERE x < " +
                 std::to_string(n) +
                 ") INSERT INTO AGENTS (aid, type, label) SELECT x, 2, 'bulk-' || x FROM k;");
}

// Stores a configuration with `draft` and activates it when asked.
void store_cfg(mgr_storage *s, uint64_t id1, uint64_t id2, const std::string &draft,
               bool activate) {
    mgr_config c{};
    c.info.id1 = id1;
    c.info.id2 = id2;
    c.info.createdat = 1700000000000;
    strcpy(c.info.author, "tester");
    strcpy(c.info.label, "cfg");
    c.blob = reinterpret_cast<uint8_t *>(const_cast<char *>(draft.data()));
    c.size = draft.size();
    ASSERT_EQ(cfg_store_draft(s, &c), 0);
    if (activate) {
        ASSERT_EQ(cfg_activate(s, id1, id2), 0);
    }
}

// A zero-padded 128-byte name field.
struct name_field {
    char text[128];
    explicit name_field(const char *name) { EXPECT_EQ(users_copy_name(name, text), 0); }
};

uint64_t hash_of(const std::string &bytes) {
    return murmur3_hash64(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Both tables the cache follows, as text.
std::string tables_of(mgr_storage *s) {
    std::string all;
    for (const char *q : {"SELECT aid, type, label, cid1, cid2, db FROM AGENTS ORDER BY aid;",
                          "SELECT * FROM CONFIGURATIONS ORDER BY uuid1;"}) {
        for (const std::string &r : sql_rows(s->db, q))
            all += r + "\n";
    }
    return all;
}

using AgentsCache = MgrStore;

TEST_F(AgentsCache, NewAndKnownAgents) {
    const mgr_agent shop = agent_rec(2, "shop-frontend", "10.1.2.3:7001");
    mgr_agent got{};
    std::string lines = capture_log([&] { got = acache_add(s, &shop); });
    EXPECT_EQ(lines, "DEBUG  Agent not in the manager!\n"
                     "DEBUG  Agents cache enlarged from 0 to 16\n"
                     "INFO   New agent [shop-frontend] [DB=10.1.2.3:7001] added to the manager.\n");
    EXPECT_EQ(agent_text(got), agent_text(shop));
    EXPECT_EQ(rows("SELECT aid, type, label, cid1, cid2, db FROM AGENTS;"),
              std::vector<std::string>{sq(shop.aid) + "|2|shop-frontend|NULL|NULL|10.1.2.3:7001"});

    // A second hello with another address gets the cached record; the table stays.
    const mgr_agent again = agent_rec(2, "shop-frontend", "10.9.9.9:1");
    lines = capture_log([&] { got = acache_add(s, &again); });
    EXPECT_EQ(lines, "DEBUG  Agent already stored!\n");
    EXPECT_EQ(agent_text(got), agent_text(shop));
    EXPECT_EQ(rows("SELECT count(*) FROM AGENTS;"), std::vector<std::string>{"1"});
    EXPECT_EQ(s->acache.count, 1u);

    // An agent without a Database is stored with an empty text.
    const mgr_agent batch = agent_rec(3, "batch");
    lines = capture_log([&] { got = acache_add(s, &batch); });
    EXPECT_EQ(lines, "DEBUG  Agent not in the manager!\n"
                     "ERROR  Unsupported family: 0\n"
                     "INFO   New agent [batch] [DB=] added to the manager.\n");
    EXPECT_EQ(rows("SELECT db FROM AGENTS WHERE aid = " + sq(batch.aid) + ";"),
              std::vector<std::string>{""});

    EXPECT_EQ(agent_text(acache_get(s, shop.aid)), agent_text(shop));
    agent_identity id = batch.identity;
    EXPECT_EQ(acache_get_by_identity(s, &id).aid, batch.aid);
    EXPECT_EQ(acache_get(s, 0).aid, 0u);
    EXPECT_EQ(acache_get(s, 0x1234).aid, 0u);
    uint64_t ids[2] = {7, 7};
    EXPECT_EQ(acache_get_cfg_ids(s, shop.aid, ids), 0);
    EXPECT_EQ(ids[0] | ids[1], 0u);
    EXPECT_EQ(acache_get_cfg_ids(s, 0x1234, ids), -1);
    nurl db{};
    EXPECT_EQ(acache_get_db_addr(s, shop.aid, &db), 0);
    nurl want = shop.database;
    EXPECT_EQ(nurl_cmp(&db, &want), 0);
    EXPECT_EQ(acache_get_db_addr(s, 0, &db), -1);
}

TEST_F(AgentsCache, IdAboveTheSignedRangeIsStoredNegative) {
    mgr_agent a = agent_rec(2, "high-id");
    a.aid = 0xF000000000000001ull;
    add(a);
    EXPECT_EQ(rows("SELECT aid FROM AGENTS;"), std::vector<std::string>{"-1152921504606846975"});
    reopen();
    EXPECT_EQ(acache_get(s, 0xF000000000000001ull).aid, 0xF000000000000001ull);
}

TEST_F(AgentsCache, FreeSlotsAreReusedAndWalksReachLaterSlots) {
    const mgr_agent a1 = add(agent_rec(2, "one"));
    const mgr_agent a2 = add(agent_rec(2, "two"));
    const mgr_agent a3 = add(agent_rec(2, "three"));
    EXPECT_EQ(acache_delete(s, a1.aid), 0);
    EXPECT_TRUE(rows("SELECT * FROM AGENTS WHERE aid = " + sq(a1.aid) + ";").empty());
    std::vector<mgr_agent> seen = slots_of(s);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].aid, a2.aid);
    EXPECT_EQ(seen[1].aid, a3.aid);

    const mgr_agent a4 = add(agent_rec(2, "four"));
    seen = slots_of(s);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].aid, a4.aid);
    EXPECT_EQ(s->acache.nslots, 16u);
    EXPECT_EQ(s->acache.count, 3u);

    std::string lines = capture_log([&] { EXPECT_EQ(acache_delete(s, 0xBAD), -1); });
    EXPECT_EQ(lines, "WARN   Cannot delete the agent [0000000000000BAD]. No such agent!\n");
}

TEST_F(AgentsCache, GrowthStopsAtTheCap) {
    bulk_agents(s, 65530);
    reopen();
    EXPECT_EQ(s->acache.nslots, 65530u);
    EXPECT_EQ(s->acache.count, 65530u);

    std::string lines = capture_log([&] { add(agent_rec(2, "new-0")); });
    EXPECT_NE(lines.find("DEBUG  Agents cache enlarged from 65530 to 65535\n"), std::string::npos)
        << lines;
    EXPECT_EQ(s->acache.nslots, 65535u);
    for (int i = 1; i < 5; i++)
        add(agent_rec(2, "new-" + std::to_string(i)));

    const mgr_agent extra = agent_rec(2, "one-too-many");
    mgr_agent got = agent_rec(2, "x");
    lines = capture_log([&] { got = acache_add(s, &extra); });
    EXPECT_EQ(lines, "DEBUG  Agent not in the manager!\nERROR  Too many agents!\n");
    EXPECT_EQ(agent_text(got), agent_text(mgr_agent{}));
    EXPECT_EQ(rows("SELECT count(*) FROM AGENTS;"), std::vector<std::string>{"65535"});
    EXPECT_EQ(s->acache.nslots, 65535u);

    // A freed slot makes room again under the cap.
    ASSERT_EQ(acache_delete(s, 17), 0);
    add(extra);
    EXPECT_EQ(s->acache.nslots, 65535u);
    EXPECT_EQ(slots_of(s)[16].aid, extra.aid);
}

TEST_F(AgentsCache, LoadStopsAtTheCap) {
    bulk_agents(s, 65536);
    std::string lines = capture_log([&] { reopen(); }, 1);
    EXPECT_NE(lines.find("ERROR  Too many agents!\n"), std::string::npos) << lines;
    EXPECT_EQ(s->acache.nslots, 65535u);
    EXPECT_EQ(s->acache.count, 65535u);
    EXPECT_EQ(acache_get(s, 65535).aid, 65535u);
    EXPECT_EQ(acache_get(s, 65536).aid, 0u);
}

TEST_F(AgentsCache, ReopenKeepsWhatTheTableHolds) {
    const std::string label63(63, 'L');
    const mgr_agent full = add(agent_rec(2, label63, "10.0.0.1:1"));
    exec("INSERT INTO CONFIGURATIONS (uuid1, uuid2, author, createdat, label, datahash) "
         "VALUES (0, 77, 'a', 1, 'half', 555);");
    exec("INSERT INTO AGENTS (aid, type, label, cid1, cid2, db) VALUES "
         "(11, 2, 'half-id', 0, 77, NULL), (12, 3, 'no-db', NULL, NULL, NULL), "
         "(13, 2, 'empty-db', NULL, NULL, ''), (14, 2, 'six', NULL, NULL, '[::1]:9000');");
    std::string lines = capture_log([&] { reopen(); }, 1);
    EXPECT_NE(lines.find("ERROR  Invalid socket address in agent empty-db : \n"), std::string::npos)
        << lines;
    EXPECT_EQ(lines.find("no-db"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("six"), std::string::npos) << lines;

    // All 63 label bytes come back, so the identity still hashes to the agent id.
    mgr_agent back = acache_get(s, full.aid);
    EXPECT_EQ(memcmp(&back.identity, &full.identity, sizeof back.identity), 0);
    agent_identity id = back.identity;
    EXPECT_EQ(murmur3_hash64(&id, sizeof id), full.aid);
    EXPECT_EQ(agent_text(back), agent_text(full));

    mgr_agent half = acache_get(s, 11);
    EXPECT_EQ(half.cid1, 0u);
    EXPECT_EQ(half.cid2, 77u);
    EXPECT_EQ(half.datahash, 555u);
    for (uint64_t aid : {12, 13}) {
        nurl db = acache_get(s, aid).database;
        EXPECT_TRUE(nurl_is_empty(&db)) << aid;
    }
    nurl six = acache_get(s, 14).database;
    EXPECT_EQ(six.family, AF_INET6);
    EXPECT_EQ(six.port, 9000);
}

TEST_F(AgentsCache, AttachDetachAndDatabaseSeenAlikeInTableAndCache) {
    const uint64_t c1 = 0x8000000000000001ull, c2 = 0x8000000000000002ull;
    store_cfg(s, c1, c2, "active-data", true);
    const mgr_agent a1 = add(agent_rec(2, "a1"));
    const mgr_agent a2 = add(agent_rec(2, "a2"));
    const mgr_agent a3 = add(agent_rec(3, "a3"));
    auto same = [&] { EXPECT_EQ(cache_of(s), fresh_cache()); };
    auto cfg_of = [&](const mgr_agent &a) {
        return rows("SELECT cid1, cid2 FROM AGENTS WHERE aid = " + sq(a.aid) + ";").at(0);
    };

    // The caller's hash is stale; the stored one wins.
    uint64_t list12[] = {a1.aid, a2.aid};
    ASSERT_EQ(acache_attach_cfg(s, 0xDEAD, c1, c2, list12, 2), 0);
    EXPECT_EQ(cfg_of(a1), sq(c1) + "|" + sq(c2));
    EXPECT_EQ(cfg_of(a2), sq(c1) + "|" + sq(c2));
    EXPECT_EQ(cfg_of(a3), "NULL|NULL");
    EXPECT_EQ(acache_get(s, a1.aid).datahash, hash_of("active-data"));
    same();

    uint64_t list1[] = {a1.aid};
    std::string lines = capture_log([&] { ASSERT_EQ(acache_detach_cfg(s, c1, c2, 1, list1), 0); });
    EXPECT_EQ(lines, "INFO   Configuration 8000000000000001.8000000000000002 detached "
                     "successfully.\n");
    EXPECT_EQ(cfg_of(a1), "NULL|NULL");
    EXPECT_EQ(acache_get(s, a1.aid).datahash, 0u);
    EXPECT_EQ(acache_get(s, a2.aid).cid1, c1);
    same();

    nurl to{};
    ASSERT_EQ(url_to_nurl("10.9.8.7:5000", &to), 0);
    uint64_t list23[] = {a2.aid, a3.aid};
    ASSERT_EQ(acache_set_db(s, &to, 2, list23), 0);
    EXPECT_EQ(rows("SELECT db FROM AGENTS ORDER BY label;"),
              (std::vector<std::string>{"", "10.9.8.7:5000", "10.9.8.7:5000"}));
    same();
    ASSERT_EQ(acache_set_db(s, nullptr, 0, nullptr), 0);
    EXPECT_EQ(rows("SELECT DISTINCT db FROM AGENTS;"), std::vector<std::string>{"NULL"});
    same();

    // Nothing to do, a refused id, a configuration that does not exist.
    EXPECT_EQ(acache_attach_cfg(s, 0, c1, c2, list12, 0), 0);
    EXPECT_EQ(acache_detach_cfg(s, 0, 0, 1, list1), -1);
    EXPECT_EQ(acache_detach_cfg(s, 0, 0, 0, nullptr), -1);
    EXPECT_EQ(acache_attach_cfg(s, 0, 0, 0, list1, 1), -1);
    uint64_t list3[] = {a3.aid};
    lines = capture_log([&] { EXPECT_EQ(acache_attach_cfg(s, 0, 5, 6, list3, 1), -1); });
    EXPECT_EQ(lines, "ERROR  SQL[138]: constraint failed\n");
    EXPECT_EQ(cfg_of(a2), sq(c1) + "|" + sq(c2));
    EXPECT_EQ(cfg_of(a3), "NULL|NULL");
    same();

    ASSERT_EQ(acache_detach_cfg(s, c1, c2, 0, nullptr), 0);
    EXPECT_EQ(rows("SELECT DISTINCT cid1, cid2 FROM AGENTS;"),
              std::vector<std::string>{"NULL|NULL"});
    same();
}

// Statements that fail inside a change leave table and cache as they were, leave no
// transaction open, and the next change goes through.
TEST_F(AgentsCache, FailedChangesLeaveTableAndCacheUnchanged) {
    const uint64_t c1 = 0x11, c2 = 0x12, d1 = 0x21, d2 = 0x22;
    const mgr_agent a1 = agent_rec(2, "a1"), a2 = agent_rec(2, "a2"), a3 = agent_rec(2, "a3");
    const mgr_agent fresh = agent_rec(2, "newcomer");
    nurl to{};
    ASSERT_EQ(url_to_nurl("10.1.1.1:1", &to), 0);
    const std::string abort_if = " BEGIN SELECT RAISE(ABORT, 'refused'); END;";
    struct fail_case {
        const char *name;
        std::string arm;           // SQL run on the handle's connection first
        std::function<int()> op;   // 0 when the change succeeded
        std::string line;          // logged by the failure
        std::function<int()> next; // a change that must go through afterwards
    };
    uint64_t l23[] = {a2.aid, a3.aid};
    uint64_t l1[] = {a1.aid};
    uint64_t l2[] = {a2.aid};
    const fail_case cases[] = {
        {"attach aborted at its second agent",
         "CREATE TEMP TRIGGER t BEFORE UPDATE ON AGENTS WHEN NEW.aid = " + sq(a3.aid) + abort_if,
         [&] { return acache_attach_cfg(s, 0, d1, d2, l23, 2); }, "SQL[138]",
         [&] { return acache_attach_cfg(s, 0, d1, d2, l2, 1); }},
        {"detach aborted", "CREATE TEMP TRIGGER t BEFORE UPDATE ON AGENTS" + abort_if,
         [&] { return acache_detach_cfg(s, c1, c2, 1, l1); }, "SQL[168]",
         [&] {
             sql_exec(s->db, "DROP TRIGGER t;");
             return acache_detach_cfg(s, c1, c2, 0, nullptr);
         }},
        {"set-db aborted at its second agent",
         "CREATE TEMP TRIGGER t BEFORE UPDATE ON AGENTS WHEN NEW.aid = " + sq(a3.aid) + abort_if,
         [&] { return acache_set_db(s, &to, 2, l23); }, "SQL[198]",
         [&] { return acache_set_db(s, &to, 1, l2); }},
        {"set-db of all agents aborted",
         "CREATE TEMP TRIGGER t BEFORE UPDATE ON AGENTS WHEN NEW.aid = " + sq(a3.aid) + abort_if,
         [&] { return acache_set_db(s, &to, 0, nullptr); }, "SQL[208]",
         [&] {
             sql_exec(s->db, "DROP TRIGGER t;");
             return acache_set_db(s, nullptr, 0, nullptr);
         }},
        {"attach whose commit fails", "PRAGMA defer_foreign_keys = ON;",
         [&] { return acache_attach_cfg(s, 0, 0x77, 0x78, l23, 2); }, "SQL[151]",
         [&] { return acache_attach_cfg(s, 0, d1, d2, l23, 2); }},
        {"registration aborted", "CREATE TEMP TRIGGER t BEFORE INSERT ON AGENTS" + abort_if,
         [&] { return acache_add(s, &fresh).aid == fresh.aid ? 0 : -1; }, "SQL[118]",
         [&] {
             sql_exec(s->db, "DROP TRIGGER t;");
             return acache_add(s, &fresh).aid == fresh.aid ? 0 : -1;
         }},
        {"deletion aborted", "CREATE TEMP TRIGGER t BEFORE DELETE ON AGENTS" + abort_if,
         [&] { return acache_delete(s, a2.aid); }, "SQL[128]",
         [&] {
             sql_exec(s->db, "DROP TRIGGER t;");
             return acache_delete(s, a2.aid);
         }},
        {"activation aborted", "CREATE TEMP TRIGGER t BEFORE UPDATE ON CONFIGURATIONS" + abort_if,
         [&] { return cfg_activate(s, c1, c2); }, "SQL[348]",
         [&] {
             sql_exec(s->db, "DROP TRIGGER t;");
             return cfg_activate(s, c1, c2);
         }},
    };
    for (const fail_case &c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh storage per case: a1 attached to c1.c2, whose draft is newer than its
        // active data; d1.d2 stored; no Database addresses.
        mgr_storage_close(s);
        s = nullptr;
        ASSERT_EQ(sys_rmtree("storage.mgr"), 0);
        ASSERT_EQ(mgr_storage_create("storage.mgr"), 0);
        s = mgr_storage_open();
        ASSERT_NE(s, nullptr);
        store_cfg(s, c1, c2, "v1", true);
        store_cfg(s, c1, c2, "v2", false);
        store_cfg(s, d1, d2, "other", true);
        for (const mgr_agent &a : {a1, a2, a3})
            add(a);
        ASSERT_EQ(acache_attach_cfg(s, 0, c1, c2, l1, 1), 0);

        const std::string tables = tables_of(s);
        const auto cache = cache_of(s);
        const uint64_t count = s->acache.count;
        exec(c.arm);
        int rc = 0;
        std::string lines = capture_log([&] { rc = c.op(); }, 1);
        EXPECT_NE(rc, 0);
        EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
        EXPECT_EQ(tables_of(s), tables);
        EXPECT_EQ(cache_of(s), cache);
        EXPECT_EQ(s->acache.count, count);
        EXPECT_EQ(acache_get(s, fresh.aid).aid, 0u);
        EXPECT_NE(sqlite3_get_autocommit(s->db), 0);

        EXPECT_EQ(c.next(), 0);
        EXPECT_NE(tables_of(s), tables);
        EXPECT_EQ(cache_of(s), fresh_cache());
    }
}

// Attaching, detaching, re-routing and activating from several threads at once leaves the
// cache exactly as a fresh load of the table.
TEST_F(AgentsCache, ConcurrentChangesLeaveTheCacheAsTheTable) {
    constexpr int kAgents = 8, kConfigs = 2, kThreads = 8, kRounds = 300;
    std::vector<uint64_t> aids;
    for (int i = 0; i < kAgents; i++)
        aids.push_back(add(agent_rec(2, "agent-" + std::to_string(i))).aid);
    for (uint64_t c = 1; c <= kConfigs; c++)
        store_cfg(s, c, c + 100, "draft-" + std::to_string(c), true);

    // Without waiting for the disk a transaction takes about as long as a cache update,
    // so the threads' steps interleave finely.
    exec("PRAGMA synchronous = OFF;");
    exec("PRAGMA journal_mode = MEMORY;");
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
        for (int round = 0; round < kRounds; round++) {
            uint64_t c = 1 + pick(kConfigs);
            std::vector<uint64_t> some;
            for (uint64_t k = 1 + pick(6); k > 0; k--)
                some.push_back(aids[pick(kAgents)]);
            int rc = 0;
            switch (pick(5)) {
            case 0: {
                mgr_config data{};
                rc = cfg_read(s, c, c + 100, CFG_DATA, &data);
                free(data.blob);
                if (rc == 0)
                    rc = acache_attach_cfg(s, data.hash, c, c + 100, some.data(), some.size());
                break;
            }
            case 1:
                rc = acache_detach_cfg(s, c, c + 100, some.size(), some.data());
                break;
            case 2:
                rc = acache_detach_cfg(s, c, c + 100, 0, nullptr);
                break;
            case 3: {
                const std::string draft = "draft-" + std::to_string(rng());
                mgr_config d{};
                d.info.id1 = c;
                d.info.id2 = c + 100;
                d.blob = reinterpret_cast<uint8_t *>(const_cast<char *>(draft.data()));
                d.size = draft.size();
                rc = cfg_store_draft(s, &d);
                if (rc == 0)
                    rc = cfg_activate(s, c, c + 100);
                break;
            }
            default: {
                nurl to{};
                to.family = AF_INET;
                to.port = static_cast<uint16_t>(1 + pick(60000));
                to.addr[0] = 10;
                bool clear = pick(4) == 0;
                rc = acache_set_db(s, clear ? nullptr : &to, some.size(), some.data());
                break;
            }
            }
            if (rc != 0)
                failures++;
        }
    };
    // Beside them: readers walk the cache, as hellos and queries would; a user's ban
    // change keeps failing and rolling back; single statements store new configurations,
    // none of which may be undone by another thread's rollback.
    std::thread reader([&] {
        while (!stop) {
            acache_foreach(s, nullptr, [](void *, const mgr_agent *) { return 0; });
            std::this_thread::yield();
        }
    });
    const name_field ann("ann");
    ASSERT_EQ(users_add(s, ann.text, "pw", 0), 0);
    std::atomic<int> rollbacks{0};
    std::thread banner([&] {
        mgr_user u{};
        users_copy_name("ann", u.username);
        uint64_t unknown[] = {aids[0], 0x5555};
        u.banned = unknown;
        u.nbanned = 2;
        while (!stop) {
            if (users_set_banned(s, &u) == -1)
                rollbacks++;
            else
                failures++;
            std::this_thread::yield();
        }
    });
    constexpr uint64_t kStored = 300;
    std::thread storer([&] {
        for (uint64_t i = 0; i < kStored; i++) {
            mgr_config d{};
            d.info.id1 = 1000 + i;
            d.info.id2 = 5000 + i;
            if (cfg_store_draft(s, &d) != 0)
                failures++;
        }
    });
    const uint32_t level = log_level.exchange(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back(worker, 1000u + static_cast<unsigned>(t));
    for (std::thread &t : threads)
        t.join();
    storer.join();
    stop = true;
    reader.join();
    banner.join();
    log_level.store(level);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(rollbacks.load(), 0);
    EXPECT_EQ(rows("SELECT count(*) FROM CONFIGURATIONS WHERE uuid1 >= 1000;"),
              std::vector<std::string>{std::to_string(kStored)});
    EXPECT_TRUE(rows("SELECT * FROM BANNED;").empty());
    EXPECT_EQ(cache_of(s), fresh_cache());
}

TEST_F(AgentsCache, LockFailuresAreLoggedAndTheOperationGoesOn) {
    const mgr_agent a = add(agent_rec(2, "locked"));
    // The test thread holds the write lock: the read lock is refused with EDEADLK, the
    // lookup still runs, and its unlock releases the test's lock.
    ASSERT_EQ(pthread_rwlock_wrlock(&s->acache.lock), 0);
    mgr_agent got{};
    std::string lines = capture_log([&] { got = acache_get(s, a.aid); }, 1);
    EXPECT_EQ(got.aid, a.aid);
    EXPECT_TRUE(
        std::regex_match(lines, std::regex(R"(ERROR  pthread_rwlock_rdlock\(&s->acache\.lock\) : )"
                                           R"(Resource deadlock avoided\. \[\d+\]\n)")))
        << lines;
    ASSERT_EQ(pthread_rwlock_trywrlock(&s->acache.lock), 0);
    ASSERT_EQ(pthread_rwlock_unlock(&s->acache.lock), 0);
}

// Another connection on the file holds its write lock, as an administration command beside
// the server does. Each change of the cache's table waits for it to end (SQLite's busy
// handler is called) and then succeeds: none is refused at once, not even a transaction
// that reads before it writes.
TEST_F(AgentsCache, ChangesWaitForAnotherConnectionsWriteLock) {
    store_cfg(s, 0xC1, 0xC2, "data", true);
    const uint64_t aid = add(agent_rec(2, "held-lock", "")).aid;
    nurl db{};
    ASSERT_EQ(url_to_nurl("10.0.0.7:7000", &db), 0);
    const struct {
        const char *name;
        std::function<int()> change;
        const char *query;
        std::vector<std::string> rows;
    } cases[] = {
        {"attach", [&] { return acache_attach_cfg(s, 0, 0xC1, 0xC2, &aid, 1); },
         "SELECT cid1 FROM AGENTS;", {"193"}},
        {"set the Database", [&] { return acache_set_db(s, &db, 1, &aid); },
         "SELECT db FROM AGENTS;", {"10.0.0.7:7000"}},
        {"detach", [&] { return acache_detach_cfg(s, 0xC1, 0xC2, 1, &aid); },
         "SELECT cid1 FROM AGENTS;", {"NULL"}},
        {"delete a configuration (reads, then writes)",
         [&] {
             std::vector<uint64_t> detached;
             return acache_delete_cfg(s, 0xC1, 0xC2, &detached);
         },
         "SELECT COUNT(*) FROM CONFIGURATIONS;", {"0"}},
    };
    for (const auto &c : cases) {
        sqlite3 *other = nullptr;
        ASSERT_EQ(sqlite3_open_v2(MGR_STORAGE_FILE, &other, SQLITE_OPEN_READWRITE, nullptr),
                  SQLITE_OK);
        sql_exec(other, "BEGIN IMMEDIATE;");
        // The first busy call ends the other transaction; the change then goes on.
        struct holder {
            sqlite3 *db;
            int calls;
        } h{other, 0};
        sqlite3_busy_handler(
            s->db,
            [](void *arg, int) {
                auto *hh = static_cast<holder *>(arg);
                if (hh->calls++ == 0)
                    sql_exec(hh->db, "COMMIT;");
                return 1;
            },
            &h);
        EXPECT_EQ(c.change(), 0) << c.name;
        EXPECT_GE(h.calls, 1) << c.name;
        sqlite3_busy_timeout(s->db, 5000);
        sqlite3_close(other);
        EXPECT_EQ(rows(c.query), c.rows) << c.name;
    }
}

// Statements never run on an IO loop thread: debug builds stop at the first one that does.
TEST_F(AgentsCache, StatementOnALoopThreadIsCaughtInDebugBuilds) {
#ifdef NDEBUG
    GTEST_SKIP() << "the check is compiled into debug builds only";
#else
    const mgr_agent a = agent_rec(2, "on-a-loop", "");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            thread_mark_loop();
            (void)acache_add(s, &a);
        },
        "IO loop thread");
    // Off a loop thread the same statement runs.
    EXPECT_EQ(add(a).aid, a.aid);
#endif
}

} // namespace
