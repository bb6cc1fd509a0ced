#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

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
        {"manager mode",
         {"init", "--mode=manager", "env"},
         "\033[91mThe manager mode needs the Manager storage, which is not available in this "
         "build.\033[0m\n"},
        {"standalone mode",
         {"init", "--mode=Standalone", "env"},
         "\033[91mThe standalone mode needs the Manager storage, which is not available in this "
         "build.\033[0m\n"},
        {"no mode: standalone",
         {"init", "env"},
         "\033[91mThe standalone mode needs the Manager storage, which is not available in this "
         "build.\033[0m\n"},
        {"missing parent",
         {"init", "--mode=database", "absent/env"},
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
