#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "database/store/symbols.h"
#include "lib/log_capture.h"
#include "lib/murmur3.h"
#include "store_dir.h"

namespace {

const std::string kClsPath = "storage.db/symbols/cls";
const std::string kHeader = std::string("KORVANE") + std::string(9, '\0');

class SymbolFiles : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(mkdir("storage.db", 0700), 0);
        ASSERT_EQ(mkdir("storage.db/symbols", 0700), 0);
        ASSERT_EQ(symbols_create(SYM_CLASS), 0);
    }
    void TearDown() override {
        if (map_)
            smap_close(map_);
        StoreDir::TearDown();
    }
    smap *reopen() {
        if (map_)
            smap_close(map_);
        map_ = symbols_open(SYM_CLASS);
        return map_;
    }
    uint32_t store(const std::string &name) {
        return smap_store(map_, static_cast<uint16_t>(name.size()), name.data());
    }
    uint32_t find(const std::string &name) {
        return smap_find_id(map_, static_cast<uint16_t>(name.size()), name.data());
    }

    smap *map_ = nullptr;
};

// A record as the file holds it, for building damaged files.
std::string record(const std::string &name) {
    std::string r("\x00\x1E\x00\x1E", 4);
    r += static_cast<char>(name.size() >> 8);
    r += static_cast<char>(name.size() & 0xFF);
    r += name;
    r.append((16 - r.size() % 16) % 16, '\0');
    return r;
}

TEST_F(SymbolFiles, CreatedFileHoldsOnlyTheHeader) {
    EXPECT_EQ(read_file(kClsPath), kHeader);
    EXPECT_EQ(path_mode(kClsPath), 0600u);
}

TEST_F(SymbolFiles, RecordBytesAndIds) {
    ASSERT_NE(reopen(), nullptr);
    EXPECT_EQ(store("main"), 1u);
    EXPECT_EQ(store("worker"), 2u);
    EXPECT_EQ(store("com.example.Order"), 3u); // 23 bytes: two 16-byte units
    EXPECT_EQ(store("x"), 5u);
    using namespace std::string_literals;
    const std::string expected = kHeader +
                                 "\x00\x1E\x00\x1E\x00\x04"
                                 "main"
                                 "\0\0\0\0\0\0"s +
                                 "\x00\x1E\x00\x1E\x00\x06"
                                 "worker"
                                 "\0\0\0\0"s +
                                 "\x00\x1E\x00\x1E\x00\x11"
                                 "com.example.Order"
                                 "\0\0\0\0\0\0\0\0\0"s +
                                 "\x00\x1E\x00\x1E\x00\x01"
                                 "x"
                                 "\0\0\0\0\0\0\0\0\0"s;
    EXPECT_EQ(read_file(kClsPath), expected);
}

TEST_F(SymbolFiles, StoredNamesComeBackAfterReopen) {
    ASSERT_NE(reopen(), nullptr);
    const std::vector<std::string> names = {"main", "com.example.Order", "x",
                                            std::string(2042, 'n')};
    std::map<std::string, uint32_t> ids;
    for (const auto &n : names)
        ids[n] = store(n);
    EXPECT_EQ(store("main"), ids["main"]);
    off_t size = path_size(kClsPath);
    ASSERT_NE(reopen(), nullptr);
    EXPECT_EQ(path_size(kClsPath), size);
    for (const auto &n : names) {
        EXPECT_EQ(find(n), ids[n]) << n.substr(0, 20);
        EXPECT_EQ(smap_get_name(map_, ids[n]), n);
        EXPECT_EQ(store(n), ids[n]);
    }
    EXPECT_EQ(path_size(kClsPath), size);
    EXPECT_EQ(smap_get_name(map_, 999), nullptr);
    EXPECT_EQ(find("absent"), 0u);
}

TEST_F(SymbolFiles, NameLengthLimit) {
    ASSERT_NE(reopen(), nullptr);
    EXPECT_EQ(store(std::string(2043, 'y')), 0u);
    EXPECT_EQ(path_size(kClsPath), 16);
    EXPECT_EQ(store(std::string(2042, 'y')), 1u);
    EXPECT_EQ(path_size(kClsPath), 16 + 2048);
    EXPECT_EQ(store("next"), 129u);
}

TEST_F(SymbolFiles, EqualHashAndLengthAreNotEnough) {
    ASSERT_NE(reopen(), nullptr);
    // An entry claiming the hash of "b" under the name "a".
    smap_insert(map_, SYM_CLASS, 7, 1, murmur3_hash64("b", 1), "a");
    EXPECT_EQ(find("b"), 0u);
    uint32_t b = store("b");
    EXPECT_NE(b, 0u);
    EXPECT_NE(b, 7u);
    EXPECT_EQ(find("b"), b);
}

