#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "database/store/rcall_support.h"
#include "database/store/stored_rcall.h"
#include "database/store/walk.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

uint32_t file_id_of(uint64_t t) {
    return static_cast<uint32_t>(t / DAY_MS) << 5 | static_cast<uint32_t>(t % DAY_MS / HOUR_MS);
}

rcall_key key_of(uint64_t t, uint64_t offset) {
    return rcall_key_make(static_cast<uint32_t>(t / DAY_MS),
                          static_cast<uint32_t>(t % DAY_MS / HOUR_MS), offset);
}

uint64_t stored_size(uint16_t n) {
    return sizeof(RootCall) + n * uint64_t{sizeof(call_record)};
}

// ---- what the walks hand out ----

// One delivery of a walk: the root call it belongs to and, per walk, what came with it.
struct delivery {
    rcall_key key;
    uint16_t count;
    uint64_t root_time;
    uint64_t call_time; // the delivered call (per-call walk), else the root's
    bool has_entry;
    std::string entry;
};

// Collects the deliveries of any walk; `result` decides what each callback returns.
struct recorder {
    std::vector<delivery> seen;
    std::function<int(const delivery &)> result = [](const delivery &) { return 0; };

    // The root calls delivered, one entry for the deliveries of each.
    std::vector<uint64_t> root_times() const {
        std::vector<uint64_t> t;
        for (const delivery &d : seen)
            if (t.empty() || t.back() != d.root_time)
                t.push_back(d.root_time);
        return t;
    }
    int add(delivery d) {
        seen.push_back(std::move(d));
        return result(seen.back());
    }
};

std::string entry_text(const uint8_t *entry, uint16_t length) {
    return entry != nullptr ? std::string(reinterpret_cast<const char *>(entry), length) : "";
}

int on_rcall(void *ctx, rcall_key key, uint16_t count, const rcall *rc, const uint8_t *entry,
             uint16_t length) {
    return static_cast<recorder *>(ctx)->add({key, count, rc->root->TSTAMP, rc->root->TSTAMP,
                                              entry != nullptr, entry_text(entry, length)});
}

int on_tree(void *ctx, const call_tree *tree) {
    const call_record &root = tree->nodes[0].call;
    return static_cast<recorder *>(ctx)->add({0, tree->n, root.TSTAMP, root.TSTAMP, false, ""});
}

int on_call(void *ctx, const rcall_ref *ref, const rcall *rc, const call_record *call,
            const uint8_t *entry, uint16_t length) {
    return static_cast<recorder *>(ctx)->add({ref->key, ref->count, rc->root->TSTAMP, call->TSTAMP,
                                              entry != nullptr, entry_text(entry, length)});
}

enum class walk_kind { rcall, rcall_ext, tree, call };

recorder run_walk(walk_kind kind, uint64_t from, uint64_t to,
                  std::function<int(const delivery &)> result = nullptr) {
    recorder r;
    if (result)
        r.result = std::move(result);
    const uint64_t range[2] = {from, to};
    switch (kind) {
    case walk_kind::rcall:
    case walk_kind::rcall_ext:
        EXPECT_EQ(dbs_rcall_foreach(kAgent, range, &r, on_rcall, kind == walk_kind::rcall_ext), 0);
        break;
    case walk_kind::tree:
        EXPECT_EQ(dbs_rcall_foreach_tree(kAgent, range, &r, on_tree), 0);
        break;
    case walk_kind::call:
        EXPECT_EQ(dbs_rcall_foreach_call(kAgent, range, &r, on_call), 0);
        break;
    }
    return r;
}

class Walk : public StoreTest {
protected:
    test_agent agent_;
};

// ---- the calls of root calls ----

// Per root call: '-' without calls, else their number when every one is in host order with
// its file id set, 'x' when one is not.
int note_calls(void *ctx, rcall_key, uint16_t, const rcall *rc, const uint8_t *, uint16_t) {
    auto *out = static_cast<std::string *>(ctx);
    if (rc->calls == nullptr) {
        *out += '-';
        return 0;
    }
    const call_record *root = rc->root;
    bool ok = true;
    for (uint32_t i = 0; i < rc->count; i++) {
        const call_record &c = rc->calls[i];
        ok = ok && c.TSTAMP == root->TSTAMP - rc->count + i && c.CLASS == root->CLASS &&
             c.METHOD == i && c.file_id == root->file_id && c.file_id == file_id_of(root->TSTAMP);
    }
    *out += ok ? static_cast<char>('0' + rc->count) : 'x';
    return 0;
}

