// Dumping and extracting a store of about 256 MiB of page-cached files, against a plain copy
// of the same files through one 4 MiB buffer, in the same run.
//
// Argument K: 0 store-like files (hour files of recurring call stacks, extension files,
// which hold LZ4 blocks already, and key/value day files), 1 incompressible bytes.
// BM_plain_copy/K reads every file into the buffer and appends it to one output file;
// BM_dbs_dump/K writes an archive of the whole store; BM_dbs_extract/K extracts that archive
// into a fresh directory (decompression into the temporary file, then the copy into the
// files). All count file bytes per second of the thread's CPU time (system time included),
// measured around the operation alone; removing the output is not timed. The machine is
// shared, so each dump or extraction iteration also runs a plain copy just before it,
// untimed: "ratio" is the median over the iterations of the plain copy's time over the
// operation's. The dump also reports "size_ratio", archive bytes over file bytes. Progress
// bars go to /dev/null.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/archive.h"
#include "database/store/archive_extract.h"
#include "database/store/dbs.h"
#include "lib/files.h"
#include "lib/io.h"
#include "store_bench.h"

namespace {

constexpr size_t kFileSize = 16u << 20;
constexpr int kFiles = 16; // 256 MiB per store
constexpr size_t kCopyBuffer = 4u << 20;
constexpr const char *kAgentDir = "storage.db/data/00000000000000A1";

constexpr int kIterations = 5;

// The benchmark directory, where the stores are laid out: the working directory the
// benchmarks start in.
const std::string &base_dir() {
    static const std::string dir = [] {
        char buf[4096];
        return std::string(getcwd(buf, sizeof buf) != nullptr ? buf : ".");
    }();
    return dir;
}

void put_be(std::vector<uint8_t> &out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One call of a recurring stack: what stays the same each time the code path runs.
struct stack_call {
    uint32_t cls, method, dur;
    uint16_t depth;
};

// About `n` bytes of an hour file: root calls (the 96-byte head, then the calls) of a few
// dozen code paths that recur with growing times and durations that vary a little, as an
// application's traces do.
std::vector<uint8_t> hour_file(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::vector<stack_call>> paths(48);
    for (auto &path : paths) {
        const uint32_t calls = 2 + rng() % 14;
        for (uint32_t i = 0; i < calls; i++)
            path.push_back(
                {static_cast<uint32_t>(1 + rng() % 300), static_cast<uint32_t>(1 + rng() % 900),
                 static_cast<uint32_t>(1 + rng() % 200), static_cast<uint16_t>(1 + rng() % 12)});
    }
    std::vector<uint8_t> out;
    out.reserve(n + 65536);
    uint64_t t = 19783ull * DAY_MS + seed * HOUR_MS;
    auto record = [&](const stack_call &c, uint32_t order, uint16_t flags) {
        put_be(out, t + order, 8);
        put_be(out, 0, 8);
        put_be(out, 0, 4);
        put_be(out, c.cls, 4);
        put_be(out, c.method, 4);
        put_be(out, 0, 4);
        put_be(out, order, 4);
        put_be(out, c.dur / 2, 4);
        put_be(out, c.dur + rng() % 8, 4);
        put_be(out, c.depth, 2);
        put_be(out, flags, 2);
    };
    while (out.size() < n) {
        // A few paths are hot, most are rare.
        const auto &path = paths[rng() % 8 == 0 ? rng() % paths.size() : rng() % 6];
        t += 1 + rng() % 20;
        record(path.back(), 0, 1);
        put_be(out, 0, 8);
        put_be(out, 0, 4);
        put_be(out, 1 + rng() % 16, 4);
        put_be(out, 0, 2);
        put_be(out, path.size() - 1, 2);
        out.insert(out.end(), {'_', 'S', 'P', 'R', 'I', 'N', 'V', '_'});
        out.resize(out.size() + 20, 0);
        for (uint32_t i = 0; i + 1 < path.size(); i++)
            record(path[i], i + 1, 0);
    }
    out.resize(n);
    return out;
}

// About `n` bytes of a key/value day file: a sample every 5 seconds of a slowly moving value.
std::vector<uint8_t> kv_file(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    out.reserve(n + 16);
    uint64_t t = 19783ull * DAY_MS, v = 1u << 30;
    while (out.size() < n) {
        put_be(out, t += 5000, 8);
        put_be(out, v += rng() % 4096 - 2048, 8);
    }
    out.resize(n);
    return out;
}

// Symbol records of generated names.
std::vector<uint8_t> symbol_file(size_t n) {
    std::vector<uint8_t> out(16, 0);
    memcpy(out.data(), "KORVANE", 7);
    for (uint32_t i = 0; out.size() < n; i++) {
        const std::string name =
            "org.example.app.module" + std::to_string(i % 37) + ".Service" + std::to_string(i);
        put_be(out, 0x001E001E, 4);
        put_be(out, name.size(), 2);
        out.insert(out.end(), name.begin(), name.end());
        out.resize((out.size() + 15) / 16 * 16, 0);
    }
    return out;
}

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = rng();
        memcpy(&out[i], &v, 8);
    }
    return out;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || io_write_all(fd, bytes.data(), bytes.size()) != 0) {
        perror(path.c_str());
        exit(1);
    }
    close(fd);
}

