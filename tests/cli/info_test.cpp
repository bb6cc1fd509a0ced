// The info command run as a process on environments made by init, their storage filled
// through the Database store and the Manager API.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/db_server.h"
#include "database/peer_client.h"
#include "database/store/agents.h"
#include "manager/configs.h"
#include "manager/mgr_support.h"
#include "support/test_support.h"

namespace {

std::string rep(char c, size_t n) {
    return std::string(n, c);
}

// The parts every listing of a kind of environment starts or ends with.
const std::string kDatabaseBanner =
    "\033[94m\n  " + rep('*', 50) + " DATABASE STORAGE " + rep('*', 50) + "\n\n\033[0m\n";
const std::string kManagerBanner =
    "\033[94m\n " + rep('*', 51) + " MANAGER STORAGE " + rep('*', 51) + "\n\n\033[0m\n";
// The symbol counts of a store that has none.
const std::string kNoSymbols =
    "\033[96m THREADS                     CLASSES                       METHODS                  "
    "     KEYS\n\033[0m" +
    rep('-', 120) + "\n" + rep(' ', 26) + "0 | " + rep(' ', 26) + "0 | " + rep(' ', 26) + "0 | " +
    rep(' ', 27) + "0 |\n" + rep('-', 120) + "\n\n\n";
const std::string kDatabaseEnd = "\033[0m\n\033[0m\n";
const std::string kManagerAgentsHead =
    "\033[96m TYPE   AGENT                              PROFILE                            "
    "DATABASE\n\033[0m\033[0m" +
    rep('-', 120) + "\033[0m\n";
const std::string kManagerAgentsEnd = "\033[0m" + rep('-', 120) + "\n\n\033[0m\n";
const std::string kStandaloneAgentsHead =
    "\033[96m TYPE   AGENT                              PROFILE\n\033[0m\033[0m" + rep('-', 77) +
    "\033[0m\n";
const std::string kStandaloneAgentsEnd = "\033[0m" + rep('-', 77) + "\n\n\033[0m\n";
const std::string kConfigsHead =
    "\033[96m ACTIVE   LABEL                                      CREATED "
    "BY                         CREATED AT             ACTIVATED "
    "AT\n\033[0m\033[0m" +
    rep('-', 132) + "\033[0m\n";
const std::string kConfigsEnd = "\033[0m" + rep('-', 132) + "\n\033[0m\n";

// An environment of one mode made by init under a temporary directory.
class InfoEnv : public testing::Test {
protected:
    TempDir dir;
    std::string env = dir.sub("env");

    // Configuration times are shown in local time; the commands run here inherit this.
    void SetUp() override { setenv("TZ", "UTC", 1); }

