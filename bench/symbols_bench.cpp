// Symbol map lookups against hashing the name alone (a lookup hashes once and scans one
// bucket), and the load of a symbol file at open.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/symbols.h"
#include "lib/files.h"
#include "lib/murmur3.h"

namespace {

constexpr int kSymbols = 100000;

std::string method_name(int i) {
    return "com.example.service.Handler" + std::to_string(i) + ".run";
}

// A symbol file of kSymbols class names in a temporary working directory, made once.
struct Fixture {
    std::vector<std::string> names;
    smap *map = nullptr;
    std::string dir = sys_make_scratch_dir("korvane-bench");

    Fixture() {
        if (dir.empty() || chdir(dir.c_str()) != 0)
            abort();
        mkdir("storage.db", 0700);
        mkdir("storage.db/symbols", 0700);
        symbols_create(SYM_CLASS);
        map = symbols_open(SYM_CLASS);
        for (int i = 0; i < kSymbols; i++) {
            names.push_back(method_name(i));
            smap_store(map, static_cast<uint16_t>(names.back().size()), names.back().data());
        }
    }
    ~Fixture() {
        smap_close(map);
        sys_remove_scratch_dir(dir.c_str());
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

// Each call takes one of the stored names in turn: the baseline hashes it, the map
// operations look it up (a store of a known name appends nothing).
uint64_t hash_name(smap *, uint16_t len, const char *name) {
    return murmur3_hash64(name, len);
}

template <auto op> void BM_by_name(benchmark::State &state) {
    Fixture &f = fixture();
    size_t i = 0;
    for (auto _ : state) {
        const std::string &n = f.names[i++ % f.names.size()];
        benchmark::DoNotOptimize(op(f.map, static_cast<uint16_t>(n.size()), n.data()));
    }
}

void BM_smap_get_name(benchmark::State &state) {
    Fixture &f = fixture();
    uint32_t id = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(smap_get_name(f.map, id));
        id = id % (kSymbols * 3) + 1;
    }
}

void BM_symbols_open(benchmark::State &state) {
    fixture();
    for (auto _ : state) {
        smap *m = symbols_open(SYM_CLASS);
        benchmark::DoNotOptimize(m);
        smap_close(m);
    }
    state.SetItemsProcessed(state.iterations() * kSymbols);
}

BENCHMARK(BM_by_name<hash_name>)->Name("BM_hash_name");
BENCHMARK(BM_by_name<smap_find_id>)->Name("BM_smap_find_id");
BENCHMARK(BM_by_name<smap_store>)->Name("BM_smap_store_known");
BENCHMARK(BM_smap_get_name);
BENCHMARK(BM_symbols_open)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