TEST_F(Walk, CallsComeOnlyWithTheRootCallsTheFilterWants) {
    const uint64_t t = at_time(0, 9, 0, 0);
    // Their exception counts are 0, 1 and 2.
    for (uint32_t seq = 0; seq < 3; seq++)
        ASSERT_EQ(agent_.save(t + seq, seq, 4), 0);
    const struct {
        const char *name;
        dbs_calls_filter wanted;
        const char *calls;
    } cases[] = {
        {"no filter: every root call's", nullptr, "444"},
        {"none", dbs_calls_none, "---"},
        {"of root calls with exceptions", dbs_calls_with_exceptions, "-44"},
    };
    const uint64_t range[2] = {t, t + HOUR_MS};
    for (const auto &c : cases) {
        for (bool with_extensions : {false, true}) {
            std::string seen;
            EXPECT_EQ(dbs_rcall_foreach(kAgent, range, &seen, note_calls, with_extensions, nullptr,
                                        c.wanted),
                      0);
            EXPECT_EQ(seen, c.calls) << c.name << (with_extensions ? ", with entries" : "");
        }
    }
}

// ---- ranges ----

// Root calls on three days, with hours that have no file between them.
class WalkRanges : public Walk {
protected:
    void SetUp() override {
        Walk::SetUp();
        for (uint64_t t : times())
            ASSERT_EQ(agent_.save(t, static_cast<uint32_t>(t % 1000), 1), 0);
    }
    static std::vector<uint64_t> times() {
        return {at_time(0, 10, 0, 0),       at_time(0, 10, 20, 0), at_time(0, 10, 40, 0),
                at_time(0, 11, 30, 0),      at_time(0, 13, 5, 0),  at_time(1, 2, 0, 0),
                at_time(2, 23, 59, 59, 999)};
    }
};

TEST_F(WalkRanges, EachWalkFindsTheRootCallsOfTheRange) {
    const std::vector<uint64_t> all = times();
    const struct {
        const char *name;
        uint64_t from, to;
        std::vector<uint64_t> expected;
    } cases[] = {
        {"inside one hour", at_time(0, 10, 10, 0), at_time(0, 10, 30, 0), {all[1]}},
        {"from an hour boundary",
         at_time(0, 10, 0, 0),
         at_time(0, 10, 59, 59, 999),
         {all[0], all[1], all[2]}},
        {"both ends inclusive", all[1], all[2], {all[1], all[2]}},
        {"across hours, one empty",
         at_time(0, 10, 30, 0),
         at_time(0, 13, 10, 0),
         {all[2], all[3], all[4]}},
        {"across three days", at_time(0, 11, 0, 0), all[6], {all[3], all[4], all[5], all[6]}},
        {"from after to", all[2], all[1], {}},
        {"hours without files", at_time(0, 14, 0, 0), at_time(1, 1, 0, 0), {}},
        {"everything", 0, UINT64_MAX, all},
        {"longer than three days",
         at_time(0, 10, 30, 0),
         at_time(30, 0, 0, 0),
         {all[2], all[3], all[4], all[5], all[6]}},
        {"to past the last day a key can name",
         at_time(1, 0, 0, 0),
         UINT64_MAX - 1,
         {all[5], all[6]}},
        {"from past the last day a key can name", (RCALL_MAX_DAY + 1) * DAY_MS + 1, UINT64_MAX, {}},
    };
    for (const auto &c : cases) {
        for (walk_kind kind :
             {walk_kind::rcall, walk_kind::rcall_ext, walk_kind::tree, walk_kind::call}) {
            SCOPED_TRACE(testing::Message() << c.name << ", walk " << static_cast<int>(kind));
            EXPECT_EQ(run_walk(kind, c.from, c.to).root_times(), c.expected);
        }
    }
}

