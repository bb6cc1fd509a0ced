#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "database/store/rcall_support.h"
#include "tests/lib/log_capture.h"

namespace {

constexpr uint32_t kDay = static_cast<uint32_t>(kDay0 / DAY_MS);

std::string slot_bytes(uint64_t offset, uint64_t count) {
    cindex_slot s{offset, count};
    return std::string(reinterpret_cast<const char *>(&s), sizeof s);
}

// An index file written by hand: zeros with the given slots.
void write_index(const std::string &path,
                 std::initializer_list<std::pair<uint64_t, cindex_slot>> slots) {
    std::string bytes(CINDEX_FILE_SIZE, '\0');
    for (auto [n, s] : slots)
        bytes.replace(n * sizeof(cindex_slot), sizeof(cindex_slot), slot_bytes(s.offset, s.count));
    write_file(path, bytes);
}

using CindexTest = StoreTest;

TEST_F(CindexTest, NewIndexIsAllocatedZeroedAndOwnerOnly) {
    cindex_slot *slots = cindex_open(kAgent, kDay, true);
    ASSERT_NE(slots, nullptr);
    cindex_close(slots);
    struct stat st;
    ASSERT_EQ(stat(index_path(kDay0).c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), CINDEX_FILE_SIZE);
    EXPECT_GE(static_cast<uint64_t>(st.st_blocks) * 512, CINDEX_FILE_SIZE) << "blocks allocated";
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read_file(index_path(kDay0)), std::string(CINDEX_FILE_SIZE, '\0'));
}

TEST_F(CindexTest, PutsMatchHandWrittenSlotBytes) {
    cindex_slot *slots = cindex_open(kAgent, kDay, true);
    ASSERT_NE(slots, nullptr);
    cindex_put(slots, 96, 1, 2, 3);
    cindex_put(slots, 480, 1, 2, 3);
    cindex_put(slots, 0, 23, 59, 59);
    cindex_close(slots);
    std::string expect(CINDEX_FILE_SIZE, '\0');
    // Slot 3723 (01:02:03): offset 96, count 2; slot 86399: offset 0, count 1. Host order.
    expect.replace(3723 * 16, 16, "\x60\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0", 16);
    expect.replace(86399 * 16, 16, "\0\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0", 16);
    EXPECT_EQ(read_file(index_path(kDay0)), expect);
}

TEST_F(CindexTest, HandWrittenIndexGivesItsOffset) {
    test_agent a;
    for (uint64_t s : {0, 3, 5}) // 144-byte root calls at 0, 144, 288
        ASSERT_EQ(a.save(at_time(0, 1, 2, s), 1, 1), 0);
    write_index(index_path(kDay0), {{3723, {144, 1}}});
    uint64_t offset = 1;
    EXPECT_EQ(cindex_find(&offset, kAgent, kDay, 1, 2, 1), 0);
    EXPECT_EQ(offset, 144u);
    EXPECT_EQ(cindex_find(&offset, kAgent, kDay, 1, 2, 4), 0);
    EXPECT_EQ(offset, 0u);
}

// Root calls of 144 bytes stored out of time order in hour 1, one in hour 0.
class CindexLookup : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        test_agent a;
        ASSERT_EQ(a.save(at_time(0, 0, 30, 0), 0, 1), 0);      // hour 0, offset 0
        ASSERT_EQ(a.save(at_time(0, 1, 10, 0), 1, 1), 0);      // 0
        ASSERT_EQ(a.save(at_time(0, 1, 50, 0), 2, 1), 0);      // 144
        ASSERT_EQ(a.save(at_time(0, 1, 30, 0), 3, 1), 0);      // 288
        ASSERT_EQ(a.save(at_time(0, 1, 40, 0), 4, 1), 0);      // 432
        ASSERT_EQ(a.save(at_time(0, 1, 30, 0, 500), 5, 1), 0); // 576
    }
};

TEST_F(CindexLookup, StartIsTheSmallestOffsetAtOrAfterTheSecond) {
    struct lookup {
        uint64_t hour, minute, second, offset;
    };
    const lookup cases[] = {
        {1, 0, 0, 0},  {1, 10, 0, 0}, {1, 10, 1, 144}, {1, 30, 0, 144}, {1, 45, 0, 144},
        {1, 50, 1, 0}, {0, 10, 0, 0}, {0, 59, 59, 0},  {1, 59, 59, 0},  {2, 0, 0, 0},
    };
    for (const lookup &c : cases) {
        uint64_t offset = 1;
        EXPECT_EQ(cindex_find(&offset, kAgent, kDay, c.hour, c.minute, c.second), 0);
        EXPECT_EQ(offset, c.offset) << c.hour << ":" << c.minute << ":" << c.second;
    }
}

TEST_F(CindexLookup, CountsRootCallsPerSecondRange) {
    struct span {
        uint64_t hour;
        uint32_t first, last;
        uint64_t count;
    };
    const span cases[] = {
        {1, 0, 3599, 5}, {1, 1800, 1800, 2}, {1, 1801, 2400, 1}, {1, 3000, 3000, 1},
        {0, 0, 3599, 1}, {1, 2400, 9999, 2}, {1, 10, 5, 0},      {5, 0, 3599, 0},
    };
    for (const span &c : cases) {
        uint64_t count = 99;
        EXPECT_EQ(cindex_count(&count, kAgent, kDay, c.hour, c.first, c.last), 0);
        EXPECT_EQ(count, c.count) << c.hour << " " << c.first << ".." << c.last;
    }
}

