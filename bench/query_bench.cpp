// The ROOT CALLS query against the store-level scan of the same hour file, in the same run.
//
// One agent-hour per size holds 10^4 or 10^6 root calls of 10 calls each (the root and 9
// others); every root has a key/value entry "user" = "u<i % 100>", and one root in 100 is of
// the class "com.acme.Special". The files are written first and stay in the page cache.
//
// BM_raw_scan:        csp_scan_rcall_stack over the whole hour file (the baseline).
// BM_query_limit:     ROOT CALLS over the hour with a record limit of 1,000.
// BM_query_class:     a class-name pattern that selects 1% of the roots, no record limit.
// BM_query_kv:        a value pattern that selects 1% of the roots, no record limit.
// BM_query_minute:    a one-minute window in the middle of the hour, started through the
//                     calls index.
// BM_day_*:           the same kinds of query over one agent-day of 240,000 root calls spread
//                     evenly over its 24 hours (limit, class pattern over the whole day, and a
//                     minute at 12:30), which cross hour files.
// The queries over the whole hour report "ratio": the scan's time over the query's (above 1:
// the query is faster than the scan). Every query reports the "records" it returned.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench/store_bench.h"
#include "database/query_rootcalls.h"
#include "database/store/dbs.h"
#include "database/store/ext.h"
#include "database/store/rcall.h"
#include "database/store/symbols.h"
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

// Stores `roots` root calls spread evenly over `span` ms from `first`.
void fill(uint64_t agent_id, int64_t roots, uint64_t first, uint64_t span) {
    dbs_agent agent{};
    dbs_agent_init(&agent, agent_id);
    char dir[64];
    snprintf(dir, sizeof dir, "storage.db/data/%016lX/mc", agent.id);
    sys_mkdirs(dir);
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

std::string hour_file(int64_t roots) {
    char path[RCALL_PATH_MAX];
    rcall_path(path, agent_of(roots), static_cast<uint32_t>(kHour / DAY_MS), 10, "");
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

// Runs one request per iteration. With `compare`, reports the scan's time over the query's.
void run_query(benchmark::State &state, const std::string &req, bool compare) {
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
    const auto scan = g_scan_seconds.find(state.range(0));
    if (!compare || scan == g_scan_seconds.end())
        return;
    state.counters["ratio"] = scan->second / seconds;
    // The hour file the query covers, as the scan reports it.
    struct stat st;
    if (stat(hour_file(state.range(0)).c_str(), &st) == 0)
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * st.st_size);
}

void BM_query_limit(benchmark::State &state) {
    const uint64_t agent = agent_of(state.range(0));
    run_query(state, request(0, 1000, "", agent, kHour, kHour + HOUR_MS - 1), true);
}

void BM_query_class(benchmark::State &state) {
    const uint64_t agent = agent_of(state.range(0));
    run_query(state,
              request(RC_F_CLASS_PATTERN, 0, pattern_bytes(PATTERN_SUBSTRING, "Special"), agent,
                      kHour, kHour + HOUR_MS - 1),
              true);
}

void BM_query_kv(benchmark::State &state) {
    const uint64_t agent = agent_of(state.range(0));
    run_query(state,
              request(RC_F_VALUE_PATTERN, 0, pattern_bytes(PATTERN_EXACT, "u42"), agent, kHour,
                      kHour + HOUR_MS - 1),
              true);
}

void BM_query_minute(benchmark::State &state) {
    const uint64_t agent = agent_of(state.range(0));
    const uint64_t from = kHour + 30 * 60000 + 500;
    run_query(state, request(0, 0, "", agent, from, from + 59999), false);
}

void BM_day_limit(benchmark::State &state) {
    run_query(state, request(0, 1000, "", agent_of(kDayRoots), kDay, kDay + DAY_MS - 1), false);
}

void BM_day_class(benchmark::State &state) {
    run_query(state,
              request(RC_F_CLASS_PATTERN, 0, pattern_bytes(PATTERN_SUBSTRING, "Special"),
                      agent_of(kDayRoots), kDay, kDay + DAY_MS - 1),
              false);
}

void BM_day_minute(benchmark::State &state) {
    const uint64_t from = kDay + 12 * HOUR_MS + 30 * 60000;
    run_query(state, request(0, 0, "", agent_of(kDayRoots), from, from + 59999), false);
}

} // namespace

int main(int argc, char **argv) {
    for (int64_t roots : kSizes) {
        benchmark::RegisterBenchmark("BM_raw_scan", BM_raw_scan)->Arg(roots);
        benchmark::RegisterBenchmark("BM_query_limit", BM_query_limit)->Arg(roots);
        benchmark::RegisterBenchmark("BM_query_class", BM_query_class)->Arg(roots);
        benchmark::RegisterBenchmark("BM_query_kv", BM_query_kv)->Arg(roots);
        benchmark::RegisterBenchmark("BM_query_minute", BM_query_minute)->Arg(roots);
    }
    benchmark::RegisterBenchmark("BM_day_limit", BM_day_limit)->Arg(kDayRoots);
    benchmark::RegisterBenchmark("BM_day_class", BM_day_class)->Arg(kDayRoots);
    benchmark::RegisterBenchmark("BM_day_minute", BM_day_minute)->Arg(kDayRoots);
    return bench_main_in_dir(argc, argv, ".");
}