// "store<K>" with a store of kFiles hour files of kind K, the agent's identity and the four
// symbol files; made once. Returns its directory.
std::string store_dir(int64_t kind) {
    const std::string dir = base_dir() + "/store" + std::to_string(kind);
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return dir;
    const std::string mc = dir + "/" + kAgentDir + "/mc";
    sys_mkdirs(mc.c_str());
    sys_mkdirs((dir + "/storage.db/symbols").c_str());
    std::vector<uint8_t> identity(64, 0);
    identity[0] = 2;
    memcpy(&identity[1], "bench-agent", 11);
    write_bytes(dir + "/" + kAgentDir + "/korvane.id", identity);
    for (const char *sym : {"thr", "cls", "mth", "kvs"})
        write_bytes(dir + "/storage.db/symbols/" + sym, symbol_file(256 << 10));
    // Store-like: hour files, their extension files (LZ4 blocks already, so incompressible)
    // and key/value day files in the proportions of a busy agent; else noise throughout.
    sys_mkdirs((dir + "/" + kAgentDir + "/kv").c_str());
    for (int h = 0; h < kFiles; h++) {
        const std::string hour = std::to_string(h);
        if (kind != 0)
            write_bytes(mc + "/19783." + hour, noise(kFileSize, h));
        else if (h < 11)
            write_bytes(mc + "/19783." + hour, hour_file(kFileSize, h));
        else if (h < 14)
            write_bytes(mc + "/19783." + std::to_string(h - 11) + ".x", noise(kFileSize, h));
        else
            write_bytes(dir + "/" + kAgentDir + "/kv/19783." + hour, kv_file(kFileSize, h));
    }
    return dir;
}

uint64_t store_bytes(const std::string &dir) {
    uint64_t total = 0;
    sys_foreach_file((dir + "/storage.db").c_str(), &total,
                     [](void *ctx, const char *, const char *, uint64_t size) {
                         *static_cast<uint64_t *>(ctx) += size;
                         return 0;
                     });
    return total;
}

// Runs fn with standard output on /dev/null: the progress bars are not part of the report.
template <typename Fn> auto quietly(Fn fn) {
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    auto result = fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return result;
}