// A walk that could not read every file says so: an hour file that cannot be read ends the
// walk with -1, after the hours before it were delivered.
TEST_F(WalkRanges, UnreadableHourFileEndsTheWalkWithAFailure) {
    const std::string hour11 = hour_path(at_time(0, 11, 30, 0));
    ASSERT_EQ(unlink(hour11.c_str()), 0);
    ASSERT_EQ(mkdir(hour11.c_str(), 0700), 0);
    const uint64_t range[2] = {at_time(0, 10, 0, 0), at_time(0, 13, 10, 0)};
    const std::vector<uint64_t> before = {times()[0], times()[1], times()[2]};
    Logged l = run_logged([&] {
        recorder r;
        recorder t;
        recorder c;
        printf("%d %d %d", dbs_rcall_foreach(kAgent, range, &r, on_rcall, true),
               dbs_rcall_foreach_tree(kAgent, range, &t, on_tree),
               dbs_rcall_foreach_call(kAgent, range, &c, on_call));
        printf(" %d", r.root_times() == before && t.root_times() == before);
    });
    EXPECT_EQ(l.out, "-1 -1 -1 1");
    EXPECT_EQ(count_of(l.lines, "pread Is a directory\n"), 3u) << l.lines;
}

TEST_F(WalkRanges, KeysNameDayHourAndOffset) {
    recorder r = run_walk(walk_kind::rcall, at_time(0, 10, 0, 0), at_time(0, 11, 59, 0));
    ASSERT_EQ(r.seen.size(), 4u);
    EXPECT_EQ(r.seen[0].key, key_of(at_time(0, 10, 0, 0), 0));
    EXPECT_EQ(r.seen[1].key, key_of(at_time(0, 10, 0, 0), stored_size(1)));
    EXPECT_EQ(r.seen[2].key, key_of(at_time(0, 10, 0, 0), 2 * stored_size(1)));
    EXPECT_EQ(r.seen[3].key, key_of(at_time(0, 11, 0, 0), 0));
    for (const delivery &d : r.seen)
        EXPECT_EQ(d.count, 1u);
}

TEST_F(Walk, RangeUpToTheLastMillisecondOpensOnlyFilesThatExist) {
    ASSERT_EQ(agent_.save(at_time(0, 10, 0, 0), 1, 0), 0);
    Logged log = run_logged([] {
        log_level.store(2);
        printf("%zu", run_walk(walk_kind::rcall_ext, 0, UINT64_MAX).seen.size());
    });
    EXPECT_EQ(log.out, "1");
    EXPECT_EQ(log.lines.find("No such file"), std::string::npos) << log.lines;
}

TEST_F(Walk, StartInsideAnHourBeginsAtTheIndexOffset) {
    for (uint64_t minute : {0, 20, 40})
        ASSERT_EQ(agent_.save(at_time(0, 10, minute, 0), 1, 2), 0);
    dbs_agent_mc_close(&agent_.a);
    // A damaged first record: only a scan that reads it skips it, and says so at log level 2.
    int fd = open(hour_path(at_time(0, 10, 0, 0)).c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "XXXXXXXX", 8, offsetof(RootCall, magic)), 8);
    close(fd);
    const std::vector<uint64_t> behind = {at_time(0, 10, 20, 0), at_time(0, 10, 40, 0)};
    const struct {
        const char *name;
        uint64_t from;
        bool reads_damage;
    } cases[] = {
        {"inside the hour", at_time(0, 10, 10, 0), false},
        {"an hour boundary scans the hour from its start", at_time(0, 10, 0, 0), true},
        {"a second past the hour consults the index", at_time(0, 10, 0, 1), false},
    };
    for (const auto &c : cases) {
        Logged r = run_logged([&] {
            log_level.store(2);
            for (uint64_t t :
                 run_walk(walk_kind::rcall, c.from, at_time(0, 10, 59, 0)).root_times())
                printf("%lu ", t);
        });
        EXPECT_EQ(r.out, std::to_string(behind[0]) + " " + std::to_string(behind[1]) + " ")
            << c.name;
        EXPECT_EQ(r.lines.find("Damaged bytes of an hour file at offset 0 (192 bytes) skipped.") !=
                      std::string::npos,
                  c.reads_damage)
            << c.name << ":\n"
            << r.lines;
    }
}

