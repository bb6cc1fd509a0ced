// The arch command run as a process on environments made by init: dumps of a store written
// through the store's API, and extractions of those dumps and of hostile archives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/db_server.h"
#include "database/peer_client.h"
#include "database/store/archive_extract.h"
#include "database/store/archive_support.h"
#include "database/store/rcall_support.h"
#include "database/store/stored_rcall.h"
#include "lib/io.h"
#include "server/reply.h"

namespace {

// 3 May 2021, a Monday, and its neighbours as UTC day numbers.
constexpr uint32_t kMay2 = 18749, kMay3 = 18750, kMay4 = 18751;
const uint32_t kDays[] = {kMay2, kMay3, kMay4};

const std::string kQuestion = "\033[92m\tProceed? [y/n] (y): \033[0m";
const std::string kDumped = "\033[92m\n\n\tDatabase dumped successfully.\033[0m\n";
const std::string kDumpFailed = "\033[91m\n\n\tDatabase dump failed. See log for details.\033[0m\n";
const std::string kExtracted = "\033[92mArchive extraction procedure succeeded.\033[0m\n";

std::string red(const std::string &text) {
    return "\033[91m" + text + "\033[0m\n";
}

// The conditions a dump shows before its question.
std::string conditions(const std::string &from, const std::string &thru,
                       const std::vector<std::string> &labels = {"app1", "app2"}) {
    std::string text = "\033[92m\tThe dump procedure will be performed with the following "
                       "conditions:\033[0m\n\033[96m\t- Time range: " +
                       from + " through " + thru + "\033[0m\n\033[96m\t- Agents to dump:\033[0m\n";
    for (const std::string &l : labels)
        text += "\033[96m\t\t: " + l + "\033[0m\n";
    return text;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *de = readdir(d)) {
            const std::string n = de->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

// Every path below `dir`, relative to it.
void list_tree(const std::string &dir, const std::string &rel, std::set<std::string> *out) {
    for (const std::string &n : names_in(dir)) {
        const std::string r = rel.empty() ? n : rel + "/" + n;
        out->insert(r);
        struct stat st;
        if (lstat((dir + "/" + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            list_tree(dir + "/" + n, r, out);
    }
}

std::set<std::string> tree(const std::string &dir) {
    std::set<std::string> t;
    list_tree(dir, "", &t);
    return t;
}

// The file paths an archive holds, in stream order.
std::vector<std::string> archived_paths(const Bytes &archive) {
    Bytes stream;
    for (const read_block &b : archive_blocks(archive))
        stream += b.stream;
    std::vector<std::string> paths;
    for (size_t at = 0; at + 272 <= stream.size();) {
        paths.push_back(stream.substr(at + 8, 256).c_str());
        at += 272 + get_be(stream, at + 264, 8);
    }
    return paths;
}

// The local "%F_%H%M" stamp of now in a zone `east_s` seconds east of UTC.
std::string stamp_east(long east_s) {
    const time_t t = time(nullptr) + east_s;
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%F_%H%M", &tm);
    return buf;
}

// Runs the executable in `cwd` with `input` on its standard input (nothing: end of input at
// once) and the time zone `tz`.
RunResult run_arch(const std::vector<std::string> &args, const std::string &cwd,
                   const std::string &input = "", const char *tz = "UTC") {
    return run_forked([&] {
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        FILE *in = tmpfile();
        fwrite(input.data(), 1, input.size(), in);
        fflush(in);
        rewind(in);
        dup2(fileno(in), STDIN_FILENO);
        setenv("TZ", tz, 1);
        unsetenv("TERM");
        std::vector<char *> argv{const_cast<char *>(KRV_BINARY)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(KRV_BINARY, argv.data());
        _exit(127);
    });
}

// An environment of `mode` made by init at dir/name, its service (if started) on port.
void init_env(const std::string &dir, const std::string &name, const char *mode, unsigned port) {
    RunResult r = run_korvane({"init", std::string("--mode=") + mode, name}, dir);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    write_file(dir + "/" + name + "/conf/config.json",
               "{\"manager\": {\"host\": \"127.0.0.1\", \"port\": 1},"
               " \"server\": {\"host\": \"127.0.0.1\", \"port\": " +
                   std::to_string(port) +
                   "}, \"redirect\": {\"host\": \"127.0.0.1\", \"port\": 1},"
                   " \"archive\": {\"enable\": false, \"policy\": \"archive\"}}");
}

struct test_agent_def {
    uint8_t type;
    const char *label;
};
const test_agent_def kStoreAgents[] = {
    {AGENT_TYPE_JVM, "app2"}, {AGENT_TYPE_FCA, "db1"}, {AGENT_TYPE_JVM, "app1"}};

uint64_t aid_of(const char *label) {
    for (const test_agent_def &a : kStoreAgents)
        if (strcmp(a.label, label) == 0)
            return agent_id_of(as_bytes(identity_bytes(a.type, a.label)));
    return 0;
}

// A Database environment made by init whose store holds app1, app2 (JVM) and db1 (FCA), each
// with root calls at 00:30 and 23:30 UTC on 2, 3 and 4 May 2021, written through the store.
class ArchCommand : public DatabaseServer {
protected:
    void SetUp() override {
        init_env(dir.path(), "env", "database", port);
        RunResult r = in_env(env, [] {
            dbs *db = dbs_open();
            if (db == nullptr)
                _exit(3);
            const uint32_t cls = dbs_symbol_store(db, SYM_CLASS, 12, "org.app.Main");
            const uint32_t run = dbs_symbol_store(db, SYM_METHOD, 3, "run");
            dbs_symbol_store(db, SYM_THREAD, 4, "main");
            bool ok = true;
            for (const test_agent_def &a : kStoreAgents) {
                const std::string id = identity_bytes(a.type, a.label);
                const uint64_t aid = agent_id_of(as_bytes(id));
                ok = ok && dbs_agent_register(db, as_bytes(id), aid) == 0;
                dbs_agent *agent = dbs_agent_find(db, aid);
                if (agent == nullptr)
                    _exit(4);
                for (uint32_t day : kDays) {
                    for (uint64_t minute : {30u, 23u * 60 + 30}) {
                        const uint64_t t = day * DAY_MS + minute * 60000;
                        ok = ok && save_rcall(agent, {rec(t - 5, 1, 1), rec(t, 0, 0, CALL_F_ROOT,
                                                                            cls, run, 40)}) == 0;
                    }
                }
                dbs_agent_mc_close(agent);
            }
            dbs_close(db);
            _exit(ok ? 0 : 5);
        });
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }

    std::string pidfile() const { return env + "/var/korvane.pid"; }

    // A directory of its own under the test's directory: each dump names its file by the
    // minute, so dumps made one after the other need their own.
    std::string fresh_dir(const std::string &name) const {
        const std::string d = dir.sub(name);
        EXPECT_EQ(mkdir(d.c_str(), 0700), 0) << d;
        return d;
    }

    // The .arch files in a directory.
    static std::vector<std::string> archives_in(const std::string &d) {
        std::vector<std::string> out;
        for (const std::string &n : names_in(d))
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".arch") == 0)
                out.push_back(d + "/" + n);
        return out;
    }

    // The UTC days of the root-call files an archive holds, and its other paths.
    struct archive_view {
        std::set<uint32_t> days;
        std::set<std::string> agents; // labels whose identity file is there
        std::set<std::string> others;
    };
    static archive_view view(const std::string &path) {
        archive_view v;
        for (const std::string &p : archived_paths(read_file(path))) {
            bool known = false;
            for (const test_agent_def &a : kStoreAgents) {
                const std::string d = agent_dir(aid_of(a.label));
                if (p == d + "/korvane.id") {
                    v.agents.insert(a.label);
                    known = true;
                } else if (p.rfind(d + "/mc/", 0) == 0) {
                    v.days.insert(static_cast<uint32_t>(std::stoul(p.substr(d.size() + 4))));
                    known = true;
                }
            }
            if (!known)
                v.others.insert(p);
        }
        return v;
    }

    // The reply bytes of a ROOT CALLS query over one agent's UTC day.
    Bytes root_calls(const char *label, uint32_t day) const {
        PeerClient c(port);
        EXPECT_TRUE(c.send({ui_hello("arch test")}));
        EXPECT_EQ(c.next(), kDatabaseAnswer);
        EXPECT_TRUE(
            c.send({root_calls_query(7, aid_of(label), day * DAY_MS, (day + 1) * DAY_MS - 1)}));
        return c.next().value_or("");
    }
};

const std::set<std::string> kSymbolFiles = {"storage.db/symbols/thr", "storage.db/symbols/cls",
                                            "storage.db/symbols/mth", "storage.db/symbols/kvs"};

TEST_F(ArchCommand, CommandLinesThatStopWithStatusOne) {
    init_env(dir.path(), "mgr", "manager", free_tcp_port());
    init_env(dir.path(), "empty", "database", free_tcp_port());
    const std::string empty = dir.sub("empty");
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"arch"}, red("Too few arguments!")},
        {{"arch", "pack", env}, red("Invalid arch action specified: pack")},
        {{"arch", "DUMP"}, red("Last argument missing!")},
        {{"arch", "extract", "--verbose"}, red("Last argument missing!")},
        {{"arch", "Extract", "missing.arch"},
         red("Error! No such file or directory: missing.arch")},
        {{"arch", "extract", "env"}, red("Error! Not a file: env")},
        {{"arch", "dump", dir.sub("mgr")},
         red("Error! Dump procedure available only for database installations.")},
        {{"arch", "dump", dir.sub("missing")},
         red("Error! No such file or directory : " + dir.sub("missing") + ".")},
        {{"arch", "dump", "--from", "2021-01-01", env},
         red("Error! Incorrect time specified: 2021-01-01. Correct format dd-mm-YYYY.")},
        {{"arch", "dump", "--thru=31-02-2021", env},
         red("Error! Incorrect time specified: 31-02-2021. Correct format dd-mm-YYYY.")},
        {{"arch", "dump", "--thru=03-05-2021x", env},
         red("Error! Incorrect time specified: 03-05-2021x. Correct format dd-mm-YYYY.")},
        {{"arch", "dump", "--from=31-12-2021", "--thru=01-01-2021", env},
         red("Error! Incorrect time range.")},
        {{"arch", "dump", empty}, red("No matching agents found!")},
        {{"arch", "dump", "--agents=^nothing", env}, red("No matching agents found!")},
        {{"arch", "dump", "--agents", "(", env},
         red("Error! Incorrect expression for the agents pattern.")},
    };
    for (const auto &c : cases) {
        const std::string line = c.args.size() > 1 ? c.args[1] + " " + c.args.back() : "";
        const RunResult r = run_arch(c.args, dir.path());
        EXPECT_EQ(r.exit_code, 1) << line;
        EXPECT_EQ(r.out, c.out) << line;
        EXPECT_EQ(r.err, "") << line;
        // A dump that took the pid file removed it.
        EXPECT_FALSE(exists(pidfile())) << line;
        EXPECT_FALSE(exists(empty + "/var/korvane.pid")) << line;
        EXPECT_TRUE(archives_in(dir.path()).empty()) << line;
    }
    // An option error is reported by the option parser.
    const RunResult bogus = run_arch({"arch", "dump", "--bogus", env}, dir.path());
    EXPECT_EQ(bogus.exit_code, 1);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(bogus.err, "dump: unrecognized option '--bogus'\n");
}

TEST_F(ArchCommand, DumpOfChosenAgentsAndDay) {
    const std::string cwd = fresh_dir("here");
    const std::string before = stamp_east(9 * 3600);
    const RunResult r = run_arch(
        {"arch", "dump", "--agents", "^app", "--from=03-05-2021", "--thru", "03-05-2021", env}, cwd,
        "\n", "JST-9");
    const std::string after = stamp_east(9 * 3600);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::string shown = conditions("Mon, 03 May 2021", "Mon, 03 May 2021");
    EXPECT_EQ(r.out.substr(0, shown.size()), shown) << r.out;
    EXPECT_NE(r.out.find("\rCompressing data...  |"), std::string::npos) << r.out;
    ASSERT_GE(r.out.size(), kDumped.size());
    EXPECT_EQ(r.out.substr(r.out.size() - kDumped.size()), kDumped);
    EXPECT_EQ(r.err, kQuestion);

    // The file and its log in the current directory, named by the local minute.
    const std::vector<std::string> files = archives_in(cwd);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0] == cwd + "/env_" + before + ".arch" ||
                files[0] == cwd + "/env_" + after + ".arch")
        << files[0];
    EXPECT_EQ(names_in(cwd).size(), 2u);
    EXPECT_TRUE(exists(files[0] + ".log"));
    EXPECT_FALSE(exists(pidfile()));

    const archive_view v = view(files[0]);
    EXPECT_EQ(v.agents, (std::set<std::string>{"app1", "app2"}));
    EXPECT_EQ(v.days, std::set<uint32_t>{kMay3});
    EXPECT_EQ(v.others, kSymbolFiles);
}