TEST_F(SymbolFiles, NameWithZeroByteReloadsUpToIt) {
    ASSERT_NE(reopen(), nullptr);
    uint32_t id = store(std::string("ab\0cd", 5));
    ASSERT_NE(reopen(), nullptr);
    EXPECT_STREQ(smap_get_name(map_, id), "ab");
    EXPECT_EQ(find("ab"), id);
}

TEST_F(SymbolFiles, ConcurrentStoresGiveEachNameOneId) {
    ASSERT_NE(reopen(), nullptr);
    constexpr int kThreads = 8;
    constexpr int kNames = 300;
    std::vector<std::vector<uint32_t>> got(kThreads, std::vector<uint32_t>(kNames));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            std::vector<int> order(kNames);
            for (int i = 0; i < kNames; i++)
                order[i] = i;
            std::shuffle(order.begin(), order.end(), std::mt19937(t));
            for (int i : order)
                got[t][i] = store("sym-" + std::to_string(i) + std::string(i % 40, '.'));
        });
    }
    for (auto &th : threads)
        th.join();
    std::vector<uint32_t> ids = got[0];
    for (int t = 1; t < kThreads; t++)
        EXPECT_EQ(got[t], ids);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    EXPECT_EQ(ids.front() == 0, false);
    ASSERT_NE(reopen(), nullptr);
    for (int i = 0; i < kNames; i++)
        EXPECT_EQ(find("sym-" + std::to_string(i) + std::string(i % 40, '.')), got[0][i]);
    EXPECT_EQ(map_->count, static_cast<uint64_t>(kNames));
}

// A short write (the file size limit stands in for a full volume) fails the store and leaves
// the file as it was; the next record goes where the failed one would have.
TEST_F(SymbolFiles, ShortWriteFailsAndCutsBack) {
    RunResult r = run_forked([this] {
        signal(SIGXFSZ, SIG_IGN);
        reopen();
        struct rlimit lim = {16 + 20, 16 + 20};
        setrlimit(RLIMIT_FSIZE, &lim);
        uint32_t failed = store(std::string(20, 'z')); // a 32-byte record
        off_t after = path_size(kClsPath);
        uint32_t small = store("ok");
        printf("%u %ld %u %u", failed, after, small, find(std::string(20, 'z')));
        smap_close(map_);
        map_ = nullptr;
    });
    EXPECT_EQ(r.out, "0 16 1 0");
    EXPECT_EQ(path_size(kClsPath), 32);
}

struct DamageCase {
    const char *name;
    std::function<void(std::string &)> damage;
    const char *loaded;   // "name=id" of the four names after the damage
    off_t size_after;     // file length once opened
    uint32_t next_id;     // id of a new name stored after the open
    const char *log_line; // expected in the log
};

// alpha id 1, beta id 2, a 23-byte name id 3 (two units), delta id 5: 96 bytes.
const std::string kGamma = "gamma-gamma-gamma-gamma";
std::string base_file() {
    return kHeader + record("alpha") + record("beta") + record(kGamma) + record("delta");
}