TEST_F(Walk, IndexOffsetOfAMissingHourIsNotUsedInTheNextFile) {
    for (uint64_t minute : {0, 20, 40})
        ASSERT_EQ(agent_.save(at_time(0, 10, minute, 0), 1, 3), 0);
    for (uint64_t minute : {0, 10, 50})
        ASSERT_EQ(agent_.save(at_time(0, 11, minute, 0), 2, 3), 0);
    ASSERT_EQ(unlink(hour_path(at_time(0, 10, 0, 0)).c_str()), 0);
    recorder r = run_walk(walk_kind::call, at_time(0, 10, 30, 0), at_time(0, 11, 59, 0));
    EXPECT_EQ(r.root_times(), (std::vector<uint64_t>{at_time(0, 11, 0, 0), at_time(0, 11, 10, 0),
                                                     at_time(0, 11, 50, 0)}));
}

TEST_F(Walk, OutOfOrderRootCallsAreFoundWhereverTheyLie) {
    const std::vector<uint64_t> stored = {at_time(0, 10, 20, 0), at_time(0, 10, 10, 0),
                                          at_time(0, 10, 30, 0), at_time(0, 10, 5, 0)};
    for (uint64_t t : stored)
        ASSERT_EQ(agent_.save(t, 1, 1), 0);
    EXPECT_EQ(run_walk(walk_kind::rcall, at_time(0, 10, 6, 0), at_time(0, 10, 15, 0)).root_times(),
              (std::vector<uint64_t>{stored[1]}));
    EXPECT_EQ(run_walk(walk_kind::tree, at_time(0, 10, 8, 0), at_time(0, 10, 59, 0)).root_times(),
              (std::vector<uint64_t>{stored[0], stored[1], stored[2]}));
}

// ---- callback results ----

// Three root calls of two calls each in hour 10 and two in hour 11, every hour's first at
// minute 0.
class WalkResults : public Walk {
protected:
    void SetUp() override {
        Walk::SetUp();
        for (uint64_t t : {at_time(0, 10, 0, 0), at_time(0, 10, 10, 0), at_time(0, 10, 20, 0),
                           at_time(0, 11, 0, 0), at_time(0, 11, 10, 0)})
            ASSERT_EQ(agent_.save(t, 1, 2), 0);
    }
};

TEST_F(WalkResults, EachWalkReadsItsCallbackResultItsOwnWay) {
    const uint64_t h10 = at_time(0, 10, 0, 0), h11 = at_time(0, 11, 0, 0);
    const std::vector<uint64_t> all = {h10, h10 + 600000, h10 + 1200000, h11, h11 + 600000};
    const struct {
        walk_kind kind;
        int result; // returned for the first delivery of each hour's first root call
        size_t deliveries;
        std::vector<uint64_t> roots;
    } cases[] = {
        {walk_kind::rcall, 1, 2, {h10, h11}},
        {walk_kind::rcall, 2, 2, {h10, h11}},
        {walk_kind::rcall, -1, 2, {h10, h11}},
        {walk_kind::rcall_ext, 7, 2, {h10, h11}},
        {walk_kind::tree, 1, 2, {h10, h11}},
        {walk_kind::tree, 2, 5, all},
        {walk_kind::tree, -1, 5, all},
        {walk_kind::call, 0, 15, all},
        // 1 skips the rest of that root call only.
        {walk_kind::call, 1, 2 + 3 * 3, all},
        // Any other value ends the hour file.
        {walk_kind::call, 2, 2, {h10, h11}},
        {walk_kind::call, -1, 2, {h10, h11}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "walk " << static_cast<int>(c.kind) << " result " << c.result);
        recorder r = run_walk(c.kind, 0, UINT64_MAX, [&](const delivery &d) {
            bool first_call = d.call_time == d.root_time - 2 || c.kind != walk_kind::call;
            return d.root_time % HOUR_MS == 0 && first_call ? c.result : 0;
        });
        EXPECT_EQ(r.seen.size(), c.deliveries);
        EXPECT_EQ(r.root_times(), c.roots);
    }
}

// ---- extension entries ----

class WalkEntries : public Walk {
protected:
    const uint64_t t0 = at_time(0, 10, 0, 0);

    // Three calls and the root (index 3), entries as given.
    void store(uint64_t t, const std::vector<test_entry> &entries, uint16_t root_flags = 0) {
        std::vector<call_record> calls = {rec(t - 3, 1, 1), rec(t - 2, 2, 2), rec(t - 1, 3, 3),
                                          rec(t, 0, 0, CALL_F_ROOT | root_flags)};
        for (const test_entry &e : entries)
            if (e.call_index < 3)
                calls[e.call_index].flags |= CALL_F_PARAMS;
        ASSERT_EQ(save_rcall(&agent_.a, calls, entries), 0);
    }

