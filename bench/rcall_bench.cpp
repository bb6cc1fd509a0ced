// Root-call files against plain file I/O in the same directory and the same run.
//
// Saving: dbs_rcall_save of root calls with N = 0, 10, 100 and 1000 calls beside one plain
// write() per root call of the same number of bytes. The save reports "ratio" (its root
// calls per second over the plain writes') and "bytes_per_call" on disk.
// Late hours: dbs_rcall_save of root calls of 10 calls that go to 1 hour, or in turn to 3
// hours (root calls arriving late for the hours before the current one); the 3-hour case
// reports "ratio", its root calls per second over the 1-hour case's (aim: at least 0.5).
// Scanning: csp_scan_rcall_stack over a warm hour file beside pread() of the same file into
// a buffer of the same size. The scan reports "ratio" (its bytes per second over pread's)
// and "calls_per_second" handed to its callback.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <endian.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "database/store/dbs.h"
#include "database/store/rcall.h"
#include "store_bench.h"

namespace {

constexpr uint64_t kAgent = 0xBE4C400000000001;
constexpr uint64_t kHour = 19783ull * DAY_MS + 10 * HOUR_MS;
// Files are emptied (outside the timed part) when they pass this size.
constexpr uint64_t kFileCap = 256ull << 20;
constexpr uint64_t kScanFileSize = 64ull << 20;

std::map<int64_t, double> g_plain_roots_per_second;
double g_pread_bytes_per_second;

std::string mc_path(const char *name) {
    char buf[128];
    snprintf(buf, sizeof buf, "storage.db/data/%016lX/mc/%s", kAgent, name);
    return buf;
}

// n calls and the root last, file byte order, as the collector hands them over.
std::vector<call_record> bench_calls(uint16_t n, uint64_t t) {
    std::vector<call_record> calls(n + 1u);
    for (uint32_t i = 0; i <= n; i++) {
        call_record &c = calls[i];
        c = {t - n + i,
             0,
             0,
             1000 + i,
             2000 + i,
             0,
             i + 1,
             0,
             3,
             static_cast<uint16_t>(i % 9),
             static_cast<uint16_t>(i == n ? CALL_F_ROOT : 0)};
        call_record_swap(&c);
    }
    return calls;
}

struct bench_agent {
    dbs_agent a{};
    bench_agent() { dbs_agent_init(&a, kAgent); }
    ~bench_agent() { dbs_agent_mc_close(&a); }
    // Bytes in the files of the hours open.
    uint64_t bytes() const {
        uint64_t n = 0;
        for (const dbs_mc_hour &h : a.mc.open)
            n += h.data_size;
        return n;
    }
};

// The files of the hours from kHour on.
void remove_hour_files(uint32_t hours = 1) {
    for (uint32_t i = 0; i < hours; i++) {
        const uint64_t t = kHour + i * HOUR_MS;
        char path[RCALL_PATH_MAX];
        rcall_path(path, kAgent, static_cast<uint32_t>(t / DAY_MS),
                   static_cast<uint32_t>(t % DAY_MS / HOUR_MS), "");
        unlink(path);
        rcall_path(path, kAgent, static_cast<uint32_t>(t / DAY_MS),
                   static_cast<uint32_t>(t % DAY_MS / HOUR_MS), ".x");
        unlink(path);
    }
}

void BM_plain_write(benchmark::State &state) {
    const auto n = static_cast<uint16_t>(state.range(0));
    const std::vector<char> record(sizeof(RootCall) + n * sizeof(call_record), 'r');
    const std::string path = mc_path("plain");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0600);
    uint64_t size = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(fd, record.data(), record.size()));
        if ((size += record.size()) > kFileCap) {
            state.PauseTiming();
            benchmark::DoNotOptimize(ftruncate(fd, 0));
            size = 0;
            state.ResumeTiming();
        }
    }
    g_plain_roots_per_second[n] =
        static_cast<double>(state.iterations()) / (thread_cpu_seconds() - start);
    close(fd);
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(record.size()));
}

void BM_rcall_save(benchmark::State &state) {
    const auto n = static_cast<uint16_t>(state.range(0));
    std::vector<call_record> calls = bench_calls(n, kHour + 1000);
    rcall rc{calls.data(), &calls.back(), nullptr, 0, 7, 0, static_cast<uint16_t>(n + 1)};
    remove_hour_files();
    bench_agent agent;
    uint64_t on_disk = 0, saved = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dbs_rcall_save(&agent.a, &rc));
        saved++;
        if (agent.bytes() > kFileCap) {
            state.PauseTiming();
            on_disk += agent.bytes();
            dbs_agent_mc_close(&agent.a);
            remove_hour_files();
            state.ResumeTiming();
        }
    }
    const double own = static_cast<double>(state.iterations()) / (thread_cpu_seconds() - start);
    on_disk += agent.bytes();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(on_disk));
    state.counters["bytes_per_call"] =
        static_cast<double>(on_disk) / static_cast<double>(saved * (n + 1u));
    const auto plain = g_plain_roots_per_second.find(n);
    if (plain != g_plain_roots_per_second.end())
        state.counters["ratio"] = own / plain->second;
}

