// Root calls gathered per payload and written together: the files end up exactly as if
// each root call had been written on its own, a failed write leaves no trace, and a writer
// killed after a write leaves nothing torn that a reader reaches.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "database/store/rcall_support.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

// One root call of a payload: its root time, its calls besides the root and its blob.
struct shape_root {
    uint64_t t;
    uint16_t n;
    size_t blob;
};

struct payload_shape {
    const char *name;
    std::vector<shape_root> roots;
    // Root calls still gathered, not in the files, when the last one has been taken.
    size_t held;
};

std::vector<shape_root> many_roots(uint64_t t, uint32_t count, uint16_t n_mod) {
    std::vector<shape_root> out;
    for (uint32_t i = 0; i < count; i++)
        out.push_back({t + i * 400, static_cast<uint16_t>(i * 7 % n_mod), i % 3 == 0 ? 0 : 5 + i});
    return out;
}

// The files of the agent's "mc" directory, by name.
std::map<std::string, std::string> mc_files(const std::string &dir) {
    std::map<std::string, std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        out[e.path().filename()] = read_file(e.path());
    return out;
}

uint64_t root_seq(size_t i) {
    return 100 + i;
}

class RcallBatch : public StoreTest {
protected:
    // Stores the shape's root calls in a fresh "mc" directory under `sub`, one at a time or
    // gathered and written at the end; the files it holds after. *held_seen gets the number
    // of root calls a walk missed just before the end (gathered only).
    std::map<std::string, std::string> store_shape(const payload_shape &shape, const char *sub,
                                                   bool gathered, size_t *held_seen) {
        const std::string top = dir_.path() + "/" + sub;
        EXPECT_EQ(sys_mkdirs((top + "/" + mc_dir()).c_str()), 0);
        EXPECT_EQ(chdir(top.c_str()), 0);
        {
            test_agent a;
            for (size_t i = 0; i < shape.roots.size(); i++) {
                const shape_root &r = shape.roots[i];
                test_rcall rc(r.t, static_cast<uint32_t>(root_seq(i)), r.n, r.blob);
                EXPECT_EQ(gathered ? dbs_rcall_stage(&a.a, &rc.rc) : dbs_rcall_save(&a.a, &rc.rc),
                          0)
                    << shape.name << " root " << i;
            }
            if (gathered) {
                const uint64_t range[2] = {kDay0, kDay0 + 2 * DAY_MS - 1};
                *held_seen = shape.roots.size() - walk(range).size();
                EXPECT_EQ(dbs_agent_mc_flush(&a.a), 0) << shape.name;
            }
        }
        auto files = mc_files(mc_dir());
        EXPECT_EQ(chdir(dir_.path().c_str()), 0);
        return files;
    }
};

