// murmur3_hash64 over the sizes it meets: identity and name records up to 128 bytes, and a
// large buffer for the bulk rate.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "lib/murmur3.h"

namespace {

void BM_murmur3_hash64(benchmark::State &state) {
    std::vector<unsigned char> buf(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < buf.size(); i++)
        buf[i] = static_cast<unsigned char>(i * 131 + 7);
    const auto len = static_cast<uint32_t>(buf.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(murmur3_hash64(buf.data(), len));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_murmur3_hash64)->Arg(16)->Arg(64)->Arg(128)->Arg(1 << 20);

} // namespace

BENCHMARK_MAIN();
