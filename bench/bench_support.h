// Helpers of the benchmark programs: the thread's CPU clock and a store directory of their own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <time.h>
#include <unistd.h>

// CPU seconds the calling thread has used.
inline double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Makes a new directory under $TMPDIR (or /tmp) the working directory; its path goes to *dir.
inline bool bench_enter_temp_dir(std::string *dir) {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/korvane-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr || chdir(tmpl.c_str()) != 0)
        return false;
    *dir = tmpl;
    return true;
}

// Removes the directory and everything below it.
inline void bench_remove_tree(const std::string &dir) {
    auto remove_entry = [](const char *path, const struct stat *, int, struct FTW *) {
        remove(path);
        return 0;
    };
    nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
