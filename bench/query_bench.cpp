// The ROOT CALLS query against the store-level scan of the same hour file, in the same run.
//
// One agent-hour per size holds 10^4 or 10^6 root calls of 10 calls each (the root and 9
// others); every root has a key/value entry "user" = "u<i % 100>", and one root in 100 is of
// the class "com.acme.Special". The files are written first and stay in the page cache.
//
// BM_raw_scan:        csp_scan_rcall_stack over the whole hour file (the baseline).
// BM_raw_scan_ext:    the same scan, then the hour's `.x` file read through in 128 KiB
//                     pieces: the baseline of the key/value query, which reads both.
// BM_query_limit:     ROOT CALLS over the hour with a record limit of 1,000.
// BM_query_class:     a class-name pattern that selects 1% of the roots, no record limit.
// BM_query_kv:        a value pattern that selects 1% of the roots, no record limit ("ratio"
//                     against BM_raw_scan_ext).
// BM_query_minute:    a one-minute window in the middle of the hour, started through the
//                     calls index.
// BM_day_*:           the same kinds of query over one agent-day of 240,000 root calls spread
//                     evenly over its 24 hours (limit, class pattern over the whole day, and a
//                     minute at 12:30), which cross hour files.
// The queries over the whole hour report "ratio": the scan's time over the query's (above 1:
// the query is faster than the scan). Every query reports the "records" it returned.
//
// The follow-up queries run on a store of their own (in "follow/"), each beside a baseline
// that reads the same bytes the plain way, in the same run ("ratio" as above):
// BM_stack_pread / BM_stack_query:   one pread of a 40,000-call root call (1.92 MB) against
//                                    ROOT CALL EXECUTION STACK of it.
// BM_ext_iterate / BM_ext_query:     ext_iterate_exts over one hour's `.x` file (10,000 root
//                                    calls, 10 entries each) against EXTENSIONS of 10,000
//                                    random references into it.
// BM_symbols_walk / BM_symbols_pattern: symbols_foreach with pattern_match over 10^6 class
//                                    names against SYMBOLS by the same expression (1% match).
// BM_symbols_ids:                    SYMBOLS of 10,000 (type, id) pairs.
// BM_kv_read / BM_kv_query:          read() of 10 agents' 6 full day files, each to its place
//                                    in one buffer, against KV METRICS of them (60 items in
//                                    one reply).
//
// The chart queries run on one more agent-hour of 10^6 root calls of 10 calls (the root and a
// chain of 9 below it), one root in ten with its three deepest calls throwing, each against
// a walk with a counting callback measured just before it in the same run ("ratio" as above):
// BM_chart_walk:                     dbs_rcall_foreach over the hour, then INDEX (n = 60),
//                                    CALLS GRID (n = 100), EXCEPTIONS OCCURRENCES and TOP
//                                    EXCEPTIONS counting calls (mode 0) over it.
// BM_chart_tree_walk:                dbs_rcall_foreach_tree over the hour, then TOP
//                                    EXCEPTIONS counting origins (mode 1) and FLAME GRAPH.
// BM_wide_tree_walk / BM_wide_flame: the same for 1,000 root calls whose 1,000 children are
//                                    the same 1,000 distinct methods.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench/store_bench.h"
#include "database/query_exceptions.h"
#include "database/query_flame.h"
#include "database/query_index.h"
#include "database/query_rootcalls.h"
#include "database/query_stack.h"
#include "database/query_symbols.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "database/store/ext.h"
#include "database/store/kv.h"
#include "database/store/rcall.h"
#include "database/store/symbols.h"
#include "database/store/walk.h"
#include "lib/files.h"
#include "lib/pattern.h"
#include "server/msg.h"
#include "server/reply.h"

