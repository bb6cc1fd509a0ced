// The agent command run as a process on environments made by init: its command lines, its
// two questions, the agents it chooses, reroutes straight into a stopped Manager's storage
// or through a running Manager's control channel, and removals from each kind of
// environment.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/agents.h"
#include "lib/files.h"
#include "manager/acache.h"
#include "manager/mgr_server.h"
#include "manager/mgr_support.h"

namespace {

std::string red(const std::string &text) {
    return "\033[91m" + text + "\033[0m\n";
}

const std::string kRerouteTitle = "\033[92m\tThe following agents will be rerouted:\033[0m\n";
const std::string kDeleteTitle = "\033[92m\tThe following agents will be deleted:\033[0m\n";
const std::string kRerouteQuestion = "\033[92m\tProceed? [y/n] (n): \033[0m";
const std::string kDeleteQuestion = "\033[92m\tProceed? [y/n] (y): \033[0m";
const std::string kRerouted = "\033[92m\033[0m\n";
const std::string kServerRuns = red("Another Korvane instance already running.");

std::string row(const char *type, const std::string &label) {
    return std::string("\033[96m\t\t: [") + type + "] " + label + "\033[0m\n";
}
std::string deleted(const std::string &label) {
    return "\033[92m\tAgent [" + label + "] deleted successfully.\033[0m\n";
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string hex16(uint64_t v) {
    char t[17];
    snprintf(t, sizeof t, "%016lX", static_cast<unsigned long>(v));
    return t;
}

RunResult agent_cmd(const std::vector<std::string> &args, const std::string &input = "") {
    std::vector<std::string> all{"agent"};
    all.insert(all.end(), args.begin(), args.end());
    return run_korvane_input(all, input);
}

// Runs fn in a child whose working directory is the environment.
void in_env(const std::string &env, const std::function<void()> &fn) {
    const RunResult r = run_forked([&] {
        if (chdir(env.c_str()) != 0)
            _exit(2);
        fn();
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

struct test_agent {
    uint8_t type;
    std::string label;
};

uint64_t aid_of(const test_agent &a) {
    return agent_id(a.type, a.label);
}

// The agent in the Manager storage's cache and table.
void register_agents(const ManagerServer &env, const std::vector<test_agent> &agents,
                     const char *db = "10.0.0.1:9000") {
    env.prepare([&](mgr_storage *s) {
        for (const test_agent &a : agents) {
            const mgr_agent rec = agent_rec(a.type, a.label, db);
            ASSERT_EQ(acache_add(s, &rec).aid, rec.aid) << a.label;
        }
    });
}

// The agent's directory and identity file in the data store.
void store_agents(const std::string &env, const std::vector<test_agent> &agents) {
    in_env(env, [&] {
        for (const test_agent &a : agents) {
            const std::string id = identity_bytes(a.type, a.label);
            ASSERT_EQ(agent_save(reinterpret_cast<const uint8_t *>(id.data()), aid_of(a)), 0);
        }
    });
}

std::string agent_dir(const std::string &env, const test_agent &a) {
    return env + "/storage.db/data/" + hex16(aid_of(a));
}

std::string pidfile(const ManagerServer &env) {
    return env.env() + "/var/korvane.pid";
}

// Holds the lock of a pid file as a running server does, for as long as it lives.
class PidLock {
public:
    explicit PidLock(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_CREAT, 0600)) {
        EXPECT_EQ(sys_write_trylock(fd_), 0);
    }
    ~PidLock() { close(fd_); }

private:
    int fd_;
};

const test_agent kApp1{AGENT_TYPE_JVM, "app1"};
const test_agent kApp2{AGENT_TYPE_JVM, "app2"};

// The 57 characters of an address the parser takes, and one character more.
const std::string kLongest = "[ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255]:000009100";
const std::string kTooLong = "[ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255]:0000009100";

TEST(AgentCommand, CommandLinesThatStopWithStatusOne) {
    ManagerServer mgr("manager"), standalone("standalone"), database("database");
    register_agents(mgr, {kApp1});
    ASSERT_EQ(kLongest.size(), 57u);
    const std::string m = mgr.env(), sa = standalone.env(), db = database.env();
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, red("Too few arguments!")},
        {{"move", m}, red("Invalid agent action specified: move")},
        {{"RM", "--agent-type=Java", m}, red("Invalid option --agent-type value: Java.")},
        {{"reroute", "--database=10.0.0.9:9000", sa},
         red("Agents rerouting is forbidden in the standalone mode.")},
        {{"reroute", "--database", kTooLong, m}, red("Database address too long.")},
        {{"reroute", "--database", kLongest, "--pattern=^none$", m}, red("No agents found.")},
        {{"reroute", "--database=10.0.0.9", m}, red("Invalid database address: 10.0.0.9")},
        {{"reroute", "--database=10.0.0.9:65536", m},
         red("Invalid database address: 10.0.0.9:65536")},
        // Without the address nothing else is looked at, not even the directory.
        {{"reroute", m}, red("Missing --database option!")},
        {{"Reroute", "/nonexistent"}, red("Missing --database option!")},
        {{"reroute", "--database=10.0.0.9:9000", "--pattern", "(", m},
         red("Error! Incorrect expression for the agents pattern.")},
        {{"rm", "--pattern=(", m}, red("Error! Incorrect expression for the agents pattern.")},
        {{"reroute", "--database=10.0.0.9:9000", "--pattern=^app2$", m}, red("No agents found.")},
        {{"rm", "--agent-type=free", m}, red("No matching agents found!")},
        {{"rm", "--pattern=^none", db}, red("No matching agents found!")},
        {{"reroute", "--database=10.0.0.9:9000", db}, red("Cannot open the manager storage.")},
        {{"rm", m + "/missing"}, red("Error! No such file or directory : " + m + "/missing.")},
        {{"rm"}, ""},
    };
    for (const auto &c : cases) {
        std::string name;
        for (const std::string &a : c.args)
            name += a + " ";
        const RunResult r = agent_cmd(c.args);
        EXPECT_EQ(r.exit_code, 1) << name;
        EXPECT_EQ(r.out, c.out) << name;
        EXPECT_EQ(r.err, "") << name;
        for (const std::string &env : {m, sa, db})
            EXPECT_FALSE(exists(env + "/var/korvane.pid")) << name;
    }
    EXPECT_EQ(mgr.rows("SELECT label, db FROM AGENTS;"),
              std::vector<std::string>{"app1|10.0.0.1:9000"});
    const RunResult bogus = agent_cmd({"rm", "--bogus", m});
    EXPECT_EQ(bogus.exit_code, 1);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(bogus.err, "rm: unrecognized option '--bogus'\n");
}

// The agents the selection tables choose from, in both sources.
const std::vector<test_agent> kMixed = {
    {AGENT_TYPE_JVM, "app2"}, {AGENT_TYPE_JVM, "app10"},      {AGENT_TYPE_JVM, "Zeta"},
    {AGENT_TYPE_FCA, "app1"}, {AGENT_TYPE_FCA, "free-agent"}, {AGENT_TYPE_JVM, "ctl\x1b]0;t\x07"},
};

TEST(AgentCommand, PatternAndTypeChooseAgentsInLabelByteOrder) {
    ManagerServer mgr("manager"), database("database");
    register_agents(mgr, kMixed);
    store_agents(database.env(), kMixed);
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> rows; // empty: nothing chosen
    } cases[] = {
        {{},
         {row("JVM", "Zeta"), row("JVM", "app10"), row("JVM", "app2"), row("JVM", "ctl?]0;t?")}},
        {{"--agent-type=java"},
         {row("JVM", "Zeta"), row("JVM", "app10"), row("JVM", "app2"), row("JVM", "ctl?]0;t?")}},
        {{"--agent-type", "free"}, {row("FCA", "app1"), row("FCA", "free-agent")}},
        {{"--pattern=^app"}, {row("JVM", "app10"), row("JVM", "app2")}},
        {{"--pattern=^app", "--agent-type=free"}, {row("FCA", "app1")}},
        {{"--pattern", "[0-9]$"}, {row("JVM", "app10"), row("JVM", "app2")}},
        // Control bytes are matched and shown as '?'.
        {{"--pattern=t\\?$"}, {row("JVM", "ctl?]0;t?")}},
        {{"--pattern=^zeta$"}, {}},
        {{"--pattern=^Zeta$", "--agent-type=free"}, {}},
    };
    for (const auto &c : cases) {
        for (const std::string &env : {mgr.env(), database.env()}) {
            std::vector<std::string> args{"rm"};
            args.insert(args.end(), c.options.begin(), c.options.end());
            args.push_back(env);
            std::string name = env;
            for (const std::string &o : c.options)
                name += " " + o;
            const RunResult r = agent_cmd(args, "n\n");
            if (c.rows.empty()) {
                EXPECT_EQ(r.exit_code, 1) << name;
                EXPECT_EQ(r.out, red("No matching agents found!")) << name;
                continue;
            }
            std::string shown = kDeleteTitle;
            for (const std::string &line : c.rows)
                shown += line;
            EXPECT_EQ(r.exit_code, 0) << name;
            EXPECT_EQ(r.out, shown + kDeleteQuestion) << name;
        }
    }
    EXPECT_EQ(mgr.rows("SELECT count(*) FROM AGENTS;"), std::vector<std::string>{"6"});
    for (const test_agent &a : kMixed)
        EXPECT_TRUE(exists(agent_dir(database.env(), a))) << a.label;
}

struct AnswerCase {
    const char *name;
    std::string input;
    bool proceeds;
};

TEST(AgentCommand, RerouteQuestionWithoutServerWritesTheStorage) {
    ManagerServer mgr("manager");
    register_agents(mgr, {kApp1, kApp2});
    // Only y, in either case, reroutes: "(n)" is the default.
    const AnswerCase cases[] = {
        {"enter", "\n", false},      {"n", "n\n", false}, {"N", "N\n", false},
        {"x", "x\n", false},         {"y", "y\n", true},  {"Y", "Yes\n", true},
        {"end of input", "", false},
    };
    std::string current = "10.0.0.1:9000";
    int serial = 0;
    for (const AnswerCase &c : cases) {
        const std::string target = "10.0.1." + std::to_string(++serial) + ":9000";
        const RunResult r =
            agent_cmd({"reroute", "--database", target, "--pattern=^app1$", mgr.env()}, c.input);
        EXPECT_EQ(r.exit_code, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        const std::string asked = kRerouteTitle + row("JVM", "app1") + kRerouteQuestion;
        EXPECT_EQ(r.out, asked + (c.proceeds ? kRerouted : "")) << c.name;
        if (c.proceeds)
            current = target;
        EXPECT_EQ(mgr.rows("SELECT label, db FROM AGENTS ORDER BY label;"),
                  (std::vector<std::string>{"app1|" + current, "app2|10.0.0.1:9000"}))
            << c.name;
        EXPECT_FALSE(exists(pidfile(mgr))) << c.name;
    }
    // The longest address text there is, stored in its own form.
    const RunResult r = agent_cmd({"reroute", "--database=" + kLongest, mgr.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kRerouteTitle + row("JVM", "app1") + row("JVM", "app2") + kRerouteQuestion +
                         kRerouted);
    EXPECT_EQ(mgr.rows("SELECT DISTINCT db FROM AGENTS;"),
              std::vector<std::string>{"[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:9100"});
    EXPECT_FALSE(exists(pidfile(mgr)));
}

TEST(AgentCommand, FailuresAfterTheQuestionExitOne) {
    ManagerServer mgr("manager");
    register_agents(mgr, {kApp1});
    const std::string asked = kRerouteTitle + row("JVM", "app1") + kRerouteQuestion;
    mgr.prepare([](mgr_storage *s) {
        sql_exec(s->db, "CREATE TRIGGER frozen BEFORE UPDATE ON AGENTS BEGIN SELECT "
                        "RAISE(ABORT, 'frozen'); END;");
    });
    const RunResult failed = agent_cmd({"reroute", "--database=10.0.0.9:9000", mgr.env()}, "y\n");
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(failed.out, asked + red("Agents reroute failed."));
    EXPECT_EQ(mgr.rows("SELECT db FROM AGENTS;"), std::vector<std::string>{"10.0.0.1:9000"});
    EXPECT_FALSE(exists(pidfile(mgr)));

    // A pid file that cannot be taken is no running server.
    ASSERT_EQ(mkdir(pidfile(mgr).c_str(), 0700), 0);
    const std::string unusable = red("Error2! Is a directory: var/korvane.pid");
    const RunResult reroute = agent_cmd({"reroute", "--database=10.0.0.9:9000", mgr.env()}, "y\n");
    EXPECT_EQ(reroute.exit_code, 1);
    EXPECT_EQ(reroute.out, asked + unusable);
    const RunResult rm = agent_cmd({"rm", mgr.env()}, "y\n");
    EXPECT_EQ(rm.exit_code, 1);
    EXPECT_EQ(rm.out, unusable);
    EXPECT_EQ(mgr.rows("SELECT label, db FROM AGENTS;"),
              std::vector<std::string>{"app1|10.0.0.1:9000"});
}

TEST(AgentCommand, RemovalQuestion) {
    ManagerServer mgr("manager");
    // Enter and y delete ("(y)" is the default); no answer at all deletes nothing.
    const AnswerCase cases[] = {
        {"enter", "\n", true},       {"n", "n\n", false}, {"N", "N\n", false},
        {"x", "x\n", false},         {"y", "y\n", true},  {"Y", "Y\n", false},
        {"end of input", "", false},
    };
    for (const AnswerCase &c : cases) {
        if (mgr.rows("SELECT count(*) FROM AGENTS;") == std::vector<std::string>{"0"})
            register_agents(mgr, {kApp1});
        const RunResult r = agent_cmd({"rm", mgr.env()}, c.input);
        EXPECT_EQ(r.exit_code, 0) << c.name;
        EXPECT_EQ(r.out, kDeleteTitle + row("JVM", "app1") + kDeleteQuestion +
                             (c.proceeds ? deleted("app1") : ""))
            << c.name;
        EXPECT_EQ(mgr.rows("SELECT label FROM AGENTS;"),
                  c.proceeds ? std::vector<std::string>{} : std::vector<std::string>{"app1"})
            << c.name;
        EXPECT_FALSE(exists(pidfile(mgr))) << c.name;
    }
}

TEST(AgentCommand, RemovalFromADatabaseEnvironmentRemovesTheDirectories) {
    ManagerServer database("database");
    store_agents(database.env(), {kApp1, kApp2});
    const RunResult r = agent_cmd({"rm", "--pattern=^app1$", database.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kDeleteTitle + row("JVM", "app1") + kDeleteQuestion + deleted("app1"));
    EXPECT_FALSE(exists(agent_dir(database.env(), kApp1)));
    EXPECT_TRUE(exists(agent_dir(database.env(), kApp2) + "/korvane.id"));
    EXPECT_FALSE(exists(pidfile(database)));
}

TEST(AgentCommand, RemovalFromAManagerEnvironmentRemovesTheRows) {
    ManagerServer mgr("manager");
    register_agents(mgr, {kApp1, kApp2});
    const RunResult r = agent_cmd({"rm", "--pattern=1$", mgr.env()}, "\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kDeleteTitle + row("JVM", "app1") + kDeleteQuestion + deleted("app1"));
    EXPECT_EQ(mgr.rows("SELECT label FROM AGENTS;"), std::vector<std::string>{"app2"});
    EXPECT_FALSE(exists(mgr.env() + "/storage.db"));
}

// A Standalone environment holding app1 and app2 in its storage (each banned for admin) and
// in its data store.
class StandaloneRemoval : public ::testing::Test {
protected:
    void SetUp() override {
        register_agents(env, {kApp1, kApp2});
        env.prepare([](mgr_storage *s) {
            for (const test_agent &a : {kApp1, kApp2})
                sql_exec(s->db, "INSERT INTO BANNED VALUES('admin', " +
                                    std::to_string(static_cast<int64_t>(aid_of(a))) + ");");
        });
        store_agents(env.env(), {kApp1, kApp2});
    }
    std::vector<std::string> banned() const {
        return env.rows("SELECT A.label FROM BANNED AS B JOIN AGENTS AS A ON B.agent = A.aid "
                        "ORDER BY A.label;");
    }

    ManagerServer env{"standalone"};
};

TEST_F(StandaloneRemoval, RemovesTheCacheEntryTheRowsAndTheData) {
    const RunResult r = agent_cmd({"rm", "--pattern=^app1$", env.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kDeleteTitle + row("JVM", "app1") + kDeleteQuestion + deleted("app1"));
    EXPECT_EQ(env.rows("SELECT label FROM AGENTS;"), std::vector<std::string>{"app2"});
    EXPECT_EQ(env.rows("SELECT count(*) FROM BANNED;"), std::vector<std::string>{"1"});
    EXPECT_EQ(banned(), std::vector<std::string>{"app2"});
    EXPECT_FALSE(exists(agent_dir(env.env(), kApp1)));
    EXPECT_TRUE(exists(agent_dir(env.env(), kApp2)));
    EXPECT_FALSE(exists(pidfile(env)));
}

TEST_F(StandaloneRemoval, AnAgentThatNeverReportedToTheStoreHasNothingToRemove) {
    const test_agent absent{AGENT_TYPE_JVM, "app3"};
    register_agents(env, {absent});
    const RunResult r = agent_cmd({"rm", "--pattern=^app3$", env.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kDeleteTitle + row("JVM", "app3") + kDeleteQuestion + deleted("app3"));
    EXPECT_EQ(env.rows("SELECT count(*) FROM AGENTS;"), std::vector<std::string>{"2"});
}

TEST_F(StandaloneRemoval, AnAgentThatCannotBeRemovedFailsTheCommandAfterTheOthers) {
    // app1's identity file names another type: its data is not app1's to remove.
    in_env(env.env(), [] {
        const std::string other = identity_bytes(AGENT_TYPE_FCA, "app1");
        write_file("storage.db/data/" + hex16(aid_of(kApp1)) + "/korvane.id", other);
    });
    const RunResult r = agent_cmd({"rm", env.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kDeleteTitle + row("JVM", "app1") + row("JVM", "app2") + kDeleteQuestion +
                         red("Cannot delete app1") + deleted("app2"));
    EXPECT_TRUE(exists(agent_dir(env.env(), kApp1) + "/korvane.id"));
    EXPECT_FALSE(exists(agent_dir(env.env(), kApp2)));
    EXPECT_FALSE(exists(pidfile(env)));
}

// The store's removal leaves a directory holding a hidden entry in place and still reports
// success: the directory that stays is what tells.
TEST_F(StandaloneRemoval, DataThatStaysIsNotReportedDeleted) {
    write_file(agent_dir(env.env(), kApp1) + "/.keep", "x");
    const RunResult r = agent_cmd({"rm", env.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kDeleteTitle + row("JVM", "app1") + row("JVM", "app2") + kDeleteQuestion +
                         red("Cannot delete app1") + deleted("app2"));
    EXPECT_TRUE(exists(agent_dir(env.env(), kApp1) + "/.keep"));
    EXPECT_FALSE(exists(agent_dir(env.env(), kApp2)));
}

TEST_F(StandaloneRemoval, AnAgentWhoseRowStaysKeepsItsData) {
    env.prepare([](mgr_storage *s) {
        sql_exec(s->db, "CREATE TRIGGER keep_app2 BEFORE DELETE ON AGENTS WHEN old.label = "
                        "'app2' BEGIN SELECT RAISE(ABORT, 'kept'); END;");
    });
    const RunResult r = agent_cmd({"rm", env.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kDeleteTitle + row("JVM", "app1") + row("JVM", "app2") + kDeleteQuestion +
                         deleted("app1") + red("Cannot delete app2"));
    EXPECT_EQ(env.rows("SELECT label FROM AGENTS;"), std::vector<std::string>{"app2"});
    EXPECT_EQ(banned(), std::vector<std::string>{"app2"});
    EXPECT_FALSE(exists(agent_dir(env.env(), kApp1)));
    EXPECT_TRUE(exists(agent_dir(env.env(), kApp2) + "/korvane.id"));
}

// Another command (or a respawning service) holds the pid file while a service that is gone
// left its FIFO behind: the reroute fails at once instead of waiting for a reader.
TEST(AgentCommand, HeldPidFileBesideALeftOverFifo) {
    ManagerServer mgr("manager");
    register_agents(mgr, {kApp1});
    ASSERT_EQ(mkfifo((mgr.env() + "/var/korvane.sock").c_str(), 0600), 0);
    PidLock held(pidfile(mgr));
    const RunResult r = agent_cmd({"reroute", "--database=10.0.0.9:9000", mgr.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, kRerouteTitle + row("JVM", "app1") + kRerouteQuestion + kServerRuns +
                         red("Error: No such device or address") +
                         red("Unable to reroute agents!"));
    EXPECT_EQ(mgr.rows("SELECT db FROM AGENTS;"), std::vector<std::string>{"10.0.0.1:9000"});
    EXPECT_TRUE(exists(pidfile(mgr)));
}

TEST(MgrAgentCmdServer, RerouteThroughTheRunningManager) {
    ManagerServer srv("manager");
    const test_agent absent{AGENT_TYPE_JVM, "absent-agent"};
    register_agents(srv, {absent});
    srv.start();
    MgrAgentHello hello;
    hello.label = "stand-in";
    std::unique_ptr<Peer> agent = srv.agent(hello);
    const std::string master_pid = read_file(pidfile(srv));

    const RunResult r = agent_cmd({"reroute", "--database=10.1.2.3:9100", srv.env()}, "y\n");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out, kRerouteTitle + row("JVM", "absent-agent") + row("JVM", "stand-in") +
                         kRerouteQuestion + kServerRuns + kRerouted);
    // Command 5 with 10.1.2.3:9100, family and port big-endian: 28 bytes.
    const Bytes command5("\x05\x00\x00\x00\x1c"
                         "\x00\x00\x00\x00\x00\x00\x00\x05"
                         "\x00\x02\x23\x8c\x0a\x01\x02\x03"
                         "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00",
                         33);
    EXPECT_EQ(agent->expect_next(), command5);
    EXPECT_TRUE(eventually([&] {
        return srv.rows("SELECT label, db FROM AGENTS ORDER BY label;") ==
               std::vector<std::string>{"absent-agent|10.1.2.3:9100", "stand-in|10.1.2.3:9100"};
    })) << srv.log();
    // The server's pid file is the server's.
    EXPECT_EQ(read_file(pidfile(srv)), master_pid);

    // Removing is refused while the server runs.
    const RunResult rm = agent_cmd({"rm", srv.env()}, "y\n");
    EXPECT_EQ(rm.exit_code, 1);
    EXPECT_EQ(rm.out, kServerRuns + red("Cannot remove agents data while the server is running."));
    EXPECT_EQ(srv.rows("SELECT count(*) FROM AGENTS;"), std::vector<std::string>{"2"});

    // More agents than one record holds.
    std::vector<test_agent> more;
    for (int i = 0; i < 123; i++)
        more.push_back({AGENT_TYPE_JVM, "more-" + std::to_string(i)});
    register_agents(srv, more);
    const RunResult many = agent_cmd({"reroute", "--database=10.9.9.9:9100", srv.env()}, "y\n");
    EXPECT_EQ(many.exit_code, 1);
    EXPECT_EQ(count_of(many.out, "\033[96m\t\t: [JVM] "), 125u);
    const std::string refused = kServerRuns + red("Too many agents!");
    ASSERT_GE(many.out.size(), refused.size());
    EXPECT_EQ(many.out.substr(many.out.size() - refused.size()), refused);
    EXPECT_EQ(srv.rows("SELECT count(*) FROM AGENTS WHERE db = '10.9.9.9:9100';"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(read_file(pidfile(srv)), master_pid);
    EXPECT_EQ(srv.count("Agents reroute failure."), 0u);
}

} // namespace