TEST_F(ArchCommand, AnswersToTheQuestion) {
    const struct {
        const char *name;
        std::string input;
        bool dumps;
    } cases[] = {
        {"enter", "\n", true},  {"y", "y\n", true},  {"end-of-input", "", true},
        {"yes", "yes\n", true}, {"n", "n\n", false}, {"x", "x\n", false},
        {"Y", "Y\n", false},
    };
    for (const auto &c : cases) {
        const std::string cwd = fresh_dir(c.name);
        const RunResult r = run_arch({"arch", "dump", "--agents=^app", env}, cwd, c.input);
        EXPECT_EQ(r.exit_code, 0) << c.name << r.out;
        EXPECT_EQ(r.out.substr(0, conditions("-", "-").size()), conditions("-", "-")) << c.name;
        EXPECT_EQ(r.err, kQuestion) << c.name;
        EXPECT_EQ(archives_in(cwd).size(), c.dumps ? 1u : 0u) << c.name;
        EXPECT_EQ(names_in(cwd).size(), c.dumps ? 2u : 0u) << c.name;
        if (c.dumps) {
            EXPECT_EQ(r.out.substr(r.out.size() - kDumped.size()), kDumped) << c.name;
            EXPECT_EQ(view(archives_in(cwd)[0]).days, (std::set<uint32_t>{kMay2, kMay3, kMay4}));
        } else {
            EXPECT_EQ(r.out, conditions("-", "-")) << c.name;
        }
        EXPECT_FALSE(exists(pidfile())) << c.name;
    }
}

