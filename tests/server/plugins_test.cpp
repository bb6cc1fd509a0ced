#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "lib/log.h"
#include "server/plugins.h"
#include "support/test_support.h"

namespace {

std::string plugin_lib(const std::string &variant) {
    return std::string(KRV_TEST_PLUGIN_DIR) + "/" + variant + ".so";
}

// Copies the test plugin `variant` to `dir`/`file`, making `dir` first.
void put_lib(const std::string &dir, const std::string &file, const std::string &variant) {
    mkdir(dir.c_str(), 0700);
    write_file(dir + "/" + file, read_file(plugin_lib(variant)));
}

// A plugin directory "plugins/<name>" holding the variant as "plg-<variant>.so".
void put_plugin(const std::string &env, const std::string &name, const std::string &variant) {
    put_lib(env + "/plugins/" + name, "plg-" + variant + ".so", variant);
}

// The log lines of a run without their time stamps; lines of another form stay whole.
std::vector<std::string> log_lines(const std::string &text) {
    static const char *const words[] = {"DEBUG  ", "INFO   ", "WARN   ", "ERROR  ", "FATAL  "};
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        size_t from = std::string::npos;
        for (const char *w : words)
            from = std::min(from, line.find(w));
        lines.push_back(from == std::string::npos ? line : line.substr(from));
    }
    return lines;
}

// The visible names of a directory in the order readdir returns them.
std::vector<std::string> dir_order(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *de = readdir(d))
            if (de->d_name[0] != '.')
                names.emplace_back(de->d_name);
        closedir(d);
    }
    return names;
}

// Replaces "{1}", "{2}" ... by the names given, each without a leading "plg-".
std::string fill_order(std::string text, const std::vector<std::string> &names) {
    for (size_t i = 0; i < names.size(); i++) {
        std::string name = names[i].rfind("plg-", 0) == 0 ? names[i].substr(4) : names[i];
        const std::string mark = "{" + std::to_string(i + 1) + "}";
        for (size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), name);
    }
    return text;
}

// Which of the test passwords the registered check accepts.
const char *hook_password() {
    const auth_fn check = auth_hook.load();
    if (check == nullptr)
        return "none";
    for (const char *pw : {"letmein", "second"})
        if (check("anyone", pw) == 0)
            return pw;
    return "?";
}

// Runs the plugins' start in a child inside `env` with INFO lines on; standard output holds
// "rc=<result> list=<names> hook=<password the check accepts>".
RunResult start_plugins(const std::string &env) {
    return run_forked([&] {
        if (chdir(env.c_str()) != 0)
            _exit(2);
        log_level.store(1);
        const int rc = plugins_init();
        std::string names;
        for (const plugin_rec *p = plugin_list_head; p != nullptr; p = p->next)
            names += std::string(names.empty() ? "" : ",") + p->name;
        printf("rc=%d list=%s hook=%s", rc, names.c_str(), hook_password());
    });
}

struct DiscoveryCase {
    const char *what;
    std::function<void(const std::string &env)> layout; // inside an empty "plugins"
    std::vector<std::string> log;                       // after the two opening lines
    std::string result;
    const char *order_dir = nullptr; // fills {1}, {2} of log and result, below env
};

const std::string kInit = "INFO   Initializing plugins subsystem...";
const std::string kSearch = "INFO   Searching for plugins ...";
const std::string kNone = "INFO   No plugins loaded.";
const std::string kLoaded = "INFO   Plugins subsystem initialized.";