    // The entry data handed with each delivered call of the per-call walk ("-" for none).
    std::vector<std::string> per_call(uint64_t from = 0, uint64_t to = UINT64_MAX) {
        std::vector<std::string> out;
        for (const delivery &d : run_walk(walk_kind::call, from, to).seen)
            out.push_back(d.has_entry ? d.entry : "-");
        return out;
    }
};

TEST_F(WalkEntries, RootEntryComesOnlyWithExtensionsAndAnEntry) {
    store(t0, {{1, "one"}, {3, "root"}}, CALL_F_PARAMS);
    store(t0 + 1000, {{1, "one"}});
    recorder with = run_walk(walk_kind::rcall_ext, 0, UINT64_MAX);
    ASSERT_EQ(with.seen.size(), 2u);
    EXPECT_EQ(with.seen[0].entry, "root");
    EXPECT_FALSE(with.seen[1].has_entry) << "the root has no entry of its own";
    for (const delivery &d : run_walk(walk_kind::rcall, 0, UINT64_MAX).seen)
        EXPECT_FALSE(d.has_entry) << "without extensions nothing is read";

    ASSERT_EQ(unlink(hour_path(t0, ".x").c_str()), 0);
    for (const delivery &d : run_walk(walk_kind::rcall_ext, 0, UINT64_MAX).seen)
        EXPECT_FALSE(d.has_entry) << "a missing .x file costs the entries";
}

// Entries of many root calls share reads of the extension file; a blob larger than one such
// read, with the root's entry at its end, is read on its own.
TEST_F(WalkEntries, RootEntriesOfSmallAndLargeBlobs) {
    uint32_t seed = 1;
    auto noise = [&](size_t n) {
        std::string s(n, '\0');
        for (char &ch : s)
            ch = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
        return s;
    };
    std::vector<std::string> expected;
    for (uint32_t i = 0; i < 3000; i++) {
        const bool large = i % 1000 == 500;
        std::vector<test_entry> entries;
        if (large)
            entries = {{0, noise(65000)}, {1, noise(65000)}, {2, noise(65000)}};
        expected.push_back(noise(large ? 60000 : 100 + i % 50));
        entries.push_back({3, expected.back()});
        store(t0 + i, entries, CALL_F_PARAMS);
    }
    ASSERT_GT(path_size(hour_path(t0, ".x")), 3 * 128 * 1024);
    recorder r = run_walk(walk_kind::rcall_ext, 0, UINT64_MAX);
    ASSERT_EQ(r.seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++)
        ASSERT_EQ(r.seen[i].entry, expected[i]) << i;
}

TEST_F(WalkEntries, RootFlagWithoutABlobReadsNoOtherRootCallsEntry) {
    store(t0, {{3, "first"}}, CALL_F_PARAMS);
    // Flagged as having an entry, but stored without a blob: its locator 0 would name the
    // first root call's block.
    store(t0 + 1000, {}, CALL_F_PARAMS);
    recorder r = run_walk(walk_kind::rcall_ext, 0, UINT64_MAX);
    ASSERT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(r.seen[0].entry, "first");
    EXPECT_FALSE(r.seen[1].has_entry);
}

