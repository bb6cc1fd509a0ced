#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "database/store/rcall_support.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

std::string unhex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); i++) {
        if (hex[i] == ' ' || hex[i] == '\n')
            continue;
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        i++;
    }
    return out;
}

int open_rw(const std::string &path) {
    return open(path.c_str(), O_RDWR | O_CREAT | O_APPEND, 0600);
}

// Overwrites bytes of a file in place.
void patch_file(const std::string &path, uint64_t offset, const std::string &bytes) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

// ---- the stored form -------------------------------------------------------------------

// A root call with two calls and a 5-byte blob, appended where the extension file already
// holds 16 bytes.
struct Fixture {
    call_record calls[3];
    Fixture() {
        calls[0] = {0x0102030405060708, 0, 0, 0x11, 0x12, 0, 1, 0x00ABCDEF, 0x20, 1, 0};
        calls[1] = {0x0102030405060709,
                    0x0000300000000010,
                    0,
                    0x21,
                    0x22,
                    0x23,
                    2,
                    0,
                    0x30,
                    2,
                    CALL_F_PARAMS | CALL_F_EXC_TEXT | CALL_F_EXC};
        calls[2] = {0x010203040506070A,         0x0000200000000000, 0, 0x31, 0x32, 0, 0, 1, 0x40, 0,
                    CALL_F_ROOT | CALL_F_PARAMS};
        for (call_record &c : calls)
            call_record_swap(&c);
    }
};

const char *const kFixtureBytes =
    // RootCall: the root record, blob offset 0x10, length 5, thread, 1 exception, N = 2,
    // the magic and 20 zero bytes.
    "01 02 03 04 05 06 07 0A  00 00 20 00 00 00 00 00  00 00 00 00  00 00 00 31  00 00 00 32"
    "00 00 00 00  00 00 00 00  00 00 00 01  00 00 00 40  00 00  00 03"
    "00 00 00 00 00 00 00 10  00 00 00 05  0A 0B 0C 0D  00 01  00 02"
    "5F 53 50 52 49 4E 56 5F  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    // first call
    "01 02 03 04 05 06 07 08  00 00 00 00 00 00 00 00  00 00 00 00  00 00 00 11  00 00 00 12"
    "00 00 00 00  00 00 00 01  00 AB CD EF  00 00 00 20  00 01  00 00"
    // second call
    "01 02 03 04 05 06 07 09  00 00 30 00 00 00 00 10  00 00 00 00  00 00 00 21  00 00 00 22"
    "00 00 00 23  00 00 00 02  00 00 00 00  00 00 00 30  00 02  00 1A";

TEST(RcallFormat, AppendWritesHandWrittenBytes) {
    TempDir dir;
    Fixture f;
    write_file(dir.sub("h"), "");
    write_file(dir.sub("x"), std::string(16, 'p'));
    int data_fd = open_rw(dir.sub("h"));
    int ext_fd = open_rw(dir.sub("x"));
    uint64_t data_size = 0, ext_size = 16;
    ASSERT_EQ(csp_save_rcall(&data_size, &ext_size, data_fd, ext_fd, &f.calls[2], 0x0A0B0C0D, 1, 2,
                             f.calls, 5, "hello"),
              0);
    close(data_fd);
    close(ext_fd);
    EXPECT_EQ(data_size, 192u);
    EXPECT_EQ(ext_size, 21u);
    EXPECT_EQ(read_file(dir.sub("h")), unhex(kFixtureBytes));
    EXPECT_EQ(read_file(dir.sub("x")), std::string(16, 'p') + "hello");
}

