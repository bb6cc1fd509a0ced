// Key/value staging against a plain buffered write of the same bytes, in the same directory
// and the same run.
//
// BM_plain_write appends one 32-byte record per sample to a stdio stream; BM_kv_save stages
// samples with dbs_kv_save, rotating the stage every 501 records (the rotated file is
// removed outside the timed part, standing in for the maintainer). The staging reports
// "ratio": its samples per second over the plain writes'.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <time.h>
#include <unistd.h>

#include "database/store/dbs.h"
#include "database/store/kv.h"
#include "lib/files.h"

namespace {

constexpr uint64_t kAgent = 0xBE4C400000000002;
constexpr uint64_t kTime = 19783ull * DAY_MS;
// The plain file is emptied (outside the timed part) when it passes this size.
constexpr long kFileCap = 256l << 20;

std::string g_dir;
double g_plain_samples_per_second;

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string stages_path(const char *name) {
    char buf[128];
    snprintf(buf, sizeof buf, "storage.db/data/%016lX/kv/stages/%s", kAgent, name);
    return buf;
}

void BM_plain_write(benchmark::State &state) {
    const std::string path = stages_path("plain");
    FILE *f = fopen(path.c_str(), "w");
    uint64_t i = 0;
    double paused = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        const kv_stage_rec rec{kAgent, kTime + i, i, 7};
        benchmark::DoNotOptimize(fwrite(&rec, sizeof rec, 1, f));
        if (++i % 4096 == 0 && ftell(f) > kFileCap) {
            const double pause_start = thread_cpu_seconds();
            state.PauseTiming();
            f = freopen(path.c_str(), "w", f);
            state.ResumeTiming();
            paused += thread_cpu_seconds() - pause_start;
        }
    }
    g_plain_samples_per_second =
        static_cast<double>(state.iterations()) / (thread_cpu_seconds() - start - paused);
    fclose(f);
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(kv_stage_rec)));
}

void BM_kv_save(benchmark::State &state) {
    dbs_agent a{};
    a.id = kAgent;
    a.mc.data_fd = -1;
    a.mc.ext_fd = -1;
    const std::string unstage = stages_path("unstage");
    uint64_t i = 0;
    double paused = 0;
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dbs_kv_save(&a, 7, kTime + i, i));
        i++;
        if (a.kv.unstage_pending.load(std::memory_order_relaxed) == 1) {
            const double pause_start = thread_cpu_seconds();
            state.PauseTiming();
            unlink(unstage.c_str());
            a.kv.unstage_pending.store(0);
            state.ResumeTiming();
            paused += thread_cpu_seconds() - pause_start;
        }
    }
    const double own =
        static_cast<double>(state.iterations()) / (thread_cpu_seconds() - start - paused);
    dbs_agent_kv_close(nullptr, &a);
    unlink(stages_path("stage").c_str());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(kv_stage_rec)));
    if (g_plain_samples_per_second > 0)
        state.counters["ratio"] = own / g_plain_samples_per_second;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

// A store directory of its own under $TMPDIR (or /tmp), made the working directory.
bool enter_store_dir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/korvane-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr || chdir(tmpl.c_str()) != 0)
        return false;
    g_dir = tmpl;
    return sys_mkdirs(stages_path("").c_str()) == 0;
}

} // namespace

BENCHMARK(BM_plain_write);
BENCHMARK(BM_kv_save);

int main(int argc, char **argv) {
    if (!enter_store_dir()) {
        perror("bench directory");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    nftw(g_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