TEST_F(CindexLookup, OffsetsTheHourFileDoesNotBearAreNotUsed) {
    const uint64_t offsets[] = {50, 48, 4800, 48000000};
    for (uint64_t bad : offsets) {
        write_index(index_path(kDay0), {{3600 + 600, {bad, 1}}});
        Logged r = run_logged([&] {
            uint64_t offset = 1;
            int rc = cindex_find(&offset, kAgent, kDay, 1, 5, 0);
            printf("%d %lu", rc, offset);
        });
        EXPECT_EQ(r.out, "-1 0") << bad;
        EXPECT_EQ(r.lines, "WARN   Invalid scall record offset.\n") << bad;
    }
}

TEST_F(CindexTest, MissingIndexWarnsAndGivesNoOffset) {
    Logged r = run_logged([&] {
        uint64_t offset = 1, count = 1;
        printf("%d %d", cindex_find(&offset, kAgent, kDay + 5, 3, 4, 5),
               cindex_count(&count, kAgent, kDay + 5, 3, 0, 10));
        printf(" %lu %lu", offset, count);
    });
    EXPECT_EQ(r.out, "-1 -1 0 0");
    const std::string warn = "WARN   Calls index [" + mc_dir() + "/19788.index] does not exist.\n";
    EXPECT_EQ(r.lines, warn + warn);
}

TEST_F(CindexTest, FileOfAnotherSizeIsNoIndex) {
    const std::string path = index_path(kDay0);
    const std::string expect =
        "WARN   Calls index [" + path + "] is 1000 bytes long instead of 1384448: not used.\n";
    write_file(path, std::string(1000, '\x01'));
    for (bool create : {false, true}) {
        Logged r = run_logged([&] { printf("%d", cindex_open(kAgent, kDay, create) == nullptr); });
        EXPECT_EQ(r.out, "1") << create;
        EXPECT_EQ(r.lines, expect) << create;
    }
    EXPECT_EQ(read_file(path), std::string(1000, '\x01')) << "left as it was";
    const uint64_t range[2] = {at_time(0, 2, 0, 1), at_time(0, 2, 0, 2)};
    Logged r = run_logged(
        [&] { printf("%d", csp_scan_expected(kAgent, kDay << 5 | 2, range) == CSP_SCAN_ALL); });
    EXPECT_EQ(r.out, "1") << "without an index a scan runs to the end of its file";
}

TEST_F(CindexTest, ReopeningKeepsContents) {
    cindex_slot *slots = cindex_open(kAgent, kDay, true);
    ASSERT_NE(slots, nullptr);
    cindex_put(slots, 96, 7, 8, 9);
    cindex_close(slots);
    slots = cindex_open(kAgent, kDay, true);
    ASSERT_NE(slots, nullptr);
    EXPECT_EQ(slots[7 * 3600 + 8 * 60 + 9].offset, 96u);
    EXPECT_EQ(slots[7 * 3600 + 8 * 60 + 9].count, 1u);
    cindex_close(slots);
}

TEST_F(CindexTest, UnputClearClampAndNullMap) {
    cindex_slot *slots = cindex_open(kAgent, kDay, true);
    ASSERT_NE(slots, nullptr);
    cindex_slot *s = &slots[5 * 3600];
    cindex_put(slots, 96, 5, 0, 0);
    cindex_put(slots, 144, 5, 0, 0);
    cindex_unput(slots, 144, 5, 0, 0);
    EXPECT_EQ(s->offset, 96u);
    EXPECT_EQ(s->count, 1u);
    cindex_unput(slots, 96, 5, 0, 0);
    EXPECT_EQ(s->offset, 0u);
    EXPECT_EQ(s->count, 0u);
    cindex_unput(slots, 96, 5, 0, 0);
    EXPECT_EQ(s->count, 0u) << "an empty slot stays empty";

    // Out-of-range parts of a time wrap around inside the index.
    cindex_put(slots, 48, 30, 59, 75);
    EXPECT_EQ(slots[6 * 3600 + 59 * 60 + 15].count, 1u);

    cindex_put(slots, 48, 4, 59, 59);
    cindex_put(slots, 48, 5, 30, 0);
    cindex_clear_hour(slots, 5);
    cindex_clear_hour(slots, 6);
    EXPECT_EQ(slots[4 * 3600 + 3599].count, 1u);
    EXPECT_EQ(slots[5 * 3600 + 1800].count, 0u);
    EXPECT_EQ(slots[6 * 3600 + 3599].count, 0u);
    cindex_close(slots);

    cindex_put(nullptr, 0, 0, 0, 0);
    cindex_unput(nullptr, 0, 0, 0, 0);
    cindex_clear_hour(nullptr, 0);
    cindex_close(nullptr);
}

// A root call is stored with its index entry or not at all: a walk that trusts the index's
// counts would pass over one stored without.
TEST_F(CindexTest, IndexThatCannotBeAllocatedRefusesTheRootCalls) {
    const uint64_t t = at_time(0, 9, 0, 0);
    Logged r = run_logged([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{1 << 20, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &lim);
        test_agent a;
        printf("%d %d", a.save(t, 1, 2), a.save(t + 1, 2, 0));
    });
    EXPECT_EQ(r.out, "-1 -1");
    EXPECT_NE(r.lines.find("1 root calls and 0 samples lost (posix_fallocate " + index_path(t) +
                           ": File too large)"),
              std::string::npos)
        << r.lines;
    EXPECT_EQ(path_size(index_path(t)), 0) << "no half-grown index is left";
    EXPECT_EQ(path_size(hour_path(t)), 0) << "no root call is left without its entry";
    // Once the index can be made, the next root call is stored with it.
    test_agent a;
    ASSERT_EQ(a.save(t + 2, 3, 0), 0);
    const uint64_t range[2] = {t, t + 10};
    EXPECT_EQ(walk(range).size(), 1u);
}

} // namespace