TEST(RcallFormat, HandWrittenRecordReadsBack) {
    TempDir dir;
    write_file(dir.sub("h"), unhex(kFixtureBytes));
    int fd = open(dir.sub("h").c_str(), O_RDONLY);

    RootCall header;
    call_record calls[2];
    ASSERT_EQ(csp_get_rcall_stack(fd, 0, 2, &header, calls), 0);
    std::string raw(reinterpret_cast<char *>(&header), sizeof header);
    raw.append(reinterpret_cast<char *>(calls), sizeof calls);
    EXPECT_EQ(raw, unhex(kFixtureBytes)) << "the direct read converts nothing";

    std::vector<seen_rcall> seen;
    std::vector<uint8_t> buffer(CSP_SCAN_BUFFER_SIZE);
    const uint64_t range[2] = {0, UINT64_MAX};
    const uint32_t file_id = 19783u << 5 | 7;
    ASSERT_EQ(csp_scan_rcall_stack(fd, 0, file_id, range, CSP_SCAN_BUFFER_SIZE, buffer.data(),
                                   &seen, collect_cb),
              0);
    close(fd);
    ASSERT_EQ(seen.size(), 1u);
    const seen_rcall &s = seen[0];
    EXPECT_EQ(s.offset, 0u);
    EXPECT_EQ(s.ext_offset, 0x10u);
    EXPECT_EQ(s.ext_length, 5u);
    EXPECT_EQ(s.thread, 0x0A0B0C0Du);
    EXPECT_EQ(s.exceptions, 1);
    EXPECT_EQ(s.root.TSTAMP, 0x010203040506070Au);
    EXPECT_EQ(s.root.flags, CALL_F_ROOT | CALL_F_PARAMS);
    ASSERT_EQ(s.calls.size(), 2u);
    // Locators become offsets into the extension file, keeping the entry offset on top.
    EXPECT_EQ(s.root.ext, 0x0000200000000010u);
    EXPECT_EQ(s.calls[0].ext, 0x10u);
    EXPECT_EQ(s.calls[1].ext, 0x0000300000000020u);
    for (const call_record *c : {&s.root, &s.calls[0], &s.calls[1]})
        EXPECT_EQ(c->file_id, file_id);
    const call_record &c = s.calls[1];
    EXPECT_EQ(c.TSTAMP, 0x0102030405060709u);
    EXPECT_EQ(c.CLASS, 0x21u);
    EXPECT_EQ(c.METHOD, 0x22u);
    EXPECT_EQ(c.EXCEPTION, 0x23u);
    EXPECT_EQ(c.CORDER, 2u);
    EXPECT_EQ(c.AUX, 0u);
    EXPECT_EQ(c.DUR, 0x30u);
    EXPECT_EQ(c.SDEPTH, 2);
    EXPECT_EQ(c.flags, 0x1A);
}

TEST(RcallFormat, KeyPacksDayHourAndOffset) {
    const rcall_key key = rcall_key_make(19783, 23, 0x1234560);
    EXPECT_EQ(key, 0x4D47000000000000u | 23ull << 43 | 0x1234560u);
    EXPECT_EQ(rcall_key_day(key), 19783u);
    EXPECT_EQ(rcall_key_hour(key), 23u);
    EXPECT_EQ(rcall_key_file_id(key), 19783u << 5 | 23);
    EXPECT_EQ(rcall_key_offset(key), 0x1234560u);
}

// ---- saving and reading back through the store ----------------------------------------

using RcallStore = StoreTest;

