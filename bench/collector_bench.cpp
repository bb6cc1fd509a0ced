// One collector worker fed agent data messages built beforehand, writing into a store on the
// local disk ($TMPDIR or /tmp).
//
// BM_collector/K/E: root calls of K calls besides the root (K = 0, 10, 100), each call with
// a 32-byte parameter entry when E is 1. Every iteration queues about 500,000 calls to a
// fresh worker and times until it has stopped; "calls_per_second" and "roots_per_second"
// count the calls and root calls its hour files hold afterwards (stored, not queued), and
// "calls_missing" what was queued but not found there.
// BM_store_only/K: the baseline, dbs_rcall_save of ready root calls of the same shape without
// entries; BM_collector/K/0 reports "ratio", its root calls per second over the baseline's.
#include <benchmark/benchmark.h>

#include "bench/store_bench.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "database/agent_collector.h"
#include "database/collector.h"
#include "database/collector_store.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "database/store/rcall.h"
#include "database/store/symbols.h"
#include "lib/files.h"
#include "lib/log.h"
#include "server/msg.h"

namespace {

constexpr uint64_t kCallsPerIteration = 500000;
constexpr uint64_t kCallsPerPayload = 20000;
constexpr uint32_t kParamBytes = 32;

std::string g_dir;
uint64_t g_aid;
dbs *g_db; // the store of the run
std::map<int64_t, double> g_store_roots_per_second;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void put_be(std::string &s, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; i--)
        s.push_back(static_cast<char>(v >> (8 * i)));
}

void put_symbol(std::string &recs, uint8_t type, uint32_t id, const std::string &name) {
    put_be(recs, type, 1);
    put_be(recs, id, 4);
    put_be(recs, name.size(), 2);
    recs += name;
}

// One call record (type byte, length, body) of root call `key` with `index` calls before it.
void put_call(std::string &recs, uint64_t key, uint32_t index, bool root, bool ext) {
    const uint16_t flags =
        static_cast<uint16_t>((root ? CALL_F_ROOT : 0) | (ext ? CALL_F_PARAMS : 0));
    const uint32_t len = CALL_BODY_MIN + (root ? 4 : 0) + (ext ? kParamBytes : 0);
    put_be(recs, AREC_CALL, 1);
    put_be(recs, len, 2);
    put_be(recs, flags, 2);
    put_be(recs, key, 8);
    put_be(recs, 1 + index % 8, 4);  // class
    put_be(recs, 1 + index % 16, 4); // method
    put_be(recs, index + 1, 4);      // call order
    put_be(recs, index % 20, 2);     // stack depth
    put_be(recs, (key & 0xFFFFFFFFFFF) + index, 6);
    put_be(recs, 0, 3);
    put_be(recs, 1, 3); // duration
    if (root)
        put_be(recs, 1, 4); // thread
    if (ext)
        recs.append("user=alice\x1Eorder=1234567890123", kParamBytes);
}

std::string message(const std::string &recs) {
    std::string m;
    put_be(m, MSG_AGENT_DATA, 1);
    put_be(m, recs.size(), 4);
    return m + recs;
}

struct bench_input {
    std::vector<std::string> payloads; // the symbols first
    uint64_t calls = 0;
    uint64_t roots = 0;
};

// Root calls with root times 1 ms apart from two hours ago, so that they fill the windows
// of a quarter of an hour.
const bench_input &input_for(uint32_t k, bool ext) {
    static std::map<std::pair<uint32_t, bool>, bench_input> cache;
    bench_input &in = cache[{k, ext}];
    if (!in.payloads.empty())
        return in;
    std::string syms;
    for (uint32_t i = 1; i <= 16; i++) {
        put_symbol(syms, AREC_SYM_CLASS, i, "com.bench.Service" + std::to_string(i));
        put_symbol(syms, AREC_SYM_METHOD, i, "handle" + std::to_string(i));
    }
    put_symbol(syms, AREC_SYM_THREAD, 1, "http-nio-8080-exec-1");
    in.payloads.push_back(message(syms));
    const uint64_t first = static_cast<uint64_t>(time(nullptr)) * 1000 - 2 * HOUR_MS;
    std::string recs;
    while (in.calls < kCallsPerIteration) {
        const uint64_t key = uint64_t{1} << 44 | (first + in.roots);
        for (uint32_t i = 0; i <= k; i++)
            put_call(recs, key, i, i == k, ext);
        in.calls += k + 1;
        in.roots++;
        if (recs.size() >= kCallsPerPayload * 40) {
            in.payloads.push_back(message(recs));
            recs.clear();
        }
    }
    if (!recs.empty())
        in.payloads.push_back(message(recs));
    return in;
}

std::string agent_mc_dir() {
    char mc[64];
    snprintf(mc, sizeof mc, "storage.db/data/%016lX/mc", g_aid);
    return mc;
}

void clear_agent_files() {
    sys_rmtree(agent_mc_dir().c_str());
    sys_mkdirs(agent_mc_dir().c_str());
}

// The root calls and calls (roots included) the agent's hour files hold: each stored root
// call is a 96-byte header (its count of further calls at offset 66, its magic at 68), then
// 48 bytes for each. The count of a file ends at a header without the magic.
struct stored_count {
    uint64_t roots = 0;
    uint64_t calls = 0;
};