TEST(PluginsDiscovery, LogLinesAndOutcomeOfEachLayout) {
    const DiscoveryCase cases[] = {
        {"empty directory", [](const std::string &) {}, {kNone}, "rc=0 list= hook=none"},
        {"a file entry",
         [](const std::string &env) { write_file(env + "/plugins/readme", "x"); },
         {"ERROR  Incorrect entry found in the plugins directory: readme", kNone},
         "rc=0 list= hook=none"},
        {"a link to nothing",
         [](const std::string &env) {
             ASSERT_EQ(symlink("nowhere", (env + "/plugins/gone").c_str()), 0);
         },
         {"ERROR  Cannot read plugin file plugins/gone: No such file or directory", kNone},
         "rc=0 list= hook=none"},
        {"hidden entries are passed over",
         [](const std::string &env) {
             put_lib(env + "/plugins/.hidden", "plg-accept.so", "accept");
             put_lib(env + "/plugins/p", ".plg-accept.so", "accept");
         },
         {"INFO   Plugin [p] discovered.", "ERROR  Plugin p is missing the library file!", kNone},
         "rc=0 list= hook=none"},
        {"a plugin without library",
         [](const std::string &env) {
             mkdir((env + "/plugins/p").c_str(), 0700);
             write_file(env + "/plugins/p/cfg-auth.conf", "x");
             write_file(env + "/plugins/p/accept.so", read_file(plugin_lib("accept")));
         },
         {"INFO   Plugin [p] discovered.", "ERROR  Plugin p is missing the library file!", kNone},
         "rc=0 list= hook=none"},
        {"the accepting plugin with its configuration",
         [](const std::string &env) {
             put_plugin(env, "p", "accept");
             write_file(env + "/plugins/p/cfg-auth.conf", "x");
         },
         {"INFO   Plugin [p] discovered.", "INFO   Plugin [p] opened successfully.",
          "test plugin [p] conf [plugins/p/cfg-auth.conf]",
          "INFO   Plugin [p] registered successfully.", "INFO   Plugin [p] initiated successfully.",
          kLoaded},
         "rc=0 list=p hook=letmein"},
        {"the accepting plugin without configuration",
         [](const std::string &env) { put_plugin(env, "p", "accept"); },
         {"INFO   Plugin [p] discovered.", "INFO   Plugin [p] opened successfully.",
          "test plugin [p] conf [none]", "INFO   Plugin [p] registered successfully.",
          "INFO   Plugin [p] initiated successfully.", kLoaded},
         "rc=0 list=p hook=letmein"},
        {"two plg- files: the first listed is loaded",
         [](const std::string &env) {
             put_lib(env + "/plugins/p", "plg-letmein", "accept");
             put_lib(env + "/plugins/p", "plg-second", "second");
         },
         {"INFO   Plugin [p] discovered.", "INFO   Plugin [p] opened successfully.",
          "test plugin [p] conf [none]", "INFO   Plugin [p] registered successfully.",
          "INFO   Plugin [p] initiated successfully.", kLoaded},
         "rc=0 list=p hook={1}",
         "plugins/p"},
        // Registered, then unloaded: its check must not stay behind as the login's hook.
        {"init fails after registering",
         [](const std::string &env) { put_plugin(env, "p", "initfail"); },
         {"INFO   Plugin [p] discovered.", "INFO   Plugin [p] opened successfully.",
          "test plugin [p] conf [none]", "INFO   Plugin [p] registered successfully.",
          "ERROR  Plugin [p] init function failed.", kNone},
         "rc=0 list= hook=none"},
        {"init succeeds without registering",
         [](const std::string &env) { put_plugin(env, "p", "silent"); },
         {"INFO   Plugin [p] discovered.", "INFO   Plugin [p] opened successfully.",
          "test plugin [p] conf [none]", "ERROR  Plugin [p] not registered.", kNone},
         "rc=0 list= hook=none"},
        {"no plugin_init",
         [](const std::string &env) { put_plugin(env, "p", "noinit"); },
         {"INFO   Plugin [p] discovered.", "INFO   Plugin [p] opened successfully.",
          "ERROR  Unable to initialize plugin p: plugins/p/plg-noinit.so: undefined symbol: "
          "plugin_init",
          kNone},
         "rc=0 list= hook=none"},
        {"a library the loader refuses",
         [](const std::string &env) { put_plugin(env, "p", "undefined"); },
         {"INFO   Plugin [p] discovered.",
          "ERROR  Unable to open a plugin p: plugins/p/plg-undefined.so: undefined symbol: "
          "krv_plugin_missing",
          kNone},
         "rc=0 list= hook=none"},
        {"two registering plugins: the first listed wins",
         [](const std::string &env) {
             put_lib(env + "/plugins/letmein", "plg-a.so", "accept");
             put_lib(env + "/plugins/second", "plg-b.so", "second");
         },
         {"INFO   Plugin [{1}] discovered.", "INFO   Plugin [{1}] opened successfully.",
          "test plugin [{1}] conf [none]", "INFO   Plugin [{1}] registered successfully.",
          "INFO   Plugin [{1}] initiated successfully.", "INFO   Plugin [{2}] discovered.",
          "INFO   Plugin [{2}] opened successfully.", "test plugin [{2}] conf [none]",
          "ERROR  Plugin [{2}] already registered.", "ERROR  Plugin [{2}] not registered.",
          kLoaded},
         "rc=0 list={1} hook={1}",
         "plugins"},
        {"plugins is a file",
         [](const std::string &env) {
             rmdir((env + "/plugins").c_str());
             write_file(env + "/plugins", "x");
         },
         {"ERROR  Cannot read plugins: Not a directory.", "FATAL  Plugins discovery failed."},
         "rc=-1 list= hook=none"},
        {"no plugins directory",
         [](const std::string &env) { rmdir((env + "/plugins").c_str()); },
         {"ERROR  Cannot read plugins: No such file or directory.",
          "FATAL  Plugins discovery failed."},
         "rc=-1 list= hook=none"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir env;
        ASSERT_EQ(mkdir(env.sub("plugins").c_str(), 0700), 0);
        c.layout(env.path());
        const std::vector<std::string> order =
            c.order_dir ? dir_order(env.sub(c.order_dir)) : std::vector<std::string>{};
        std::vector<std::string> want{kInit, kSearch};
        for (const std::string &line : c.log)
            want.push_back(fill_order(line, order));

        RunResult r = start_plugins(env.path());
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, fill_order(c.result, order));
        EXPECT_EQ(log_lines(r.err), want) << r.err;
    }
}