namespace {

constexpr uint64_t kHour = 19783ull * DAY_MS + 10 * HOUR_MS;
constexpr uint16_t kCalls = 9; // besides the root
constexpr int64_t kSizes[] = {10000, 1000000};
constexpr uint64_t kDay = 19783ull * DAY_MS;
constexpr int64_t kDayRoots = 240000;

uint32_t g_plain_class, g_special_class;
std::map<int64_t, double> g_scan_seconds;
std::map<int64_t, double> g_scan_ext_seconds;

uint64_t agent_of(int64_t roots) {
    return 0xBE4C500000000000 + static_cast<uint64_t>(roots);
}

std::string be(uint64_t v, int bytes) {
    std::string s;
    for (int i = bytes - 1; i >= 0; i--)
        s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}

std::string pattern_bytes(uint16_t kind, const std::string &text) {
    return be(kind, 2) + be(text.size(), 2) + text;
}

std::string request(uint32_t flags, uint32_t max_records, const std::string &fields, uint64_t agent,
                    uint64_t from, uint64_t to) {
    return be(flags, 4) + be(0, 4) + be(0, 4) + be(max_records, 4) + fields + be(1, 2) +
           be(agent, 8) + be(from, 8) + be(to, 8);
}

// A fresh write state for the agent, its "mc" directory made.
void bench_agent(dbs_agent *a, uint64_t id) {
    dbs_agent_init(a, id);
    char dir[64];
    snprintf(dir, sizeof dir, "storage.db/data/%016lX/mc", id);
    sys_mkdirs(dir);
}

// Stores `roots` root calls spread evenly over `span` ms from `first`.
void fill(uint64_t agent_id, int64_t roots, uint64_t first, uint64_t span) {
    dbs_agent agent{};
    bench_agent(&agent, agent_id);
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    ext_buf *b = ext_buf_new();
    std::vector<call_record> calls(kCalls + 1u);
    const uint64_t step = span / static_cast<uint64_t>(roots);
    for (int64_t i = 0; i < roots; i++) {
        const uint64_t t = first + static_cast<uint64_t>(i) * step;
        const uint32_t cls = i % 100 == 42 ? g_special_class : g_plain_class;
        for (uint32_t c = 0; c <= kCalls; c++) {
            const bool root = c == kCalls;
            calls[c] = {t - kCalls + c,
                        0,
                        0,
                        cls,
                        7,
                        0,
                        c + 1,
                        0,
                        3,
                        static_cast<uint16_t>(c),
                        static_cast<uint16_t>(root ? CALL_F_ROOT | CALL_F_PARAMS : 0)};
        }
        const std::string list = "user\x1eu" + std::to_string(i % 100);
        const std::string entry = be(list.size(), 2) + list;
        uint32_t grown, length;
        calls[kCalls].ext = ext_buf_add(&b, &grown, scratch.data(), CALL_F_PARAMS, kCalls,
                                        entry.data(), static_cast<uint16_t>(entry.size()));
        const uint8_t *blob = ext_buf_finish(&b, &length, &grown, scratch.data());
        for (call_record &c : calls)
            call_record_swap(&c);
        rcall rc{calls.data(), &calls.back(), blob, length, 1, 0, kCalls + 1};
        dbs_rcall_save(&agent, &rc);
        b = ext_buf_reset(b, &grown);
    }
    ext_buf_free(b);
    dbs_agent_mc_close(&agent);
}

std::string hour_file(int64_t roots, const char *suffix = "") {
    char path[RCALL_PATH_MAX];
    rcall_path(path, agent_of(roots), static_cast<uint32_t>(kHour / DAY_MS), 10, suffix);
    return path;
}

int count_roots(void *ctx, uint64_t, uint64_t, uint32_t, rcall *) {
    ++*static_cast<uint64_t *>(ctx);
    return 0;
}

// The store of the run, made in the working directory by the first benchmark that needs it:
// the classes, both hours of root calls, then the day.
bool store_ready() {
    static const bool ready = [] {
        if (storage_create_db() != 0)
            return false;
        dbs *db = dbs_open();
        if (db == nullptr)
            return false;
        for (int i = 0; i < 1000; i++) {
            const std::string name = "com.acme.Class" + std::to_string(i);
            g_plain_class =
                dbs_symbol_store(db, SYM_CLASS, static_cast<uint16_t>(name.size()), name.c_str());
        }
        g_special_class = dbs_symbol_store(db, SYM_CLASS, 16, "com.acme.Special");
        dbs_close(db);
        for (int64_t roots : kSizes)
            fill(agent_of(roots), roots, kHour, HOUR_MS);
        // Its first calls start a second into the day, within the day.
        fill(agent_of(kDayRoots), kDayRoots, kDay + 1000, DAY_MS - 1000);
        return true;
    }();
    return ready;
}

void BM_raw_scan(benchmark::State &state) {
    if (!store_ready()) {
        state.SkipWithError("store not made");
        return;
    }
    int fd = open(hour_file(state.range(0)).c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(CSP_SCAN_BUFFER_SIZE);
    const uint64_t range[2] = {kHour, kHour + HOUR_MS - 1};
    uint64_t roots = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state)
        csp_scan_rcall_stack(fd, 0, 0, range, CSP_SCAN_BUFFER_SIZE, buffer.data(), &roots,
                             count_roots);
    g_scan_seconds[state.range(0)] =
        (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
    const auto size = lseek(fd, 0, SEEK_END);
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    state.counters["roots"] = static_cast<double>(roots / state.iterations());
}

void BM_raw_scan_ext(benchmark::State &state) {
    if (!store_ready()) {
        state.SkipWithError("store not made");
        return;
    }
    int fd = open(hour_file(state.range(0)).c_str(), O_RDONLY);
    int ext_fd = open(hour_file(state.range(0), ".x").c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(CSP_SCAN_BUFFER_SIZE);
    std::vector<uint8_t> window(128 * 1024);
    const uint64_t range[2] = {kHour, kHour + HOUR_MS - 1};
    uint64_t roots = 0, ext_bytes = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        csp_scan_rcall_stack(fd, 0, 0, range, CSP_SCAN_BUFFER_SIZE, buffer.data(), &roots,
                             count_roots);
        ssize_t got;
        for (off_t at = 0; (got = pread(ext_fd, window.data(), window.size(), at)) > 0; at += got)
            ext_bytes += static_cast<uint64_t>(got);
    }
    g_scan_ext_seconds[state.range(0)] =
        (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
    const auto size = lseek(fd, 0, SEEK_END);
    close(fd);
    close(ext_fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size +
                            static_cast<int64_t>(ext_bytes));
    state.counters["roots"] = static_cast<double>(roots / state.iterations());
}

// Runs one request per iteration. Given a baseline, reports its time over the query's.
void run_query(benchmark::State &state, const std::string &req,
               const std::map<int64_t, double> *baseline) {
    if (!store_ready()) {
        state.SkipWithError("store not made");
        return;
    }
    uint64_t records = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        msg *m = dbq_root_calls(nullptr, 1, DBQ_ROOT_CALLS,
                                reinterpret_cast<const uint8_t *>(req.data()),
                                static_cast<uint32_t>(req.size()));
        if (m == nullptr) {
            state.SkipWithError("request refused");
            return;
        }
        records = 0;
        const auto *data = reinterpret_cast<const uint8_t *>(m) + MSG_HDR_LEN + QRESP_HDR_LEN;
        for (uint64_t at = 0; at + RC_RECORD_SIZE <= msg_size(m) - MSG_HDR_LEN - QRESP_HDR_LEN;
             records++)
            at += RC_RECORD_SIZE + (uint64_t{data[at + 74]} << 8 | data[at + 75]);
        free(m);
    }
    const double seconds = (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
    state.counters["records"] = static_cast<double>(records);
    if (baseline == nullptr)
        return;
    const auto scan = baseline->find(state.range(0));
    if (scan == baseline->end())
        return;
    state.counters["ratio"] = scan->second / seconds;
    // The hour file the query covers, as the scan reports it.
    struct stat st;
    if (stat(hour_file(state.range(0)).c_str(), &st) == 0)
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * st.st_size);
}

void BM_query_limit(benchmark::State &state) {
    const uint64_t agent = agent_of(state.range(0));
    run_query(state, request(0, 1000, "", agent, kHour, kHour + HOUR_MS - 1), &g_scan_seconds);
}

void BM_query_class(benchmark::State &state) {
    const uint64_t agent = agent_of(state.range(0));
    run_query(state,
              request(RC_F_CLASS_PATTERN, 0, pattern_bytes(PATTERN_SUBSTRING, "Special"), agent,
                      kHour, kHour + HOUR_MS - 1),
              &g_scan_seconds);
}

void BM_query_kv(benchmark::State &state) {
    const uint64_t agent = agent_of(state.range(0));
    run_query(state,
              request(RC_F_VALUE_PATTERN, 0, pattern_bytes(PATTERN_EXACT, "u42"), agent, kHour,
                      kHour + HOUR_MS - 1),
              &g_scan_ext_seconds);
}

void BM_query_minute(benchmark::State &state) {
    const uint64_t agent = agent_of(state.range(0));
    const uint64_t from = kHour + 30 * 60000 + 500;
    run_query(state, request(0, 0, "", agent, from, from + 59999), nullptr);
}

void BM_day_limit(benchmark::State &state) {
    run_query(state, request(0, 1000, "", agent_of(kDayRoots), kDay, kDay + DAY_MS - 1), nullptr);
}

void BM_day_class(benchmark::State &state) {
    run_query(state,
              request(RC_F_CLASS_PATTERN, 0, pattern_bytes(PATTERN_SUBSTRING, "Special"),
                      agent_of(kDayRoots), kDay, kDay + DAY_MS - 1),
              nullptr);
}

void BM_day_minute(benchmark::State &state) {
    const uint64_t from = kDay + 12 * HOUR_MS + 30 * 60000;
    run_query(state, request(0, 0, "", agent_of(kDayRoots), from, from + 59999), nullptr);
}

// ---- the follow-up queries -------------------------------------------------------------

constexpr uint64_t kStackAgent = 0xF0110000000000A1;
constexpr uint64_t kExtAgent = 0xF0110000000000B2;
constexpr uint64_t kKvAgent0 = 0xF0110000000000C0;
constexpr int kKvAgents = 10;
constexpr uint32_t kKvDays = 6;
constexpr int kSymbolNames = 1000000;
constexpr int kExtRoots = 10000;
constexpr int kExtRefs = 10000;
const std::string kKvKey = "mem\x1Fheap";

// The follow-up store, open while the program runs: the ids of its class names (one in a
// hundred "Special"), the references of every entry of the extension hour, the key id.
struct follow_store {
    dbs *db = nullptr;
    std::vector<uint32_t> class_ids;
    std::vector<ext_ref> entries;
    uint32_t key = 0;
};
follow_store g_follow;

// The working directory is the follow-up store's while this lives.
struct in_follow_dir {
    in_follow_dir() { ok = chdir("follow") == 0; }
    ~in_follow_dir() {
        if (ok && chdir("..") != 0)
            perror("chdir");
    }
    bool ok;
};

void fill_stack() {
    dbs_agent agent{};
    bench_agent(&agent, kStackAgent);
    std::vector<call_record> calls(MAX_RCALL_CALLS + 1);
    for (uint32_t i = 0; i <= MAX_RCALL_CALLS; i++) {
        const bool root = i == MAX_RCALL_CALLS;
        calls[i] = {kHour + i,
                    0,
                    0,
                    3,
                    4,
                    0,
                    root ? 0 : i + 1,
                    0,
                    2,
                    static_cast<uint16_t>(root ? 0 : 1 + i % 30),
                    static_cast<uint16_t>(root ? CALL_F_ROOT : 0)};
        call_record_swap(&calls[i]);
    }
    rcall rc{calls.data(), &calls.back(), nullptr, 0, 1, 0, MAX_RCALL_CALLS + 1};
    dbs_rcall_save(&agent, &rc);
    dbs_agent_mc_close(&agent);
}

int note_entry(void *ctx, const rcall_ref *, const rcall *, const call_record *call,
               const uint8_t *entry, uint16_t) {
    if (entry != nullptr)
        static_cast<std::vector<ext_ref> *>(ctx)->push_back({call->ext, call->file_id});
    return 0;
}

// 10,000 root calls of 10 calls, each call with a key/value entry of about 60 bytes.
void fill_extensions() {
    dbs_agent agent{};
    bench_agent(&agent, kExtAgent);
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    ext_buf *b = ext_buf_new();
    std::vector<call_record> calls(kCalls + 1u);
    const uint64_t step = HOUR_MS / kExtRoots;
    for (int i = 0; i < kExtRoots; i++) {
        const uint64_t t = kHour + static_cast<uint64_t>(i) * step + kCalls;
        uint32_t grown, length;
        for (uint32_t c = 0; c <= kCalls; c++) {
            const bool root = c == kCalls;
            calls[c] = {t - kCalls + c,
                        0,
                        0,
                        3,
                        4,
                        0,
                        root ? 0 : c + 1,
                        0,
                        1,
                        static_cast<uint16_t>(root ? 0 : 1),
                        static_cast<uint16_t>((root ? CALL_F_ROOT : 0) | CALL_F_PARAMS)};
            const std::string list = "request.id\x1e" + std::to_string(i * 100 + c) +
                                     "\x1euser\x1eu" + std::to_string(i % 977) +
                                     "\x1epath\x1e/shop/cart/" + std::to_string(c);
            const std::string entry = be(list.size(), 2) + list;
            calls[c].ext = ext_buf_add(&b, &grown, scratch.data(), CALL_F_PARAMS, c, entry.data(),
                                       static_cast<uint16_t>(entry.size()));
        }
        const uint8_t *blob = ext_buf_finish(&b, &length, &grown, scratch.data());
        for (call_record &c : calls)
            call_record_swap(&c);
        rcall rc{calls.data(), &calls.back(), blob, length, 1, 0, kCalls + 1};
        dbs_rcall_save(&agent, &rc);
        b = ext_buf_reset(b, &grown);
    }
    ext_buf_free(b);
    dbs_agent_mc_close(&agent);
    const uint64_t range[2] = {kHour, kHour + HOUR_MS - 1};
    dbs_rcall_foreach_call(kExtAgent, range, &g_follow.entries, note_entry);
}

void fill_kv() {
    const std::string day(KV_BULK_BYTES, 's');
    for (int a = 0; a < kKvAgents; a++) {
        char dir[64];
        snprintf(dir, sizeof dir, "storage.db/data/%016lX/kv", kKvAgent0 + a);
        sys_mkdirs(dir);
        for (uint32_t d = 0; d < kKvDays; d++) {
            const std::string path = std::string(dir) + "/" + std::to_string(kDay / DAY_MS + d) +
                                     "." + std::to_string(g_follow.key);
            FILE *f = fopen(path.c_str(), "w");
            if (f != nullptr) {
                fwrite(day.data(), 1, day.size(), f);
                fclose(f);
            }
        }
    }
}

bool follow_ready() {
    static const bool ready = [] {
        if (!store_ready() || mkdir("follow", 0700) != 0)
            return false;
        in_follow_dir here;
        if (!here.ok || storage_create_db() != 0 || (g_follow.db = dbs_open()) == nullptr)
            return false;
        for (int i = 0; i < kSymbolNames; i++) {
            const std::string name = i % 100 == 42 ? "com.acme.Special" + std::to_string(i)
                                                   : "com.acme.pkg" + std::to_string(i / 1000) +
                                                         ".Class" + std::to_string(i);
            g_follow.class_ids.push_back(dbs_symbol_store(
                g_follow.db, SYM_CLASS, static_cast<uint16_t>(name.size()), name.c_str()));
        }
        g_follow.key = dbs_symbol_store(g_follow.db, SYM_KEY, static_cast<uint16_t>(kKvKey.size()),
                                        kKvKey.c_str());
        fill_stack();
        fill_extensions();
        fill_kv();
        return g_follow.entries.size() == size_t{kExtRoots} * (kCalls + 1);
    }();
    return ready;
}

// Runs one query body per iteration in the follow-up store. Its CPU time per call, or a
// negative value when the query was refused.
template <typename Fn>
double run_follow(benchmark::State &state, const std::string &req, Fn check) {
    if (!follow_ready()) {
        state.SkipWithError("store not made");
        return -1;
    }
    in_follow_dir here;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        msg *m = check(req);
        if (m == nullptr) {
            state.SkipWithError("request refused");
            return -1;
        }
        free(m);
    }
    return (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
}

// Baselines keep their time per call here for the query after them.
std::map<std::string, double> g_baseline_seconds;

template <typename Fn> void run_baseline(benchmark::State &state, const char *name, Fn once) {
    if (!follow_ready()) {
        state.SkipWithError("store not made");
        return;
    }
    in_follow_dir here;
    const double start = thread_cpu_seconds();
    for (auto _ : state)
        once();
    g_baseline_seconds[name] =
        (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
}

void report_ratio(benchmark::State &state, const char *baseline, double seconds) {
    const auto b = g_baseline_seconds.find(baseline);
    if (seconds > 0 && b != g_baseline_seconds.end())
        state.counters["ratio"] = b->second / seconds;
}

msg *run_body(msg *(*body)(dbs *, uint64_t, uint64_t, const uint8_t *, uint32_t), uint64_t qid,
              const std::string &req) {
    return body(g_follow.db, 1, qid, reinterpret_cast<const uint8_t *>(req.data()),
                static_cast<uint32_t>(req.size()));
}

std::string stack_path() {
    char path[RCALL_PATH_MAX];
    rcall_path(path, kStackAgent, static_cast<uint32_t>(kHour / DAY_MS), 10, "");
    return path;
}

constexpr size_t kStackBytes = sizeof(RootCall) + MAX_RCALL_CALLS * sizeof(call_record);

void BM_stack_pread(benchmark::State &state) {
    std::vector<uint8_t> buf(kStackBytes);
    int fd = -1;
    run_baseline(state, "stack", [&] {
        if (fd < 0)
            fd = open(stack_path().c_str(), O_RDONLY);
        benchmark::DoNotOptimize(pread(fd, buf.data(), buf.size(), 0));
    });
    if (fd >= 0)
        close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStackBytes));
}

void BM_stack_query(benchmark::State &state) {
    const std::string req = be(kStackAgent, 8) +
                            be(rcall_key_make(static_cast<uint32_t>(kHour / DAY_MS), 10, 0), 8) +
                            be(MAX_RCALL_CALLS, 2);
    const double seconds = run_follow(state, req, [](const std::string &r) {
        return run_body(dbq_rcall_execution_stack_run, DBQ_ROOT_CALL_EXECUTION_STACK, r);
    });
    report_ratio(state, "stack", seconds);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStackBytes));
}