TEST_F(SymbolFiles, DamagedFilesKeepEveryReadableSymbol) {
    const DamageCase cases[] = {
        {"intact", [](std::string &) {}, "alpha=1 beta=2 gamma=3 delta=5", 96, 6, ""},
        {"torn name at the end",
         [](std::string &f) { f += record(std::string(20, 'q')).substr(0, 11); },
         "alpha=1 beta=2 gamma=3 delta=5", 96, 6,
         "WARN   Incomplete symbol record at offset 96 of storage.db/symbols/cls cut off.\n"},
        {"torn head at the end", [](std::string &f) { f += std::string("\x00\x1E\x00", 3); },
         "alpha=1 beta=2 gamma=3 delta=5", 96, 6, "Incomplete symbol record at offset 96"},
        {"bad marker mid-file", [](std::string &f) { f[33] = 'X'; },
         "alpha=1 beta=0 gamma=3 delta=5", 96, 6,
         "ERROR  Corrupted symbol found at offset 32 of storage.db/symbols/cls: 16 bytes "
         "skipped.\n"},
        // One flipped bit of beta's length: 4 becomes 260, past the end of the file.
        {"length past the end mid-file", [](std::string &f) { f[36] = '\x01'; },
         "alpha=1 beta=0 gamma=3 delta=5", 96, 6,
         "Corrupted symbol found at offset 32 of storage.db/symbols/cls: 16 bytes skipped."},
        // alpha's length 5 becomes 21: its record would take in beta's, zero fill and all.
        {"length taking in the next record", [](std::string &f) { f[21] = '\x15'; },
         "alpha=0 beta=2 gamma=3 delta=5", 96, 6,
         "Corrupted symbol found at offset 16 of storage.db/symbols/cls: 16 bytes skipped."},
        {"length beyond the limit", [](std::string &f) { f[36] = '\x07', f[37] = '\xFB'; },
         "alpha=1 beta=0 gamma=3 delta=5", 96, 6, "Corrupted symbol found at offset 32"},
        {"non-zero fill", [](std::string &f) { f[47] = '!'; }, "alpha=1 beta=0 gamma=3 delta=5", 96,
         6, "Corrupted symbol found at offset 32"},
        {"damaged two-unit record", [](std::string &f) { f[48] = '\x7F'; },
         "alpha=1 beta=2 gamma=0 delta=5", 96, 6,
         "at offset 48 of storage.db/symbols/cls: 32 bytes skipped."},
        {"damage running to the end", [](std::string &f) { f += std::string(40, '\xFF'); },
         "alpha=1 beta=2 gamma=3 delta=5", 144, 9,
         "Corrupted symbol found at offset 96 of storage.db/symbols/cls: 40 bytes skipped, up to "
         "the end."},
        {"zeros at the end", [](std::string &f) { f += std::string(32, '\0'); },
         "alpha=1 beta=2 gamma=3 delta=5", 128, 8, "Corrupted symbol found at offset 96"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = base_file();
        c.damage(file);
        write_file(kClsPath, file);
        Logged l = run_logged([this] {
            if (reopen() == nullptr)
                exit(1);
            printf("alpha=%u beta=%u gamma=%u delta=%u", find("alpha"), find("beta"), find(kGamma),
                   find("delta"));
            off_t size = path_size(kClsPath);
            printf("|%ld|%u", size, store("fresh"));
        });
        EXPECT_EQ(l.out, std::string(c.loaded) + "|" + std::to_string(c.size_after) + "|" +
                             std::to_string(c.next_id));
        EXPECT_NE(l.lines.find(c.log_line), std::string::npos) << l.lines;
        // Damage is told once, by the open that meets it.
        EXPECT_EQ(l.lines.find("Corrupted symbol", l.lines.find("Corrupted symbol") + 1),
                  std::string::npos)
            << l.lines;
        // Opened again, the repaired file loads every symbol it loaded before, and the new one.
        ASSERT_NE(reopen(), nullptr);
        EXPECT_EQ("alpha=" + std::to_string(find("alpha")) + " beta=" +
                      std::to_string(find("beta")) + " gamma=" + std::to_string(find(kGamma)) +
                      " delta=" + std::to_string(find("delta")),
                  c.loaded);
        EXPECT_EQ(find("fresh"), c.next_id);
        EXPECT_EQ(path_size(kClsPath) % 16, 0);
    }
}

TEST_F(SymbolFiles, UnreadableFilesAreRefused) {
    const struct {
        const char *name;
        bool present;
        std::string content;
        const char *line;
    } cases[] = {
        {"wrong magic", true, "KORVANX" + std::string(9, '\0'),
         "FATAL  Not a Korvane symbols file: storage.db/symbols/cls!\n"},
        {"short header", true, "KORV",
         "FATAL  Not a Korvane symbols file: storage.db/symbols/cls!\n"},
        {"missing file", false, "", "FATAL  Cannot read symbols file: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(kClsPath.c_str());
        if (c.present)
            write_file(kClsPath, c.content);
        Logged l = run_logged([] { exit(symbols_open(SYM_CLASS) == nullptr ? 0 : 1); });
        EXPECT_NE(l.lines.find(c.line), std::string::npos) << l.lines;
        uint64_t n = 0;
        EXPECT_EQ(symbols_foreach(SYM_CLASS, &n,
                                  [](void *, uint32_t, uint32_t, uint16_t, uint64_t, const char *) {
                                      return 0;
                                  }),
                  -1);
    }
}

TEST_F(SymbolFiles, TypesWithoutAFile) {
    for (uint32_t type : {0u, 5u}) {
        Logged l = run_logged(
            [type] { exit(symbols_open(type) == nullptr && symbols_create(type) == -1 ? 0 : 1); });
        EXPECT_EQ(l.lines, "FATAL  Invalid symbol type: " + std::to_string(type) +
                               "\nFATAL  Invalid symbol type: " + std::to_string(type) + "\n");
    }
}

struct Walked {
    std::string text;
    int stop_after = 0;
};

int walk_cb(void *ctx, uint32_t type, uint32_t id, uint16_t len, uint64_t hash, const char *name) {
    Walked *w = static_cast<Walked *>(ctx);
    char line[128];
    snprintf(line, sizeof line, "%u:%u:%u:%s:%d;", type, id, len, name,
             hash == murmur3_hash64(name, len));
    w->text += line;
    return --w->stop_after == 0;
}

TEST_F(SymbolFiles, WalkReadsTheFile) {
    write_file(kClsPath, base_file());
    Walked all;
    EXPECT_EQ(symbols_foreach(SYM_CLASS, &all, walk_cb), 0);
    EXPECT_EQ(all.text, "2:1:5:alpha:1;2:2:4:beta:1;2:3:23:" + kGamma + ":1;2:5:5:delta:1;");
    Walked two;
    two.stop_after = 2;
    EXPECT_EQ(symbols_foreach(SYM_CLASS, &two, walk_cb), 0);
    EXPECT_EQ(two.text, "2:1:5:alpha:1;2:2:4:beta:1;");
    // A reader that meets a record still being written stops before it and cuts nothing.
    write_file(kClsPath, base_file() + record("epsilon").substr(0, 9));
    Walked torn;
    EXPECT_EQ(symbols_foreach(SYM_CLASS, &torn, walk_cb), 0);
    EXPECT_EQ(torn.text, all.text);
    EXPECT_EQ(path_size(kClsPath), 96 + 9);
}

TEST_F(SymbolFiles, FileListingSkipsHiddenNames) {
    ASSERT_EQ(symbols_create(SYM_KEY), 0);
    write_file("storage.db/symbols/.partial", "x");
    std::map<std::string, std::string> seen;
    EXPECT_EQ(
        symbols_file_foreach(&seen,
                             [](void *ctx, const char *name, const char *path, uint64_t size) {
                                 (*static_cast<std::map<std::string, std::string> *>(ctx))[name] =
                                     std::string(path) + " " + std::to_string(size);
                                 return 0;
                             }),
        0);
    EXPECT_EQ(seen, (std::map<std::string, std::string>{{"cls", "storage.db/symbols/cls 16"},
                                                        {"kvs", "storage.db/symbols/kvs 16"}}));
    ASSERT_EQ(rename("storage.db/symbols", "storage.db/elsewhere"), 0);
    EXPECT_EQ(
        symbols_file_foreach(&seen, [](void *, const char *, const char *, uint64_t) { return 0; }),
        -1);
}

TEST_F(SymbolFiles, StatisticsTable) {
    for (uint32_t type : {SYM_THREAD, SYM_METHOD, SYM_KEY})
        ASSERT_EQ(symbols_create(type), 0);
    write_file("storage.db/symbols/thr", kHeader + record("main") +
                                             record(std::string("pool\x1Fworker\x1F"
                                                                "1")));
    write_file("storage.db/symbols/kvs", kHeader + record("jvm\x1Fheap\x1Fused"));
    write_file("storage.db/symbols/mth", kHeader + record("run"));
    ASSERT_EQ(symbols_create(SYM_CLASS), 0);

    const std::string rule(120, '-');
    const std::string table = "\033[96m THREADS" + std::string(20, ' ') + " CLASSES" +
                              std::string(22, ' ') + " METHODS" + std::string(22, ' ') +
                              " KEYS\n\033[0m" + rule + "\n" + std::string(26, ' ') + "2 | " +
                              std::string(26, ' ') + "0 | " + std::string(26, ' ') + "1 | " +
                              std::string(27, ' ') + "1 |\n" + rule + "\n\n\n";
    RunResult quiet = run_forked([] { exit(symbols_print_stats(0)); });
    EXPECT_EQ(quiet.exit_code, 0);
    EXPECT_EQ(quiet.out, table);

    char thr1[64], thr2[64], mth[64], key[64];
    snprintf(thr1, sizeof thr1, "    1) %016lX        1    4 main\n", murmur3_hash64("main", 4));
    snprintf(thr2, sizeof thr2,
             "    2) %016lX        2   13 pool worker\x1F"
             "1\n",
             murmur3_hash64("pool\x1Fworker\x1F"
                            "1",
                            13));
    snprintf(mth, sizeof mth, "    1) %016lX        1    3 run\n", murmur3_hash64("run", 3));
    snprintf(key, sizeof key, "    1) %016lX        1   13 jvm/heap/used\n",
             murmur3_hash64("jvm\x1Fheap\x1Fused", 13));
    RunResult verbose = run_forked([] { exit(symbols_print_stats(1)); });
    EXPECT_EQ(verbose.out, "------------- THREAD ---------------\n" + std::string(thr1) + thr2 +
                               "------------- METHOD ---------------\n" + mth +
                               "------------- KEY ---------------\n" + key + table);

    unlink("storage.db/symbols/mth");
    RunResult missing = run_forked([] { exit(symbols_print_stats(0) == -1 ? 0 : 1); });
    EXPECT_EQ(missing.exit_code, 0);
}

} // namespace