TEST_F(WalkEntries, PerCallWalkHandsEachEntryWithItsCall) {
    const struct {
        const char *name;
        std::vector<test_entry> entries;
        uint16_t root_flags;
        std::vector<std::string> expected;
    } cases[] = {
        {"no entries", {}, 0, {"-", "-", "-", "-"}},
        {"a call and the root", {{1, "b"}, {3, "r"}}, CALL_F_PARAMS, {"-", "b", "-", "r"}},
        {"first and last call", {{0, "a"}, {2, "c"}}, 0, {"a", "-", "c", "-"}},
        {"entries behind an earlier index are skipped",
         {{2, "c"}, {1, "b"}, {2, "again"}},
         0,
         {"-", "-", "c", "-"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        dbs_agent_mc_close(&agent_.a);
        unlink(hour_path(t0).c_str());
        unlink(hour_path(t0, ".x").c_str());
        store(t0, c.entries, c.root_flags);
        EXPECT_EQ(per_call(), c.expected);
    }
}

TEST_F(WalkEntries, EntryNamingACallPastTheRootIsSkippedAndLogged) {
    store(t0, {{1, "b"}, {9, "beyond"}});
    Logged log = run_logged([&] {
        for (const std::string &e : per_call())
            printf("%s,", e.c_str());
    });
    EXPECT_EQ(log.out, "-,b,-,-,");
    EXPECT_NE(log.lines.find("ERROR  Extension entry of call 9 skipped"), std::string::npos)
        << log.lines;
}

TEST_F(WalkEntries, RootCallWithoutOtherCallsIsOneDelivery) {
    ASSERT_EQ(save_rcall(&agent_.a, {rec(t0, 0, 0, CALL_F_ROOT | CALL_F_PARAMS)}, {{0, "r"}}), 0);
    EXPECT_EQ(per_call(), (std::vector<std::string>{"r"}));
    recorder tree = run_walk(walk_kind::tree, 0, UINT64_MAX);
    ASSERT_EQ(tree.seen.size(), 1u);
    EXPECT_EQ(tree.seen[0].count, 0u);
}

TEST_F(WalkEntries, MissingExtensionFileDeliversEveryCallWithoutEntries) {
    store(t0, {{1, "b"}, {3, "r"}}, CALL_F_PARAMS);
    ASSERT_EQ(unlink(hour_path(t0, ".x").c_str()), 0);
    EXPECT_EQ(per_call(), (std::vector<std::string>{"-", "-", "-", "-"}));
}

// The damaged block costs its own entries only: every call of its root call and of the
// next one is still delivered.
TEST_F(WalkEntries, DamagedBlockHeaderCostsOnlyItsEntries) {
    store(t0, {{1, "b"}});
    store(t0 + 1000, {{2, "c"}});
    int fd = open(hour_path(t0, ".x").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "\xFF", 1, 0), 1);
    close(fd);
    EXPECT_EQ(per_call(), (std::vector<std::string>{"-", "-", "-", "-", "-", "-", "c", "-"}));
}

// ---- execution stack ----

TEST_F(WalkEntries, ExecutionStackReadsTheCallsOfAStoredRootCall) {
    store(t0, {{0, "zero"}});
    store(t0 + 1000, {{1, "b"}, {2, "c"}});
    recorder r = run_walk(walk_kind::call, 0, UINT64_MAX);
    ASSERT_EQ(r.seen.size(), 8u);
    const rcall_ref ref = {r.seen[4].key, 3};

    uint8_t *stack = dbs_rcall_execution_stack_get(&ref, kAgent);
    ASSERT_NE(stack, nullptr);
    uint16_t n;
    memcpy(&n, stack, 2);
    ASSERT_EQ(n, 3u);
    call_record calls[3];
    memcpy(calls, stack + 2, sizeof calls);
    free(stack);
    // The same records as the walk hands out: host order, absolute locators, file id set.
    std::vector<call_record> walked;
    dbs_rcall_foreach_call(kAgent, std::array<uint64_t, 2>{t0 + 1000, t0 + 1000}.data(), &walked,
                           [](void *ctx, const rcall_ref *, const rcall *, const call_record *c,
                              const uint8_t *, uint16_t) {
                               static_cast<std::vector<call_record> *>(ctx)->push_back(*c);
                               return 0;
                           });
    ASSERT_EQ(walked.size(), 4u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(memcmp(&calls[i], &walked[i], sizeof calls[i]), 0) << i;
        EXPECT_EQ(calls[i].file_id, file_id_of(t0));
    }
    EXPECT_GT(ext_locator_block(calls[1].ext), 0u) << "the second blob lies after the first";
}

TEST_F(WalkEntries, ExecutionStackRefusesWhatIsNotStored) {
    store(t0, {});
    const rcall_key key = key_of(t0, 0);
    const struct {
        const char *name;
        rcall_ref ref;
    } cases[] = {
        {"count differs from the stored N", {key, 2}},
        {"count above 40000", {key, 40001}},
        {"count 0", {key, 0}},
        {"offset inside a record", {key + 48, 3}},
        {"offset past the file", {key + stored_size(3), 3}},
        {"hour without a file", {key_of(t0 + HOUR_MS, 0), 3}},
        {"hour 31", {key | uint64_t{31} << 43, 3}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(dbs_rcall_execution_stack_get(&c.ref, kAgent), nullptr) << c.name;
    Logged log = run_logged([&] { dbs_rcall_execution_stack_get(&cases[1].ref, kAgent); });
    EXPECT_NE(log.lines.find("ERROR  Invalid number of calls."), std::string::npos) << log.lines;
}

// ---- call trees ----

struct tree_call {
    uint32_t corder;
    uint16_t sdepth;
    uint64_t tstamp;
};

// The tree as "corder>parent corder" per node in node order, 0 naming the root.
std::string tree_shape(const call_tree &t) {
    std::string s;
    for (uint32_t i = 1; i <= t.n; i++) {
        const call_tree_node &node = t.nodes[i];
        const uint32_t parent = node.parent == &t.nodes[0] ? 0 : node.parent->call.CORDER;
        s += std::to_string(node.call.CORDER) + ">" + std::to_string(parent) + " ";
    }
    return s;
}

void expect_children_match_parents(const call_tree &t) {
    uint32_t children = 0;
    for (uint32_t i = 0; i <= t.n; i++) {
        const call_tree_node &node = t.nodes[i];
        for (uint32_t c = 0; c < node.child_count; c++) {
            ASSERT_EQ(node.children[c]->parent, &node);
            if (c > 0) {
                ASSERT_LT(node.children[c - 1]->call.CORDER, node.children[c]->call.CORDER);
            }
        }
        children += node.child_count;
    }
    EXPECT_EQ(children, t.n);
}

TEST(CallTree, AttachesEachCallUnderTheNearestEnclosingCall) {
    const struct {
        const char *name;
        std::vector<tree_call> calls;
        std::string shape;
    } cases[] = {
        {"nested", {{1, 1, 100}, {2, 2, 90}, {3, 2, 95}}, "1>0 2>1 3>1 "},
        {"ends after the candidate", {{1, 1, 100}, {2, 2, 90}, {3, 2, 101}}, "1>0 2>1 3>0 "},
        {"stored out of order", {{3, 2, 95}, {1, 1, 100}, {2, 2, 90}}, "1>0 2>1 3>1 "},
        {"same end time is enclosing", {{1, 1, 100}, {2, 2, 100}}, "1>0 2>1 "},
        {"same depth is no parent", {{1, 1, 100}, {2, 1, 90}}, "1>0 2>0 "},
        {"climbs several levels",
         {{1, 1, 100}, {2, 2, 80}, {3, 3, 70}, {4, 4, 60}, {5, 2, 90}},
         "1>0 2>1 3>2 4>3 5>1 "},
        {"depth zero calls hang from the root", {{1, 0, 100}, {2, 0, 100}}, "1>0 2>0 "},
    };
    call_tree *tree = call_tree_new();
    const call_record root = rec(1000, 0, 0, CALL_F_ROOT);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<call_record> calls;
        for (const tree_call &tc : c.calls)
            calls.push_back(rec(tc.tstamp, tc.corder, tc.sdepth));
        call_tree_build(&root, static_cast<uint16_t>(calls.size()), calls.data(), tree);
        EXPECT_EQ(tree_shape(*tree), c.shape);
        expect_children_match_parents(*tree);
        EXPECT_EQ(tree->nodes[0].parent, nullptr);
        EXPECT_EQ(tree->nodes[0].call.TSTAMP, 1000u);
    }
    call_tree_free(tree);
}

TEST(CallTree, RebuildReplacesTheTreeAndCountsExceptions) {
    call_tree *tree = call_tree_new();
    const call_record root = rec(1000, 0, 0, CALL_F_ROOT | CALL_F_EXC);
    const std::vector<call_record> big = {rec(100, 1, 1, CALL_F_EXC), rec(90, 2, 2),
                                          rec(95, 3, 2, CALL_F_EXC_TEXT)};
    call_tree_build(&root, 3, big.data(), tree);
    EXPECT_EQ(tree->exceptions, 2u) << "the root is not counted";
    call_tree_build(&root, 0, nullptr, tree);
    EXPECT_EQ(tree->n, 0u);
    EXPECT_EQ(tree->exceptions, 0u);
    EXPECT_EQ(tree->nodes[0].child_count, 0u);
    EXPECT_EQ(tree->nodes[0].children, nullptr);
    call_tree_free(tree);
}

// Runs fn on a thread with a stack far smaller than a pool thread's.
void on_small_stack(void (*fn)(void *), void *arg) {
    struct job {
        void (*fn)(void *);
        void *arg;
    } j{fn, arg};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t t;
    ASSERT_EQ(pthread_create(
                  &t, &attr,
                  [](void *p) -> void * {
                      auto *jj = static_cast<job *>(p);
                      jj->fn(jj->arg);
                      return nullptr;
                  },
                  &j),
              0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
}

TEST(CallTree, DeepestAndWidestTreesBuildOnASmallStack) {
    struct shapes {
        std::vector<call_record> chain, flat;
        call_tree *deep = call_tree_new(), *wide = call_tree_new();
    } s;
    for (uint32_t i = 0; i < MAX_RCALL_CALLS; i++) {
        s.chain.push_back(rec(500, i + 1, static_cast<uint16_t>(i + 1)));
        s.flat.push_back(rec(500, MAX_RCALL_CALLS - i, 1));
    }
    on_small_stack(
        [](void *p) {
            auto *sh = static_cast<shapes *>(p);
            const call_record root = rec(1000, 0, 0, CALL_F_ROOT);
            call_tree_build(&root, MAX_RCALL_CALLS, sh->chain.data(), sh->deep);
            call_tree_build(&root, MAX_RCALL_CALLS, sh->flat.data(), sh->wide);
        },
        &s);
    uint32_t depth = 0;
    for (const call_tree_node *n = &s.deep->nodes[MAX_RCALL_CALLS]; n->parent; n = n->parent)
        depth++;
    EXPECT_EQ(depth, MAX_RCALL_CALLS);
    EXPECT_EQ(s.wide->nodes[0].child_count, MAX_RCALL_CALLS);
    expect_children_match_parents(*s.deep);
    expect_children_match_parents(*s.wide);
    call_tree_free(s.deep);
    call_tree_free(s.wide);
}

TEST_F(Walk, TreeWalkBuildsTheTreesOfStoredRootCalls) {
    const uint64_t t = at_time(0, 10, 0, 0);
    // Stored in arrival order, which is not CORDER order.
    ASSERT_EQ(save_rcall(&agent_.a,
                         {rec(95, 3, 2), rec(90, 2, 2), rec(100, 1, 1), rec(t, 0, 0, CALL_F_ROOT)}),
              0);
    std::string shape;
    const uint64_t range[2] = {0, UINT64_MAX};
    dbs_rcall_foreach_tree(kAgent, range, &shape, [](void *ctx, const call_tree *tree) {
        *static_cast<std::string *>(ctx) += tree_shape(*tree);
        return 0;
    });
    EXPECT_EQ(shape, "1>0 2>1 3>1 ");
}

// ---- file statistics ----

TEST_F(Walk, CallsStatsAddSizesAndGiveTheDaySpan) {
    write_file(mc_dir() + "/19783.10", std::string(100, 'a'));
    write_file(mc_dir() + "/19783.10.x", std::string(30, 'x'));
    write_file(mc_dir() + "/19783.index", std::string(7, 'i'));
    write_file(mc_dir() + "/19790.3", std::string(5, 'a'));
    write_file(mc_dir() + "/.hidden", std::string(1000, 'h'));
    write_file(mc_dir() + "/junk", std::string(1000, 'j'));
    write_file(mc_dir() + "/123abc", std::string(1000, 'j'));
    uint64_t first = 1, last = 1, data = 1, ext = 2;
    ASSERT_EQ(getAgentCallsStats(kAgent, &first, &last, &data, &ext), 0);
    EXPECT_EQ(first, 19783u * 86400);
    EXPECT_EQ(last, 19790u * 86400);
    EXPECT_EQ(data, 1u + 100 + 7 + 5);
    EXPECT_EQ(ext, 2u + 30);
}

TEST_F(Walk, CallsStatsOfAnAgentWithoutFiles) {
    uint64_t first = 1, last = 1, data = 0, ext = 0;
    EXPECT_EQ(getAgentCallsStats(kAgent, &first, &last, &data, &ext), 0);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(last, 0u);
    EXPECT_EQ(getAgentCallsStats(kAgent + 1, &first, &last, &data, &ext), 0) << "no mc directory";
    EXPECT_EQ(first + last + data + ext, 0u);
}

} // namespace
