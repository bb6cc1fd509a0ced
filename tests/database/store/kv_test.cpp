#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <endian.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "database/store/kv.h"
#include "database/store/store_dir.h"
#include "lib/files.h"
#include "lib/log_capture.h"

namespace {

constexpr uint64_t kAid = 0x00000000000000A1;
constexpr uint64_t kOther = 0x00000000000000B2;
// 2024-03-01 00:00:00 UTC.
constexpr uint32_t kDay = 19783;
constexpr uint64_t kT0 = kDay * DAY_MS;

// Bytes from hexadecimal pairs separated by white space.
std::string hex(const char *text) {
    std::string out;
    unsigned v;
    int used;
    while (sscanf(text, " %2x%n", &v, &used) == 1) {
        out.push_back(static_cast<char>(v));
        text += used;
    }
    return out;
}

std::string stages_path(uint64_t aid, const char *name) {
    return agent_dir(aid) + "/kv/stages/" + name;
}

std::string day_path(uint64_t aid, uint32_t day, uint32_t key) {
    return agent_dir(aid) + "/kv/" + std::to_string(day) + "." + std::to_string(key);
}

struct sample {
    uint64_t time;
    uint64_t value;
    bool operator==(const sample &) const = default;
    bool operator<(const sample &o) const {
        return time != o.time ? time < o.time : value < o.value;
    }
};

std::vector<sample> decode_samples(const std::string &bytes) {
    std::vector<sample> out;
    for (size_t at = 0; at + sizeof(kv_sample) <= bytes.size(); at += sizeof(kv_sample)) {
        kv_sample s;
        memcpy(&s, bytes.data() + at, sizeof s);
        out.push_back({be64toh(s.time), be64toh(s.value)});
    }
    return out;
}

std::vector<sample> day_samples(uint64_t aid, uint32_t day, uint32_t key) {
    return decode_samples(read_file(day_path(aid, day, key)));
}

std::string stage_bytes(const std::vector<kv_stage_rec> &recs) {
    return std::string(reinterpret_cast<const char *>(recs.data()),
                       recs.size() * sizeof(kv_stage_rec));
}

std::vector<kv_stage_rec> stage_records(const std::string &bytes) {
    std::vector<kv_stage_rec> recs(bytes.size() / sizeof(kv_stage_rec));
    memcpy(recs.data(), bytes.data(), recs.size() * sizeof(kv_stage_rec));
    return recs;
}

// A store with agent kAid, its write state, and a registry holding only that state, for
// maintainer passes run by the test itself.
class KvStore : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(storage_create_db(), 0);
        ASSERT_EQ(agent_save(as_bytes(identity_bytes(1, "kv")), kAid), 0);
        dbs_agent_init(&agent_, kAid);
    }
    void TearDown() override {
        dbs_agent_kv_close(nullptr, &agent_);
        StoreDir::TearDown();
    }

    void save(uint32_t key, uint64_t time, uint64_t value) {
        ASSERT_EQ(dbs_kv_save(&agent_, key, time, value), 0);
    }
    // A rotated file, as the worker leaves it for the maintainer.
    void pending_unstage(const std::vector<kv_stage_rec> &recs) {
        write_file(stages_path(kAid, "unstage"), stage_bytes(recs));
        agent_.kv.unstage_pending.store(1);
    }
    void pass() { EXPECT_EQ(dbs_kv_maintain_pass(&repo_), 0); }

    dbs_agent agent_{};
    dbs_agent *items_[1] = {&agent_};
    dbs_agents repo_{items_, PTHREAD_RWLOCK_INITIALIZER, 1, nullptr};
};

// ---- stored forms ---------------------------------------------------------------------

TEST_F(KvStore, StageRecordHandWrittenBytes) {
    agent_.id = 0x0102030405060708;
    ASSERT_EQ(sys_mkdirs((agent_dir(agent_.id) + "/kv/stages").c_str()), 0);
    save(0x31323334, 0x1112131415161718, 0x2122232425262728);
    dbs_agent_kv_close(nullptr, &agent_);
    const std::string path = stages_path(agent_.id, "stage");
    EXPECT_EQ(read_file(path), hex("08 07 06 05 04 03 02 01  18 17 16 15 14 13 12 11"
                                   "28 27 26 25 24 23 22 21  34 33 32 31 00 00 00 00"));
    EXPECT_EQ(path_mode(path), 0600u);
}