double g_one_hour_roots_per_second;

// Root calls of 10 calls each, the i-th to hour i % hours from kHour on.
void BM_rcall_save_hours(benchmark::State &state) {
    const auto hours = static_cast<uint32_t>(state.range(0));
    std::vector<std::vector<call_record>> calls;
    std::vector<rcall> rcs;
    for (uint32_t h = 0; h < hours; h++)
        calls.push_back(bench_calls(10, kHour + h * HOUR_MS + 1000));
    for (std::vector<call_record> &c : calls)
        rcs.push_back(rcall{c.data(), &c.back(), nullptr, 0, 7, 0, 11});
    remove_hour_files(hours);
    bench_agent agent;
    uint64_t i = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dbs_rcall_save(&agent.a, &rcs[i++ % hours]));
        if (agent.bytes() > kFileCap) {
            state.PauseTiming();
            dbs_agent_mc_close(&agent.a);
            remove_hour_files(hours);
            state.ResumeTiming();
        }
    }
    const double own = static_cast<double>(state.iterations()) / (thread_cpu_seconds() - start);
    state.SetItemsProcessed(state.iterations());
    if (hours == 1)
        g_one_hour_roots_per_second = own;
    else if (g_one_hour_roots_per_second > 0)
        state.counters["ratio"] = own / g_one_hour_roots_per_second;
    dbs_agent_mc_close(&agent.a);
    remove_hour_files(hours);
}

// A warm hour file of root calls with 0 to 199 calls each, written once.
const std::string &scan_file() {
    static const std::string path = [] {
        remove_hour_files();
        bench_agent agent;
        for (uint32_t i = 0; agent.bytes() < kScanFileSize; i++) {
            std::vector<call_record> calls =
                bench_calls(static_cast<uint16_t>(i * 37 % 200), kHour + i);
            rcall rc{
                calls.data(), &calls.back(), nullptr, 0, 7, 0, static_cast<uint16_t>(calls.size())};
            dbs_rcall_save(&agent.a, &rc);
        }
        char p[RCALL_PATH_MAX];
        rcall_path(p, kAgent, static_cast<uint32_t>(kHour / DAY_MS), 10, "");
        return std::string(p);
    }();
    return path;
}

void BM_pread_file(benchmark::State &state) {
    int fd = open(scan_file().c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(CSP_SCAN_BUFFER_SIZE);
    int64_t bytes = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        uint64_t offset = 0;
        ssize_t got;
        while ((got = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset))) > 0)
            offset += static_cast<uint64_t>(got);
        bytes += static_cast<int64_t>(offset);
    }
    g_pread_bytes_per_second = static_cast<double>(bytes) / (thread_cpu_seconds() - start);
    close(fd);
    state.SetBytesProcessed(bytes);
}

int count_calls(void *ctx, uint64_t, uint64_t, uint32_t, rcall *rc) {
    *static_cast<uint64_t *>(ctx) += rc->count + 1u;
    return 0;
}

void BM_rcall_scan(benchmark::State &state) {
    int fd = open(scan_file().c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(CSP_SCAN_BUFFER_SIZE);
    const uint64_t range[2] = {0, UINT64_MAX};
    const auto size = static_cast<int64_t>(lseek(fd, 0, SEEK_END));
    uint64_t calls = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state)
        csp_scan_rcall_stack(fd, 0, 0, range, CSP_SCAN_BUFFER_SIZE, buffer.data(), &calls,
                             count_calls);
    const double elapsed = thread_cpu_seconds() - start;
    close(fd);
    const int64_t bytes = size * state.iterations();
    state.SetBytesProcessed(bytes);
    state.counters["calls_per_second"] = static_cast<double>(calls) / elapsed;
    if (g_pread_bytes_per_second > 0)
        state.counters["ratio"] = static_cast<double>(bytes) / elapsed / g_pread_bytes_per_second;
}

void register_rcall_benchmarks() {
    for (int64_t n : {0, 10, 100, 1000}) {
        benchmark::RegisterBenchmark("BM_plain_write", BM_plain_write)->Arg(n);
        benchmark::RegisterBenchmark("BM_rcall_save", BM_rcall_save)->Arg(n);
    }
    benchmark::RegisterBenchmark("BM_rcall_save_hours", BM_rcall_save_hours)->Arg(1)->Arg(3);
    benchmark::RegisterBenchmark("BM_pread_file", BM_pread_file);
    benchmark::RegisterBenchmark("BM_rcall_scan", BM_rcall_scan);
}

} // namespace

int main(int argc, char **argv) {
    char mc[128];
    snprintf(mc, sizeof mc, "storage.db/data/%016lX/mc", kAgent);
    register_rcall_benchmarks();
    return bench_main_in_dir(argc, argv, mc);
}