int count_entry(void *ctx, uint16_t, uint16_t, const uint8_t *, uint16_t) {
    ++*static_cast<uint64_t *>(ctx);
    return 0;
}

void BM_ext_iterate(benchmark::State &state) {
    std::vector<uint8_t> buffer(EXT_READER_BUFFER_SIZE);
    uint64_t entries = 0;
    run_baseline(state, "ext", [&] {
        char path[RCALL_PATH_MAX];
        rcall_path(path, kExtAgent, static_cast<uint32_t>(kHour / DAY_MS), 10, ".x");
        int fd = open(path, O_RDONLY);
        entries = 0;
        ext_iterate_exts(fd, 0, 0, buffer.data(), &entries, count_entry);
        close(fd);
    });
    state.counters["entries"] = static_cast<double>(entries);
}

void BM_ext_query(benchmark::State &state) {
    if (!follow_ready()) {
        state.SkipWithError("store not made");
        return;
    }
    std::mt19937_64 random(22);
    std::string req;
    for (int i = 0; i < kExtRefs; i++) {
        const ext_ref &r = g_follow.entries[random() % g_follow.entries.size()];
        req += be(kExtAgent, 8) + be(r.locator, 8) + be(r.file_id, 4);
    }
    const double seconds = run_follow(state, req, [](const std::string &r) {
        return run_body(dbq_extensions_run, DBQ_EXTENSIONS, r);
    });
    report_ratio(state, "ext", seconds);
    state.counters["references"] = kExtRefs;
}