// Two samples of key 7 staged out of order move into one day file in time order.
TEST_F(KvStore, DayFileHandWrittenBytes) {
    write_file(stages_path(kAid, "unstage"),
               hex("A1 00 00 00 00 00 00 00  88 97 4F F7 8D 01 00 00"
                   "02 00 00 00 00 00 00 00  07 00 00 00 00 00 00 00"
                   "A1 00 00 00 00 00 00 00  E8 87 4F F7 8D 01 00 00"
                   "01 00 00 00 00 00 00 00  07 00 00 00 00 00 00 00"));
    agent_.kv.unstage_pending.store(1);
    pass();
    const std::string path = day_path(kAid, kDay, 7);
    EXPECT_EQ(read_file(path), hex("00 00 01 8D F7 4F 87 E8  00 00 00 00 00 00 00 01"
                                   "00 00 01 8D F7 4F 97 88  00 00 00 00 00 00 00 02"));
    EXPECT_EQ(path_mode(path), 0600u);
}

int collect_bytes(void *ctx, const uint8_t *data, int64_t n) {
    static_cast<std::string *>(ctx)->append(reinterpret_cast<const char *>(data),
                                            static_cast<size_t>(n));
    return 0;
}

// Samples of three keys over three days, staged through several rotations, come back
// from the day files unchanged.
TEST_F(KvStore, SamplesRoundTrip) {
    std::mt19937_64 rng(7);
    std::vector<std::vector<sample>> sent(3);
    for (int i = 0; i < 1700; i++) {
        const auto key = static_cast<uint32_t>(rng() % 3);
        const sample s{kT0 + rng() % (3 * DAY_MS), rng()};
        sent[key].push_back(s);
        save(key, s.time, s.value);
        if (agent_.kv.unstage_pending.load() == 1)
            pass();
    }
    dbs_agent_kv_close(nullptr, &agent_);
    ASSERT_EQ(dbs_kv_recover(nullptr), 0);
    for (uint32_t key = 0; key < 3; key++) {
        std::string bytes;
        ASSERT_EQ(
            dbs_kv_foreach_bulkday(kAid, kT0, kT0 + 3 * DAY_MS - 1, key, &bytes, collect_bytes), 0);
        std::vector<sample> got = decode_samples(bytes);
        std::sort(got.begin(), got.end());
        std::sort(sent[key].begin(), sent[key].end());
        EXPECT_EQ(got, sent[key]) << "key " << key;
    }
}

// ---- staging and rotation -------------------------------------------------------------

TEST_F(KvStore, RotatesAtTheFiveHundredSecondSample) {
    for (uint64_t i = 0; i < 501; i++)
        save(7, kT0 + i, i);
    EXPECT_FALSE(path_exists(stages_path(kAid, "unstage")));
    EXPECT_EQ(agent_.kv.unstage_pending.load(), 0);

    save(7, kT0 + 501, 501);
    EXPECT_EQ(agent_.kv.unstage_pending.load(), 1);
    EXPECT_EQ(path_size(stages_path(kAid, "unstage")), 501 * 32);
    EXPECT_EQ(agent_.kv.staged, 1u);

    // While the rotated file waits, the new stage grows past 500 records.
    for (uint64_t i = 502; i < 1101; i++)
        save(7, kT0 + i, i);
    EXPECT_EQ(agent_.kv.staged, 600u);
    EXPECT_EQ(path_size(stages_path(kAid, "unstage")), 501 * 32);

    pass();
    EXPECT_EQ(agent_.kv.unstage_pending.load(), 0);
    EXPECT_FALSE(path_exists(stages_path(kAid, "unstage")));
    std::vector<sample> want;
    for (uint64_t i = 0; i < 501; i++)
        want.push_back({kT0 + i, i});
    EXPECT_EQ(day_samples(kAid, kDay, 7), want);

    // The first sample after the hand-over rotates the grown stage.
    save(7, kT0 + 1101, 1101);
    EXPECT_EQ(path_size(stages_path(kAid, "unstage")), 600 * 32);
    EXPECT_EQ(agent_.kv.staged, 1u);
}

TEST_F(KvStore, WaitingUnstageFileKeepsTheStageGrowing) {
    write_file(stages_path(kAid, "unstage"), "");
    Logged l = run_logged([this] {
        for (uint64_t i = 0; i < 504; i++)
            save(7, kT0 + i, i);
        dbs_agent_kv_close(nullptr, &agent_);
    });
    EXPECT_EQ(count_of(l.lines, "WARN   Unstage file still exists!\n"), 3u) << l.lines;
    EXPECT_EQ(path_size(stages_path(kAid, "stage")), 504 * 32);
    EXPECT_EQ(path_size(stages_path(kAid, "unstage")), 0);
}

