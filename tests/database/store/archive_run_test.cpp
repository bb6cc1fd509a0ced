// Which files an archive takes, and the scheduled run that archives and deletes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "database/store/agents.h"
#include "database/store/archive.h"
#include "database/store/archive_support.h"
#include "database/store/dbs.h"
#include "database/store/store_dir.h"
#include "database/store/symbols.h"
#include "lib/files.h"
#include "lib/log_capture.h"

namespace {

constexpr uint64_t kA = 0x00000000000000A1;
constexpr uint64_t kB = 0x00000000000000B2;
// 2024-03-01, a Friday, in days since the epoch.
constexpr uint64_t kDay = 19783;

uint64_t at(uint64_t day, uint64_t hour, uint64_t minute = 0) {
    return day * 86400 + hour * 3600 + minute * 60;
}

// Sets the file's modification time well past the settling time.
void age(const std::string &path) {
    const struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(path.c_str(), old), 0) << path;
}

class ArchiveStore : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
        ASSERT_EQ(storage_create_db(), 0);
        for (uint64_t aid : {kA, kB})
            ASSERT_EQ(agent_save(as_bytes(identity_bytes(2, "agent-" + std::to_string(aid))), aid),
                      0);
    }
    // A file of the agent's directory holding its own path, settled unless `fresh`.
    std::string put(uint64_t aid, const std::string &name, bool fresh = false) {
        const std::string path = agent_dir(aid) + "/" + name;
        EXPECT_EQ(sys_mkdirs(path.substr(0, path.rfind('/')).c_str()), 0);
        write_file(path, "content of " + path);
        if (!fresh)
            age(path);
        return path;
    }
};

// ---- selection ----

// The entries listed for every agent over [from_s, thru_s], and the log lines of the walk.
std::pair<std::map<std::string, int>, std::string> collect(uint64_t from_s, uint64_t thru_s) {
    Logged l = run_logged([&] {
        archive_ctx ctx;
        if (archive_ctx_init(&ctx, from_s, thru_s) != 0 || archive_collect_all(&ctx) != 0)
            _exit(2);
        for (const archive_entry &e : ctx.entries)
            printf("%s %d\n", e.path.c_str(), e.purge);
        archive_ctx_free(&ctx);
    });
    std::map<std::string, int> listed;
    std::istringstream in(l.out);
    std::string path;
    int purge;
    while (in >> path >> purge)
        listed[path] = purge;
    return {listed, l.lines};
}

TEST_F(ArchiveStore, SelectsDataFilesOfTheRangeAndTheIdentity) {
    // The range is days kDay - 2 through kDay + 1. -1: not listed, 0 or 1: listed with that
    // purge flag.
    const struct {
        const char *name;
        int in_range;
        int unbounded;
        bool warned;
    } cases[] = {
        {"korvane.id", 0, 0, false},         {"mc/19783.5", 1, 1, false},
        {"mc/19783.5.x", 1, 1, false},       {"mc/19781.0", 1, 1, false},
        {"mc/19784.23.x", 1, 1, false},      {"mc/19780.23", -1, 1, false},
        {"mc/19785.0.x", -1, 1, false},      {"kv/19783.12", 1, 1, false},
        {"kv/19780.12", -1, 1, false},       {"kv/19785.4", -1, 1, false},
        {"mc/19783.index", -1, -1, false},   {"kv/stages/stage", -1, -1, true},
        {"kv/stages/unstage", -1, -1, true}, {"mc/19783.5.y", -1, -1, true},
        {"mc/19783.5.x.old", -1, -1, true},  {"mc/19783", -1, -1, true},
        {"mc/notes.txt", -1, -1, true},      {"kv/19783.12.x", -1, -1, true},
        {"mc/+19783.5", -1, -1, true},       {"mc/4294967296.1", -1, -1, true},
        {"korvane.id.tmp", -1, -1, true},
    };
    for (const auto &c : cases)
        put(kA, c.name);
    const auto [ranged, lines] = collect(at(kDay - 2, 0), at(kDay + 1, 23, 59));
    const auto [all, all_lines] = collect(0, 0);
    for (const auto &c : cases) {
        const std::string path = agent_dir(kA) + "/" + c.name;
        EXPECT_EQ(ranged.count(path) ? ranged.at(path) : -1, c.in_range) << c.name;
        EXPECT_EQ(all.count(path) ? all.at(path) : -1, c.unbounded) << c.name;
        const std::string slash = std::string(c.name).substr(std::string(c.name).rfind('/') + 1);
        const std::string warn = "WARN   Invalid file detected: " + slash + "\n";
        EXPECT_EQ(lines.find(warn) != std::string::npos, c.warned) << c.name;
    }
    // The other agent has only its identity; symbol files are added by the writer.
    EXPECT_EQ(ranged.at(agent_dir(kB) + "/korvane.id"), 0);
    EXPECT_EQ(ranged.size(), 7u);
}