struct symbols_walk {
    pattern *p;
    uint64_t matched;
};

int match_symbol(void *ctx, uint32_t, uint32_t, uint16_t, uint64_t, const char *name) {
    auto *w = static_cast<symbols_walk *>(ctx);
    w->matched += pattern_match(w->p, name) == 0;
    return 0;
}

const char kSpecial[] = "Special[0-9]+$";

void BM_symbols_walk(benchmark::State &state) {
    symbols_walk w{pattern_create(kSpecial, PATTERN_REGEX), 0};
    run_baseline(state, "symbols", [&] {
        w.matched = 0;
        symbols_foreach(SYM_CLASS, &w, match_symbol);
    });
    pattern_free(w.p);
    state.counters["matched"] = static_cast<double>(w.matched);
}

void BM_symbols_pattern(benchmark::State &state) {
    const std::string text = kSpecial;
    const std::string req = be(SYMQ_BY_PATTERN, 1) + be(SYM_CLASS, 1) + be(text.size(), 2) + text;
    const double seconds = run_follow(
        state, req, [](const std::string &r) { return run_body(dbq_symbols_run, DBQ_SYMBOLS, r); });
    report_ratio(state, "symbols", seconds);
}

void BM_symbols_ids(benchmark::State &state) {
    if (!follow_ready()) {
        state.SkipWithError("store not made");
        return;
    }
    std::mt19937_64 random(22);
    std::string req = be(SYMQ_BY_IDS, 1) + be(10000, 2);
    for (int i = 0; i < 10000; i++)
        req += be(SYM_CLASS, 1) + be(g_follow.class_ids[random() % g_follow.class_ids.size()], 4);
    run_follow(state, req,
               [](const std::string &r) { return run_body(dbq_symbols_run, DBQ_SYMBOLS, r); });
    state.counters["ids"] = 10000;
}