TEST_F(RcallStore, RoundTripAcrossHoursAndDays) {
    struct stored {
        uint64_t t;
        uint16_t n;
        size_t blob;
    };
    std::vector<stored> roots;
    std::mt19937 gen(11);
    // Hours 22 and 23 of day 0 and 0 of day 1 in turns, as late roots of several threads
    // arrive, plus a few on day 2.
    const uint64_t hours[] = {22, 23, 24, 23, 24, 22, 50};
    const uint16_t sizes[] = {0, 1, 3, 40, 400};
    for (uint32_t i = 0; i < 210; i++) {
        const uint64_t h = hours[i % 7];
        roots.push_back({kDay0 + h * HOUR_MS + gen() % HOUR_MS, sizes[i % 5], (i % 3) * 37});
    }
    test_agent a;
    for (uint32_t seq = 0; seq < roots.size(); seq++)
        ASSERT_EQ(a.save(roots[seq].t, seq, roots[seq].n, roots[seq].blob), 0) << seq;

    const uint64_t range[2] = {kDay0, kDay0 + 3 * DAY_MS - 1};
    std::vector<seen_rcall> seen = walk(range);
    ASSERT_EQ(seen.size(), roots.size());
    std::vector<bool> found(roots.size());
    for (const seen_rcall &s : seen) {
        const uint32_t seq = s.root.CLASS;
        ASSERT_LT(seq, roots.size());
        found[seq] = true;
        const stored &r = roots[seq];
        const auto day = static_cast<uint32_t>(r.t / DAY_MS);
        const auto hour = static_cast<uint32_t>(r.t % DAY_MS / HOUR_MS);
        EXPECT_EQ(s.root.TSTAMP, r.t);
        EXPECT_EQ(s.root.file_id, day << 5 | hour);
        EXPECT_EQ(s.thread, seq + 1000);
        EXPECT_EQ(s.exceptions, seq % 3);
        EXPECT_EQ(s.ext_length, r.blob);
        ASSERT_EQ(s.calls.size(), r.n);
        for (uint32_t i = 0; i < r.n; i++) {
            EXPECT_EQ(s.calls[i].CLASS, seq);
            EXPECT_EQ(s.calls[i].METHOD, i);
            EXPECT_EQ(s.calls[i].TSTAMP, r.t - r.n + i);
        }
        if (r.blob != 0) {
            EXPECT_EQ(read_file(hour_path(r.t, ".x")).substr(s.ext_offset, r.blob),
                      std::string(r.blob, static_cast<char>(seq)));
        }

        // The execution stack by key: the same calls, straight from the file.
        const rcall_key key = rcall_key_make(day, hour, s.offset);
        int fd = open(hour_path(r.t).c_str(), O_RDONLY);
        RootCall header;
        std::vector<call_record> calls(r.n);
        ASSERT_EQ(csp_get_rcall_stack(fd, rcall_key_offset(key), r.n, &header, calls.data()), 0);
        close(fd);
        for (uint32_t i = 0; i < r.n; i++) {
            call_record_swap(&calls[i]);
            EXPECT_EQ(calls[i].METHOD, i);
            EXPECT_EQ(calls[i].CLASS, seq);
        }
    }
    EXPECT_TRUE(std::all_of(found.begin(), found.end(), [](bool f) { return f; }));
}

TEST_F(RcallStore, BareRootIsOneHeaderWithoutExtension) {
    const uint64_t t = at_time(0, 5, 0, 0);
    test_agent a;
    ASSERT_EQ(a.save(t, 9, 0), 0);
    EXPECT_EQ(path_size(hour_path(t)), 96);
    EXPECT_EQ(path_size(hour_path(t, ".x")), 0);
    const uint64_t range[2] = {t, t};
    std::vector<seen_rcall> seen = walk(range);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].offset, 0u);
    EXPECT_EQ(seen[0].ext_offset, 0u);
    EXPECT_EQ(seen[0].ext_length, 0u);
    EXPECT_TRUE(seen[0].calls.empty());
}

TEST_F(RcallStore, RangesMatchEveryStoredRootUnderAnyStorageOrder) {
    // Roots of hours 10, 11 and 13 (12 stays empty), stored in shuffled order, several per
    // second in places.
    std::mt19937 gen(5);
    std::vector<uint64_t> times;
    for (uint64_t h : {10, 11, 13})
        for (int i = 0; i < 150; i++)
            times.push_back(at_time(0, h, 0, 0) + gen() % HOUR_MS);
    for (int i = 0; i < 20; i++)
        times.push_back(at_time(0, 10, 30, 30, static_cast<uint64_t>(i) * 40));
    std::shuffle(times.begin(), times.end(), gen);
    test_agent a;
    for (uint32_t seq = 0; seq < times.size(); seq++)
        ASSERT_EQ(a.save(times[seq], seq, seq % 4), 0);

    const uint64_t ranges[][2] = {
        {at_time(0, 10, 0, 0), at_time(0, 11, 0, 0) - 1},           // a full hour
        {at_time(0, 10, 17, 23, 456), at_time(0, 10, 41, 0)},       // inside one hour
        {at_time(0, 10, 30, 30, 100), at_time(0, 10, 30, 30, 500)}, // inside one second
        {at_time(0, 10, 50, 0), at_time(0, 11, 10, 0, 999)},        // across an hour
        {at_time(0, 11, 45, 1), at_time(0, 13, 5, 0)},              // over the empty hour
        {at_time(0, 12, 0, 1), at_time(0, 12, 59, 59)},             // inside the empty hour
        {at_time(0, 9, 0, 0), at_time(0, 14, 0, 0)},                // everything
        {at_time(0, 10, 40, 0), at_time(0, 10, 20, 0)},             // from after to
    };
    for (const auto &range : ranges) {
        std::vector<uint64_t> expect;
        for (uint64_t t : times)
            if (t >= range[0] && t <= range[1])
                expect.push_back(t);
        std::vector<uint64_t> got = root_times(walk(range));
        std::sort(expect.begin(), expect.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, expect) << range[0] - kDay0 << ".." << range[1] - kDay0;
    }
}

