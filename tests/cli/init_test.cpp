#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <regex>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "manager/mgr_storage.h"
#include "manager/users.h"
#include "support/test_support.h"

namespace {

const std::string kCreating = "\033[92m\n\tCreating a new Korvane environment ...\033[0m\n";
const std::string kFailed = "\033[91mKorvane environment initialization failed.\033[0m\n";

mode_t mode_of(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Names in a directory, "." and ".." left out.
std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *de = readdir(d)) {
            std::string n = de->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

TEST(InitCommand, DatabaseEnvironment) {
    TempDir tmp;
    RunResult r = run_korvane({"init", "--mode=database", "env"}, tmp.path());
    ASSERT_EQ(r.exit_code, 0) << r.out;
    const std::string env = tmp.sub("env");
    EXPECT_EQ(r.out, kCreating + "\tCreating the Database structure ...\n"
                                 "\tGenerating database default configuration ...\n"
                                 "\tOpen conf/config.json configuration file and verify the "
                                 "settings.\n"
                                 "\033[92mKorvane environment created in: env.\033[0m\n");
    for (const char *d : {"", "/conf", "/logs", "/var", "/plugins", "/storage.db",
                          "/storage.db/arch", "/storage.db/data", "/storage.db/symbols"}) {
        EXPECT_EQ(mode_of(env + d), 0700u) << d;
    }
    EXPECT_FALSE(exists(env + "/storage.mgr"));
    EXPECT_EQ(read_file(env + "/storage.db/.database"), std::string("\x30\x06", 2));
    const std::string header = std::string("KORVANE") + std::string(9, '\0');
    for (const char *f : {"thr", "cls", "mth", "kvs"})
        EXPECT_EQ(read_file(env + "/storage.db/symbols/" + f), header) << f;

    // The Database template with its redirect placeholder replaced by an IPv4 address of
    // this host other than 127.0.0.1.
    const std::string tmpl = read_file(KRV_SOURCE_DIR "/templates/database.json");
    const std::string config = read_file(env + "/conf/config.json");
    const size_t at = tmpl.find("REDIRECT_IP");
    ASSERT_NE(at, std::string::npos);
    const std::string rest = tmpl.substr(at + strlen("REDIRECT_IP")) + "\n";
    ASSERT_GT(config.size(), at + rest.size());
    EXPECT_EQ(config.substr(0, at), tmpl.substr(0, at));
    EXPECT_EQ(config.substr(config.size() - rest.size()), rest);
    const std::string ip = config.substr(at, config.size() - rest.size() - at);
    EXPECT_TRUE(std::regex_match(ip, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << ip;
    EXPECT_NE(ip, "127.0.0.1");
}

// The schema of a new Manager storage, statement by statement.
const std::string kSchema =
    "CREATE TABLE USERS(username TEXT PRIMARY KEY, password TEXT, permissions INTEGER) WITHOUT "
    "ROWID;CREATE TABLE CONFIGURATIONS(uuid1 INTEGER UNIQUE, uuid2 INTEGER UNIQUE, author TEXT "
    "NOT NULL, createdat INTEGER NOT NULL, lastupdate INTEGER, label TEXT NOT NULL, data BLOB, "
    "draft BLOB, drafthash INTEGER, datahash INTEGER, PRIMARY KEY(uuid1, uuid2)) WITHOUT "
    "ROWID;CREATE TABLE AGENTS(aid INTEGER PRIMARY KEY, type INTEGER, label TEXT NOT NULL, cid1 "
    "INTEGER, cid2 INTEGER, db TEXT, FOREIGN KEY(cid1, cid2) REFERENCES CONFIGURATIONS(uuid1, "
    "uuid2)); CREATE TABLE BANNED(user TEXT NOT NULL, agent INTEGER, FOREIGN KEY(user) "
    "REFERENCES USERS(username) ON DELETE CASCADE, FOREIGN KEY(agent) REFERENCES AGENTS(aid) ON "
    "DELETE CASCADE);";

// The statements of a script without their semicolons and leading spaces, as SQLite keeps
// them in sqlite_master.
std::vector<std::string> statements(const std::string &script) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t end; (end = script.find(';', at)) != std::string::npos; at = end + 1) {
        std::string st = script.substr(at, end - at);
        st.erase(0, st.find_first_not_of(' '));
        out.push_back(st);
    }
    return out;
}

// "type|name|sql" of every schema entry, in creation order.
std::vector<std::string> schema_of(const std::string &file) {
    sqlite3 *db = nullptr;
    std::vector<std::string> rows;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT type, name, sql FROM sqlite_master ORDER BY rowid;",
                                 -1, &st, nullptr),
              SQLITE_OK);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < 3; c++) {
            const unsigned char *t = sqlite3_column_text(st, c);
            row += std::string(c ? "|" : "") + (t ? reinterpret_cast<const char *>(t) : "");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

// Opens the storage of the environment as the server would (from inside it) and checks
// the administrator: the password verifies and every permission is set.
void expect_admin(const std::string &env) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(env.c_str()), 0);
    mgr_storage *s = mgr_storage_open();
    EXPECT_NE(s, nullptr);
    if (s != nullptr) {
        EXPECT_EQ(users_check_password(s, "admin", "vendrix"), 0);
        EXPECT_EQ(users_check_password(s, "admin", "Vendrix"), 1);
        mgr_user u{};
        EXPECT_EQ(users_get(s, "admin", &u), 0);
        EXPECT_EQ(u.permissions, 31u);
        free(u.banned);
        int users = 0;
        users_foreach(s, &users, [](void *ctx, const mgr_user *) {
            ++*static_cast<int *>(ctx);
            return 0;
        });
        EXPECT_EQ(users, 1);
        mgr_storage_close(s);
    }
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(InitCommand, ManagerEnvironment) {
    TempDir tmp;
    RunResult r = run_korvane({"init", "--mode=Manager", "env"}, tmp.path());
    ASSERT_EQ(r.exit_code, 0) << r.out;
    const std::string env = tmp.sub("env");
    EXPECT_EQ(r.out, kCreating + "\033[0m\tCreating the Manager structure ...\033[0m\n"
                                 "\tGenerating database default configuration ...\n"
                                 "\tOpen conf/config.json configuration file and verify the "
                                 "settings.\n"
                                 "\033[92mKorvane environment created in: env.\033[0m\n");
    for (const char *d : {"", "/conf", "/logs", "/var", "/plugins", "/storage.mgr"})
        EXPECT_EQ(mode_of(env + d), 0700u) << d;
    EXPECT_FALSE(exists(env + "/storage.db"));
    EXPECT_EQ(read_file(env + "/conf/config.json"),
              read_file(KRV_SOURCE_DIR "/templates/manager.json"));

    std::vector<std::string> want;
    const char *names[] = {"USERS", "CONFIGURATIONS", "AGENTS", "BANNED"};
    std::vector<std::string> sql = statements(kSchema);
    ASSERT_EQ(sql.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        want.push_back(std::string("table|") + names[i] + "|" + sql[i]);
        if (i == 1) { // the two UNIQUE halves
            want.push_back("index|sqlite_autoindex_CONFIGURATIONS_1|");
            want.push_back("index|sqlite_autoindex_CONFIGURATIONS_2|");
        }
    }
    EXPECT_EQ(schema_of(env + "/storage.mgr/storage"), want);
    expect_admin(env);
}

