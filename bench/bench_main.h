// The common body of a benchmark program's main: run what the command line selects.
#pragma once

#include <benchmark/benchmark.h>

// 0 after running the selected benchmarks, 1 when the command line holds unknown arguments.
inline int bench_run(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