TEST_F(ArchCommand, VerboseAsksInOutLog) {
    const std::string cwd = fresh_dir("verbose");
    const RunResult r = run_arch({"arch", "dump", "--verbose", "--agents=^db", env}, cwd, "n\n");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(read_file(cwd + "/out.log").find(kQuestion), std::string::npos);
    EXPECT_NE(r.out.find("\033[96m\t\t: db1\033[0m\n"), std::string::npos) << r.out;
    EXPECT_TRUE(archives_in(cwd).empty());
}

TEST_F(ArchCommand, SecondDumpInTheSameMinuteFailsAndLeavesTheFirst) {
    const std::vector<std::string> args{"arch", "dump", "--agents=^app1$", env};
    // Dumps a minute apart have names of their own; try again until two share a minute.
    for (int attempt = 0; attempt < 3; attempt++) {
        const std::string cwd = fresh_dir("attempt" + std::to_string(attempt));
        const std::string before = stamp_east(0);
        const RunResult first = run_arch(args, cwd, "y\n");
        ASSERT_EQ(first.exit_code, 0) << first.out;
        const std::vector<std::string> files = archives_in(cwd);
        ASSERT_EQ(files.size(), 1u);
        const Bytes kept = read_file(files[0]), kept_log = read_file(files[0] + ".log");
        const RunResult second = run_arch(args, cwd, "y\n");
        if (stamp_east(0) != before)
            continue;
        EXPECT_EQ(second.exit_code, 1);
        EXPECT_EQ(second.out,
                  conditions("-", "-", {"app1"}) +
                      red("Error! Unable to create a log file [" + files[0] + ".log]."));
        EXPECT_EQ(second.err, kQuestion);
        EXPECT_EQ(archives_in(cwd), files);
        EXPECT_EQ(read_file(files[0]), kept);
        EXPECT_EQ(read_file(files[0] + ".log"), kept_log);
        EXPECT_FALSE(exists(pidfile()));
        return;
    }
    FAIL() << "no two dumps within one minute";
}

