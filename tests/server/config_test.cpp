#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "lib/netaddr.h"
#include "server/config.h"
#include "server/runtime.h"
#include "support/test_support.h"

namespace {

const std::string kTemplates = std::string(KRV_SOURCE_DIR) + "/templates";

std::string addr_text(const sockaddr_storage *sa) {
    if (sa == nullptr)
        return "NULL";
    if (sa->ss_family == 0)
        return "unset";
    char text[NET_TEXT_SIZE];
    sockaddr_to_str(reinterpret_cast<const sockaddr *>(sa), text);
    return text;
}

// The loaded record in one line: addresses, then enable/policy/retention/HH:MM.
std::string describe_config() {
    std::string s = "server=" + addr_text(&config.server) +
                    " manager=" + addr_text(config.manager) +
                    " redirect=" + addr_text(config.redirect) + " archive=";
    const archive_cfg *a = config.archive;
    if (a == nullptr)
        return s + "NULL";
    char buf[64];
    snprintf(buf, sizeof buf, "%d/%u/%u/%02d:%02d", a->enable, a->policy, a->retention,
             a->schedule.tm_hour, a->schedule.tm_min);
    return s + buf;
}

// Runs `load` in a child: its standard output, and its result with the record on standard
// error.
RunResult run_load(const std::function<int()> &load) {
    return run_forked([&] {
        int rc = load();
        fprintf(stderr, "%d %s", rc, describe_config().c_str());
    });
}

std::string red(const std::string &text) {
    return "\033[91m" + text + "\033[0m\n";
}

std::string parse_error(const char *reader_text) {
    return red(std::string("Configuration parse error: ") + reader_text + "\n");
}

const char kServer[] = R"("server": {"host": "*", "port": 9000})";
const char kArchive[] = R"("archive": {"enable": true, "policy": "PURGE", "retention": 48,
    "scheduled on": {"hour": 23, "minute": 59}})";
const char kManager[] = R"("manager": {"host": "10.0.0.1", "port": 9000})";
const char kRedirect[] = R"("redirect": {"host": "10.0.0.2", "port": 9001})";

std::string object(const std::vector<std::string> &members) {
    std::string s = "{\n";
    for (size_t i = 0; i < members.size(); i++)
        s += (i ? ",\n" : "") + members[i];
    return s + "\n}\n";
}

std::string database(const std::string &manager, const std::string &server,
                     const std::string &redirect, const std::string &archive) {
    return object({manager, server, redirect, archive});
}

std::string address(const char *name, const char *host, unsigned port) {
    return std::string("\"") + name + "\": {\"host\": \"" + host +
           "\", \"port\": " + std::to_string(port) + "}";
}

std::string archive(const std::string &body) {
    return "\"archive\": {" + body + "}";
}

struct LoadCase {
    const char *what;
    uint32_t mode;
    std::string text;
    std::string out;   // what config_load prints
    std::string state; // its result and the record
};

const std::string kManagerOnly = "server=0.0.0.0:9000 manager=NULL redirect=NULL archive=NULL";
const std::string kStandaloneLoaded =
    "server=0.0.0.0:9000 manager=NULL redirect=NULL archive=1/1/48/23:59";
const std::string kDatabaseLoaded =
    "server=0.0.0.0:9000 manager=10.0.0.1:9000 redirect=10.0.0.2:9001 archive=1/1/48/23:59";

