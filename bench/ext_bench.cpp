// Extension blocks: the builder (ext_buf_add/finish) and the reader (ext_iterate_exts over a
// file) on about 4 MB of generated parameter entries, each beside LZ4 alone on the same bytes.
// The LZ4 run goes first and leaves its throughput behind; the builder's and the reader's
// runs report their own throughput divided by it as "ratio". Throughput counts payload bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <lz4.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "database/store/ext.h"

namespace {

struct Corpus {
    std::vector<std::string> entries; // entry data as agents send it
    std::vector<uint8_t> payload;     // the same entries with their heads, back to back
    std::vector<uint8_t> blob;        // what the builder makes of them
};

// Key/value lists like those of web requests: a few keys, values that repeat in part.
const Corpus &corpus() {
    static const Corpus built = [] {
        Corpus c;
        unsigned seed = 12345;
        while (c.payload.size() < (4u << 20)) {
            seed = seed * 1103515245u + 12345u;
            char buf[512];
#define SEP "\x1E"
            int n = snprintf(buf, sizeof buf,
                             "%c%c"
                             "url" SEP "/shop/cart/%u/items" SEP "user" SEP "customer-%u" SEP
                             "session" SEP "%08X%08X" SEP "query" SEP "sku=%u&qty=%u",
                             0, 0, seed % 5000, seed % 977, seed, seed ^ 0x5bd1e995u, seed % 100000,
                             seed % 9);
#undef SEP
            std::string data(buf, static_cast<size_t>(n));
            data[0] = static_cast<char>((n - 2) >> 8);
            data[1] = static_cast<char>(n - 2);
            const uint16_t len = static_cast<uint16_t>(data.size());
            const uint8_t head[6] = {
                0, 0, 0, 2, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
            c.payload.insert(c.payload.end(), head, head + 6);
            c.payload.insert(c.payload.end(), data.begin(), data.end());
            c.entries.push_back(std::move(data));
        }
        std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
        ext_buf *b = ext_buf_new();
        uint32_t grown = 0, length = 0;
        for (const std::string &e : c.entries)
            ext_buf_add(&b, &grown, scratch.data(), 2, 0, e.data(),
                        static_cast<uint16_t>(e.size()));
        const uint8_t *blob = ext_buf_finish(&b, &length, &grown, scratch.data());
        c.blob.assign(blob, blob + length);
        ext_buf_free(b);
        return c;
    }();
    return built;
}

double baseline_bytes_per_second[2];

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs `fn` once per iteration; returns the payload bytes per second achieved.
template <typename Fn> double bench_payload(benchmark::State &state, Fn fn) {
    const double start = thread_cpu_seconds();
    for (auto _ : state)
        fn();
    const double elapsed = thread_cpu_seconds() - start;
    const int64_t bytes = state.iterations() * static_cast<int64_t>(corpus().payload.size());
    state.SetBytesProcessed(bytes);
    return static_cast<double>(bytes) / elapsed;
}

void report_ratio(benchmark::State &state, double own, int baseline) {
    if (baseline_bytes_per_second[baseline] > 0)
        state.counters["ratio"] = own / baseline_bytes_per_second[baseline];
}

void BM_lz4_compress(benchmark::State &state) {
    const std::vector<uint8_t> &p = corpus().payload;
    std::vector<char> out(EXT_BLOCK_MAX);
    baseline_bytes_per_second[0] = bench_payload(state, [&] {
        for (size_t at = 0; at < p.size(); at += EXT_BLOCK_MAX) {
            const size_t n = std::min<size_t>(EXT_BLOCK_MAX, p.size() - at);
            benchmark::DoNotOptimize(
                LZ4_compress_default(reinterpret_cast<const char *>(p.data() + at), out.data(),
                                     static_cast<int>(n), static_cast<int>(out.size())));
        }
    });
}

void BM_ext_builder(benchmark::State &state) {
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    ext_buf *b = ext_buf_new();
    const double own = bench_payload(state, [&] {
        uint32_t grown = 0, length = 0, held = 0;
        for (const std::string &e : corpus().entries)
            ext_buf_add(&b, &grown, scratch.data(), 2, 0, e.data(),
                        static_cast<uint16_t>(e.size()));
        benchmark::DoNotOptimize(ext_buf_finish(&b, &length, &grown, scratch.data()));
        b = ext_buf_reset(b, &held);
    });
    ext_buf_free(b);
    report_ratio(state, own, 0);
}

void BM_lz4_decompress(benchmark::State &state) {
    const std::vector<uint8_t> &blob = corpus().blob;
    std::vector<char> out(EXT_BLOCK_MAX);
    baseline_bytes_per_second[1] = bench_payload(state, [&] {
        for (size_t at = 0; at < blob.size();) {
            const uint8_t *h = blob.data() + at;
            const int raw = h[0] << 24 | h[1] << 16 | h[2] << 8 | h[3];
            const int stored = h[4] << 24 | h[5] << 16 | h[6] << 8 | h[7];
            benchmark::DoNotOptimize(LZ4_decompress_safe(
                reinterpret_cast<const char *>(h + EXT_HEADER_SIZE), out.data(), stored, raw));
            at += EXT_HEADER_SIZE + static_cast<size_t>(stored);
        }
    });
}

int count_entry(void *ctx, uint16_t, uint16_t, const uint8_t *, uint16_t) {
    ++*static_cast<size_t *>(ctx);
    return 0;
}

void BM_ext_iterate(benchmark::State &state) {
    char path[] = "/tmp/korvane-ext-bench-XXXXXX";
    const int fd = mkstemp(path);
    const std::vector<uint8_t> &blob = corpus().blob;
    if (fd < 0 || write(fd, blob.data(), blob.size()) != static_cast<ssize_t>(blob.size())) {
        state.SkipWithError("cannot write the bench file");
        return;
    }
    unlink(path);
    std::vector<uint8_t> buffer(EXT_READER_BUFFER_SIZE);
    const double own = bench_payload(state, [&] {
        size_t n = 0;
        ext_iterate_exts(fd, 0, 0, buffer.data(), &n, count_entry);
        benchmark::DoNotOptimize(n);
    });
    close(fd);
    report_ratio(state, own, 1);
}

} // namespace

BENCHMARK(BM_lz4_compress);
BENCHMARK(BM_ext_builder);
BENCHMARK(BM_lz4_decompress);
BENCHMARK(BM_ext_iterate);

BENCHMARK_MAIN();