// ---- the run ----

const std::string kStamp = "storage.db/arch/korvane.arch-2024-03-03_0300";
// 2024-03-03 03:00 UTC: with a retention of 24 hours the last day archived is 2 March.
const uint64_t kLaunch = at(kDay + 2, 3);

// The entries of an archive's stream: path and content.
std::map<std::string, Bytes> archive_entries(const Bytes &archive) {
    Bytes stream;
    for (const read_block &b : archive_blocks(archive))
        stream += b.stream;
    std::map<std::string, Bytes> entries;
    for (size_t at = 0; at + 272 <= stream.size();) {
        const std::string path = stream.substr(at + 8, 256).c_str();
        const uint64_t size = get_be(stream, at + 264, 8);
        entries[path] = stream.substr(at + 272, size);
        at += 272 + size;
    }
    return entries;
}

class ArchiveRun : public ArchiveStore {
protected:
    void SetUp() override {
        ArchiveStore::SetUp();
        archived_ = {put(kA, "mc/19783.5"), put(kA, "mc/19783.5.x"), put(kA, "kv/19784.7"),
                     put(kB, "mc/19784.2")};
        kept_ = {put(kA, "mc/19785.1"), put(kA, "mc/19783.index"), put(kA, "kv/stages/stage"),
                 agent_dir(kA) + "/korvane.id", agent_dir(kB) + "/korvane.id"};
        for (const std::string &p : archived_)
            contents_[p] = read_file(p);
    }
    void expect_kept(const std::vector<std::string> &paths) {
        for (const std::string &p : paths)
            EXPECT_TRUE(path_exists(p)) << p;
    }
    void expect_deleted(const std::vector<std::string> &paths) {
        for (const std::string &p : paths)
            EXPECT_FALSE(path_exists(p)) << p;
    }

    std::vector<std::string> archived_, kept_;
    std::map<std::string, Bytes> contents_;
};

TEST_F(ArchiveRun, ArchivesThenDeletesTheDataFiles) {
    Logged l = run_logged([] { exit_flushed(dbs_archive(kLaunch, 24, 0) == 0); });
    EXPECT_EQ(l.lines, "INFO   Creating an archive logfile: " + kStamp + ".log\n");
    EXPECT_EQ(strip_log_stamps(read_file(kStamp + ".log")),
              "INFO   Archive procedure started at " + std::to_string(kLaunch) +
                  ".\n"
                  "INFO   Collecting data files ...\n"
                  "WARN   Invalid file detected: stage\n"
                  "INFO   Archive procedure removed 4 files.\n"
                  "INFO   Archive procedure ended.\n");
    expect_deleted(archived_);
    expect_kept(kept_);
    for (uint32_t type = 1; type <= 4; type++)
        EXPECT_TRUE(path_exists(symbols_path(type)));

    std::map<std::string, Bytes> entries = archive_entries(read_file(kStamp));
    std::set<std::string> paths;
    for (const auto &[path, content] : entries)
        paths.insert(path);
    std::set<std::string> expected(archived_.begin(), archived_.end());
    for (uint64_t aid : {kA, kB})
        expected.insert(agent_dir(aid) + "/korvane.id");
    for (uint32_t type = 1; type <= 4; type++)
        expected.insert(symbols_path(type));
    EXPECT_EQ(paths, expected);
    for (const auto &[path, content] : contents_)
        EXPECT_EQ(entries[path], content) << path;
    EXPECT_EQ(path_mode(kStamp), 0600u);
}

TEST_F(ArchiveRun, PurgeOnlyDeletesWithoutAnArchive) {
    Logged l = run_logged([] { exit_flushed(dbs_archive(kLaunch, 24, 1) == 0); });
    EXPECT_FALSE(path_exists(kStamp));
    EXPECT_NE(read_file(kStamp + ".log").find("INFO   Archive procedure removed 4 files.\n"),
              std::string::npos);
    expect_deleted(archived_);
    expect_kept(kept_);
}