TEST_F(RcallBatch, GatheredRootCallsLeaveTheFilesOfOneByOneWrites) {
    const uint64_t t6 = at_time(0, 6, 10, 0);
    const uint64_t late = at_time(0, 6, 59, 58);
    const uint64_t t7 = at_time(0, 7, 0, 0);
    // 9696-byte root calls, half with a 30-byte blob: 13 fill a batch, the 14th starts the
    // next, and the last 8 of 60 are still gathered at the end.
    std::vector<shape_root> bound;
    for (uint32_t i = 0; i < 60; i++)
        bound.push_back({t6 + i * 10, 200, i % 2 == 0 ? 0u : 30u});
    // Bare root calls with 20,000-byte blobs: the blobs count towards the bound too, so 6
    // fill a batch and the last 2 of 20 are still gathered.
    std::vector<shape_root> blobs;
    for (uint32_t i = 0; i < 20; i++)
        blobs.push_back({t6 + i, 0, 20000});
    const payload_shape shapes[] = {
        {"one root", {{t6, 3, 10}}, 1},
        {"bare root", {{t6, 0, 0}}, 1},
        {"many roots, some in one second", many_roots(t6, 50, 20), 50},
        // Each move to the other hour writes what was gathered for the last one.
        {"roots of two hours", {{late, 2, 8}, {t7, 1, 0}, {late + 1, 0, 4}, {t7 + 5, 4, 9}}, 1},
        {"roots of two days", {{at_time(0, 23, 59, 59), 1, 3}, {at_time(1, 0, 0, 0), 2, 0}}, 1},
        // The large one goes out on its own, after what was gathered before it.
        {"a root with 40,001 calls", {{t6, 5, 7}, {t6 + 1, 40000, 100}, {t6 + 2, 1, 3}}, 1},
        {"more than a batch holds", bound, 8},
        {"blobs past the bound", blobs, 2},
    };
    for (const payload_shape &shape : shapes) {
        size_t held = 0;
        const auto one_by_one = store_shape(shape, "single", false, nullptr);
        const auto gathered = store_shape(shape, "gathered", true, &held);
        EXPECT_EQ(held, shape.held) << shape.name;
        ASSERT_FALSE(one_by_one.empty()) << shape.name;
        ASSERT_EQ(gathered.size(), one_by_one.size()) << shape.name;
        for (const auto &[name, bytes] : one_by_one) {
            auto it = gathered.find(name);
            ASSERT_NE(it, gathered.end()) << shape.name << ": " << name;
            EXPECT_TRUE(it->second == bytes) << shape.name << ": " << name << " differs";
        }
        std::filesystem::remove_all(dir_.path() + "/single");
        std::filesystem::remove_all(dir_.path() + "/gathered");
    }
}

TEST_F(RcallBatch, FailedWriteIsCutBackAndItsIndexEntriesWithdrawn) {
    const uint64_t t = at_time(0, 6, 0, 0);
    struct failure_case {
        rlim_t limit; // file size limit while the batch is written
        bool blobs;   // the write that fails is the one of the extension file
    };
    // One root call of 144 bytes and a 200-byte blob is in the files; three more of 192 bytes
    // with 20-byte blobs are gathered. The limits leave room for the loss line in the
    // captured log.
    const failure_case cases[] = {
        {600, false}, // the blobs fit, the root calls only in part
        {240, true},  // the blobs only in part
    };
    for (const failure_case &c : cases) {
        Logged r = run_logged([&] {
            signal(SIGXFSZ, SIG_IGN);
            test_agent a;
            printf("%d ", a.save(t, 1, 1, 200));
            for (uint32_t i = 0; i < 3; i++) {
                test_rcall rc(t + 1000 * (i + 1), 2 + i, 2, 20);
                printf("%d ", dbs_rcall_stage(&a.a, &rc.rc));
            }
            rlimit lim{c.limit, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &lim);
            printf("%d ", dbs_agent_mc_flush(&a.a));
            uint64_t all, failed;
            const auto day = static_cast<uint32_t>(t / DAY_MS);
            cindex_count(&all, kAgent, day, 6, 0, 3599);
            cindex_count(&failed, kAgent, day, 6, 1, 3);
            printf("%ld %ld %lu %lu ", path_size(hour_path(t)), path_size(hour_path(t, ".x")), all,
                   failed);
            lim.rlim_cur = RLIM_INFINITY;
            setrlimit(RLIMIT_FSIZE, &lim);
            test_rcall next(t + 5000, 9, 0, 5);
            printf("%d %d", dbs_rcall_stage(&a.a, &next.rc), dbs_agent_mc_flush(&a.a));
        });
        EXPECT_EQ(r.out, "0 0 0 0 -1 144 200 1 0 0 0") << c.limit;
        const std::string why = "write " + hour_path(t, c.blobs ? ".x" : "");
        EXPECT_NE(r.lines.find("3 root calls and 0 samples lost (" + why + ": File too large)"),
                  std::string::npos)
            << r.lines;

        const uint64_t range[2] = {t, t + HOUR_MS - 1};
        std::vector<seen_rcall> seen = walk(range);
        ASSERT_EQ(seen.size(), 2u) << c.limit;
        EXPECT_EQ(seen[1].root.CLASS, 9u);
        EXPECT_EQ(seen[1].offset, 144u);
        EXPECT_EQ(seen[1].ext_offset, 200u);
        EXPECT_EQ(read_file(hour_path(t, ".x")), std::string(200, 1) + std::string(5, 9));
        std::filesystem::remove_all(mc_dir());
        ASSERT_EQ(sys_mkdirs(mc_dir().c_str()), 0);
    }
}

