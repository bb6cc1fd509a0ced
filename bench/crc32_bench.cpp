// crc32_calc beside zlib's crc32 on the same buffers. zlib runs first for each size and leaves
// its throughput behind; the crc32_calc run of that size reports its own throughput divided
// by zlib's as the counter "ratio".
#include <benchmark/benchmark.h>

#include "bench/bench_main.h"
#include <zlib.h>

#include <cstdint>
#include <map>
#include <random>
#include <time.h>
#include <vector>

#include "lib/crc32.h"

namespace {

const int64_t kSizes[] = {12, 4 << 10, 64 << 10, 4 << 20};

std::map<int64_t, double> zlib_bytes_per_second;

std::vector<unsigned char> bench_buffer(int64_t size) {
    std::mt19937 gen(7);
    std::vector<unsigned char> buf(static_cast<size_t>(size));
    for (auto &b : buf)
        b = static_cast<unsigned char>(gen());
    return buf;
}

// CPU time of this thread in seconds, the clock the reported throughput is based on.
double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs the timed loop over `fn(buffer)` and returns the bytes per second it achieved.
template <typename Fn> double bench_run(benchmark::State &state, Fn fn) {
    const std::vector<unsigned char> buf = bench_buffer(state.range(0));
    const double start = thread_cpu_seconds();
    for (auto _ : state)
        benchmark::DoNotOptimize(fn(buf));
    const double elapsed = thread_cpu_seconds() - start;
    const int64_t bytes = state.iterations() * state.range(0);
    state.SetBytesProcessed(bytes);
    return static_cast<double>(bytes) / elapsed;
}

void BM_zlib_crc32(benchmark::State &state) {
    zlib_bytes_per_second[state.range(0)] =
        bench_run(state, [](const std::vector<unsigned char> &buf) {
            return crc32(0, buf.data(), static_cast<uInt>(buf.size()));
        });
}

void BM_crc32_calc(benchmark::State &state) {
    const double own = bench_run(state, [](const std::vector<unsigned char> &buf) {
        return crc32_calc(buf.data(), buf.size());
    });
    const auto zlib = zlib_bytes_per_second.find(state.range(0));
    if (zlib != zlib_bytes_per_second.end())
        state.counters["ratio"] = own / zlib->second;
}

void register_crc32_benchmarks() {
    for (int64_t size : kSizes) {
        benchmark::RegisterBenchmark("BM_zlib_crc32", BM_zlib_crc32)->Arg(size);
        benchmark::RegisterBenchmark("BM_crc32_calc", BM_crc32_calc)->Arg(size);
    }
}

} // namespace

int main(int argc, char **argv) {
    register_crc32_benchmarks();
    return bench_run(argc, argv);
}