TEST_F(KvStore, ReconnectAppendsToTheStageLeftOnDisk) {
    save(7, kT0 + 1, 1);
    save(7, kT0 + 2, 2);
    dbs_agent_kv_close(nullptr, &agent_);
    EXPECT_EQ(agent_.kv.stage_fd, -1);
    EXPECT_EQ(agent_.kv.staged, 0u);
    save(7, kT0 + 3, 3);
    dbs_agent_kv_close(nullptr, &agent_);
    const std::vector<kv_stage_rec> recs = stage_records(read_file(stages_path(kAid, "stage")));
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[2].time, kT0 + 3);
}

TEST_F(KvStore, StageThatCannotBeCreatedDropsTheSample) {
    ASSERT_EQ(rmdir((agent_dir(kAid) + "/kv/stages").c_str()), 0);
    Logged l = run_logged([this] { exit(dbs_kv_save(&agent_, 7, kT0, 1) == -1 ? 0 : 1); });
    EXPECT_NE(
        l.lines.find("ERROR  Agent [00000000000000A1]: 0 root calls and 1 samples lost (open " +
                     stages_path(kAid, "stage") + ": No such file or directory).\n"),
        std::string::npos)
        << l.lines;
}

// A stage cut inside a record (a write that died half way) is trimmed to whole records
// before the next append, so later records stay aligned.
TEST_F(KvStore, ReopenedStageIsCutToWholeRecords) {
    const std::string path = stages_path(kAid, "stage");
    write_file(path, stage_bytes({{kAid, kT0, 1, 7}, {kAid, kT0 + 1, 2, 7}}) + "torn");
    save(7, kT0 + 2, 3);
    dbs_agent_kv_close(nullptr, &agent_);
    const std::vector<kv_stage_rec> recs = stage_records(read_file(path));
    ASSERT_EQ(path_size(path), 3 * 32);
    EXPECT_EQ(recs[2].time, kT0 + 2);
    EXPECT_EQ(recs[2].agent_id, kAid);
}

// ---- the maintainer -------------------------------------------------------------------

TEST_F(KvStore, PassSortsIntoDayFilesPerKeyAndDay) {
    const uint64_t midnight = kT0 + DAY_MS;
    pending_unstage({{kAid, midnight + 5, 15, 9},
                     {kAid, midnight - 1, 4, 7},
                     {kAid, midnight + 2, 12, 7},
                     {kAid, midnight - 3, 13, 9},
                     {kAid, midnight, 11, 7},
                     {kAid, midnight - 9, 3, 7}});
    pass();
    EXPECT_EQ(day_samples(kAid, kDay, 7),
              (std::vector<sample>{{midnight - 9, 3}, {midnight - 1, 4}}));
    EXPECT_EQ(day_samples(kAid, kDay + 1, 7),
              (std::vector<sample>{{midnight, 11}, {midnight + 2, 12}}));
    EXPECT_EQ(day_samples(kAid, kDay, 9), (std::vector<sample>{{midnight - 3, 13}}));
    EXPECT_EQ(day_samples(kAid, kDay + 1, 9), (std::vector<sample>{{midnight + 5, 15}}));
    EXPECT_FALSE(path_exists(stages_path(kAid, "unstage")));
    EXPECT_FALSE(path_exists(stages_path(kAid, "journal")));
    EXPECT_EQ(agent_.kv.unstage_pending.load(), 0);
}

TEST_F(KvStore, PassLeavesAgentsWithoutPendingFileAlone) {
    write_file(stages_path(kAid, "unstage"), stage_bytes({{kAid, kT0, 1, 7}}));
    pass();
    EXPECT_TRUE(path_exists(stages_path(kAid, "unstage")));
    EXPECT_FALSE(path_exists(day_path(kAid, kDay, 7)));
}

TEST_F(KvStore, LaterStagingFilesAppendAfterEarlierOnes) {
    pending_unstage({{kAid, kT0 + 50, 2, 7}});
    pass();
    pending_unstage({{kAid, kT0 + 10, 1, 7}});
    pass();
    EXPECT_EQ(day_samples(kAid, kDay, 7), (std::vector<sample>{{kT0 + 50, 2}, {kT0 + 10, 1}}));
}

TEST_F(KvStore, RecordsOfOtherAgentsAreDropped) {
    ASSERT_EQ(agent_save(as_bytes(identity_bytes(1, "other")), kOther), 0);
    pending_unstage({{kOther, kT0 + 1, 9, 7},
                     {kAid, kT0 + 2, 2, 7},
                     {kOther, kT0 + 3, 9, 8},
                     {kAid, kT0 + 1, 1, 7}});
    Logged l = run_logged([this] { pass(); });
    EXPECT_NE(l.lines.find("WARN   Stage file " + stages_path(kAid, "unstage") +
                           ": 2 records of other agents dropped.\n"),
              std::string::npos)
        << l.lines;
    EXPECT_EQ(day_samples(kAid, kDay, 7), (std::vector<sample>{{kT0 + 1, 1}, {kT0 + 2, 2}}));
    EXPECT_FALSE(path_exists(day_path(kOther, kDay, 7)));
    EXPECT_FALSE(path_exists(day_path(kOther, kDay, 8)));
}

