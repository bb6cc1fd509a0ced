#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.h"
#include "lib/log.h"
#include "server/runtime.h"
#include "support/test_support.h"

namespace {

// Stand-in handlers: they print what the option and action parsing handed them.
int32_t show_info(int argc, char **argv, struct runtime *) {
    int storage = 0, verbose = 0;
    const cli_opt opts[] = {{"verbose", &verbose, nullptr}, {"storage", &storage, nullptr}};
    int rest = cli_parse_opts(argc, argv, 1, opts, 2);
    if (rest < 0)
        exit(1);
    printf("storage=%d verbose=%d last=%s", storage, verbose, rest < argc ? argv[rest] : "-");
    exit(0);
}

int32_t show_plugin(int argc, char **argv, struct runtime *) {
    static const cli_command actions[] = {{"add", nullptr}, {"rm", nullptr}, {nullptr, nullptr}};
    const cli_command *a = cli_find_action(argc, argv, actions, false, "plugin");
    const char *name = "-", *lib = "-";
    const cli_opt opts[] = {{"name", nullptr, &name}, {"lib", nullptr, &lib}};
    int rest = cli_parse_opts(argc, argv, 2, opts, 2);
    if (rest < 0)
        exit(1);
    printf("action=%s name=%s lib=%s last=%s", a->word, name, lib, rest < argc ? argv[rest] : "-");
    exit(0);
}

int32_t returns_minus_one(int, char **, struct runtime *) {
    return -1;
}

const cli_command test_table[] = {
    {"info", show_info},
    {"plugin", show_plugin},
    {"start", returns_minus_one},
    {nullptr, nullptr},
};

RunResult dispatch(std::vector<std::string> words) {
    return run_forked([&] {
        std::vector<char *> argv{const_cast<char *>("korvane")};
        for (auto &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        exit(cli_dispatch_table(test_table, static_cast<int>(argv.size() - 1), argv.data()) == 0
                 ? 0
                 : 9);
    });
}

struct ParseCase {
    std::vector<std::string> words;
    int exit_code;
    std::string out;
};

TEST(Cli, OptionsAndActionsThroughTheCommandTable) {
    const ParseCase cases[] = {
        {{"info", "--storage", "env"}, 0, "storage=1 verbose=0 last=env"},
        {{"info", "env", "--storage"}, 0, "storage=1 verbose=0 last=env"},
        {{"info", "--stor", "env"}, 0, "storage=1 verbose=0 last=env"},
        {{"info", "env", "extra"}, 0, "storage=0 verbose=0 last=env"},
        {{"info"}, 0, "storage=0 verbose=0 last=-"},
        {{"info", "--bogus", "env"}, 1, ""},
        {{"info", "-s", "env"}, 1, ""},
        {{"plugin", "add", "--name", "p", "--lib=x.so", "env"},
         0,
         "action=add name=p lib=x.so last=env"},
        {{"plugin", "ADD", "env", "--name=p", "--lib", "x.so"},
         0,
         "action=add name=p lib=x.so last=env"},
        {{"plugin", "add", "env", "--name"}, 1, ""},
        {{"plugin", "--name=p", "add", "env"},
         1,
         "\033[91mInvalid plugin action specified: --name=p\033[0m\n"},
        {{"plugin"}, 1, "\033[91mToo few arguments!\033[0m\n"},
        {{"plugin", "drop", "env"}, 1, "\033[91mInvalid plugin action specified: drop\033[0m\n"},
        {{"Start", "env"}, 1, "\033[91mUnknown option: Start\033[0m\n"},
        {{"bogus"}, 1, "\033[91mUnknown option: bogus\033[0m\n"},
        {{"start", "env"}, 9, ""},
    };
    for (const auto &c : cases) {
        RunResult r = dispatch(c.words);
        std::string joined;
        for (auto &w : c.words)
            joined += w + " ";
        EXPECT_EQ(r.exit_code, c.exit_code) << joined;
        EXPECT_EQ(r.out, c.out) << joined;
    }
}

TEST(Cli, NoWordPrintsBannerAndVersion) {
    RunResult r = run_korvane({});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("\tVersion:     3.0.6\n"), std::string::npos);
    EXPECT_EQ(r.out.rfind("\033[94m  *****", 0), 0u);
}

TEST(Cli, HandlerFailureIsAStartupFailure) {
    RunResult r = run_korvane({"Start"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "\033[91mUnknown option: Start\033[0m\n");
}

TEST(Cli, EnvironmentKinds) {
    TempDir dir;
    std::string none = dir.sub("none"), mgr = dir.sub("mgr"), db = dir.sub("db"),
                both = dir.sub("both");
    for (auto &d : {none, mgr, db, both})
        mkdir(d.c_str(), 0700);
    mkdir((mgr + "/storage.mgr").c_str(), 0700);
    write_file(db + "/storage.db", "");
    write_file(both + "/storage.mgr", "");
    mkdir((both + "/storage.db").c_str(), 0700);
    EXPECT_EQ(cli_env_type(none.c_str()), 0u);
    EXPECT_EQ(cli_env_type(mgr.c_str()), 1u);
    EXPECT_EQ(cli_env_type(db.c_str()), 2u);
    EXPECT_EQ(cli_env_type(both.c_str()), 3u);
    // A dangling link still counts: the final link is not followed.
    symlink("/nonexistent", (none + "/storage.db").c_str());
    EXPECT_EQ(cli_env_type(none.c_str()), 2u);
}

TEST(Cli, EnvironmentPaths) {
    TempDir dir;
    write_file(dir.sub("file"), "x");
    const struct {
        std::string text;
        std::string result; // empty: refused
        std::string out;
    } cases[] = {
        {dir.path() + "///", dir.path(), ""},
        {dir.path(), dir.path(), ""},
        {dir.sub("missing"), "",
         "\033[91mError! No such file or directory : " + dir.sub("missing") + ".\033[0m\n"},
        {dir.sub("file"), "",
         "\033[91mError! \"" + dir.sub("file") + "\" is not a directory.\033[0m\n"},
        {"/", "", "\033[91mError! \"/\" is not a usable environment path.\033[0m\n"},
        {"a/", "", "\033[91mError! \"a/\" is not a usable environment path.\033[0m\n"},
    };
    for (const auto &c : cases) {
        RunResult r = run_forked([&] {
            char *p = cli_env_path(c.text.c_str());
            printf("[%s]", p ? p : "");
            free(p);
        });
        EXPECT_EQ(r.out, c.out + "[" + c.result + "]") << c.text;
    }
    EXPECT_EQ(cli_env_path(nullptr), nullptr);
}

TEST(Cli, VerboseEmptiesOutLogAndRaisesTheLevel) {
    TempDir dir;
    write_file(dir.sub("out.log"), "stale contents\n");
    RunResult r = run_forked([&] {
        if (chdir(dir.path().c_str()) != 0)
            _exit(5);
        cli_log_output(0);
        if (log_level.load() != 0)
            _exit(6);
        cli_log_output(1);
        LOG_DEBUG("fresh");
        _exit(log_level.load() == 3 ? 0 : 7);
    });
    EXPECT_EQ(r.exit_code, 0);
    std::string log = read_file(dir.sub("out.log"));
    EXPECT_EQ(log.find("stale"), std::string::npos);
    EXPECT_NE(log.find("DEBUG  fresh\n"), std::string::npos);
}

TEST(Cli, ModeWords) {
    EXPECT_EQ(cli_parse_mode("standalone"), 3u);
    EXPECT_EQ(cli_parse_mode("Manager"), 1u);
    EXPECT_EQ(cli_parse_mode("MANAGER"), 1u);
    EXPECT_EQ(cli_parse_mode("database"), 2u);
    EXPECT_EQ(cli_parse_mode("db"), 0u);
    EXPECT_EQ(cli_parse_mode(nullptr), 0u);
}

} // namespace