    void make(const char *mode) {
        RunResult r = run_korvane({"init", std::string("--mode=") + mode, "env"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.out;
    }

    // Runs fn in a child inside the environment; the child fails when fn does.
    void in_env(const std::function<void()> &fn) const {
        RunResult r = run_forked([&] {
            if (chdir(env.c_str()) != 0)
                _exit(2);
            fn();
            _exit(testing::Test::HasFailure() ? 1 : 0);
        });
        ASSERT_EQ(r.exit_code, 0) << r.out;
    }

    // Works on the environment's Manager storage through its API, in a child.
    void with_storage(const std::function<void(mgr_storage *)> &fn) const {
        in_env([&] {
            mgr_storage *s = mgr_storage_open();
            ASSERT_NE(s, nullptr);
            fn(s);
            mgr_storage_close(s);
        });
    }

    RunResult info(const std::vector<std::string> &args) const {
        std::vector<std::string> words{"info"};
        words.insert(words.end(), args.begin(), args.end());
        return run_korvane(words, dir.path());
    }
};

// Registers an agent as its hello would, with its Database address ("" for none).
mgr_agent register_agent(mgr_storage *s, uint8_t type, const std::string &label,
                         const char *db = "") {
    const mgr_agent a = agent_rec(type, label, db);
    const mgr_agent got = acache_add(s, &a);
    EXPECT_EQ(got.aid, a.aid) << label;
    return got;
}

// Stores a configuration draft as a client's first save does.
void store_config(mgr_storage *s, uint64_t id, const char *label, const char *author,
                  uint64_t createdat) {
    std::string bytes = std::string("config of ") + label;
    mgr_config c{};
    c.info.id1 = id;
    c.info.id2 = id + 100;
    c.info.createdat = createdat;
    memcpy(c.info.author, author, strnlen(author, sizeof c.info.author - 1));
    memcpy(c.info.label, label, strnlen(label, sizeof c.info.label - 1));
    c.blob = reinterpret_cast<uint8_t *>(bytes.data());
    c.size = bytes.size();
    EXPECT_EQ(cfg_store_draft(s, &c), 0) << label;
}

// 3 May 2021 14:05:00 UTC in milliseconds.
constexpr uint64_t kCreated = 1620050700000;

TEST_F(InfoEnv, ManagerListsAgentsAndConfigurations) {
    make("manager");
    // A label of 20 characters in 22 bytes: "Zürich-Genève-config".
    const char *utf8_label = "Z\xc3\xbc"
                             "rich-Gen\xc3\xa8"
                             "ve-config";
    with_storage([&](mgr_storage *s) {
        // Registration order differs from the listing's byte order of labels.
        register_agent(s, AGENT_TYPE_JVM, "app1", "10.0.0.1:9000");
        register_agent(s, AGENT_TYPE_JVM, "a");
        const mgr_agent b = register_agent(s, AGENT_TYPE_FCA, "B", "[::1]:7000");
        register_agent(s, AGENT_TYPE_JVM, "app2-abcdefghijklmnopqrstuvwxyz012345678");
        register_agent(s, AGENT_TYPE_JVM, "app3-abcdefghijklmnopqrstuvwxy");
        const mgr_agent esc = register_agent(s, 7, "app4\033]0;x\007", "10.0.0.2:9001");

        store_config(s, 1, "Prod", "alice", kCreated);
        store_config(s, 2, utf8_label, "carol", kCreated);
        store_config(s, 3, "b\033[1m", "eve\007", kCreated);
        store_config(s, 4, "Active one", "alice", kCreated);
        store_config(s, 5, "A", "bob", 1620000000000);
        ASSERT_EQ(cfg_activate(s, 4, 104), 0);
        uint64_t to_b[] = {b.aid};
        ASSERT_EQ(acache_attach_cfg(s, 0, 4, 104, to_b, 1), 0);
        uint64_t to_esc[] = {esc.aid};
        ASSERT_EQ(acache_attach_cfg(s, 0, 3, 103, to_esc, 1), 0);
        // The activation's time, fixed for the comparison: 3 May 2021 15:05:00 UTC.
        sql_exec(s->db, "UPDATE CONFIGURATIONS SET lastupdate=1620054300 WHERE uuid1=4;");
    });

    const RunResult r = info({"--storage", "env"});
    EXPECT_EQ(r.exit_code, 0);
    const std::string agents =
        "\033[0m FCA  | B" + rep('.', 31) + " | Active one" + rep('.', 22) + " | [::1]:7000" +
        rep(' ', 30) + " |\033[0m\n" +
        // Without a Database after one with it: the column stays empty.
        "\033[0m JVM  | a" + rep('.', 31) + " | " + rep('.', 32) + " | " + rep(' ', 40) +
        " |\033[0m\n" +
        "\033[0m JVM  | app1............................ | ................................ | "
        "10.0.0.1:9000                            |\033[0m\n"
        // 40 characters: the first 32 and no dots; 30 characters: two dots.
        "\033[0m JVM  | app2-abcdefghijklmnopqrstuvwxyz0 | " +
        rep('.', 32) + " | " + rep(' ', 40) + " |\033[0m\n" +
        "\033[0m JVM  | app3-abcdefghijklmnopqrstuvwxy.. | " + rep('.', 32) + " | " + rep(' ', 40) +
        " |\033[0m\n" +
        // Control bytes of labels show as '?'.
        "\033[0m ---  | app4?]0;x?" + rep('.', 22) + " | b?[1m" + rep('.', 27) +
        " | 10.0.0.2:9001" + rep(' ', 27) + " |\033[0m\n";
    const std::string configs =
        "\033[0m       | A" + rep('.', 39) + " | bob" + rep('.', 29) +
        " | 03 May 2021 00:00:00 | -                    |\033[0m\n" + "\033[0m   *   | Active one" +
        rep('.', 30) + " | alice" + rep('.', 27) +
        " | 03 May 2021 14:05:00 | 03 May 2021 15:05:00 |\033[0m\n" + "\033[0m       | b?[1m" +
        rep('.', 35) + " | eve?" + rep('.', 28) +
        " | 03 May 2021 14:05:00 | -                    |\033[0m\n" +
        "\033[0m       | Prod.................................... | "
        "alice........................... | 03 May 2021 14:05:00 | -                    "
        "|\033[0m\n" +
        "\033[0m       | " + utf8_label + rep('.', 20) + " | carol" + rep('.', 27) +
        " | 03 May 2021 14:05:00 | -                    |\033[0m\n";
    EXPECT_EQ(r.out, kManagerBanner + kManagerAgentsHead + agents + kManagerAgentsEnd +
                         kConfigsHead + configs + kConfigsEnd);
}

TEST_F(InfoEnv, DatabaseListsSymbolsAndAgentData) {
    make("database");
    const RunResult empty = info({"--storage", "env"});
    EXPECT_EQ(empty.exit_code, 0);
    EXPECT_EQ(empty.out, kDatabaseBanner + kNoSymbols + "\033[91mNo agent data found.\033[0m\n" +
                             kDatabaseEnd);

    // A store whose data directory is gone: the listing fails and so does the command.
    ASSERT_EQ(rmdir((env + "/storage.db/data").c_str()), 0);
    const RunResult failed = info({"--storage", "env"});
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(failed.out, kDatabaseBanner + kNoSymbols);
}

TEST_F(InfoEnv, StandaloneListsTheDatabaseThenTheManager) {
    make("standalone");
    in_env([] {
        const std::string id = identity_bytes(AGENT_TYPE_JVM, "store-agent");
        const uint64_t aid = agent_id_of(as_bytes(id));
        ASSERT_EQ(agent_save(as_bytes(id), aid), 0);
        write_file(agent_dir(aid) + "/mc/18750.0", rep('c', 300));
        write_file(agent_dir(aid) + "/mc/18750.0.x", rep('p', 100));
    });
    with_storage([](mgr_storage *s) {
        register_agent(s, AGENT_TYPE_JVM, "app1", "10.0.0.1:9000");
        const mgr_agent z = register_agent(s, AGENT_TYPE_FCA, "zed");
        store_config(s, 1, "Prod", "alice", kCreated);
        uint64_t to_z[] = {z.aid};
        ASSERT_EQ(acache_attach_cfg(s, 0, 1, 101, to_z, 1), 0);
    });

    const RunResult r = info({"env", "--storage"});
    EXPECT_EQ(r.exit_code, 0);
    const std::string data =
        "\033[96m TYPE   AGENT                              C[%]     C+P[%]   C+P[B]     KV[B]   "
        "   FROM               THROUGH\n\033[0m" +
        rep('-', 120) +
        "\n JVM  | store-agent..................... |  75.00 |  25.00 | 400.00   |   0.00   | "
        "Mon, 03 May 2021 | Mon, 03 May 2021 |\n" +
        rep('-', 120) + "\n\033[95m TOTAL 1" + rep(' ', 33) +
        "   75.00    25.00   400.00       0.00     Mon, 03 May 2021   Mon, 03 May 2021\n\033[0m"
        "\033[0m\n\033[0m\n";
    // No DATABASE column: the agent's own address is the server's.
    const std::string agents =
        "\033[0m JVM  | app1............................ | ................................ "
        "|\033[0m\n"
        "\033[0m FCA  | zed............................. | Prod............................ "
        "|\033[0m\n";
    const std::string configs = "\033[0m       | Prod.................................... | "
                                "alice........................... | 03 May 2021 14:05:00 | "
                                "-                    |\033[0m\n";
    EXPECT_EQ(r.out, kDatabaseBanner + kNoSymbols + data + kDatabaseEnd + kManagerBanner +
                         kStandaloneAgentsHead + agents + kStandaloneAgentsEnd + kConfigsHead +
                         configs + kConfigsEnd);
}

TEST_F(InfoEnv, WithoutStorageNothingIsPrinted) {
    for (const char *mode : {"database", "manager", "standalone"}) {
        TempDir other;
        RunResult made = run_korvane({"init", std::string("--mode=") + mode, "env"}, other.path());
        ASSERT_EQ(made.exit_code, 0) << mode;
        const RunResult r = run_korvane({"info", "env"}, other.path());
        EXPECT_EQ(r.exit_code, 0) << mode;
        EXPECT_EQ(r.out, "") << mode;
    }
}

TEST_F(InfoEnv, OptionPrefixesAndPlacesBehaveAlike) {
    make("database");
    const RunResult full = info({"--storage", "env"});
    ASSERT_EQ(full.exit_code, 0);
    for (const auto &args :
         {std::vector<std::string>{"--stor", "env"}, std::vector<std::string>{"env", "--stor"},
          std::vector<std::string>{"env//", "--storage"}}) {
        const RunResult r = info(args);
        EXPECT_EQ(r.exit_code, 0) << args[0];
        EXPECT_EQ(r.out, full.out) << args[0];
    }
    // verbose sends the log lines to out.log in the directory the command runs in.
    const RunResult verbose = info({"--verbose", "--storage", "env"});
    EXPECT_EQ(verbose.out, full.out);
    struct stat st;
    EXPECT_EQ(stat(dir.sub("out.log").c_str(), &st), 0);
}

TEST_F(InfoEnv, RefusedDirectories) {
    ASSERT_EQ(mkdir(env.c_str(), 0700), 0);
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"--storage", "env"}, "\033[91mError! Not a Korvane environment directory: env\033[0m\n"},
        {{"--storage", "missing"}, "\033[91mError! No such file or directory : missing.\033[0m\n"},
        {{"--storage"}, ""},
        {{"--storage", "--bogus", "env"}, ""},
    };
    for (const auto &c : cases) {
        const RunResult r = info(c.args);
        EXPECT_EQ(r.exit_code, 1) << c.args.back();
        EXPECT_EQ(r.out, c.out) << c.args.back();
    }
}

