#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "manager/configs.h"
#include "manager/mgr_storage.h"
#include "manager/users.h"
#include "mgr_support.h"

namespace {

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Runs in a fresh directory without a storage.
using StorageDir = InTempDir;

TEST_F(StorageDir, CreateFailures) {
    const struct {
        const char *name;
        std::function<void()> setup;
        const char *dir;
        std::string out;
    } cases[] = {
        {"directory exists",
         [] {
             mkdir("storage.mgr", 0755);
             write_file("storage.mgr/storage", "kept");
         },
         "storage.mgr", "\033[91mCannot create directory storage.mgr : File exists\033[0m\n"},
        // The file name is fixed: another directory leaves it without a place to go.
        {"no storage directory", [] {}, "other",
         "\033[91mError!: unable to open database file\033[0m\n"},
        {"script on a file that is no database",
         [] {
             mkdir("storage.mgr", 0755);
             write_file("storage.mgr/storage", std::string(4096, 'x'));
         },
         "other", "\033[91mError!: file is not a database\033[0m\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        ASSERT_EQ(chdir(tmp.path().c_str()), 0);
        c.setup();
        const std::string before = read_file("storage.mgr/storage");
        int rc = 0;
        EXPECT_EQ(capture_out([&] { rc = mgr_storage_create(c.dir); }), c.out);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(read_file("storage.mgr/storage"), before);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
}

TEST_F(StorageDir, CreateMakesAPrivateDirectory) {
    EXPECT_EQ(capture_out([] { EXPECT_EQ(mgr_storage_create("storage.mgr"), 0); }), "");
    struct stat st;
    ASSERT_EQ(stat("storage.mgr", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(exists("storage.mgr/storage"));
}

TEST_F(StorageDir, OpenNeverCreatesTheFile) {
    for (bool with_dir : {false, true}) {
        SCOPED_TRACE(with_dir ? "empty storage directory" : "no storage directory");
        if (with_dir) {
            ASSERT_EQ(mkdir("storage.mgr", 0700), 0);
        }
        mgr_storage *s = reinterpret_cast<mgr_storage *>(1);
        std::string lines = capture_log([&] { s = mgr_storage_open(); }, 1);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(lines, std::string("INFO   SQL3 version: ") + sqlite3_libversion() +
                             "\nINFO   SQL3 threadsafe: YES\n"
                             "FATAL  Cannot open the manager storage: unable to open database "
                             "file\n");
        EXPECT_FALSE(exists("storage.mgr/storage"));
    }
}

TEST_F(StorageDir, OpenRefusesAFileThatIsNoDatabase) {
    ASSERT_EQ(mkdir("storage.mgr", 0700), 0);
    write_file("storage.mgr/storage", std::string(4096, 'x'));
    mgr_storage *s = reinterpret_cast<mgr_storage *>(1);
    std::string lines = capture_log([&] { s = mgr_storage_open(); }, 1);
    EXPECT_EQ(s, nullptr);
    EXPECT_NE(lines.find("file is not a database"), std::string::npos) << lines;
}

TEST_F(StorageDir, CloseAcceptsNull) {
    mgr_storage_close(nullptr);
}

TEST_F(MgrStore, ConnectionHasForeignKeysAndABusyTimeout) {
    EXPECT_EQ(rows("PRAGMA foreign_keys;"), std::vector<std::string>{"1"});
    EXPECT_EQ(rows("PRAGMA busy_timeout;"), std::vector<std::string>{"5000"});
}

TEST_F(MgrStore, TwoHandlesHaveTheirOwnCaches) {
    mgr_storage *second = mgr_storage_open();
    ASSERT_NE(second, nullptr);
    mgr_agent a = add(agent_rec(2, "first-handle"));
    EXPECT_EQ(acache_get(s, a.aid).aid, a.aid);
    EXPECT_EQ(acache_get(second, a.aid).aid, 0u);
    mgr_storage_close(second);
    EXPECT_EQ(fresh_cache().count(a.aid), 1u);
}

// A failed commit leaves no transaction open behind it.
TEST_F(MgrStore, FailedEndRollsBack) {
    exec("PRAGMA defer_foreign_keys = ON;");
    std::string lines = capture_log([&] {
        ASSERT_EQ(mgr_tx_begin(s, 10), 0);
        ASSERT_EQ(mgr_exec(s, "INSERT INTO BANNED VALUES ('nobody', 1);", 20), 0);
        EXPECT_EQ(mgr_tx_finish(s, 0, 10), -1);
    });
    EXPECT_EQ(lines, "ERROR  SQL[11]: constraint failed\n");
    EXPECT_NE(sqlite3_get_autocommit(s->db), 0);
    EXPECT_TRUE(rows("SELECT * FROM BANNED;").empty());
    EXPECT_EQ(mgr_tx_begin(s, 10), 0);
    EXPECT_EQ(mgr_tx_finish(s, -1, 10), -1);
    EXPECT_NE(sqlite3_get_autocommit(s->db), 0);
}

// A service stops without joining its threads: those still at work after the storage is
// disconnected and its cache emptied get failures, never a closed connection or freed slots.
TEST_F(MgrStore, DisconnectedStorageFailsThreadsStillAtWork) {
    char admin[128];
    ASSERT_EQ(users_copy_name("admin", admin), 0);
    ASSERT_EQ(users_add(s, admin, "pw", PERM_ALL), 0);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> rounds{0};
    std::vector<std::thread> workers;
    uint32_t level = log_level.exchange(0);
    for (int w = 0; w < 4; w++) {
        workers.emplace_back([&, w] {
            for (uint64_t i = 0; !stop.load(); i++) {
                mgr_user u{};
                if (users_get(s, admin, &u) == 0)
                    free(u.banned);
                (void)users_check_password(s, admin, "pw");
                mgr_agent a = agent_rec(2, "worker-" + std::to_string(w) + "-" + std::to_string(i));
                (void)acache_add(s, &a);
                (void)acache_get(s, a.aid);
                mgr_config c{};
                (void)cfg_read(s, 1, 2, CFG_DATA, &c);
                free(c.blob);
                rounds.fetch_add(1);
            }
        });
    }
    ASSERT_TRUE(eventually([&] { return rounds.load() >= 8; }));
    mgr_storage_disconnect(s);
    EXPECT_EQ(s->db, nullptr);
    const uint64_t seen = rounds.load();
    ASSERT_TRUE(eventually([&] { return rounds.load() >= seen + 8; }));
    acache_free(&s->acache);
    const uint64_t emptied = rounds.load();
    ASSERT_TRUE(eventually([&] { return rounds.load() >= emptied + 8; }));
    stop.store(true);
    for (std::thread &t : workers)
        t.join();
    log_level.store(level);

    mgr_user u{};
    const std::string lines = capture_log([&] {
        EXPECT_EQ(users_get(s, admin, &u), -1);
        mgr_agent a = agent_rec(2, "after-the-stop");
        EXPECT_EQ(acache_add(s, &a).aid, 0u);
        EXPECT_EQ(mgr_tx_begin(s, 10), -1);
    }, 1);
    // An agent without a Database has no address text: the converter says so.
    EXPECT_EQ(lines, "ERROR  SQL: bad parameter or other API misuse\n"
                     "ERROR  Unsupported family: 0\n"
                     "ERROR  SQL[110]: bad parameter or other API misuse\n"
                     "ERROR  SQL[10]: bad parameter or other API misuse\n");
    EXPECT_TRUE(slots_of(s).empty());
}

} // namespace
