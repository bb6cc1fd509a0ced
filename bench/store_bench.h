// Shared by the store benchmarks: the CPU time of the running thread, the monotonic clock, and
// a store directory of their own that is the working directory while they run.
#pragma once

#include <benchmark/benchmark.h>

#include "bench/bench_main.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>
#include <unistd.h>

#include "lib/files.h"

inline double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double bench_wall_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs the registered benchmarks with a fresh directory under $TMPDIR (or /tmp) as the
// working directory, `subdir` (with its parents) created in it; removes it afterwards.
// The exit status for main.
inline int bench_main_in_dir(int argc, char **argv, const char *subdir) {
    const std::string dir = sys_make_scratch_dir("korvane-bench");
    if (dir.empty() || chdir(dir.c_str()) != 0 || sys_mkdirs(subdir) != 0) {
        perror("bench directory");
        return 1;
    }
    int rc = bench_run(argc, argv);
    sys_remove_scratch_dir(dir.c_str());
    return rc;
}