TEST(PluginsDiscovery, NothingIsLoggedBelowInfo) {
    TempDir env;
    mkdir(env.sub("plugins").c_str(), 0700);
    put_plugin(env.path(), "p", "accept");
    RunResult r = run_forked([&] {
        if (chdir(env.path().c_str()) != 0)
            _exit(2);
        log_level.store(0);
        printf("%d", plugins_init());
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, "test plugin [p] conf [none]\n");
}

// The registered check is called from many threads at once, as pool workers do.
TEST(PluginsDiscovery, RegisteredCheckServesThreadsAtOnce) {
    TempDir env;
    mkdir(env.sub("plugins").c_str(), 0700);
    put_plugin(env.path(), "p", "accept");
    RunResult r = run_forked([&] {
        if (chdir(env.path().c_str()) != 0 || plugins_init() != 0)
            _exit(2);
        const auth_fn check = auth_hook.load();
        if (check == nullptr)
            _exit(3);
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; t++)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 2000; i++) {
                    const bool good = (i + t) % 2 == 0;
                    if ((check("user", good ? "letmein" : "letmeout") == 0) != good)
                        wrong++;
                }
            });
        for (auto &th : threads)
            th.join();
        printf("wrong=%d", wrong.load());
    });
    EXPECT_EQ(r.out, "wrong=0");
}

int accept_all(const char *, const char *) {
    return 0;
}

TEST(PluginRegister, ArgumentsAndTheOneRegisteredPlugin) {
    struct RegisterCase {
        const char *what;
        bool with_record;
        bool with_fn;
        uint32_t listed_type; // type of a plugin already in the list; 0xFF: empty list
        std::string line;
        uint32_t type_after;
    } cases[] = {
        {"no record", false, true, 0xFF, "ERROR  Plugin register: invalid arguments.", 0},
        {"no function", true, false, 0xFF, "ERROR  Plugin register: invalid arguments.", 0},
        {"first to register", true, true, 0xFF, "INFO   Plugin [mine] registered successfully.",
         PLUGIN_AUTH},
        {"a listed plugin that never registered", true, true, 0,
         "INFO   Plugin [mine] registered successfully.", PLUGIN_AUTH},
        {"another plugin registered already", true, true, PLUGIN_AUTH,
         "ERROR  Plugin [mine] already registered.", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = run_forked([&] {
            log_level.store(1);
            char other_name[] = "other";
            plugin_rec other{nullptr, accept_all, c.listed_type, other_name};
            plugin_list_head = c.listed_type == 0xFF ? nullptr : &other;
            char mine_name[] = "mine";
            plugin_rec mine{nullptr, nullptr, 0, mine_name};
            plugin_register_auth(c.with_record ? &mine : nullptr, c.with_fn ? accept_all : nullptr);
            // Registration alone never sets the login's hook: the loader does, when it keeps
            // the plugin.
            printf("type=%u fn=%d hook=%d", mine.type, mine.auth_fn != nullptr,
                   auth_hook.load() != nullptr);
        });
        EXPECT_EQ(log_lines(r.err), std::vector<std::string>{c.line});
        const bool set = c.type_after == PLUGIN_AUTH;
        EXPECT_EQ(r.out,
                  "type=" + std::to_string(c.type_after) + " fn=" + (set ? "1" : "0") + " hook=0");
    }
}

} // namespace