TEST_F(ArchCommand, PlantedNamesAreNeverWrittenThrough) {
    // The log's name and the dump's own name are taken beforehand for this minute and the
    // next, so whichever minute the command runs in finds them taken.
    const std::string cwd = fresh_dir("planted");
    const std::string target = dir.sub("target");
    write_file(target, "keep");
    const time_t now = time(nullptr);
    for (time_t t : {now, now + 60}) {
        struct tm tm {};
        gmtime_r(&t, &tm);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%F_%H%M", &tm);
        ASSERT_EQ(symlink(target.c_str(), (cwd + "/env_" + stamp + ".arch.log").c_str()), 0);
    }
    const RunResult linked = run_arch({"arch", "dump", env}, cwd, "y\n");
    EXPECT_EQ(linked.exit_code, 1);
    EXPECT_NE(linked.out.find("\033[91mError! Unable to create a log file [" + cwd + "/env_"),
              std::string::npos)
        << linked.out;
    EXPECT_EQ(read_file(target), "keep");
    EXPECT_TRUE(archives_in(cwd).empty());
    EXPECT_FALSE(exists(pidfile()));

    // A dump whose own file exists fails: its log is written, the file stays as it was.
    const std::string taken = fresh_dir("taken");
    for (time_t t : {now, now + 60}) {
        struct tm tm {};
        gmtime_r(&t, &tm);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%F_%H%M", &tm);
        write_file(taken + "/env_" + stamp + ".arch", "mine");
    }
    const RunResult failed = run_arch({"arch", "dump", env}, taken, "y\n");
    EXPECT_EQ(failed.exit_code, 1);
    ASSERT_GE(failed.out.size(), kDumpFailed.size());
    EXPECT_EQ(failed.out.substr(failed.out.size() - kDumpFailed.size()), kDumpFailed);
    for (const std::string &f : archives_in(taken))
        EXPECT_EQ(read_file(f), "mine");
    EXPECT_FALSE(exists(pidfile()));
}