TEST(InitCommand, StandaloneEnvironment) {
    for (const auto &args : {std::vector<std::string>{"init", "--mode=standalone", "env"},
                             std::vector<std::string>{"init", "env"}}) {
        SCOPED_TRACE(args.size() == 3 ? "mode word" : "no mode");
        TempDir tmp;
        RunResult r = run_korvane(args, tmp.path());
        ASSERT_EQ(r.exit_code, 0) << r.out;
        const std::string env = tmp.sub("env");
        EXPECT_EQ(r.out, kCreating + "\033[0m\tCreating the Manager structure ...\033[0m\n"
                                     "\tCreating the Database structure ...\n"
                                     "\tGenerating database default configuration ...\n"
                                     "\tOpen conf/config.json configuration file and verify the "
                                     "settings.\n"
                                     "\033[92mKorvane environment created in: env.\033[0m\n");
        for (const char *d : {"", "/conf", "/logs", "/var", "/plugins", "/storage.mgr",
                              "/storage.db", "/storage.db/data"})
            EXPECT_EQ(mode_of(env + d), 0700u) << d;
        EXPECT_EQ(read_file(env + "/storage.db/.database"), std::string("\x30\x06", 2));
        EXPECT_EQ(read_file(env + "/conf/config.json"),
                  read_file(KRV_SOURCE_DIR "/templates/standalone.json"));
        expect_admin(env);
    }
}

TEST(InitCommand, ModeWordAnyCaseAndTrailingSlashes) {
    TempDir tmp;
    RunResult r = run_korvane({"init", "--mode", "DataBase", "env//"}, tmp.path());
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("created in: env//."), std::string::npos) << r.out;
    EXPECT_EQ(mode_of(tmp.sub("env")), 0700u);
}

TEST(InitCommand, Refusals) {
    const struct {
        const char *name;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {"no directory word",
         {"init", "--mode=database"},
         "\033[91mError! Korvane directory not specified!\033[0m\n"},
        {"existing directory",
         {"init", "--mode=database", "taken"},
         "\033[91mDirectory taken already exists.\033[0m\n"},
        {"existing directory with trailing slashes",
         {"init", "--mode=database", "taken///"},
         "\033[91mDirectory taken/// already exists.\033[0m\n"},
        {"existing file",
         {"init", "--mode=database", "plain"},
         "\033[91mDirectory plain already exists.\033[0m\n"},
        {"path through a file",
         {"init", "--mode=database", "plain/env"},
         "\033[91mplain/env : Not a directory.\033[0m\n"},
        {"bad mode word",
         {"init", "--mode=master", "env"},
         "\033[91mInvalid option mode value: master\033[0m\n"
         "\033[91mKorvane startup failure.\033[0m\n"},
        {"existing directory, manager mode",
         {"init", "--mode=manager", "taken"},
         "\033[91mDirectory taken already exists.\033[0m\n"},
        {"existing directory, no mode",
         {"init", "taken"},
         "\033[91mDirectory taken already exists.\033[0m\n"},
        {"missing parent",
         {"init", "--mode=database", "absent/env"},
         kCreating + "\033[91mInitialization error: No such file or directory.\033[0m\n" + kFailed},
        {"missing parent, manager mode",
         {"init", "--mode=manager", "absent/env"},
         kCreating + "\033[91mInitialization error: No such file or directory.\033[0m\n" + kFailed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        ASSERT_EQ(mkdir(tmp.sub("taken").c_str(), 0755), 0);
        write_file(tmp.sub("plain"), "x");
        RunResult r = run_korvane(c.args, tmp.path());
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, c.out);
        // Nothing new appears, and the existing directory stays empty.
        std::vector<std::string> names = entries(tmp.path());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"plain", "taken"}));
        EXPECT_TRUE(entries(tmp.sub("taken")).empty());
        EXPECT_EQ(mode_of(tmp.sub("taken")), 0755u);
    }
}

} // namespace