TEST_F(RcallStore, ShortRangeScanStopsOnceTheIndexCountIsMet) {
    test_agent a;
    for (uint32_t s = 1; s <= 10; s++)
        ASSERT_EQ(a.save(at_time(0, 10, 0, s), s, 2), 0);
    // Garbage at the end of the file: a scan that gets there says so.
    write_file(hour_path(at_time(0, 10, 0, 0)),
               read_file(hour_path(at_time(0, 10, 0, 0))) + std::string(96, 'g'));

    const uint64_t short_range[2] = {at_time(0, 10, 0, 3), at_time(0, 10, 0, 4, 999)};
    const uint64_t to_hour_end[2] = {at_time(0, 10, 0, 3), at_time(0, 11, 0, 0) - 1};
    // At log level 2 a scan that reaches the garbage tells it.
    auto walk_size = [](const uint64_t *range) {
        return run_logged([range] {
            log_level.store(2);
            printf("%zu", walk(range).size());
        });
    };
    const std::string garbage = "from offset 1920 to its end (96 bytes) skipped.";
    Logged quick = walk_size(short_range);
    Logged full = walk_size(to_hour_end);
    ASSERT_EQ(unlink(index_path(at_time(0, 10, 0, 0)).c_str()), 0);
    Logged no_index = walk_size(short_range);

    EXPECT_EQ(quick.out, "2");
    EXPECT_EQ(quick.lines.find(garbage), std::string::npos) << quick.lines;
    EXPECT_EQ(full.out, "8");
    EXPECT_NE(full.lines.find(garbage), std::string::npos) << full.lines;
    EXPECT_EQ(no_index.out, "2");
    EXPECT_NE(no_index.lines.find(garbage), std::string::npos) << no_index.lines;
}

int stop_with(void *ctx, uint64_t, uint64_t, uint32_t, rcall *) {
    auto *state = static_cast<std::pair<int, int> *>(ctx);
    state->second++;
    return state->first;
}

