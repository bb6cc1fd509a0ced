#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/pty_run.h"
#include "manager/acache.h"
#include "manager/mgr_storage.h"
#include "manager/mgr_support.h"
#include "manager/users.h"
#include "support/test_support.h"

namespace {

const std::string R = "\033[91m", G = "\033[92m", C = "\033[96m", M = "\033[95m", E = "\033[0m";

// Runs korvane with `args` in `cwd`, its standard input a pipe holding `input`.
RunResult run_with_input(const std::vector<std::string> &args, const std::string &input,
                         const std::string &cwd) {
    return run_forked([&] {
        int p[2];
        if (pipe(p) != 0 || write(p[1], input.data(), input.size()) != ssize_t(input.size()))
            _exit(126);
        close(p[1]);
        dup2(p[0], STDIN_FILENO);
        close(p[0]);
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        std::vector<char *> argv{const_cast<char *>(KRV_BINARY)};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(KRV_BINARY, argv.data());
        _exit(127);
    });
}

// What a generated password looks like in the output: 11 characters of the alphabet.
std::string generated_in(const std::string &out) {
    const std::string lead = C + "\tGenerated password: ";
    size_t at = out.find(lead);
    if (at == std::string::npos)
        return "";
    std::string pw = out.substr(at + lead.size(), out.find(E, at) - at - lead.size());
    EXPECT_EQ(pw.size(), 11u) << pw;
    EXPECT_EQ(
        pw.find_first_not_of("/!;-*+=023456789ABCDEFGHJKLMNOPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"),
        std::string::npos)
        << pw;
    return pw;
}

// A fresh environment made by init in a temporary directory; commands run from that
// directory with the environment as their last word.
class AuthBase : public testing::Test {
protected:
    TempDir tmp;
    const std::string env = tmp.sub("env");

    void make_env(const std::string &mode, const std::string &name = "env") {
        RunResult r = run_korvane({"init", "--mode=" + mode, name}, tmp.path());
        ASSERT_EQ(r.exit_code, 0) << r.out;
    }

    RunResult auth(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), "auth");
        return run_with_input(args, input, tmp.path());
    }

    // Runs `fn` on the environment's storage, opened from inside it as the command does.
    void with_storage(const std::function<void(mgr_storage *)> &fn) {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        ASSERT_EQ(chdir(env.c_str()), 0);
        mgr_storage *s = mgr_storage_open();
        EXPECT_NE(s, nullptr);
        if (s != nullptr)
            fn(s);
        mgr_storage_close(s);
        ASSERT_EQ(chdir(cwd), 0);
    }

    void add_user(const std::string &name, const std::string &password, uint64_t perms) {
        with_storage([&](mgr_storage *s) {
            char field[128] = {};
            ASSERT_EQ(users_copy_name(name.c_str(), field), 0);
            ASSERT_EQ(users_add(s, field, password.c_str(), perms), 0);
        });
    }

    void set_bans(const std::string &name, std::vector<uint64_t> ids) {
        with_storage([&](mgr_storage *s) {
            mgr_user u{};
            ASSERT_EQ(users_copy_name(name.c_str(), u.username), 0);
            u.banned = ids.data();
            u.nbanned = ids.size();
            ASSERT_EQ(users_set_banned(s, &u), 0);
        });
    }

    mgr_agent add_agent(uint8_t type, const std::string &label) {
        mgr_agent a = agent_rec(type, label);
        with_storage([&](mgr_storage *s) { EXPECT_EQ(acache_add(s, &a).aid, a.aid) << label; });
        return a;
    }

    // The permissions of a stored user; 0 when there is no such user.
    uint64_t perms_of(const std::string &name) {
        uint64_t perms = 0;
        with_storage([&](mgr_storage *s) {
            mgr_user u{};
            if (users_get(s, name.c_str(), &u) == 0)
                perms = u.permissions;
            free(u.banned);
        });
        return perms;
    }

    // users_check_password: 0 matches, 1 does not (or no such user).
    int check(const std::string &name, const std::string &password) {
        int rc = -2;
        with_storage(
            [&](mgr_storage *s) { rc = users_check_password(s, name.c_str(), password.c_str()); });
        return rc;
    }

    std::vector<std::string> user_names() {
        std::vector<std::string> names;
        with_storage([&](mgr_storage *s) {
            names = sql_rows(s->db, "SELECT username FROM USERS ORDER BY username;");
        });
        return names;
    }

    // The user's BANNED rows in the order they were written.
    std::vector<uint64_t> bans_of(const std::string &name) {
        std::vector<uint64_t> ids;
        with_storage([&](mgr_storage *s) {
            for (const std::string &row : sql_rows(s->db, "SELECT agent FROM BANNED WHERE user='" +
                                                              name + "' ORDER BY rowid;"))
                ids.push_back(static_cast<uint64_t>(std::stoll(row)));
        });
        return ids;
    }
};