TEST_F(ArchCommand, DayBoundariesEastAndWestOfUtc) {
    const struct {
        const char *name;
        std::vector<std::string> range;
        std::set<uint32_t> days;
    } cases[] = {
        {"one-day", {"--from=03-05-2021", "--thru=03-05-2021"}, {kMay3}},
        {"from", {"--from=03-05-2021"}, {kMay3, kMay4}},
        {"thru", {"--thru=03-05-2021"}, {kMay2, kMay3}},
    };
    for (const char *tz : {"JST-9", "EST5"}) {
        for (const auto &c : cases) {
            const std::string cwd = fresh_dir(std::string(c.name) + "-" + tz);
            std::vector<std::string> args{"arch", "dump"};
            args.insert(args.end(), c.range.begin(), c.range.end());
            args.push_back(env);
            const RunResult r = run_arch(args, cwd, "y\n", tz);
            ASSERT_EQ(r.exit_code, 0) << tz << " " << c.name << r.out;
            const std::vector<std::string> files = archives_in(cwd);
            ASSERT_EQ(files.size(), 1u);
            const archive_view v = view(files[0]);
            EXPECT_EQ(v.days, c.days) << tz << " " << c.name;
            EXPECT_EQ(v.agents, (std::set<std::string>{"app1", "app2", "db1"}));
        }
    }
    // The other side of a single date shows as "-".
    const std::string cwd = fresh_dir("shown");
    const RunResult r =
        run_arch({"arch", "dump", "--thru=03-05-2021", "--agents=app", env}, cwd, "n\n", "EST5");
    EXPECT_EQ(r.out, conditions("-", "Mon, 03 May 2021"));
}

// The same environment while a server runs on it (started through the commands, which the
// thread sanitizer's runtime cannot follow into a daemon).
class ArchBesideServer : public ArchCommand {};