// A staging file of 100 bytes holds three records; the four bytes after them are ignored.
TEST_F(KvStore, PartialRecordAtTheEndOfAStagingFileIsIgnored) {
    const std::string path = stages_path(kAid, "unstage");
    write_file(path,
               stage_bytes({{kAid, kT0 + 3, 3, 7}, {kAid, kT0 + 1, 1, 7}, {kAid, kT0 + 2, 2, 7}}) +
                   std::string("\xA1\x00\x00\x00", 4));
    process_stage_file(kAid, path.c_str());
    EXPECT_EQ(day_samples(kAid, kDay, 7),
              (std::vector<sample>{{kT0 + 1, 1}, {kT0 + 2, 2}, {kT0 + 3, 3}}));
}

TEST_F(KvStore, DayFileWithATornTailIsCutBeforeTheAppend) {
    write_file(day_path(kAid, kDay, 7),
               hex("00 00 01 8D F7 4F 87 E8  00 00 00 00 00 00 00 01  00 00 01"));
    pending_unstage({{kAid, kT0 + 7, 7, 7}});
    pass();
    EXPECT_EQ(path_size(day_path(kAid, kDay, 7)), 32);
    EXPECT_EQ(day_samples(kAid, kDay, 7), (std::vector<sample>{{kT0 + 1000, 1}, {kT0 + 7, 7}}));
}

// A day file takes a staging file's samples for it whole or not at all.
TEST_F(KvStore, FailedDayFileAppendIsCutBack) {
    const std::string path = day_path(kAid, kDay, 7);
    write_file(path, std::string(16, 's'));
    std::vector<kv_stage_rec> recs;
    for (uint64_t i = 0; i < 20; i++)
        recs.push_back({kAid, kT0 + i, i, 7});
    pending_unstage(recs);
    Logged l = run_logged([this] {
        signal(SIGXFSZ, SIG_IGN);
        // The journal and the log line fit, the 320 bytes of samples only partly.
        rlimit lim{200, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &lim);
        printf("%d", dbs_kv_maintain_pass(&repo_));
    });
    EXPECT_EQ(l.out, "-1") << "the pass tells that samples were not moved";
    EXPECT_NE(l.lines.find("write " + path + " File too large\n"), std::string::npos) << l.lines;
    EXPECT_EQ(path_size(path), 16);
}

// A move that fails part way keeps the staging file pending; the next pass moves it whole,
// and the key whose day file took its samples the first time holds them once.
TEST_F(KvStore, FailedMoveKeepsItsStageForTheNextPass) {
    const std::string blocked = day_path(kAid, kDay, 8);
    ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0) << "a directory where the day file belongs";
    pending_unstage({{kAid, kT0 + 1, 1, 7}, {kAid, kT0 + 2, 2, 8}, {kAid, kT0 + 3, 3, 9}});
    EXPECT_EQ(dbs_kv_maintain_pass(&repo_), -1);
    EXPECT_EQ(path_size(stages_path(kAid, "unstage")), int64_t(3 * sizeof(kv_stage_rec)));
    EXPECT_EQ(agent_.kv.unstage_pending.load(), 1);
    ASSERT_EQ(rmdir(blocked.c_str()), 0);
    pass();
    EXPECT_EQ(path_size(stages_path(kAid, "unstage")), -1);
    EXPECT_EQ(day_samples(kAid, kDay, 7), (std::vector<sample>{{kT0 + 1, 1}}));
    EXPECT_EQ(day_samples(kAid, kDay, 8), (std::vector<sample>{{kT0 + 2, 2}}));
    EXPECT_EQ(day_samples(kAid, kDay, 9), (std::vector<sample>{{kT0 + 3, 3}}));
}