TEST_F(RcallStore, OnlyCallbackResultOneEndsTheScan) {
    const uint64_t t = at_time(0, 3, 0, 0);
    test_agent a;
    for (uint32_t i = 0; i < 3; i++)
        ASSERT_EQ(a.save(t + i, i, 1), 0);
    int fd = open(hour_path(t).c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(CSP_SCAN_BUFFER_SIZE);
    const uint64_t range[2] = {0, UINT64_MAX};
    for (auto [result, calls] : {std::pair{0, 3}, {2, 3}, {-1, 3}, {1, 1}}) {
        std::pair<int, int> state{result, 0};
        EXPECT_EQ(csp_scan_rcall_stack(fd, 0, 0, range, CSP_SCAN_BUFFER_SIZE, buffer.data(), &state,
                                       stop_with),
                  0);
        EXPECT_EQ(state.second, calls) << "callback result " << result;
    }
    close(fd);
}

TEST_F(RcallStore, ScanBufferTooSmallForARecordFails) {
    const uint64_t t = at_time(0, 3, 0, 0);
    test_agent a;
    ASSERT_EQ(a.save(t, 1, 0), 0);
    ASSERT_EQ(a.save(t + 1, 2, 10), 0);
    int fd = open(hour_path(t).c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(400);
    const uint64_t range[2] = {0, UINT64_MAX};
    std::vector<seen_rcall> seen;
    Logged r = run_logged([&] {
        printf("%d", csp_scan_rcall_stack(fd, 0, 0, range, 400, buffer.data(), &seen, collect_cb));
    });
    close(fd);
    EXPECT_EQ(r.out, "-1");
    EXPECT_EQ(r.lines,
              "ERROR  RootCall record at offset 96 does not fit a scan buffer of 400 bytes.\n");
}

// A scan reads a little of the file first and more as it goes: root calls longer than its
// first read come out whole, damage far behind it is skipped with every record around it
// handed out, and a cut-off record ends the scan where it lies.
TEST_F(RcallStore, ScanBeyondItsFirstReadKeepsRecordsWholeAndSkipsDamage) {
    enum class harm { none, magic, count, cut };
    constexpr uint16_t kLong = 2000; // 96 + 2,000 x 48 bytes, past the first read
    const std::vector<uint16_t> many(200, 10);
    std::vector<uint16_t> many_then_largest = many;
    many_then_largest.push_back(static_cast<uint16_t>(MAX_RCALL_CALLS));
    many_then_largest.push_back(1);
    const struct {
        const char *name;
        std::vector<uint16_t> calls; // of each root call, in file order
        harm damage;
        size_t at; // the root call harmed
        size_t seen;
        const char *log;
    } cases[] = {
        {"long root calls among short ones", {kLong, 3, 0, kLong, 1}, harm::none, 0, 5, ""},
        {"many short ones, then the largest", many_then_largest, harm::none, 0, 202, ""},
        {"bad magic behind the first read", many, harm::magic, 150, 199, ""},
        {"bad count behind the first read", many, harm::count, 150, 199, ""},
        {"file ends inside a long root call", {kLong, kLong, kLong}, harm::cut, 2, 2, ""},
    };
    uint64_t hour = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t t = at_time(0, hour++, 0, 0);
        std::vector<uint64_t> offsets;
        uint64_t size = 0;
        {
            test_agent a;
            for (size_t i = 0; i < c.calls.size(); i++) {
                offsets.push_back(size);
                size += sizeof(RootCall) + sizeof(call_record) * c.calls[i];
                ASSERT_EQ(a.save(t + i, static_cast<uint32_t>(i), c.calls[i]), 0);
            }
        }
        std::string bytes = read_file(hour_path(t));
        ASSERT_EQ(bytes.size(), size);
        const size_t at = offsets[c.at];
        if (c.damage == harm::magic)
            bytes[at + offsetof(RootCall, magic)] = 'X';
        if (c.damage == harm::count)
            bytes.replace(at + offsetof(RootCall, n), 2, "\x9c\x41"); // 40,001
        if (c.damage == harm::cut)
            bytes.resize(at + sizeof(RootCall) + 1000);
        write_file(hour_path(t), bytes);

        int fd = open(hour_path(t).c_str(), O_RDONLY);
        std::vector<uint8_t> buffer(CSP_SCAN_BUFFER_SIZE);
        const uint64_t range[2] = {0, UINT64_MAX};
        // The scan runs in a child to catch its log: the child tells the result, the number
        // of root calls seen and every one that is not whole and in its place.
        Logged r = run_logged([&] {
            std::vector<seen_rcall> seen;
            const int rc = csp_scan_rcall_stack(fd, 0, 0, range, CSP_SCAN_BUFFER_SIZE,
                                                buffer.data(), &seen, collect_cb);
            printf("%d %zu", rc, seen.size());
            const bool skips = c.damage == harm::magic || c.damage == harm::count;
            for (size_t k = 0; k < seen.size(); k++) {
                const size_t i = skips && k >= c.at ? k + 1 : k;
                bool whole = seen[k].offset == offsets[i] && seen[k].root.TSTAMP == t + i &&
                             seen[k].calls.size() == c.calls[i];
                for (uint32_t j = 0; whole && j < seen[k].calls.size(); j++) {
                    const call_record &call = seen[k].calls[j];
                    whole = call.CLASS == i && call.METHOD == j && call.CORDER == j + 1;
                }
                if (!whole)
                    printf(" bad:%zu", i);
            }
        });
        close(fd);
        EXPECT_EQ(r.out, "0 " + std::to_string(c.seen));
        EXPECT_EQ(r.lines, c.log);
    }
}

TEST_F(RcallStore, ExecutionStackReadTrustsNoKey) {
    const uint64_t t = at_time(0, 8, 0, 0);
    {
        test_agent a;
        ASSERT_EQ(a.save(t, 1, 2), 0);     // offset 0, 192 bytes
        ASSERT_EQ(a.save(t + 1, 2, 3), 0); // offset 192, 240 bytes
    }
    struct read_case {
        uint64_t offset;
        uint16_t n;
        uint64_t file_size; // the file cut to this size first
        const char *log;
    };
    const read_case cases[] = {
        {0, 2, 432, ""},
        {192, 3, 432, ""},
        {0, 3, 432, "WARN   Invalid calls count: 3 != 2.\n"},
        {50, 2, 432, "WARN   No RootCall record at offset 50.\n"},
        {96, 2, 432, "WARN   No RootCall record at offset 96.\n"}, // a call record
        {432, 0, 432, "WARN   No RootCall record at offset 432.\n"},
        {48000, 2, 432, "WARN   No RootCall record at offset 48000.\n"},
        {192, 3, 400, "WARN   RootCall record at offset 192 is cut short.\n"},
        {192, 3, 250, "WARN   No RootCall record at offset 192.\n"}, // header cut
    };
    const std::string whole = read_file(hour_path(t));
    for (const read_case &c : cases) {
        write_file(hour_path(t), whole.substr(0, c.file_size));
        int fd = open(hour_path(t).c_str(), O_RDONLY);
        Logged r = run_logged([&] {
            RootCall header;
            std::vector<call_record> calls(c.n);
            printf("%d", csp_get_rcall_stack(fd, c.offset, c.n, &header, calls.data()));
        });
        close(fd);
        EXPECT_EQ(r.out, *c.log ? "-1" : "0") << c.offset << "/" << c.n;
        EXPECT_EQ(r.lines, c.log) << c.offset << "/" << c.n;
    }
}

TEST_F(RcallStore, RefusesRootCallsItCannotStoreSoundly) {
    const uint64_t t = at_time(0, 4, 0, 0);
    test_rcall too_many(t, 1, 40001);
    test_rcall too_late(65536 * DAY_MS, 1, 0);
    test_rcall no_calls(t, 1, 0);
    no_calls.rc.count = 0;
    test_rcall no_root(t, 1, 0);
    no_root.rc.root = nullptr;
    const std::pair<rcall *, const char *> cases[] = {
        {&too_many.rc, "ERROR  Root call of 40002 calls not stored: 1 to 40001 calls expected.\n"},
        {&no_calls.rc, "ERROR  Root call of 0 calls not stored: 1 to 40001 calls expected.\n"},
        {&no_root.rc, "ERROR  Root call of 1 calls not stored: 1 to 40001 calls expected.\n"},
        {&too_late.rc, "ERROR  Agent [00C0FFEE12345678]: 1 root calls and 0 samples lost (time "
                       "stamp out of range).\n"},
    };
    for (auto [rc, log] : cases) {
        Logged r = run_logged([&] {
            test_agent a;
            printf("%d", dbs_rcall_save(&a.a, rc));
        });
        EXPECT_EQ(r.out, "-1");
        EXPECT_EQ(r.lines, log);
    }
    EXPECT_EQ(access(hour_path(t).c_str(), F_OK), -1) << "nothing was written";
}

// ---- failures and damage -----------------------------------------------------------------

TEST_F(RcallStore, FailedAppendIsCutBackAndLeavesNoTrace) {
    const uint64_t t = at_time(0, 6, 0, 0);
    Logged r = run_logged([&] {
        signal(SIGXFSZ, SIG_IGN);
        test_agent a;
        printf("%d ", a.save(t, 1, 1, 10)); // 144 + 10 bytes
        // The next root call's blob fits under the limit, its record only partly.
        rlimit lim{200, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &lim);
        printf("%d ", a.save(t + 1000, 2, 2, 20));
        uint64_t count;
        cindex_count(&count, kAgent, static_cast<uint32_t>(t / DAY_MS), 6, 0, 3599);
        printf("%ld %ld %lu ", path_size(hour_path(t)), path_size(hour_path(t, ".x")), count);
        lim.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &lim);
        printf("%d", a.save(t + 2000, 3, 0, 5));
    });
    EXPECT_EQ(r.out, "0 -1 144 10 1 0");
    // The loss is told in the agent's loss line, with the failed call and its file.
    EXPECT_NE(r.lines.find("1 root calls and 0 samples lost (writev " + hour_path(t) +
                           ": File too large)"),
              std::string::npos)
        << r.lines;

    const uint64_t range[2] = {t, t + HOUR_MS - 1};
    std::vector<seen_rcall> seen = walk(range);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].root.CLASS, 3u);
    EXPECT_EQ(seen[1].offset, 144u);
    EXPECT_EQ(seen[1].ext_offset, 10u);
    EXPECT_EQ(read_file(hour_path(t, ".x")), std::string(10, 1) + std::string(5, 3));
}