TEST_F(ArchBesideServer, DumpIsRefusedWhileTheServerRuns) {
    start();
    const std::string server_pid = read_file(pidfile());
    const RunResult r = run_arch({"arch", "dump", env}, dir.path(), "y\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, red("Another Korvane instance already running."));
    EXPECT_EQ(r.err, "");
    // The server's pid file stays as it was.
    EXPECT_EQ(read_file(pidfile()), server_pid);
    EXPECT_TRUE(archives_in(dir.path()).empty());
}

TEST_F(ArchBesideServer, RoundTripThroughTheCommands) {
    start();
    std::map<std::pair<std::string, uint32_t>, Bytes> source;
    for (const test_agent_def &a : kStoreAgents)
        for (uint32_t day : kDays)
            source[{a.label, day}] = root_calls(a.label, day);
    stop();
    ASSERT_EQ(read_root_calls(source[{"app1", kMay3}]).rows.size(), 2u);

    const std::string cwd = fresh_dir("dumps");
    const RunResult dump =
        run_arch({"arch", "dump", "--agents=^app", "--from=03-05-2021", "--thru=03-05-2021", env},
                 cwd, "y\n");
    ASSERT_EQ(dump.exit_code, 0) << dump.out;
    const std::vector<std::string> files = archives_in(cwd);
    ASSERT_EQ(files.size(), 1u);

    const unsigned copy_port = free_tcp_port();
    init_env(dir.path(), "copy", "database", copy_port);
    const std::string copy = dir.sub("copy");
    ASSERT_EQ(system(("rm -rf '" + copy + "/storage.db'").c_str()), 0);
    const RunResult extract = run_arch({"arch", "extract", files[0]}, copy);
    ASSERT_EQ(extract.exit_code, 0) << extract.out;
    EXPECT_NE(extract.out.find(kExtracted), std::string::npos) << extract.out;
    EXPECT_TRUE(exists(copy + "/korvane-arch-extract.log"));
    EXPECT_FALSE(exists(copy + "/" + ARCHIVE_TMP_FILE));

    env = copy;
    port = copy_port;
    start();
    for (const auto &[key, bytes] : source) {
        const auto &[label, day] = key;
        const Bytes got = root_calls(label.c_str(), day);
        if (label != "db1" && day == kMay3) {
            EXPECT_EQ(got, bytes) << label << " " << day;
        } else {
            const RootCallsReply r = read_root_calls(got);
            EXPECT_EQ(r.status, QRESP_OK) << label << " " << day;
            EXPECT_TRUE(r.rows.empty()) << label << " " << day;
        }
    }
}

// ---- extraction ----

// The four symbol files of an empty store, as archive entries.
Bytes symbol_entries() {
    const Bytes header = Bytes("KORVANE") + Bytes(9, '\0');
    Bytes out;
    for (const char *f : {"thr", "cls", "mth", "kvs"})
        out += file_entry(std::string("storage.db/symbols/") + f, header);
    return out;
}

// A Database environment made by init whose store was removed, to extract into.
class ArchExtract : public testing::Test {
protected:
    TempDir dir;
    std::string env = dir.sub("env");

    void SetUp() override {
        init_env(dir.path(), "env", "database", 1);
        ASSERT_EQ(system(("rm -rf '" + env + "/storage.db'").c_str()), 0);
    }

    // Whether a store in the environment opens.
    bool store_opens() const {
        return in_env(env, [] { _exit(dbs_open() != nullptr ? 0 : 1); }).exit_code == 0;
    }
};

TEST_F(ArchExtract, HostileArchivesWriteNothingOutsideTheStore) {
    const std::string escape = dir.sub("escaped");
    const struct {
        const char *name;
        Bytes archive;
    } cases[] = {
        {"dot-dot", archive_header() + block(symbol_entries() + file_entry("../escaped", "evil"))},
        {"absolute", archive_header() + block(symbol_entries() + file_entry(escape, "evil"))},
        {"cut-block", archive_header() + block(symbol_entries()).substr(0, 200)},
        {"bad-magic", Bytes("KORVANE?") + be_bytes(0x3006, 2) + block(symbol_entries())},
    };
    for (const auto &c : cases) {
        write_file(dir.sub("in.arch"), c.archive);
        const std::set<std::string> before = tree(dir.path());
        const RunResult r = run_arch({"arch", "extract", "../in.arch"}, env);
        EXPECT_EQ(r.exit_code, 1) << c.name;
        EXPECT_EQ(r.out.find(kExtracted), std::string::npos) << c.name;
        for (const std::string &p : tree(dir.path())) {
            const bool allowed = before.count(p) || p == "env/korvane-arch-extract.log" ||
                                 p == "env/storage.db" ||
                                 p.rfind("env/storage.db/", 0) == 0;
            EXPECT_TRUE(allowed) << c.name << ": " << p;
        }
        EXPECT_FALSE(exists(escape)) << c.name;
        EXPECT_FALSE(store_opens()) << c.name;
        ASSERT_EQ(
            system(("rm -rf '" + env + "/storage.db' '" + env + "/korvane-arch.tmp'").c_str()), 0);
    }
}

// A failed extraction names its cause in one line on standard error without --verbose (the
// details stay in the log), and leaves nothing that blocks the next attempt.
TEST_F(ArchExtract, FailureSaysWhyAndTheNextAttemptSucceeds) {
    const Bytes good = archive_header() + block(symbol_entries());
    const std::string tmp = env + "/" + ARCHIVE_TMP_FILE;
    const struct {
        const char *name;
        Bytes archive;
        std::function<void()> prepare;
        const char *cause;
    } cases[] = {
        {"cut block", archive_header() + block(symbol_entries()).substr(0, 200), [] {},
         "Archive file ends inside a data block."},
        {"bad magic", Bytes("KORVANE?") + be_bytes(0x3006, 2) + block(symbol_entries()), [] {},
         "Not a Korvane Database archive."},
        {"empty archive", Bytes(), [] {}, "Invalid Korvane Database archive file size."},
        // Refused after the symbols were written: the half-made store goes with the failure.
        {"entry outside the store",
         archive_header() + block(symbol_entries() + file_entry("../escaped", "evil")), [] {},
         "Refused archive file path: ../escaped"},
        {"store exists", good, [&] { ASSERT_EQ(mkdir((env + "/storage.db").c_str(), 0700), 0); },
         "Directory [storage.db] already exists."},
        {"killed run's temporary file", Bytes(), [&] { write_file(tmp, "left over"); },
         "Invalid Korvane Database archive file size."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.sub("in.arch"), c.archive);
        c.prepare();
        const RunResult failed = run_arch({"arch", "extract", "../in.arch"}, env);
        EXPECT_EQ(failed.exit_code, 1) << failed.out;
        EXPECT_EQ(failed.err, std::string("Error! Archive extraction failed: ") + c.cause + "\n");
        EXPECT_NE(read_file(env + "/korvane-arch-extract.log").find(c.cause), std::string::npos);
        if (c.name != std::string("store exists")) {
            EXPECT_FALSE(exists(env + "/storage.db"));
        }
        rmdir((env + "/storage.db").c_str());

        write_file(dir.sub("in.arch"), good);
        const RunResult retried = run_arch({"arch", "extract", "../in.arch"}, env);
        EXPECT_EQ(retried.exit_code, 0) << retried.out << retried.err;
        EXPECT_NE(retried.out.find(kExtracted), std::string::npos) << retried.out;
        EXPECT_EQ(retried.err, "");
        EXPECT_FALSE(exists(tmp));
        EXPECT_TRUE(store_opens());
        ASSERT_EQ(system(("rm -rf '" + env + "/storage.db'").c_str()), 0);
    }
}

// A temporary file a live extraction holds is never taken over: the second one is refused.
TEST_F(ArchExtract, HeldTemporaryFileRefusesASecondExtraction) {
    write_file(dir.sub("in.arch"), archive_header() + block(symbol_entries()));
    const std::string tmp = env + "/" + ARCHIVE_TMP_FILE;
    write_file(tmp, "in use");
    fd_owner holder(open(tmp.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(holder.get(), LOCK_EX), 0);
    const RunResult r = run_arch({"arch", "extract", "../in.arch"}, env);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(r.err, "Error! Archive extraction failed: Output file [korvane-arch.tmp] is in use "
                     "by another extraction.\n");
    EXPECT_EQ(read_file(tmp), "in use");
    EXPECT_FALSE(exists(env + "/storage.db"));
}

TEST_F(ArchExtract, LogLinkIsNotFollowed) {
    write_file(dir.sub("good.arch"), archive_header() + block(symbol_entries()));
    const std::string target = dir.sub("target");
    write_file(target, "keep");
    ASSERT_EQ(symlink(target.c_str(), (env + "/korvane-arch-extract.log").c_str()), 0);
    const RunResult r = run_arch({"arch", "extract", "../good.arch"}, env);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out.rfind(red("Unable to create a log file."), 0), 0u) << r.out;
    EXPECT_NE(r.out.find(kExtracted), std::string::npos);
    EXPECT_EQ(read_file(target), "keep");
    EXPECT_TRUE(store_opens());
}

} // namespace