// Each file read to its own place in one buffer the size of the reply, as the reply holds
// them.
void BM_kv_read(benchmark::State &state) {
    std::vector<uint8_t> buf(kKvAgents * kKvDays * KV_BULK_BYTES);
    run_baseline(state, "kv", [&] {
        uint8_t *at = buf.data();
        for (int a = 0; a < kKvAgents; a++)
            for (uint32_t d = 0; d < kKvDays; d++, at += KV_BULK_BYTES) {
                char path[96];
                snprintf(path, sizeof path, "storage.db/data/%016lX/kv/%lu.%u", kKvAgent0 + a,
                         kDay / DAY_MS + d, g_follow.key);
                int fd = open(path, O_RDONLY);
                benchmark::DoNotOptimize(read(fd, at, KV_BULK_BYTES));
                close(fd);
            }
    });
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * kKvAgents * kKvDays * KV_BULK_BYTES));
}

void BM_kv_query(benchmark::State &state) {
    std::string req =
        be(kDay, 8) + be(kDay + kKvDays * DAY_MS - 1, 8) + be(kKvKey.size(), 2) + kKvKey;
    for (int a = 0; a < kKvAgents; a++)
        req += be(kKvAgent0 + a, 8);
    uint64_t items = 0;
    const double seconds = run_follow(state, req, [&](const std::string &r) {
        msg *m = run_body(dbq_kv_metrics_run, DBQ_KV_METRICS, r);
        if (m != nullptr)
            items = (msg_size(m) - MSG_HDR_LEN - QRESP_HDR_LEN) / (KVQ_ITEM_HEAD + KV_BULK_BYTES);
        return m;
    });
    report_ratio(state, "kv", seconds);
    state.counters["items"] = static_cast<double>(items);
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * kKvAgents * kKvDays * KV_BULK_BYTES));
}