// Seconds of the roots a walk delivers, after the start of their hour.
std::string seconds_of(const std::vector<seen_rcall> &seen) {
    std::string out;
    for (const seen_rcall &s : seen)
        out += std::to_string(s.root.TSTAMP % HOUR_MS / 1000) + " ";
    return out;
}

void write_u64_at(const std::string &path, uint64_t offset, uint64_t v) {
    patch_file(path, offset, std::string(reinterpret_cast<const char *>(&v), sizeof v));
}

// Three root calls at 10:00:10, :20 and :30 (N = 0, 2, 1: at offsets 0, 96 and 288 of a
// 432-byte file) are damaged in one place. A walk over 10:00:15..45 runs, then a fresh
// writer (as after a restart) stores a root at 10:00:40 and the walk runs again.
TEST_F(RcallStore, DamageIsSkippedAndTornTailsAreCut) {
    const uint64_t t = at_time(0, 10, 0, 0);
    const std::string hour = hour_path(t);
    const std::string index = index_path(t);
    using damage_fn = void (*)(const std::string &hour, const std::string &index);
    struct damage_case {
        const char *name;
        damage_fn damage;
        const char *delivered; // by the walks before and after the new root
        uint64_t kept;         // bytes of the damaged file the writer keeps
        const char *log;       // a line the two steps log
    };
    const damage_case cases[] = {
        {"torn header", [](const std::string &h, const std::string &) { truncate(h.c_str(), 332); },
         "20 |20 40 ", 288, "ends inside a root call: cut from 332 to 288 bytes."},
        {"torn calls", [](const std::string &h, const std::string &) { truncate(h.c_str(), 410); },
         "20 |20 40 ", 288, "ends inside a root call: cut from 410 to 288 bytes."},
        // Damage in the middle costs only the damaged record: scans skip it, the writer keeps
        // the file whole and appends behind it.
        {"bad magic",
         [](const std::string &h, const std::string &) { patch_file(h, 96 + 68, "X"); },
         "30 |30 40 ", 432, ": 192 damaged bytes at offset 96 skipped"},
        {"N > 40000",
         [](const std::string &h, const std::string &) { patch_file(h, 96 + 66, "\x9C\x41"); },
         "30 |30 40 ", 432, ": 192 damaged bytes at offset 96 skipped"},
        // An index of the wrong size is made anew from the hour files.
        {"short index",
         [](const std::string &, const std::string &i) { truncate(i.c_str(), 1000); },
         "20 30 |20 30 40 ", 432, "is not 1384448 bytes long: made anew from the day's hour"},
        {"stale index offset",
         [](const std::string &, const std::string &i) { write_u64_at(i, 36020 * 16, 144); },
         "20 30 |20 30 40 ", 432, "WARN   Invalid scall record offset."},
    };
    const uint64_t range[2] = {at_time(0, 10, 0, 15), at_time(0, 10, 0, 45)};
    for (const damage_case &c : cases) {
        unlink(hour.c_str());
        unlink(hour_path(t, ".x").c_str());
        unlink(index.c_str());
        {
            test_agent a;
            ASSERT_EQ(a.save(at_time(0, 10, 0, 10), 1, 0), 0);
            ASSERT_EQ(a.save(at_time(0, 10, 0, 20), 2, 2), 0);
            ASSERT_EQ(a.save(at_time(0, 10, 0, 30), 3, 1), 0);
        }
        c.damage(hour, index);
        const std::string damaged = read_file(hour);
        Logged r = run_logged([&] {
            printf("%s|", seconds_of(walk(range)).c_str());
            test_agent b;
            if (b.save(at_time(0, 10, 0, 40), 4, 0) == 0)
                printf("%s", seconds_of(walk(range)).c_str());
        });
        EXPECT_EQ(r.out, c.delivered) << c.name;
        EXPECT_NE(r.lines.find(c.log), std::string::npos) << c.name << ":\n" << r.lines;
        const std::string now = read_file(hour);
        EXPECT_EQ(now.size(), c.kept + sizeof(RootCall)) << c.name;
        EXPECT_EQ(now.substr(0, c.kept), damaged.substr(0, c.kept)) << c.name;
    }
}