const std::vector<LoadCase> kLoadCases = {
    // Valid files of each mode.
    {"manager", MODE_MANAGER, object({kServer}), "", "0 " + kManagerOnly},
    {"standalone", MODE_STANDALONE, object({kServer, kArchive}), "", "0 " + kStandaloneLoaded},
    {"database", MODE_DATABASE, database(kManager, kServer, kRedirect, kArchive), "",
     "0 " + kDatabaseLoaded},
    {"members in any order, empty objects", MODE_STANDALONE,
     object({archive(R"("scheduled on": {}, "policy": "archive")"), kServer}), "",
     "0 server=0.0.0.0:9000 manager=NULL redirect=NULL archive=0/0/0/00:00"},
    {"IPv6 listening address", MODE_MANAGER, object({address("server", "::", 7)}), "",
     "0 server=:::7 manager=NULL redirect=NULL archive=NULL"},
    {"IPv6 peers", MODE_DATABASE,
     database(address("manager", "fd00::1", 1), address("server", "::1", 2),
              address("redirect", "fd00::2", 3), archive(R"("policy": "Archive")")),
     "", "0 server=::1:2 manager=fd00::1:1 redirect=fd00::2:3 archive=0/0/0/00:00"},

    // Reader failures, with the reader's text.
    {"archive in a Manager file", MODE_MANAGER, object({kServer, kArchive}),
     parse_error("unknown attribute name"),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
    {"manager in a Standalone file", MODE_STANDALONE, object({kManager, kServer, kArchive}),
     parse_error("unknown attribute name"),
     "-1 server=unset manager=NULL redirect=NULL archive=0/0/0/00:00"},
    {"port beyond 16 bits", MODE_MANAGER, object({address("server", "*", 70000)}),
     parse_error("other data conversion error"),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
    {"port as text", MODE_MANAGER, R"({"server": {"host": "*", "port": "9000"}})",
     parse_error("saw quoted value when expecting nonstring"),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
    {"truncated file", MODE_MANAGER, R"({"server": {"host": "*", "port": 9000})",
     parse_error("garbage while expecting comma or } or ]"),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
    {"host too long", MODE_MANAGER, object({address("server", std::string(128, '1').c_str(), 1)}),
     parse_error("string value too long"),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
    {"negative hour", MODE_STANDALONE,
     object({kServer, archive(R"("policy": "purge", "scheduled on": {"hour": -1})")}),
     parse_error("other data conversion error"),
     "-1 server=unset manager=NULL redirect=NULL archive=0/0/0/00:00"},

    // Address checks.
    {"host name", MODE_MANAGER, object({address("server", "localhost", 9000)}),
     red("Invalid server address: localhost"),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
    {"white space only", MODE_MANAGER, " \n", red("Invalid server address: "),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
    {"Database without redirect", MODE_DATABASE, object({kManager, kServer, kArchive}),
     red("Invalid server address: "),
     "-1 server=0.0.0.0:9000 manager=unset redirect=unset archive=0/0/0/00:00"},
    {"bad redirect host", MODE_DATABASE,
     database(kManager, kServer, address("redirect", "10.0.0.256", 1), kArchive),
     red("Invalid server address: 10.0.0.256"),
     "-1 server=0.0.0.0:9000 manager=unset redirect=unset archive=0/0/0/00:00"},
    {"any-address redirect", MODE_DATABASE,
     database(kManager, kServer, address("redirect", "*", 1), kArchive),
     red("Incorrect redirect host. Must be a specific IP address."),
     "-1 server=0.0.0.0:9000 manager=unset redirect=unset archive=0/0/0/00:00"},
    {"IPv6 any-address redirect", MODE_DATABASE,
     database(kManager, kServer, address("redirect", "::", 1), kArchive),
     red("Incorrect redirect host. Must be a specific IP address."),
     "-1 server=0.0.0.0:9000 manager=unset redirect=unset archive=0/0/0/00:00"},
    {"any-address manager", MODE_DATABASE,
     database(address("manager", "*", 1), kServer, kRedirect, kArchive),
     red("Incorrect manager host address. Must be a specific IP address."),
     "-1 server=0.0.0.0:9000 manager=unset redirect=10.0.0.2:9001 archive=0/0/0/00:00"},
    {"IPv6 any-address manager", MODE_DATABASE,
     database(address("manager", "::", 1), kServer, kRedirect, kArchive),
     red("Incorrect manager host address. Must be a specific IP address."),
     "-1 server=0.0.0.0:9000 manager=unset redirect=10.0.0.2:9001 archive=0/0/0/00:00"},
    // The any-address spelled out names no peer either.
    {"0.0.0.0 manager", MODE_DATABASE,
     database(address("manager", "0.0.0.0", 1), kServer, kRedirect, kArchive),
     red("Incorrect manager host address. Must be a specific IP address."),
     "-1 server=0.0.0.0:9000 manager=0.0.0.0:1 redirect=10.0.0.2:9001 archive=0/0/0/00:00"},
    {"0::0 redirect", MODE_DATABASE,
     database(kManager, kServer, address("redirect", "0::0", 1), kArchive),
     red("Incorrect redirect host. Must be a specific IP address."),
     "-1 server=0.0.0.0:9000 manager=unset redirect=:::1 archive=0/0/0/00:00"},
    {"manager host name", MODE_DATABASE,
     database(address("manager", "localhost", 1), kServer, kRedirect, kArchive),
     red("Invalid server address: localhost"),
     "-1 server=0.0.0.0:9000 manager=unset redirect=10.0.0.2:9001 archive=0/0/0/00:00"},

    // Archive checks.
    {"unknown policy", MODE_STANDALONE,
     object({kServer, archive(R"("enable": true, "policy": "delete")")}),
     red("Invalid policy value: delete"),
     "-1 server=0.0.0.0:9000 manager=NULL redirect=NULL archive=0/0/0/00:00"},
    {"no policy", MODE_DATABASE, database(kManager, kServer, kRedirect, archive("")),
     red("Invalid policy value: "),
     "-1 server=0.0.0.0:9000 manager=10.0.0.1:9000 redirect=10.0.0.2:9001 "
     "archive=0/0/0/00:00"},
    {"hour 24", MODE_STANDALONE, object({kServer, archive(R"("enable": true, "policy": "purge",
        "scheduled on": {"hour": 24, "minute": 0})")}),
     red("Incorrect hour value: 24"),
     "-1 server=0.0.0.0:9000 manager=NULL redirect=NULL archive=1/1/0/00:00"},
    {"minute 60", MODE_STANDALONE,
     object({kServer, archive(R"("policy": "archive", "scheduled on": {"minute": 60})")}),
     red("Incorrect minute value: 60"),
     "-1 server=0.0.0.0:9000 manager=NULL redirect=NULL archive=0/0/0/00:00"},

    // Modes the file has no table for.
    {"mode 0", 0, object({kServer}), red("Unsupported mode: 0"),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
    {"mode 26", 26, object({kServer}), red("Unsupported mode: 1A"),
     "-1 server=unset manager=NULL redirect=NULL archive=NULL"},
};

TEST(ConfigLoad, TableOfFiles) {
    TempDir dir;
    const std::string path = dir.sub("config.json");
    for (const LoadCase &c : kLoadCases) {
        write_file(path, c.text);
        RunResult r = run_load([&] { return config_load(path.c_str(), c.mode); });
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, c.state) << c.what;
    }
}

TEST(ConfigLoad, DatabaseTextDirectly) {
    std::string text = database(kManager, kServer, kRedirect, kArchive);
    RunResult r = run_load([&] { return config_load_database(text.c_str()); });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "0 " + kDatabaseLoaded);
}

TEST(ConfigLoad, FileRefusals) {
    TempDir dir;
    const std::string empty = dir.sub("empty.json");
    write_file(empty, "");
    const std::string missing = dir.sub("missing.json");
    const struct {
        std::string path;
        std::string out;
    } cases[] = {
        {empty, red("Error: (" + empty + ") Empty file")},
        {missing, red("Error: (" + missing + ") No such file or directory.")},
        {dir.path(), red("Error: (" + dir.path() + ") Is a directory.")},
    };
    for (const auto &c : cases) {
        RunResult r = run_load([&] { return config_load(c.path.c_str(), MODE_MANAGER); });
        EXPECT_EQ(r.out, c.out) << c.path;
        EXPECT_EQ(r.err, "-1 server=unset manager=NULL redirect=NULL archive=NULL");
    }
}

TEST(ConfigLoad, SizeLimit) {
    TempDir dir;
    const std::string path = dir.sub("big.json");
    std::string text = object({kServer});
    text += std::string(CONFIG_MAX_SIZE - text.size(), ' ');
    write_file(path, text);
    RunResult r = run_load([&] { return config_load(path.c_str(), MODE_MANAGER); });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "0 " + kManagerOnly);

    write_file(path, text + " ");
    r = run_load([&] { return config_load(path.c_str(), MODE_MANAGER); });
    EXPECT_EQ(r.out, red("Invalid configuration file (" + path + ")!"));
    EXPECT_EQ(r.err, "-1 server=unset manager=NULL redirect=NULL archive=NULL");
}

// An interface list in the shape getifaddrs gives, built from IPv4 texts.
class FakeInterfaces {
public:
    explicit FakeInterfaces(const std::vector<const char *> &ips) : addrs_(ips.size()) {
        nodes_.assign(ips.size(), ifaddrs{});
        for (size_t i = 0; i < ips.size(); i++) {
            addrs_[i].sin_family = AF_INET;
            inet_pton(AF_INET, ips[i], &addrs_[i].sin_addr);
            nodes_[i].ifa_name = const_cast<char *>("eth");
            nodes_[i].ifa_addr = reinterpret_cast<sockaddr *>(&addrs_[i]);
            nodes_[i].ifa_next = i + 1 < ips.size() ? &nodes_[i + 1] : nullptr;
        }
    }

    static int list(void *ctx, char ***out) {
        auto *self = static_cast<FakeInterfaces *>(ctx);
        const ifaddrs *head = self->nodes_.empty() ? nullptr : self->nodes_.data();
        return net_getall_ip_from(head, out, AF_INET);
    }

private:
    std::vector<sockaddr_in> addrs_;
    std::vector<ifaddrs> nodes_;
};

int failing_list(void *, char ***) {
    return -1;
}

// Runs config_create_with in a child: exit status 0 or 1, and what it printed.
RunResult run_create(const std::string &path, uint32_t mode, const config_sources *src) {
    return run_forked([&] {
        int rc = config_create_with(path.c_str(), mode, src);
        fflush(stdout);
        fflush(stderr);
        _exit(rc == 0 ? 0 : 1);
    });
}

// `dir` must outlive the result, which points at its text.
config_sources sources(const std::string &dir, FakeInterfaces *ifs) {
    return {dir.c_str(), FakeInterfaces::list, ifs};
}

TEST(ConfigCreate, CopiesTheManagerAndStandaloneTemplates) {
    TempDir dir;
    FakeInterfaces none(std::vector<const char *>{});
    const config_sources src = sources(kTemplates, &none);
    const struct {
        uint32_t mode;
        const char *name;
        std::string loaded;
    } cases[] = {
        {MODE_MANAGER, "manager.json", kManagerOnly},
        {MODE_STANDALONE, "standalone.json",
         "server=0.0.0.0:9000 manager=NULL redirect=NULL archive=0/0/168/02:30"},
    };
    for (const auto &c : cases) {
        const std::string path = dir.sub(c.name);
        RunResult r = run_create(path, c.mode, &src);
        EXPECT_EQ(r.exit_code, 0) << c.name;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_file(path), read_file(kTemplates + "/" + c.name));
        // What is written is a file its mode accepts.
        r = run_load([&] { return config_load(path.c_str(), c.mode); });
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, "0 " + c.loaded) << c.name;
    }
}

TEST(ConfigCreate, DatabaseTakesTheFirstAddressOtherThanLoopback) {
    TempDir dir;
    const std::string path = dir.sub("config.json");
    FakeInterfaces ifs({"127.0.0.1", "192.168.1.20", "10.0.0.3"});
    const config_sources src = sources(kTemplates, &ifs);
    RunResult r = run_create(path, MODE_DATABASE, &src);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");

    std::string expect = read_file(kTemplates + "/database.json");
    size_t at = expect.find("REDIRECT_IP");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(expect.find("REDIRECT_IP", at + 1), std::string::npos);
    expect.replace(at, strlen("REDIRECT_IP"), "192.168.1.20");
    EXPECT_EQ(read_file(path), expect + "\n");

    r = run_load([&] { return config_load(path.c_str(), MODE_DATABASE); });
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "0 server=0.0.0.0:9001 manager=127.0.0.1:9000 redirect=192.168.1.20:9001 "
                     "archive=0/0/168/02:30");
}

TEST(ConfigCreate, Refusals) {
    TempDir dir;
    const std::string no_placeholder = dir.sub("plain");
    mkdir(no_placeholder.c_str(), 0700);
    write_file(no_placeholder + "/database.json", object({kServer}));
    FakeInterfaces loopback_only({"127.0.0.1"});
    FakeInterfaces none(std::vector<const char *>{});
    FakeInterfaces good({"10.1.2.3"});
    const config_sources failing = {kTemplates.c_str(), failing_list, nullptr};
    const std::string no_dir = dir.sub("none");
    const std::string target = dir.sub("config.json");
    const std::string bad_target = dir.sub("missing/config.json");
    const struct {
        const char *what;
        uint32_t mode;
        config_sources src;
        std::string path;
        std::string out, err;
    } cases[] = {
        {"loopback only", MODE_DATABASE, sources(kTemplates, &loopback_only), target,
         red("No valid IP addresses found."), ""},
        {"no interface", MODE_DATABASE, sources(kTemplates, &none), target,
         red("No valid IP addresses found."), ""},
        {"listing fails", MODE_DATABASE, failing, target, red("No valid IP addresses found."), ""},
        {"template without placeholder", MODE_DATABASE, sources(no_placeholder, &good), target,
         red("Corrupted configuration template!"), ""},
        {"no template", MODE_DATABASE, sources(no_dir, &good), target,
         red("Error: No such file or directory"), ""},
        {"unwritable target", MODE_DATABASE, sources(kTemplates, &good), bad_target, "",
         bad_target + ": No such file or directory.\n"},
        {"no Manager template", MODE_MANAGER, sources(no_dir, &good), target, "", ""},
        {"unsupported mode", 4, sources(kTemplates, &good), target, red("Unsupported mode: 4"), ""},
    };
    for (const auto &c : cases) {
        RunResult r = run_create(c.path, c.mode, &c.src);
        EXPECT_EQ(r.exit_code, 1) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        struct stat st;
        EXPECT_NE(stat(c.path.c_str(), &st), 0) << c.what << ": no file is left behind";
    }
}

} // namespace