// ---- the chart queries ------------------------------------------------------------------

constexpr uint64_t kChartAgent = 0xC4A7700000000001;
constexpr uint64_t kWideAgent = 0xC4A7700000000002;
constexpr int64_t kChartRoots = 1000000;
constexpr uint32_t kChartException = 5;
constexpr uint32_t kWideRoots = 1000;
constexpr uint32_t kWideChildren = 1000;

// Stores one root call of `calls` (the root last) for the agent's write state.
void save_calls(dbs_agent *agent, std::vector<call_record> &calls, uint16_t exceptions) {
    for (call_record &c : calls)
        call_record_swap(&c);
    rcall rc{calls.data(), &calls.back(), nullptr, 0, 1, exceptions,
             static_cast<uint16_t>(calls.size())};
    dbs_rcall_save(agent, &rc);
}

// The chart agent-hour: every root call a chain of 9 calls under the root, one in ten with
// the three deepest throwing.
void fill_chart() {
    dbs_agent agent{};
    bench_agent(&agent, kChartAgent);
    std::vector<call_record> calls(kCalls + 1u);
    const uint64_t step = HOUR_MS / kChartRoots;
    for (int64_t i = 0; i < kChartRoots; i++) {
        const uint64_t t = kHour + static_cast<uint64_t>(i) * step + kCalls;
        const bool throws = i % 10 == 3;
        for (uint32_t c = 0; c <= kCalls; c++) {
            const bool root = c == kCalls;
            const bool exc = throws && c >= kCalls - 3 && !root;
            calls[c] = {t - kCalls + c,
                        0,
                        0,
                        g_plain_class,
                        7 + c,
                        exc ? kChartException : 0,
                        root ? 0 : c + 1,
                        static_cast<uint32_t>(i % 40),
                        static_cast<uint32_t>(50 + i % 200),
                        static_cast<uint16_t>(root ? 0 : c + 1),
                        static_cast<uint16_t>((root ? CALL_F_ROOT : 0) | (exc ? CALL_F_EXC : 0))};
        }
        save_calls(&agent, calls, throws ? 3 : 0);
    }
    dbs_agent_mc_close(&agent);
}