TEST_F(RcallStore, CheckedHourFileIsNotWalkedAgainWhenRootsAlternate) {
    const std::string h10 = hour_path(at_time(0, 10, 0, 0));
    test_agent a;
    Logged first = run_logged([&] {
        a.save(at_time(0, 10, 59, 59), 1, 1);
        a.save(at_time(0, 11, 0, 1), 2, 1);
        // Same size, damaged: only a walk of the file would notice.
        patch_file(h10, 68, "X");
        a.save(at_time(0, 10, 59, 58), 3, 1);
        printf("%ld", path_size(h10));
    });
    EXPECT_EQ(first.out, "288");
    EXPECT_EQ(first.lines, "");
    Logged fresh = run_logged([&] {
        test_agent b;
        b.save(at_time(0, 10, 59, 57), 4, 1);
    });
    EXPECT_NE(fresh.lines.find(": 144 damaged bytes at offset 0 skipped"), std::string::npos)
        << fresh.lines;
}

TEST_F(RcallStore, NewHourFileClearsStaleIndexSlotsOfItsHour) {
    const uint64_t t = at_time(0, 10, 0, 0);
    {
        test_agent a;
        for (uint32_t m : {20, 30, 40})
            ASSERT_EQ(a.save(at_time(0, 10, m, 0), m, 3), 0);
        ASSERT_EQ(a.save(at_time(0, 11, 5, 0), 99, 1), 0);
    }
    // The hour's files go away, its index stays.
    unlink(hour_path(t).c_str());
    unlink(hour_path(t, ".x").c_str());
    test_agent b;
    ASSERT_EQ(b.save(at_time(0, 10, 50, 0), 50, 0), 0);
    const auto day = static_cast<uint32_t>(t / DAY_MS);
    uint64_t count10 = 0, count11 = 0, offset = 1;
    ASSERT_EQ(cindex_count(&count10, kAgent, day, 10, 0, 3599), 0);
    ASSERT_EQ(cindex_count(&count11, kAgent, day, 11, 0, 3599), 0);
    Logged r = run_logged([&] { printf("%d", cindex_find(&offset, kAgent, day, 10, 25, 0)); });
    EXPECT_EQ(count10, 1u);
    EXPECT_EQ(count11, 1u) << "other hours keep their slots";
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.lines, "");
}