// What the killed writer gathers for batch b: 1 to 40 root calls of up to 1000 calls, some
// with blobs; root call k of all of them has seq k.
uint32_t batch_roots(uint32_t b) {
    return 1 + b * 13 % 40;
}
uint16_t killed_calls(uint32_t seq) {
    return static_cast<uint16_t>(seq * 7919 % 1000);
}
size_t killed_blob(uint32_t seq) {
    return seq % 4 * 30;
}

TEST_F(RcallBatch, WriterKilledAfterAWriteLeavesNoTornRecordReachable) {
    const uint64_t t = at_time(0, 15, 0, 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(report[0]);
        test_agent a;
        uint32_t seq = 0;
        for (uint32_t b = 0;; b++) {
            for (uint32_t i = batch_roots(b); i > 0; i--, seq++) {
                test_rcall rc(t + seq, seq, killed_calls(seq), killed_blob(seq));
                dbs_rcall_stage(&a.a, &rc.rc);
            }
            dbs_agent_mc_flush(&a.a);
            // The number of root calls written so far, once the write has returned.
            if (write(report[1], &seq, sizeof seq) != sizeof seq)
                _exit(1);
        }
    }
    close(report[1]);
    uint32_t flushed = 0;
    for (int i = 0; i < 30; i++)
        ASSERT_EQ(read(report[0], &flushed, sizeof flushed), static_cast<ssize_t>(sizeof flushed));
    kill(pid, SIGKILL);
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    close(report[0]);

    const uint64_t range[2] = {t, t + HOUR_MS - 1};
    const auto check = [&](const std::vector<seen_rcall> &seen, size_t roots) {
        const std::string ext = read_file(hour_path(t, ".x"));
        ASSERT_GE(seen.size(), roots);
        for (uint32_t seq = 0; seq < roots; seq++) {
            const seen_rcall &s = seen[seq];
            ASSERT_EQ(s.root.CLASS, seq);
            ASSERT_EQ(s.calls.size(), killed_calls(seq)) << seq;
            for (uint32_t i = 0; i < s.calls.size(); i++)
                ASSERT_EQ(s.calls[i].METHOD, i) << seq;
            ASSERT_EQ(s.ext_length, killed_blob(seq)) << seq;
            ASSERT_LE(s.ext_offset + s.ext_length, ext.size()) << seq;
            EXPECT_EQ(ext.substr(s.ext_offset, s.ext_length),
                      std::string(killed_blob(seq), static_cast<char>(seq)))
                << seq;
        }
    };
    // Readers see every root call written before the kill, each whole, and nothing else.
    Logged scan = run_logged([&] { printf("%zu", walk(range).size()); });
    EXPECT_EQ(scan.lines, "");
    std::vector<seen_rcall> seen = walk(range);
    check(seen, flushed);
    check(seen, seen.size());
    uint64_t counted;
    ASSERT_EQ(cindex_count(&counted, kAgent, static_cast<uint32_t>(t / DAY_MS), 15, 0, 3599), 0);
    EXPECT_GE(counted, seen.size()) << "the index never counts fewer root calls than stored";

    // A writer after a restart cuts what a torn write left and appends behind the rest.
    const size_t before = seen.size();
    Logged reopen = run_logged([&] {
        test_agent b;
        test_rcall rc(t + HOUR_MS - 1, before, killed_calls(before), killed_blob(before));
        printf("%d %d", dbs_rcall_stage(&b.a, &rc.rc), dbs_agent_mc_flush(&b.a));
    });
    EXPECT_EQ(reopen.out, "0 0") << reopen.lines;
    seen = walk(range);
    ASSERT_EQ(seen.size(), before + 1);
    check(seen, seen.size());
}

} // namespace