int count_file(void *ctx, const char *name, const char *path, uint64_t size) {
    // Hour files are named "day.hour"; extension files end in ".x", index files in ".index".
    const char *dot = strchr(name, '.');
    if (dot == nullptr || strchr(dot + 1, '.') != nullptr ||
        strspn(name, "0123456789.") != strlen(name))
        return 0;
    auto *n = static_cast<stored_count *>(ctx);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    for (uint64_t at = 0; fd >= 0 && at + 96 <= size;) {
        uint8_t head[96];
        if (pread(fd, head, sizeof head, static_cast<off_t>(at)) != sizeof head ||
            memcmp(head + 68, "_SPRINV_", 8) != 0)
            break;
        const uint64_t calls = static_cast<uint64_t>(head[66]) << 8 | head[67];
        n->roots++;
        n->calls += calls + 1;
        at += 96 + 48 * calls;
    }
    if (fd >= 0)
        close(fd);
    return 0;
}

stored_count count_stored() {
    stored_count n;
    sys_foreach_file(agent_mc_dir().c_str(), &n, count_file);
    return n;
}

void BM_collector(benchmark::State &state) {
    const auto k = static_cast<uint32_t>(state.range(0));
    const bool ext = state.range(1) != 0;
    const bench_input &in = input_for(k, ext);
    const collector_callbacks cb{g_db, collector_kv_cb, collector_rcall_cb, collector_symbol_cb};
    uint64_t calls = 0, roots = 0, missing = 0;
    double elapsed = 0;
    for (auto _ : state) {
        clear_agent_files();
        collector *c = collector_init(1, &cb);
        const Clock::time_point t0 = Clock::now();
        for (const std::string &p : in.payloads)
            collector_enqueue(c, g_aid, p.size(), reinterpret_cast<const uint8_t *>(p.data()));
        collector_stop(c);
        const double s = seconds_since(t0);
        state.SetIterationTime(s);
        collector_free(c);
        state.PauseTiming();
        const stored_count n = count_stored();
        state.ResumeTiming();
        calls += n.calls;
        roots += n.roots;
        missing += in.calls - std::min(in.calls, n.calls);
        elapsed += s;
    }
    state.counters["calls_missing"] = static_cast<double>(missing);
    state.counters["calls_per_second"] = static_cast<double>(calls) / elapsed;
    state.counters["roots_per_second"] = static_cast<double>(roots) / elapsed;
    const auto base = g_store_roots_per_second.find(k);
    if (!ext && base != g_store_roots_per_second.end())
        state.counters["ratio"] = static_cast<double>(roots) / elapsed / base->second;
}

void BM_store_only(benchmark::State &state) {
    const auto k = static_cast<uint32_t>(state.range(0));
    const uint64_t n_roots = kCallsPerIteration / (k + 1);
    const uint64_t first = static_cast<uint64_t>(time(nullptr)) * 1000 - 2 * HOUR_MS;
    std::vector<call_record> calls(k + 1);
    dbs_agent *agent = dbs_agent_find(g_db, g_aid);
    uint64_t roots = 0;
    double elapsed = 0;
    for (auto _ : state) {
        clear_agent_files();
        dbs_agent_mc_close(agent);
        const Clock::time_point t0 = Clock::now();
        for (uint64_t r = 0; r < n_roots; r++) {
            for (uint32_t i = 0; i <= k; i++) {
                calls[i] = {first + r + i,
                            0,
                            0,
                            1 + i % 8,
                            1 + i % 16,
                            0,
                            i + 1,
                            0,
                            1,
                            static_cast<uint16_t>(i % 20),
                            static_cast<uint16_t>(i == k ? CALL_F_ROOT : 0)};
                call_record_swap(&calls[i]);
            }
            rcall rc{calls.data(), &calls.back(), nullptr, 0, 1, 0, static_cast<uint16_t>(k + 1)};
            dbs_rcall_save(agent, &rc);
        }
        const double s = seconds_since(t0);
        state.SetIterationTime(s);
        state.PauseTiming();
        roots += count_stored().roots;
        state.ResumeTiming();
        elapsed += s;
    }
    dbs_agent_mc_close(agent);
    g_store_roots_per_second[k] = static_cast<double>(roots) / elapsed;
    state.counters["roots_per_second"] = g_store_roots_per_second[k];
}

// A store of its own under $TMPDIR (or /tmp), made the working directory, with one agent.
bool open_bench_store() {
    g_dir = sys_make_scratch_dir("korvane-bench");
    if (g_dir.empty() || chdir(g_dir.c_str()) != 0)
        return false;
    if (storage_create_db() != 0 || (g_db = dbs_open()) == nullptr)
        return false;
    uint8_t identity[64] = {2, 'b', 'e', 'n', 'c', 'h'};
    g_aid = agent_id_of(identity);
    return dbs_agent_register(g_db, identity, g_aid) == 0;
}

void register_collector_benchmarks() {
    for (int64_t k : {0, 10, 100}) {
        benchmark::RegisterBenchmark("BM_store_only", BM_store_only)
            ->Arg(k)
            ->UseManualTime()
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond);
        for (int64_t ext : {0, 1})
            benchmark::RegisterBenchmark("BM_collector", BM_collector)
                ->Args({k, ext})
                ->UseManualTime()
                ->Iterations(3)
                ->Unit(benchmark::kMillisecond);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (!open_bench_store()) {
        perror("bench store");
        return 1;
    }
    register_collector_benchmarks();
    int rc = bench_run(argc, argv);
    dbs_close(g_db);
    sys_remove_scratch_dir(g_dir.c_str());
    return rc;
}