// The records of a storm root: calls numbered in order, the root's class the sequence number,
// a blob of that byte.
void expect_storm_record(const seen_rcall &s, uint32_t seq, const std::string &ext) {
    EXPECT_EQ(s.root.CLASS, seq);
    EXPECT_EQ(s.thread, seq + 1000);
    for (uint32_t i = 0; i < s.calls.size(); i++) {
        ASSERT_EQ(s.calls[i].CLASS, seq);
        ASSERT_EQ(s.calls[i].METHOD, i);
    }
    ASSERT_LE(s.ext_offset + s.ext_length, ext.size());
    EXPECT_EQ(ext.substr(s.ext_offset, s.ext_length),
              std::string(s.ext_length, static_cast<char>(seq)));
}

uint16_t storm_calls(uint32_t seq) {
    return static_cast<uint16_t>(seq * 7919 % 6000);
}

TEST_F(RcallStore, WriterKilledInAWriteStormLeavesFilesThatScanClean) {
    const uint64_t t = at_time(0, 14, 0, 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        test_agent a;
        for (uint32_t seq = 0;; seq++)
            a.save(t + seq, seq, storm_calls(seq), seq % 5 * 50);
    }
    for (int i = 0; i < 300 && path_size(hour_path(t)) < (16 << 20); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGKILL);
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    Logged reopen = run_logged([&] {
        test_agent b;
        printf("%d", b.save(t + HOUR_MS - 1, 999999, 3, 10));
    });
    EXPECT_EQ(reopen.out, "0") << reopen.lines;
    const uint64_t range[2] = {t, t + HOUR_MS - 1};
    std::vector<seen_rcall> seen;
    Logged scan = run_logged([&] { printf("%zu", walk(range).size()); });
    EXPECT_EQ(scan.lines, "");
    seen = walk(range);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(scan.out, std::to_string(seen.size()));
    const std::string ext = read_file(hour_path(t, ".x"));
    for (uint32_t seq = 0; seq + 1 < seen.size(); seq++) {
        EXPECT_EQ(seen[seq].calls.size(), storm_calls(seq));
        expect_storm_record(seen[seq], seq, ext);
    }
    expect_storm_record(seen.back(), 999999, ext);
    uint64_t counted;
    ASSERT_EQ(cindex_count(&counted, kAgent, static_cast<uint32_t>(t / DAY_MS), 14, 0, 3599), 0);
    EXPECT_GE(counted, seen.size()) << "the index never counts fewer root calls than stored";
}

} // namespace
