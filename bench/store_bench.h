// Shared by the store benchmarks: the CPU time of the running thread, the monotonic clock, and
// a store directory of their own that is the working directory while they run.
#pragma once

#include <benchmark/benchmark.h>

#include "bench/bench_main.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
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

// Removes the directory and everything below it, names beginning with "." included.
inline void bench_remove_dir(const char *dir) {
    auto remove_entry = [](const char *path, const struct stat *, int, struct FTW *) {
        remove(path);
        return 0;
    };
    nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Runs the registered benchmarks with a fresh directory under $TMPDIR (or /tmp) as the
// working directory, `subdir` (with its parents) created in it; removes it afterwards.
// The exit status for main.
inline int bench_main_in_dir(int argc, char **argv, const char *subdir) {
    const char *base = getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/korvane-bench-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0 || sys_mkdirs(subdir) != 0) {
        perror("bench directory");
        return 1;
    }
    int rc = bench_run(argc, argv);
    bench_remove_dir(dir.c_str());
    return rc;
}