// 1,000 root calls, each with children of the methods 1 to 1,000.
void fill_wide() {
    dbs_agent agent{};
    bench_agent(&agent, kWideAgent);
    std::vector<call_record> calls(kWideChildren + 1u);
    for (uint32_t i = 0; i < kWideRoots; i++) {
        const uint64_t t = kHour + i * 1000ull + kWideChildren;
        for (uint32_t c = 0; c <= kWideChildren; c++) {
            const bool root = c == kWideChildren;
            calls[c] = {t - kWideChildren + c,
                        0,
                        0,
                        g_plain_class,
                        root ? 0 : c + 1,
                        0,
                        root ? 0 : c + 1,
                        0,
                        root ? 2000u : 1u,
                        static_cast<uint16_t>(root ? 0 : 1),
                        static_cast<uint16_t>(root ? CALL_F_ROOT : 0)};
        }
        save_calls(&agent, calls, 0);
    }
    dbs_agent_mc_close(&agent);
}

bool chart_ready() {
    static const bool ready = [] {
        // FLAME GRAPH reads only agents with an identity file, saved before their calls.
        uint8_t identity[64] = {2, 'b', 'e', 'n', 'c', 'h'};
        if (!store_ready() || agent_save(identity, kChartAgent) != 0 ||
            agent_save(identity, kWideAgent) != 0)
            return false;
        fill_chart();
        fill_wide();
        return true;
    }();
    return ready;
}

const uint64_t kChartRange[2] = {kHour, kHour + HOUR_MS - 1};

int count_rcall(void *ctx, rcall_key, uint16_t, const rcall *, const uint8_t *, uint16_t) {
    ++*static_cast<uint64_t *>(ctx);
    return 0;
}

int count_tree(void *ctx, const call_tree *tree) {
    *static_cast<uint64_t *>(ctx) += tree->n + 1u;
    return 0;
}