TEST_F(ArchiveRun, ExistingArchiveNameFailsTheRunBeforeAnyDeletion) {
    write_file(kStamp, "an archive of the same minute");
    RunResult r = run_forked([] { exit_flushed(dbs_archive(kLaunch, 24, 0) == -1); });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(kStamp), "an archive of the same minute");
    const std::string log = strip_log_stamps(read_file(kStamp + ".log"));
    EXPECT_NE(log.find("ERROR  Cannot write the archive " + kStamp + ".\n"), std::string::npos);
    EXPECT_EQ(log.find("removed"), std::string::npos);
    EXPECT_NE(log.find("INFO   Archive procedure ended.\n"), std::string::npos);
    expect_kept(archived_);
}

TEST_F(ArchiveRun, FailedArchiveIsRemovedAndNothingDeleted) {
    // The archive cannot grow past 64 KiB, while one listed file alone is larger.
    const std::string big = put(kA, "mc/19784.3");
    std::string noise;
    for (uint32_t x = 1; noise.size() < (1u << 20); x = x * 1103515245 + 12345)
        noise.push_back(static_cast<char>(x >> 16));
    write_file(big, noise);
    age(big);
    RunResult r = run_forked([] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
        exit_flushed(dbs_archive(kLaunch, 24, 0) == -1);
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(path_exists(kStamp));
    const std::string log = strip_log_stamps(read_file(kStamp + ".log"));
    EXPECT_NE(log.find("ERROR  Cannot write the archive " + kStamp + ".\n"), std::string::npos);
    expect_kept(archived_);
    EXPECT_TRUE(path_exists(big));
}

TEST_F(ArchiveRun, RecentFileStaysForALaterRun) {
    const std::string fresh = put(kA, "mc/19784.23", true);
    Logged l = run_logged([] { exit_flushed(dbs_archive(kLaunch, 24, 0) == 0); });
    const std::string log = strip_log_stamps(read_file(kStamp + ".log"));
    EXPECT_NE(log.find("INFO   File [" + fresh +
                       "] not settled since it was listed; kept for a later run.\n"),
              std::string::npos);
    EXPECT_NE(log.find("INFO   Archive procedure removed 4 files.\n"), std::string::npos);
    EXPECT_TRUE(path_exists(fresh));
    expect_deleted(archived_);
}

// Between the archive and the deletion a file grows: its new bytes are in no archive, so
// it stays; with purge-only, the size it was listed with counts.
TEST_F(ArchiveRun, GrownFileIsNotDeleted) {
    for (int purge_only : {0, 1}) {
        const std::string grown = put(kA, "mc/19784.22");
        RunResult r = run_forked([&] {
            archive_ctx ctx;
            if (archive_ctx_init(&ctx, 0, at(kDay + 1, 0)) != 0 || archive_collect_all(&ctx) != 0)
                _exit(2);
            if (!purge_only && archive_file(&ctx, "test.arch", nullptr) != 0)
                _exit(3);
            write_file(grown, read_file(grown) + " and more");
            age(grown);
            printf("%lu", archive_purge(&ctx, time(nullptr), purge_only));
            archive_ctx_free(&ctx);
        });
        EXPECT_EQ(r.out, "4") << purge_only;
        EXPECT_TRUE(path_exists(grown)) << purge_only;
        expect_deleted(archived_);
        for (const auto &[path, content] : contents_) {
            write_file(path, content);
            age(path);
        }
    }
}

TEST_F(ArchiveStore, CutOffDayIsIncluded) {
    // Days D-2, D-1 and D, each with one file; which ones does a run take.
    const struct {
        uint64_t launch;
        uint16_t retention;
        std::vector<int> taken; // day offsets from D
    } cases[] = {
        {at(kDay, 3), 24, {-2, -1}},        {at(kDay, 0, 30), 24, {-2, -1}},
        {at(kDay, 23, 30), 24, {-2, -1}},   {at(kDay, 0, 30), 0, {-2, -1, 0}},
        {at(kDay, 23, 30), 0, {-2, -1, 0}}, {at(kDay, 0, 30), 48, {-2}},
    };
    for (const auto &c : cases) {
        std::map<int, std::string> files;
        for (int d : {-2, -1, 0})
            files[d] = put(kA, "mc/" + std::to_string(kDay + d) + ".23");
        RunResult r = run_forked([&] { exit_flushed(dbs_archive(c.launch, c.retention, 1) == 0); });
        EXPECT_EQ(r.exit_code, 0);
        for (int d : {-2, -1, 0}) {
            const bool taken = std::find(c.taken.begin(), c.taken.end(), d) != c.taken.end();
            EXPECT_EQ(!path_exists(files[d]), taken)
                << "launch " << c.launch << " retention " << c.retention << " day " << d;
        }
    }
}

} // namespace