// A stage that takes no bytes: every sample fails at once (each is written by itself, so
// none waits in a buffer to be lost later), and the losses are told in one line per
// second at most, naming the agent and the count.
TEST_F(KvStore, StageWriteFailuresAreCountedAndTold) {
    ASSERT_EQ(symlink("/dev/full", stages_path(kAid, "stage").c_str()), 0);
    Logged l = run_logged([this] {
        for (uint64_t i = 0; i < 6; i++)
            printf("%d ", dbs_kv_save(&agent_, 7, kT0 + i, 1));
        dbs_agent_tell_losses(&agent_, true);
        printf("%d", dbs_agent_kv_close(nullptr, &agent_));
    });
    EXPECT_EQ(l.out, "-1 -1 -1 -1 -1 -1 0");
    const std::string why = "(write " + stages_path(kAid, "stage") + ": No space left on device)";
    EXPECT_EQ(count_of(l.lines, "samples lost"), 2u) << l.lines;
    EXPECT_NE(
        l.lines.find("ERROR  Agent [00000000000000A1]: 0 root calls and 1 samples lost " + why),
        std::string::npos)
        << l.lines;
    EXPECT_NE(
        l.lines.find("ERROR  Agent [00000000000000A1]: 0 root calls and 5 samples lost " + why),
        std::string::npos)
        << l.lines;
}

