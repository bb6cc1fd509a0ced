// Key/value staging against a plain buffered write of the same bytes, in the same directory
// and the same run.
//
// BM_plain_write appends one 32-byte record per sample to a stdio stream; BM_kv_save stages
// samples with dbs_kv_save, rotating the stage every 501 records (the rotated file is
// removed outside the timed part, standing in for the maintainer). The staging reports
// "ratio": its samples per second over the plain writes'. What staging costs beyond the
// write is the rotation: a rename and a new stage file every 501 samples, whose creation
// is expensive on a journalling file system.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "database/store/dbs.h"
#include "database/store/kv.h"
#include "store_bench.h"

namespace {

constexpr uint64_t kAgent = 0xBE4C400000000002;
constexpr uint64_t kTime = 19783ull * DAY_MS;
// The plain file is emptied (outside the timed part) when it passes this size.
constexpr long kFileCap = 256l << 20;

double g_plain_samples_per_second;

// CPU time of the timed loop less what its untimed steps took.
struct timed_loop {
    double start = thread_cpu_seconds();
    double paused = 0;

    template <typename Step> void untimed(benchmark::State &state, Step step) {
        const double t = thread_cpu_seconds();
        state.PauseTiming();
        step();
        state.ResumeTiming();
        paused += thread_cpu_seconds() - t;
    }
    double rate(benchmark::State &state) const {
        return static_cast<double>(state.iterations()) / (thread_cpu_seconds() - start - paused);
    }
};

std::string stages_path(const char *name) {
    char buf[128];
    snprintf(buf, sizeof buf, "storage.db/data/%016lX/kv/stages/%s", kAgent, name);
    return buf;
}

void BM_plain_write(benchmark::State &state) {
    const std::string path = stages_path("plain");
    FILE *f = fopen(path.c_str(), "w");
    uint64_t i = 0;
    timed_loop loop;
    for (auto _ : state) {
        const kv_stage_rec rec{kAgent, kTime + i, i, 7};
        benchmark::DoNotOptimize(fwrite(&rec, sizeof rec, 1, f));
        if (++i % 4096 == 0 && ftell(f) > kFileCap)
            loop.untimed(state, [&] { f = freopen(path.c_str(), "w", f); });
    }
    g_plain_samples_per_second = loop.rate(state);
    fclose(f);
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(kv_stage_rec)));
}

void BM_kv_save(benchmark::State &state) {
    dbs_agent a{};
    dbs_agent_init(&a, kAgent);
    const std::string unstage = stages_path("unstage");
    uint64_t i = 0;
    timed_loop loop;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dbs_kv_save(&a, 7, kTime + i, i));
        i++;
        if (a.kv.unstage_pending.load(std::memory_order_relaxed) == 1) {
            loop.untimed(state, [&] {
                unlink(unstage.c_str());
                a.kv.unstage_pending.store(0);
            });
        }
    }
    const double own = loop.rate(state);
    dbs_agent_kv_close(nullptr, &a);
    unlink(stages_path("stage").c_str());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(kv_stage_rec)));
    if (g_plain_samples_per_second > 0)
        state.counters["ratio"] = own / g_plain_samples_per_second;
}

} // namespace

BENCHMARK(BM_plain_write);
BENCHMARK(BM_kv_save);

int main(int argc, char **argv) {
    return bench_main_in_dir(argc, argv, stages_path("").c_str());
}