// Times `once` per iteration in the main store as the baseline `name`.
template <typename Fn> void chart_baseline(benchmark::State &state, const char *name, Fn once) {
    if (!chart_ready()) {
        state.SkipWithError("store not made");
        return;
    }
    const double start = thread_cpu_seconds();
    for (auto _ : state)
        once();
    g_baseline_seconds[name] =
        (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
}

void BM_chart_walk(benchmark::State &state) {
    uint64_t roots = 0;
    chart_baseline(state, "chart", [&] {
        roots = 0;
        dbs_rcall_foreach(kChartAgent, kChartRange, &roots, count_rcall, false);
    });
    state.counters["roots"] = static_cast<double>(roots);
}

void BM_chart_tree_walk(benchmark::State &state) {
    uint64_t calls = 0;
    chart_baseline(state, "chart_tree", [&] {
        calls = 0;
        dbs_rcall_foreach_tree(kChartAgent, kChartRange, &calls, count_tree);
    });
    state.counters["calls"] = static_cast<double>(calls);
}

void BM_wide_tree_walk(benchmark::State &state) {
    uint64_t calls = 0;
    chart_baseline(state, "wide_tree", [&] {
        calls = 0;
        dbs_rcall_foreach_tree(kWideAgent, kChartRange, &calls, count_tree);
    });
    state.counters["calls"] = static_cast<double>(calls);
}

using query_body = msg *(*)(dbs *, uint64_t, uint64_t, const uint8_t *, uint32_t);

// Runs one chart query per iteration in the main store against the baseline `name`; reports
// the reply's data bytes.
void run_chart(benchmark::State &state, query_body body, uint64_t qid, const std::string &req,
               const char *baseline) {
    if (!chart_ready()) {
        state.SkipWithError("store not made");
        return;
    }
    uint32_t data = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        msg *m = body(nullptr, 1, qid, reinterpret_cast<const uint8_t *>(req.data()),
                      static_cast<uint32_t>(req.size()));
        if (m == nullptr) {
            state.SkipWithError("request refused");
            return;
        }
        data = msg_size(m) - MSG_HDR_LEN - QRESP_HDR_LEN;
        free(m);
    }
    const double seconds = (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
    report_ratio(state, baseline, seconds);
    state.counters["reply_bytes"] = data;
}

const std::string kChartSpan = be(kChartRange[0], 8) + be(kChartRange[1], 8);

void BM_index(benchmark::State &state) {
    run_chart(state, dbq_index_run, DBQ_INDEX, be(60, 4) + kChartSpan + be(kChartAgent, 8),
              "chart");
}

void BM_calls_grid(benchmark::State &state) {
    run_chart(state, dbq_calls_grid_run, DBQ_CALLS_GRID,
              be(100, 4) + be(3, 4) + kChartSpan + be(1, 4) + be(kChartAgent, 8), "chart");
}

void BM_occurrences(benchmark::State &state) {
    run_chart(state, dbq_exceptions_occurrences_run, DBQ_EXCEPTIONS_OCCURRENCES,
              kChartSpan + be(kChartAgent, 8) + be(kChartException, 4), "chart");
}

std::string top_request(uint16_t mode) {
    return be(mode, 2) + kChartSpan + be(0, 4) + be(0, 4) + be(1, 2) + be(kChartAgent, 8);
}

void BM_top_calls(benchmark::State &state) {
    run_chart(state, dbq_top_exceptions_run, DBQ_TOP_EXCEPTIONS, top_request(0), "chart");
}

void BM_top_origins(benchmark::State &state) {
    run_chart(state, dbq_top_exceptions_run, DBQ_TOP_EXCEPTIONS, top_request(1), "chart_tree");
}

void BM_flame(benchmark::State &state) {
    run_chart(state, dbq_flame_graph_run, DBQ_FLAME_GRAPH, kChartSpan + be(kChartAgent, 8),
              "chart_tree");
}

void BM_wide_flame(benchmark::State &state) {
    run_chart(state, dbq_flame_graph_run, DBQ_FLAME_GRAPH, kChartSpan + be(kWideAgent, 8),
              "wide_tree");
}

} // namespace

int main(int argc, char **argv) {
    for (int64_t roots : kSizes) {
        benchmark::RegisterBenchmark("BM_raw_scan", BM_raw_scan)->Arg(roots);
        benchmark::RegisterBenchmark("BM_raw_scan_ext", BM_raw_scan_ext)->Arg(roots);
        benchmark::RegisterBenchmark("BM_query_limit", BM_query_limit)->Arg(roots);
        benchmark::RegisterBenchmark("BM_query_class", BM_query_class)->Arg(roots);
        benchmark::RegisterBenchmark("BM_query_kv", BM_query_kv)->Arg(roots);
        benchmark::RegisterBenchmark("BM_query_minute", BM_query_minute)->Arg(roots);
    }
    benchmark::RegisterBenchmark("BM_day_limit", BM_day_limit)->Arg(kDayRoots);
    benchmark::RegisterBenchmark("BM_day_class", BM_day_class)->Arg(kDayRoots);
    benchmark::RegisterBenchmark("BM_day_minute", BM_day_minute)->Arg(kDayRoots);
    benchmark::RegisterBenchmark("BM_stack_pread", BM_stack_pread);
    benchmark::RegisterBenchmark("BM_stack_query", BM_stack_query);
    benchmark::RegisterBenchmark("BM_ext_iterate", BM_ext_iterate);
    benchmark::RegisterBenchmark("BM_ext_query", BM_ext_query);
    benchmark::RegisterBenchmark("BM_symbols_walk", BM_symbols_walk);
    benchmark::RegisterBenchmark("BM_symbols_pattern", BM_symbols_pattern);
    benchmark::RegisterBenchmark("BM_symbols_ids", BM_symbols_ids);
    benchmark::RegisterBenchmark("BM_kv_read", BM_kv_read);
    benchmark::RegisterBenchmark("BM_kv_query", BM_kv_query);
    benchmark::RegisterBenchmark("BM_chart_walk", BM_chart_walk);
    benchmark::RegisterBenchmark("BM_index", BM_index);
    benchmark::RegisterBenchmark("BM_calls_grid", BM_calls_grid);
    benchmark::RegisterBenchmark("BM_occurrences", BM_occurrences);
    benchmark::RegisterBenchmark("BM_top_calls", BM_top_calls);
    benchmark::RegisterBenchmark("BM_chart_tree_walk", BM_chart_tree_walk);
    benchmark::RegisterBenchmark("BM_top_origins", BM_top_origins);
    benchmark::RegisterBenchmark("BM_flame", BM_flame);
    benchmark::RegisterBenchmark("BM_wide_tree_walk", BM_wide_tree_walk);
    benchmark::RegisterBenchmark("BM_wide_flame", BM_wide_flame);
    return bench_main_in_dir(argc, argv, ".");
}