TEST_F(InfoEnv, ManagerStorageThatCannotBeOpened) {
    make("manager");
    for (const std::string &content : {std::string(), std::string("not a database", 14)}) {
        unlink((env + "/storage.mgr/storage").c_str());
        if (!content.empty())
            write_file(env + "/storage.mgr/storage", content + rep('x', 1000));
        const RunResult r = info({"--storage", "env"});
        EXPECT_EQ(r.exit_code, 1) << content;
        EXPECT_EQ(r.out, kManagerBanner + "\033[91mCannot open the manager storage.\033[0m\n")
            << content;
    }
}

// A Standalone server run by `korvane start` on an environment made by init, listening on
// 127.0.0.1 and a free port.
class InfoBesideServer : public DatabaseServer {
protected:
    void SetUp() override {
        RunResult r = run_korvane({"init", "env"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.out;
        write_file(env + "/conf/config.json",
                   "{\"server\": {\"host\": \"127.0.0.1\", \"port\": " + std::to_string(port) +
                       "}, \"archive\": {\"enable\": false, \"policy\": \"archive\"}}");
    }
};

TEST_F(InfoBesideServer, ListsWhatARunningStandaloneServerHolds) {
    start();
    // An agent reports to the server's Database side and stores a root call.
    const std::string identity = identity_bytes(AGENT_TYPE_JVM, "live-agent");
    const uint64_t aid = agent_id_of(as_bytes(identity));
    PeerClient agent(port);
    ASSERT_TRUE(agent.send({agent_hello(be(utc_time(10, 0), 8) + identity)}));
    ASSERT_TRUE(agent.next().has_value());
    const uint64_t key = uint64_t{1} << 44 | utc_time(10, 0);
    ASSERT_TRUE(
        agent.send({AgentData()
                        .sym(AREC_SYM_CLASS, 1, "Shop")
                        .sym(AREC_SYM_METHOD, 1, "checkout")
                        .sym(AREC_SYM_THREAD, 1, "http-1")
                        .message(),
                    AgentData()
                        .call(Call{CALL_F_ROOT, key, 1, 1, 0, 0, utc_time(10, 0), 0, 5, be(1, 4)})
                        .message()}));
    const std::string hour_file = env + "/" + agent_dir(aid) + "/mc/19783.10";
    ASSERT_TRUE(eventually([&] { return read_file(hour_file).size() > 0; }, 10));

    // Agents registered at the Manager side while the server runs. Agent hellos to the
    // Manager are not in this build, so the agents cache registers them as a hello would.
    RunResult reg = run_forked([&] {
        if (chdir(env.c_str()) != 0)
            _exit(2);
        mgr_storage *s = mgr_storage_open();
        if (s == nullptr)
            _exit(3);
        const mgr_agent a = agent_rec(AGENT_TYPE_JVM, "live-agent", "127.0.0.1:9000");
        const mgr_agent b = agent_rec(AGENT_TYPE_FCA, "other-agent");
        const bool ok = acache_add(s, &a).aid == a.aid && acache_add(s, &b).aid == b.aid;
        mgr_storage_close(s);
        _exit(ok ? 0 : 4);
    });
    ASSERT_EQ(reg.exit_code, 0);

    const RunResult r = run_korvane({"info", "--storage", env});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("\n JVM  | live-agent...................... | 100.00 |   0.00 | "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("| Fri, 01 Mar 2024 | Fri, 01 Mar 2024 |\n"), std::string::npos);
    EXPECT_NE(r.out.find("\033[0m JVM  | live-agent...................... | " + rep('.', 32) +
                         " |\033[0m\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\033[0m FCA  | other-agent..................... | " + rep('.', 32) +
                         " |\033[0m\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(kManagerBanner + kStandaloneAgentsHead), r.out.find(kManagerBanner));
}

} // namespace