TEST_F(KvStore, MaintainerThreadMovesRotatedStages) {
    kv_maintainer *m = dbs_kv_maintainer_start(&repo_, 5);
    ASSERT_NE(m, nullptr);
    for (uint64_t i = 0; i < 502; i++)
        save(7, kT0 + i, i);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (agent_.kv.unstage_pending.load() == 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    dbs_kv_maintainer_stop(m);
    EXPECT_EQ(agent_.kv.unstage_pending.load(), 0);
    EXPECT_EQ(day_samples(kAid, kDay, 7).size(), 501u);
}

// ---- recovery -------------------------------------------------------------------------

// Staging files left by a stopped service reach the day files when the store opens: the
// older "unstage" samples before the "stage" ones, whatever their times.
TEST_F(KvStore, OpenMovesLeftStagingFiles) {
    write_file(stages_path(kAid, "unstage"),
               stage_bytes({{kAid, kT0 + 20, 2, 7}, {kAid, kT0 + 10, 1, 7}}));
    write_file(stages_path(kAid, "stage"), stage_bytes({{kAid, kT0 + 5, 3, 7}}));
    dbs *db = dbs_open();
    ASSERT_NE(db, nullptr);
    dbs_close(db);
    EXPECT_EQ(day_samples(kAid, kDay, 7),
              (std::vector<sample>{{kT0 + 10, 1}, {kT0 + 20, 2}, {kT0 + 5, 3}}));
    for (const char *name : {"unstage", "stage", "journal"})
        EXPECT_FALSE(path_exists(stages_path(kAid, name))) << name;
}

TEST_F(KvStore, RecoveryWithoutDataDirectoryFails) {
    ASSERT_EQ(sys_rmtree("storage.db/data"), 0);
    Logged l = run_logged([] { exit(dbs_kv_recover(nullptr) == -1 ? 0 : 1); });
    EXPECT_NE(l.lines.find("ERROR  opendir: storage.db/data No such file or directory.\n"),
              std::string::npos)
        << l.lines;
}

// A move interrupted after its appends but before its staging file was removed is undone
// and repeated by the recovery: every sample is stored once.
TEST_F(KvStore, InterruptedMoveStoresNoSampleTwice) {
    write_file(day_path(kAid, kDay, 7), hex("00 00 01 8D F7 4F 87 E8  00 00 00 00 00 00 00 01"));
    const std::string path = stages_path(kAid, "unstage");
    write_file(path, stage_bytes({{kAid, kT0 + 2, 2, 7}, {kAid, kT0 + 3, 3, 9}}));
    process_stage_file(kAid, path.c_str()); // the process dies here
    ASSERT_TRUE(path_exists(stages_path(kAid, "journal")));

    ASSERT_EQ(dbs_kv_recover(nullptr), 0);
    EXPECT_EQ(day_samples(kAid, kDay, 7), (std::vector<sample>{{kT0 + 1000, 1}, {kT0 + 2, 2}}));
    EXPECT_EQ(day_samples(kAid, kDay, 9), (std::vector<sample>{{kT0 + 3, 3}}));
    EXPECT_FALSE(path_exists(path));
    EXPECT_FALSE(path_exists(stages_path(kAid, "journal")));
}

// Once the staging file is gone the move is complete: a journal still lying there undoes
// nothing.
TEST_F(KvStore, JournalOfACompletedMoveIsDiscarded) {
    const std::string path = stages_path(kAid, "unstage");
    write_file(path, stage_bytes({{kAid, kT0 + 2, 2, 7}}));
    process_stage_file(kAid, path.c_str());
    ASSERT_EQ(unlink(path.c_str()), 0); // the process dies here
    ASSERT_EQ(dbs_kv_recover(nullptr), 0);
    EXPECT_EQ(day_samples(kAid, kDay, 7), (std::vector<sample>{{kT0 + 2, 2}}));
    EXPECT_FALSE(path_exists(stages_path(kAid, "journal")));
}

// The journal names the staging file by inode and size, then lists the day files the move
// touches with their sizes before it.
TEST_F(KvStore, JournalHandWrittenBytes) {
    write_file(day_path(kAid, kDay, 7), std::string(16, '\0'));
    const std::string path = stages_path(kAid, "unstage");
    write_file(path, stage_bytes({{kAid, kT0 + 9, 2, 9}, {kAid, kT0 + 2, 1, 7}}));
    process_stage_file(kAid, path.c_str());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const uint64_t ino = st.st_ino;
    const std::string want = std::string(reinterpret_cast<const char *>(&ino), 8) +
                             hex("40 00 00 00 00 00 00 00"
                                 "47 4D 00 00 07 00 00 00  10 00 00 00 00 00 00 00"
                                 "47 4D 00 00 09 00 00 00  00 00 00 00 00 00 00 00");
    EXPECT_EQ(read_file(stages_path(kAid, "journal")), want);
}

TEST_F(KvStore, RecoverySkipsEntriesThatAreNoAgentDirectories) {
    for (const char *name : {"00000000000000a1", "A1", "not-an-agent"}) {
        const std::string dir = std::string("storage.db/data/") + name + "/kv/stages";
        ASSERT_EQ(sys_mkdirs(dir.c_str()), 0);
        write_file(dir + "/stage", stage_bytes({{kAid, kT0, 1, 7}}));
    }
    ASSERT_EQ(dbs_kv_recover(nullptr), 0);
    EXPECT_FALSE(path_exists(day_path(kAid, kDay, 7)));
    EXPECT_TRUE(path_exists("storage.db/data/A1/kv/stages/stage"));
}

// ---- bulk reading and sizes -----------------------------------------------------------

struct bulk_calls {
    std::vector<int64_t> sizes;
    int stop_after = -1;
};

int record_bulk(void *ctx, const uint8_t *, int64_t n) {
    auto *c = static_cast<bulk_calls *>(ctx);
    c->sizes.push_back(n);
    return static_cast<int>(c->sizes.size()) == c->stop_after ? 1 : 0;
}

// Day file samples carry no check of their own: a flipped byte changes that one sample and
// costs nothing else. Ten samples are moved into a day file, one byte of the fifth is
// flipped, a later pass appends three more, and the recovery of a restart two more: every
// other sample is read back as stored, nothing is cut or told.
TEST_F(KvStore, DamagedDaySampleCostsNoOtherSample) {
    const struct {
        const char *name;
        size_t byte; // flipped, within the fifth sample
        uint8_t bits;
    } cases[] = {
        {"time", 5, 0x40},
        {"value", 15, 0x01},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = day_path(kAid, kDay, 7);
        unlink(path.c_str());
        std::vector<kv_stage_rec> first;
        std::vector<sample> expect;
        for (uint64_t i = 0; i < 10; i++) {
            first.push_back({kAid, kT0 + 1000 * i, 100 + i, 7});
            expect.push_back({kT0 + 1000 * i, 100 + i});
        }
        pending_unstage(first);
        pass();
        std::string bytes = read_file(path);
        ASSERT_EQ(bytes.size(), 160u);
        bytes[4 * sizeof(kv_sample) + c.byte] ^= static_cast<char>(c.bits);
        write_file(path, bytes);
        expect[4] = decode_samples(bytes.substr(4 * sizeof(kv_sample), sizeof(kv_sample)))[0];
        Logged l = run_logged([&] {
            pending_unstage(
                {{kAid, kT0 + 20000, 3, 7}, {kAid, kT0 + 10000, 1, 7}, {kAid, kT0 + 15000, 2, 7}});
            pass();
            write_file(stages_path(kAid, "stage"),
                       stage_bytes({{kAid, kT0 + 30000, 4, 7}, {kAid, kT0 + 31000, 5, 7}}));
            printf("%d", dbs_kv_recover(nullptr));
        });
        EXPECT_EQ(l.out, "0");
        EXPECT_EQ(l.lines, "");
        for (sample s : {sample{kT0 + 10000, 1},
                         {kT0 + 15000, 2},
                         {kT0 + 20000, 3},
                         {kT0 + 30000, 4},
                         {kT0 + 31000, 5}})
            expect.push_back(s);
        bulk_calls calls;
        ASSERT_EQ(dbs_kv_foreach_bulkday(kAid, kT0, kT0 + DAY_MS - 1, 7, &calls, record_bulk), 0);
        EXPECT_EQ(calls.sizes, (std::vector<int64_t>{int64_t(expect.size() * sizeof(kv_sample))}));
        EXPECT_EQ(day_samples(kAid, kDay, 7), expect);
        EXPECT_EQ(read_file(path).substr(0, bytes.size()), bytes);
    }
}

TEST_F(KvStore, BulkDaysSkipMissingFiles) {
    write_file(day_path(kAid, kDay, 7), std::string(32, 'a'));
    write_file(day_path(kAid, kDay + 2, 7), std::string(48, 'c'));
    write_file(day_path(kAid, kDay + 1, 8), std::string(16, 'b'));
    const struct {
        uint64_t from, to;
        std::vector<int64_t> sizes;
    } cases[] = {
        {kT0 + 5, kT0 + 2 * DAY_MS + 1, {32, 48}},
        {kT0 + DAY_MS, kT0 + 2 * DAY_MS - 1, {}},
        {kT0 + DAY_MS - 1, kT0 + DAY_MS - 1, {32}},
        {0, UINT64_MAX, {32, 48}}, // every day there is, found without visiting each
    };
    for (const auto &c : cases) {
        bulk_calls calls;
        EXPECT_EQ(dbs_kv_foreach_bulkday(kAid, c.from, c.to, 7, &calls, record_bulk), 0);
        EXPECT_EQ(calls.sizes, c.sizes) << c.from << ".." << c.to;
    }
}

// Only whole samples are handed out, at most one day's worth of them.
TEST_F(KvStore, BulkDayHandsOutWholeSamples) {
    const struct {
        size_t file;
        std::vector<int64_t> sizes;
    } cases[] = {
        {40, {32}},
        {16, {16}},
        {8, {}},
        {KV_BULK_BYTES + 40, {static_cast<int64_t>(KV_BULK_BYTES)}},
    };
    for (const auto &c : cases) {
        write_file(day_path(kAid, kDay, 7), std::string(c.file, 's'));
        bulk_calls calls;
        EXPECT_EQ(dbs_kv_foreach_bulkday(kAid, kT0, kT0, 7, &calls, record_bulk), 0);
        EXPECT_EQ(calls.sizes, c.sizes) << c.file;
    }
}

TEST_F(KvStore, BulkDayStopsAtNonZeroResult) {
    for (uint32_t d = 0; d < 3; d++)
        write_file(day_path(kAid, kDay + d, 7), std::string(16, 's'));
    bulk_calls calls;
    calls.stop_after = 2;
    EXPECT_EQ(dbs_kv_foreach_bulkday(kAid, kT0, kT0 + 3 * DAY_MS, 7, &calls, record_bulk), -1);
    EXPECT_EQ(calls.sizes.size(), 2u);
}

TEST_F(KvStore, BulkDayRefusesBadArguments) {
    Logged l = run_logged([] {
        bulk_calls calls;
        int a = dbs_kv_foreach_bulkday(kAid, kT0, kT0, 7, &calls, nullptr);
        int b = dbs_kv_foreach_bulkday(kAid, kT0 + 1, kT0, 7, &calls, record_bulk);
        exit(a == -1 && b == -1 && calls.sizes.empty() ? 0 : 1);
    });
    EXPECT_EQ(l.lines, "ERROR  Invalid arguments.\nERROR  Invalid time range.\n");
}

// ---- day files read into places the caller gives ---------------------------------------

// What a sink was asked and handed: per file the bytes placed and the bytes with the longer
// flag; it refuses to place more than `room` bytes.
struct day_sink {
    std::vector<uint8_t> area = std::vector<uint8_t>(KV_BULK_BYTES);
    uint64_t room = UINT64_MAX;
    std::vector<uint64_t> placed;
    std::vector<std::pair<std::string, bool>> got;
    int stop_after = -1;
};

uint8_t *sink_place(void *ctx, uint64_t n) {
    auto *s = static_cast<day_sink *>(ctx);
    s->placed.push_back(n);
    return n <= s->room ? s->area.data() : nullptr;
}

int sink_done(void *ctx, uint64_t n, bool longer) {
    auto *s = static_cast<day_sink *>(ctx);
    s->got.emplace_back(std::string(reinterpret_cast<const char *>(s->area.data()), n), longer);
    return static_cast<int>(s->got.size()) == s->stop_after ? 1 : 0;
}

constexpr dbs_kv_day_sink kSink = {sink_place, sink_done};

TEST_F(KvStore, DaysReadIntoPlacesKnownFromTheirSizes) {
    const std::string a(40, 'a'), c(48, 'c'), big(300000, 'z');
    write_file(day_path(kAid, kDay, 7), a);
    write_file(day_path(kAid, kDay + 2, 7), c);
    write_file(day_path(kAid, kDay + 3, 7), std::string(8, 'e'));
    write_file(day_path(kAid, kDay + 4, 7), big);
    write_file(day_path(kAid, kDay + 1, 8), std::string(16, 'b'));
    day_sink s;
    EXPECT_EQ(dbs_kv_read_days(kAid, kT0 + 5, kT0 + 4 * DAY_MS, 7, &s, &kSink), 0);
    // Whole samples only, at most one day's worth; an empty or too short file is not placed.
    EXPECT_EQ(s.placed, (std::vector<uint64_t>{32, 48, KV_BULK_BYTES}));
    ASSERT_EQ(s.got.size(), 3u);
    EXPECT_EQ(s.got[0], std::make_pair(a.substr(0, 32), false));
    EXPECT_EQ(s.got[1], std::make_pair(c, false));
    EXPECT_EQ(s.got[2], std::make_pair(big.substr(0, KV_BULK_BYTES), true));
    // Over a range walked through the listing, too.
    day_sink all;
    EXPECT_EQ(dbs_kv_read_days(kAid, 0, UINT64_MAX, 7, &all, &kSink), 0);
    EXPECT_EQ(all.placed, s.placed);
}

TEST_F(KvStore, DaysNotPlacedStayUnreadAndEndTheWalk) {
    write_file(day_path(kAid, kDay, 7), std::string(32, 'a'));
    // A directory in a day file's place cannot be read: it is never tried when not placed.
    ASSERT_EQ(mkdir(day_path(kAid, kDay + 1, 7).c_str(), 0700), 0);
    day_sink small;
    small.room = 16;
    EXPECT_EQ(dbs_kv_read_days(kAid, kT0, kT0 + DAY_MS, 7, &small, &kSink), 1);
    EXPECT_EQ(small.placed, std::vector<uint64_t>{32});
    EXPECT_TRUE(small.got.empty());

    day_sink stopping;
    stopping.stop_after = 1;
    EXPECT_EQ(dbs_kv_read_days(kAid, kT0, kT0 + DAY_MS, 7, &stopping, &kSink), 1);
    EXPECT_EQ(stopping.got.size(), 1u);
}

TEST_F(KvStore, DayFilesThatCannotBeReadFailTheWalk) {
    write_file(day_path(kAid, kDay, 7), std::string(32, 'a'));
    ASSERT_EQ(mkdir(day_path(kAid, kDay + 1, 7).c_str(), 0700), 0);
    Logged l = run_logged([] {
        day_sink s;
        const int unreadable = dbs_kv_read_days(kAid, kT0, kT0 + DAY_MS, 7, &s, &kSink);
        // Without a descriptor to open the first day with.
        rlimit saved, none{0, 0};
        getrlimit(RLIMIT_NOFILE, &saved);
        none.rlim_max = saved.rlim_max;
        setrlimit(RLIMIT_NOFILE, &none);
        const int no_descriptor = dbs_kv_read_days(kAid, kT0, kT0, 7, &s, &kSink);
        setrlimit(RLIMIT_NOFILE, &saved);
        const int bad_range = dbs_kv_read_days(kAid, kT0 + 1, kT0, 7, &s, &kSink);
        const dbs_kv_day_sink half = {sink_place, nullptr};
        const int no_sink = dbs_kv_read_days(kAid, kT0, kT0, 7, &s, &half);
        printf("%d %d %d %d %zu", unreadable, no_descriptor, bad_range, no_sink, s.got.size());
    });
    EXPECT_EQ(l.out, "-1 -1 -1 -1 1");
    EXPECT_NE(l.lines.find("read " + day_path(kAid, kDay + 1, 7) + " Is a directory"),
              std::string::npos)
        << l.lines;
    EXPECT_NE(l.lines.find("open " + day_path(kAid, kDay, 7) + " Too many open files"),
              std::string::npos)
        << l.lines;
    EXPECT_NE(l.lines.find("ERROR  Invalid time range.\nERROR  Invalid arguments.\n"),
              std::string::npos)
        << l.lines;
}

TEST_F(KvStore, StatsAddDayFileSizesOnly) {
    write_file(day_path(kAid, kDay, 7), std::string(32, 's'));
    write_file(day_path(kAid, kDay + 1, 9), std::string(48, 's'));
    write_file(stages_path(kAid, "stage"), std::string(64, 's'));
    for (const char *name : {"1.2.x", "12", "a.1", ".3.4"})
        write_file(agent_dir(kAid) + "/kv/" + name, std::string(1000, 's'));
    uint64_t total = 5;
    EXPECT_EQ(dbs_stats_kv(kAid, &total), 0);
    EXPECT_EQ(total, 85u);
    EXPECT_EQ(dbs_stats_kv(kOther, &total), 0);
    EXPECT_EQ(total, 85u);
}

} // namespace