// Thread CPU seconds that fn takes.
template <typename Fn> double cpu_seconds(Fn fn) {
    const double t0 = thread_cpu_seconds();
    fn();
    return thread_cpu_seconds() - t0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Appends every regular file below `dir` to `out` through one buffer.
int plain_copy(const std::string &dir, int out, std::vector<uint8_t> &buf) {
    struct copy_ctx {
        int out;
        std::vector<uint8_t> *buf;
        int rc;
    } ctx{out, &buf, 0};
    sys_foreach_file(dir.c_str(), &ctx, [](void *p, const char *, const char *path, uint64_t) {
        auto *c = static_cast<copy_ctx *>(p);
        const int in = open(path, O_RDONLY);
        ssize_t n;
        while ((n = read(in, c->buf->data(), c->buf->size())) > 0) {
            if (io_write_all(c->out, c->buf->data(), static_cast<size_t>(n)) != 0)
                c->rc = -1;
        }
        close(in);
        return 0;
    });
    return ctx.rc;
}

std::string plain_out() {
    return base_dir() + "/plain.out";
}

// A plain copy of the store at `dir` into plain_out(): its CPU seconds.
double timed_plain_copy(const std::string &dir, benchmark::State &state) {
    static std::vector<uint8_t> buf(kCopyBuffer);
    const int out = open(plain_out().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const double s = cpu_seconds([&] {
        if (plain_copy(dir + "/storage.db", out, buf) != 0)
            state.SkipWithError("copy failed");
    });
    close(out);
    return s;
}

// Runs fn with the benchmark's timers stopped.
template <typename Fn> void untimed(benchmark::State &state, Fn fn) {
    state.PauseTiming();
    fn();
    state.ResumeTiming();
}

void BM_plain_copy(benchmark::State &state) {
    const std::string dir = store_dir(state.range(0));
    for (auto _ : state) {
        state.SetIterationTime(timed_plain_copy(dir, state));
        untimed(state, [] { unlink(plain_out().c_str()); });
    }
    state.SetBytesProcessed(static_cast<int64_t>(store_bytes(dir)) * state.iterations());
}

std::string archive_path(int64_t kind) {
    return base_dir() + "/dump" + std::to_string(kind) + ".arch";
}

// A dump of the store at `dir` into a new archive: its CPU seconds.
double timed_dump(const std::string &dir, const std::string &archive, benchmark::State &state) {
    if (chdir(dir.c_str()) != 0)
        state.SkipWithError("chdir");
    const double s = cpu_seconds([&] {
        if (quietly([&] { return dbs_dump(archive.c_str(), 0, 0, nullptr, 0); }) != 0)
            state.SkipWithError("dump failed");
    });
    (void)!chdir(base_dir().c_str());
    return s;
}

// A plain copy of the store just before the measured operation, untimed: its CPU seconds.
double baseline(const std::string &dir, benchmark::State &state) {
    double s = 0;
    untimed(state, [&] {
        s = timed_plain_copy(dir, state);
        unlink(plain_out().c_str());
    });
    return s;
}

void BM_dbs_dump(benchmark::State &state) {
    const std::string dir = store_dir(state.range(0));
    const std::string archive = archive_path(state.range(0));
    std::vector<double> ratios;
    for (auto _ : state) {
        const double plain = baseline(dir, state);
        untimed(state, [&] { unlink(archive.c_str()); });
        const double own = timed_dump(dir, archive, state);
        state.SetIterationTime(own);
        ratios.push_back(plain / own);
    }
    const uint64_t bytes = store_bytes(dir);
    struct stat st;
    const double archive_size =
        stat(archive.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0;
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["ratio"] = median(ratios);
    state.counters["size_ratio"] = archive_size / static_cast<double>(bytes);
}

void BM_dbs_extract(benchmark::State &state) {
    const std::string dir = store_dir(state.range(0));
    const std::string archive = archive_path(state.range(0));
    const std::string out = base_dir() + "/extract" + std::to_string(state.range(0));
    struct stat st;
    if (stat(archive.c_str(), &st) != 0)
        timed_dump(dir, archive, state);
    std::vector<double> ratios;
    for (auto _ : state) {
        const double plain = baseline(dir, state);
        untimed(state, [&] { sys_mkdirs(out.c_str()); });
        if (chdir(out.c_str()) != 0) {
            state.SkipWithError("chdir");
            break;
        }
        const double own = cpu_seconds([&] {
            if (quietly([&] { return dbs_extract(archive.c_str()); }) != 0)
                state.SkipWithError("extraction failed");
        });
        state.SetIterationTime(own);
        ratios.push_back(plain / own);
        untimed(state, [&] {
            (void)!chdir(base_dir().c_str());
            // The removal passes over names beginning with "."; the version file is one.
            unlink((out + "/storage.db/.database").c_str());
            sys_rmtree(out.c_str());
        });
    }
    state.SetBytesProcessed(static_cast<int64_t>(store_bytes(dir)) * state.iterations());
    state.counters["ratio"] = median(ratios);
}

} // namespace

BENCHMARK(BM_plain_copy)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dbs_dump)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dbs_extract)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    return bench_main_in_dir(argc, argv, ".");
}