// Every check is made on both kinds of environment that hold a Manager storage.
class AuthCommand : public AuthBase, public testing::WithParamInterface<const char *> {
protected:
    void SetUp() override { make_env(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Modes, AuthCommand, testing::Values("manager", "standalone"));

struct LineCase {
    std::vector<std::string> args;
    std::string input;
    std::string out;
    int exit_code;
};

TEST_P(AuthCommand, ErrorLinesAndStatus) {
    make_env("database", "dbenv");
    const std::string n128(128, 'n'), n127(127, 'n');
    const std::string del = R + "\tDelete user [ghost]? [y/n] (n): " + E;
    const LineCase cases[] = {
        {{}, "", R + "Missing arguments" + E + "\n", 1},
        {{"Add", "env"}, "", R + "Unknown auth option: Add" + E + "\n", 1},
        {{"add", "--username=u", "--password=p"},
         "",
         R + "Error! Korvane directory must be specified." + E + "\n",
         1},
        {{"info", "nowhere"}, "", R + "Error! No such file or directory: nowhere" + E + "\n", 1},
        {{"add", "--password=p", "env"},
         "",
         R + "Error! --username option required." + E + "\n",
         1},
        {{"mod", "env"}, "", R + "Error! --username option required." + E + "\n", 1},
        {{"rm", "env"}, "", R + "Error! --name option required." + E + "\n", 1},
        {{"add", "--username=" + n128, "--password=p", "env"},
         "",
         R + "Username too long: " + n128 + "!" + E + "\n",
         1},
        {{"info", "--username=" + n128, "env"},
         "",
         R + "Username too long: " + n128 + "!\n" + E + "\n",
         1},
        {{"rm", "--username=" + n128, "env"},
         "",
         R + "Username too long: " + n128 + "!\n" + E + "\n",
         1},
        {{"mod", "--username=" + n128, "env"},
         "",
         R + "Username too long: " + n128 + "!\n" + E + "\n",
         1},
        {{"add", "--username=u", "--password=" + std::string(64, 'p'), "env"},
         "",
         R + "Password too long." + E + "\n",
         1},
        {{"add", "--username=u", "--password=p", "--perms=cq", "env"},
         "",
         R + "Invalid permissions value!" + E + "\n",
         1},
        {{"add", "--username=u", "--password=p", "--perms=+cpoqc", "env"},
         "",
         R + "Invalid permissions value!" + E + "\n",
         1},
        {{"add", "--username=u", "--password=p", "--perms=+zz", "env"},
         "",
         R + "Invalid permissions value!" + E + "\n",
         1},
        {{"mod", "--username=admin", "--perms=c", "env"},
         "",
         G + "User admin" + E + "\n" + R + "Invalid permissions value!" + E + "\n",
         1},
        {{"add", "--username=admin", "--password=other", "env"},
         "",
         R + "User [admin] already exists." + E + "\n",
         1},
        {{"info", "--username=ghost", "env"}, "", R + "No such user [ghost]" + E + "\n", 1},
        {{"mod", "--username=ghost", "--perms=+c", "env"},
         "",
         R + "No such user [ghost]" + E + "\n",
         1},
        {{"rm", "--username=ghost", "env"}, "y\n", del + R + "No such user [ghost]" + E + "\n", 1},
        {{"mod", "--username=admin", "--ban=(", "env"},
         "",
         G + "User admin" + E + "\n" + R + "Invalid agent label expression: (" + E + "\n",
         1},
        {{"mod", "--username=admin", "--ban=^web", "env"},
         "",
         G + "User admin" + E + "\n" + R + "No agents found!" + E + "\n",
         1},
        {{"add", "--bogus", "env"}, "", "", 1},
        {{"mod", "--username=admin", "--ban", "env"},
         "",
         R + "Error! Korvane directory must be specified." + E + "\n",
         1},
        // An environment without a Manager storage.
        {{"add", "--username=u", "--password=p", "dbenv"},
         "",
         R + "Cannot open the manager storage!" + E + "\n",
         1},
        {{"info", "dbenv"}, "", R + "Cannot open the storage." + E + "\n", 1},
        {{"mod", "--username=admin", "--perms=+c", "dbenv"},
         "",
         R + "Cannot open the manager storage!" + E + "\n",
         1},
        {{"rm", "--username=admin", "dbenv"},
         "y\n",
         R + "\tDelete user [admin]? [y/n] (n): " + E + R + "Cannot open the manager storage!" + E +
             "\n",
         1},
        // Limits: 127 bytes of name and 63 of password are taken.
        {{"add", "--username=" + n127, "--password=" + std::string(63, 'p'), "env"},
         "",
         G + "User [" + n127 + "] added successfully." + E + "\n",
         0},
    };
    for (const auto &c : cases) {
        RunResult r = auth(c.args, c.input);
        std::string line;
        for (const auto &a : c.args)
            line += a.substr(0, 20) + " ";
        EXPECT_EQ(r.out, c.out) << line;
        EXPECT_EQ(r.exit_code, c.exit_code) << line;
    }
    // Nothing but the one good line changed the storage.
    EXPECT_EQ(user_names(), (std::vector<std::string>{"admin", n127}));
    EXPECT_EQ(perms_of("admin"), PERM_ALL);
    EXPECT_EQ(check("admin", "vendrix"), 0);
    EXPECT_EQ(check(n127, std::string(63, 'p')), 0);
}

TEST_P(AuthCommand, StoredPermissionsAndPasswords) {
    const struct {
        std::vector<std::string> args;
        std::string input;
        const char *user;
        uint64_t perms;
        const char *password; // "" for the generated one the output shows
        std::string out;      // the lines around the question, if any
    } cases[] = {
        {{"add", "--username=u1", "--password=p1", "env"},
         "",
         "u1",
         0x01,
         "p1",
         G + "User [u1] added successfully." + E + "\n"},
        {{"add", "--username=u2", "--password=p2", "--perms=-cq", "env"},
         "",
         "u2",
         0x13,
         "p2",
         G + "User [u2] added successfully." + E + "\n"},
        {{"add", "--username=u3", "env", "--perms", "+cq", "--password", "p3"},
         "",
         "u3",
         0x13,
         "p3",
         G + "User [u3] added successfully." + E + "\n"},
        // Enter takes the default: a generated password.
        {{"add", "--username=u4", "env"},
         "\n",
         "u4",
         0x01,
         "",
         E + "\tAutogenerate the password? [y/n] (y): " + E},
        {{"mod", "--username=admin", "--perms=-c", "env"},
         "",
         "admin",
         0x1D,
         "vendrix",
         G + "User admin" + E + "\n" + G + "Permissions changed successfully." + E + "\n"},
        {{"mod", "--username=u1", "--perms=+o", "env"},
         "",
         "u1",
         0x09,
         "p1",
         G + "User u1" + E + "\n" + G + "Permissions changed successfully." + E + "\n"},
        // Taking away what is not there keeps the user bit.
        {{"mod", "--username=u1", "--perms=-cpoq", "env"},
         "",
         "u1",
         0x01,
         "p1",
         G + "User u1" + E + "\n" + G + "Permissions changed successfully." + E + "\n"},
        // The password flag wins over the permissions.
        {{"mod", "--username=u2", "--password", "--perms", "+c", "env"},
         "y\n",
         "u2",
         0x13,
         "",
         G + "User u2" + E + "\n" + E + "\tAutogenerate a new password? [y/n] (y): " + E},
        // No change asked for: nothing changes.
        {{"mod", "--username=u3", "env"}, "", "u3", 0x13, "p3", G + "User u3" + E + "\n"},
    };
    for (const auto &c : cases) {
        RunResult r = auth(c.args, c.input);
        EXPECT_EQ(r.exit_code, 0) << c.user << ": " << r.out;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.user << ": " << r.out;
        EXPECT_EQ(perms_of(c.user), c.perms) << c.user;
        std::string password = *c.password ? c.password : generated_in(r.out);
        ASSERT_FALSE(password.empty()) << r.out;
        EXPECT_EQ(check(c.user, password), 0) << c.user;
        EXPECT_EQ(check(c.user, password + "x"), 1) << c.user;
    }
    // The generated change replaced u2's password.
    EXPECT_EQ(check("u2", "p2"), 1);
}

TEST_P(AuthCommand, VerboseLogsTheFailedChange) {
    RunResult r = auth({"mod", "--verbose", "--username=admin", "--perms=cq", "env"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, G + "User admin" + E + "\n" + R + "Invalid permissions value!" + E + "\n");
    EXPECT_NE(read_file(tmp.sub("out.log")).find("ERROR  Permissions change failed.\n"),
              std::string::npos);
    EXPECT_EQ(perms_of("admin"), PERM_ALL);
}

class AuthManager : public AuthBase {
protected:
    void SetUp() override { make_env("manager"); }

    // A full 63-byte label without terminator, holding an escape byte.
    const std::string long_label = "long-\033-" + std::string(56, 'L');
    const std::string long_shown = "long-?-" + std::string(56, 'L');
};

TEST_F(AuthManager, ListingAndOneUser) {
    const mgr_agent web1 = add_agent(AGENT_TYPE_JVM, "web1");
    const mgr_agent db1 = add_agent(AGENT_TYPE_JVM, "db1");
    const mgr_agent lng = add_agent(AGENT_TYPE_JVM, long_label);
    add_user("zo\xc3\xab", "pz", 0);
    add_user("bob", "pb", 0x12);
    add_user(std::string(80, 'n'), "pn", 0);
    set_bans("bob", {web1.aid, lng.aid, db1.aid});

    const std::string rule = E + std::string(100, '-') + E + "\n";
    const std::string legend =
        M + "\tc: Can configure agents" + E + "\n" + M + "\tp: Can view parameters" + E + "\n" + M +
        "\to: Can view online data" + E + "\n" + M + "\tq: Can query agents" + E + "\n";
    RunResult r = auth({"info", "env"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, C + "\n PERMS      BANNED   USER\n" + E + rule + E +
                         " cpoq     |      0 | admin" + std::string(72, ' ') + " |" + E + "\n" + E +
                         " c..q     |      3 | bob" + std::string(74, ' ') + " |" + E + "\n" + E +
                         " ....     |      0 | " + std::string(77, 'n') + " |" + E + "\n" + E +
                         " ....     |      0 | zo\xc3\xab" + std::string(74, ' ') + " |" + E +
                         "\n" + rule + legend);

    // The cache no longer knows this one: a row written while foreign keys were off.
    with_storage([](mgr_storage *s) {
        sql_exec(s->db, "PRAGMA foreign_keys = off;");
        sql_exec(s->db, "INSERT INTO BANNED VALUES ('bob', -81985529216486896);");
        sql_exec(s->db, "PRAGMA foreign_keys = on;");
    });
    r = auth({"info", "--username=bob", "env"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, C + "User:" + E + "\n" + M + "\tbob" + E + "\n" + C + "Permissions:" + E +
                         "\n" + M + "\tc: Can configure agents" + E + "\n" + M +
                         "\tq: Can query agents" + E + "\n" + C + "Banned agents:" + E + "\n" + M +
                         "\tweb1" + E + "\n" + M + "\t" + long_shown + E + "\n" + M + "\tdb1" + E +
                         "\n" + M + "\tFEDCBA9876543210" + E + "\n");

    r = auth({"info", "--username=zo\xc3\xab", "env"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, C + "User:" + E + "\n" + M + "\tzo\xc3\xab" + E + "\n" + C +
                         "Permissions:" + E + "\n" + M + "\tNone" + E + "\n" + C +
                         "Banned agents:" + E + "\n" + M + "\tNone" + E + "\n");
}

TEST_F(AuthManager, NoUsersAndUnreadableUsers) {
    with_storage([](mgr_storage *s) { sql_exec(s->db, "DELETE FROM USERS;"); });
    RunResult r = auth({"info", "env"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, C + "No users found." + E + "\n");

    // A name too long for the record (written behind the command's back) cannot be read.
    with_storage([](mgr_storage *s) {
        sql_exec(s->db, "INSERT INTO USERS VALUES ('" + std::string(130, 'x') + "', 'h', 1);");
    });
    r = auth({"info", "env"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, R + "Error!" + E + "\n");
}

TEST_F(AuthManager, BanAndUnban) {
    const mgr_agent web1 = add_agent(AGENT_TYPE_JVM, "web1");
    add_agent(AGENT_TYPE_FCA, "web2");
    const mgr_agent db1 = add_agent(AGENT_TYPE_JVM, "db1");
    const mgr_agent lng = add_agent(AGENT_TYPE_JVM, long_label);
    add_user("alice", "pa", 0);
    const std::map<uint64_t, std::string> shown = {
        {web1.aid, "web1"}, {db1.aid, "db1"}, {lng.aid, long_shown}};

    const struct {
        std::vector<std::string> opts;
        std::string input;
        const char *verb;                // nullptr: the question is not reached
        std::vector<std::string> listed; // as printed
        std::vector<uint64_t> after;     // the user's bans afterwards, in order
        int exit_code;
    } steps[] = {
        {{"--ban=^web"}, "\n", "banned", {"web1"}, {web1.aid}, 0},
        // Banning again keeps one row.
        {{"--ban", "^web"}, "y\n", "banned", {"web1"}, {web1.aid}, 0},
        {{"--ban=^long"}, "\n", "banned", {long_shown}, {lng.aid, web1.aid}, 0},
        // The chosen come first in label order, the others follow in their order.
        {{"--ban=1$"}, "\n", "banned", {"db1", "web1"}, {db1.aid, web1.aid, lng.aid}, 0},
        {{"--unban=^db"}, "\n", "unbanned", {"db1"}, {web1.aid, lng.aid}, 0},
        // Declined: nothing changes.
        {{"--ban=^db"}, "n\n", "banned", {"db1"}, {web1.aid, lng.aid}, 0},
        {{"--ban=^db"}, "Y\n", "banned", {"db1"}, {web1.aid, lng.aid}, 0},
        // Both given: the ban counts.
        {{"--unban=^web", "--ban=^db1"}, "\n", "banned", {"db1"}, {db1.aid, web1.aid, lng.aid}, 0},
        {{"--unban=."}, "\n", "unbanned", {"db1", long_shown, "web1"}, {}, 0},
        {{"--unban=^web2"}, "\n", nullptr, {}, {}, 1},
    };
    for (const auto &st : steps) {
        std::vector<std::string> args = {"mod", "--username=alice"};
        args.insert(args.end(), st.opts.begin(), st.opts.end());
        args.push_back("env");
        RunResult r = auth(args, st.input);
        std::string expect = G + "User alice" + E + "\n";
        if (st.verb == nullptr) {
            expect += R + "No agents found!" + E + "\n";
        } else {
            expect +=
                G + "\tThe following agents will be " + st.verb + " for user [alice]:" + E + "\n";
            for (const auto &l : st.listed)
                expect += C + "\t\tJVM " + l + E + "\n";
            expect += E + "\tProceed? [y/n] (y): " + E;
            if (st.input == "\n" || st.input == "y\n")
                expect += G + "User agents ban modified successfully." + E + "\n";
        }
        EXPECT_EQ(r.out, expect) << st.opts[0];
        EXPECT_EQ(r.exit_code, st.exit_code) << st.opts[0];
        std::vector<std::string> got;
        for (uint64_t id : bans_of("alice"))
            got.push_back(shown.count(id) ? shown.at(id) : "?");
        std::vector<std::string> want;
        for (uint64_t id : st.after)
            want.push_back(shown.at(id));
        EXPECT_EQ(got, want) << st.opts[0];
    }
}

TEST_F(AuthManager, DeleteOnlyOnYes) {
    const mgr_agent web1 = add_agent(AGENT_TYPE_JVM, "web1");
    const struct {
        const char *input;
        bool deleted;
    } cases[] = {
        {"\n", false}, {"n\n", false},  {"N\n", false}, {"x\n", false},
        {"", false},   {"yes\n", true}, {"y\n", true},  {"Y\n", true},
    };
    const std::string question = R + "\tDelete user [victim]? [y/n] (n): " + E;
    for (const auto &c : cases) {
        if (perms_of("victim") == 0)
            add_user("victim", "pv", 0);
        set_bans("victim", {web1.aid});
        RunResult r = auth({"rm", "--username=victim", "env"}, c.input);
        EXPECT_EQ(r.exit_code, 0) << c.input;
        EXPECT_EQ(r.out, c.deleted
                             ? question + G + "User [victim] deleted successfully.\n" + E + "\n"
                             : question)
            << c.input;
        EXPECT_EQ(perms_of("victim") == 0, c.deleted) << c.input;
        EXPECT_EQ(bans_of("victim").size(), c.deleted ? 0u : 1u) << c.input;
    }
}

// The password prompts, typed at a terminal.
class AuthPrompt : public AuthManager {
protected:
    const std::string ask_add = E + "\tAutogenerate the password? [y/n] (y): " + E;
    const std::string ask_mod = E + "\tAutogenerate a new password? [y/n] (y): " + E;
    const std::string first = E + "\tSpecify a password (will not echo): " + E;
    const std::string second = E + "\tRe-enter the password (will not echo): " + E;

    // Runs the command up to the first password prompt, answering the question with n.
    void to_first_prompt(PtyRun &run, const std::string &question) {
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(run.wait_for(question));
        run.type("n\n");
        ASSERT_TRUE(run.wait_for(first));
        EXPECT_FALSE(run.echoes());
    }
};

TEST_F(AuthPrompt, TypedPasswordNeverShows) {
    PtyRun run({"auth", "add", "--username=carol", "--perms=+p", "env"}, tmp.path());
    to_first_prompt(run, ask_add);
    run.type("Tr0ub4dor&3\n");
    ASSERT_TRUE(run.wait_for(second));
    EXPECT_FALSE(run.echoes());
    run.type("Tr0ub4dor&3\n");
    RunResult r = run.finish();
    EXPECT_EQ(r.exit_code, 0) << r.out;
    // The answer echoes, the passwords do not: only the line ends show.
    EXPECT_EQ(r.out, ask_add + "n\n" + first + "\n" + second + "\n" + G +
                         "User [carol] added successfully." + E + "\n");
    EXPECT_TRUE(run.echoes());
    EXPECT_EQ(check("carol", "Tr0ub4dor&3"), 0);
    EXPECT_EQ(perms_of("carol"), 0x05u);

    PtyRun mod({"auth", "mod", "--username=carol", "env"}, tmp.path());
    // Without a change option mod asks nothing.
    RunResult m = mod.finish();
    EXPECT_EQ(m.out, G + "User carol" + E + "\n");

    PtyRun change({"auth", "mod", "--username=carol", "--password", "env"}, tmp.path());
    to_first_prompt(change, ask_mod);
    change.type("c0rrect horse\n");
    ASSERT_TRUE(change.wait_for(second));
    change.type("c0rrect horse\n");
    r = change.finish();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, G + "User carol" + E + "\n" + ask_mod + "n\n" + first + "\n" + second + "\n" +
                         G + "Password changed successfully." + E + "\n");
    EXPECT_TRUE(change.echoes());
    EXPECT_EQ(check("carol", "c0rrect horse"), 0);
}

TEST_F(AuthPrompt, FailedEntriesStoreNothing) {
    const struct {
        const char *name;
        std::string first_entry;
        std::string second_entry; // empty: not reached
        std::string tail;
    } cases[] = {
        {"mismatch", "abc\n", "abd\n", "\n" + R + "\tPasswords do not match." + E + "\n"},
        // ^D at the start of a line is the end of input.
        {"eof", "abc\n", "\x04", ""},
        {"eof-first", "\x04", "", ""},
        {"too-long", std::string(63, 'a') + "\n", "", "\n" + R + "Password too long." + E + "\n"},
    };
    for (const auto &c : cases) {
        PtyRun run({"auth", "add", "--username=dave", "env"}, tmp.path());
        to_first_prompt(run, ask_add);
        run.type(c.first_entry);
        if (!c.second_entry.empty()) {
            ASSERT_TRUE(run.wait_for(second)) << c.name;
            run.type(c.second_entry);
        }
        RunResult r = run.finish();
        EXPECT_EQ(r.exit_code, 1) << c.name;
        std::string expect = ask_add + "n\n" + first;
        if (!c.second_entry.empty())
            expect += "\n" + second;
        EXPECT_EQ(r.out, expect + c.tail) << c.name;
        EXPECT_TRUE(run.echoes()) << c.name;
        EXPECT_EQ(perms_of("dave"), 0u) << c.name;
    }

    // mod tells a failure that would otherwise be silent.
    PtyRun run({"auth", "mod", "--username=admin", "--password", "env"}, tmp.path());
    to_first_prompt(run, ask_mod);
    run.type("\x04");
    RunResult r = run.finish();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, G + "User admin" + E + "\n" + ask_mod + "n\n" + first + R +
                         "Password change failed." + E + "\n");
    EXPECT_EQ(check("admin", "vendrix"), 0);
}

TEST_F(AuthPrompt, SignalAtThePromptGivesTheEchoBack) {
    const struct {
        int sig;
        const char *typed; // the key that raises it, or nullptr to send it with kill
    } cases[] = {{SIGINT, "\x03"}, {SIGINT, nullptr}, {SIGTERM, nullptr}, {SIGHUP, nullptr}};
    for (const auto &c : cases) {
        PtyRun run({"auth", "add", "--username=erin", "env"}, tmp.path());
        to_first_prompt(run, ask_add);
        if (c.typed != nullptr) {
            // The terminal takes keys in order: "half" is read with the echo off, then the
            // key raises the signal mid-entry.
            run.type("half");
            run.type(c.typed);
        } else {
            // The terminal takes typed keys some time after they are written; the second
            // prompt shows that the first entry was taken with the echo off before the
            // signal gives the echo back.
            run.type("half\n");
            ASSERT_TRUE(run.wait_for(second));
            kill(run.pid(), c.sig);
        }
        RunResult r = run.finish();
        EXPECT_EQ(r.signal, c.sig) << strsignal(c.sig);
        EXPECT_TRUE(run.echoes()) << strsignal(c.sig);
        EXPECT_EQ(r.out.find("half"), std::string::npos) << r.out;
    }
    EXPECT_EQ(perms_of("erin"), 0u);
}

} // namespace
