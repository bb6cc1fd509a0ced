// pattern_match over 1,000,000 generated method names, one pass per iteration, for each kind
// of pattern. The baseline over the same names runs first and leaves its throughput behind: a
// plain strstr or strcmp loop for substrings and exact names, regexec on the pattern's own
// compiled expression for regular expressions. Each pattern run reports its own throughput
// divided by the baseline's as "ratio".
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <time.h>
#include <vector>

#include "lib/pattern.h"

namespace {

constexpr size_t kNames = 1000000;

struct NameSet {
    std::vector<std::string> names;
    int64_t bytes = 0;
};

// Names shaped like the methods of a Java application: package, class and method parts.
const NameSet &bench_names() {
    static const NameSet set = [] {
        static const char *const packages[] = {"org.app", "com.shop.cart", "net.example.io",
                                               "org.apache.http.impl"};
        static const char *const verbs[] = {"get", "set", "handle", "process", "toString"};
        NameSet s;
        s.names.reserve(kNames);
        char buf[128];
        for (size_t i = 0; i < kNames; ++i) {
            snprintf(buf, sizeof buf, "%s.Service%zu.%s%zu", packages[i % 4], i % 997, verbs[i % 5],
                     i % 101);
            s.names.emplace_back(buf);
            s.bytes += static_cast<int64_t>(s.names.back().size());
        }
        return s;
    }();
    return set;
}

std::map<std::string, double> baseline_bytes_per_second;

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs `match` over every name once per iteration; returns the bytes per second achieved.
template <typename Fn> double bench_pass(benchmark::State &state, Fn match) {
    const NameSet &set = bench_names();
    const double start = thread_cpu_seconds();
    for (auto _ : state) {
        size_t hits = 0;
        for (const std::string &n : set.names)
            hits += match(n.c_str()) == 0;
        benchmark::DoNotOptimize(hits);
    }
    const double elapsed = thread_cpu_seconds() - start;
    const int64_t bytes = state.iterations() * set.bytes;
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kNames));
    return static_cast<double>(bytes) / elapsed;
}

struct PatternBench {
    const char *label;
    int kind;
    const char *text;
    bool exact_baseline; // strcmp rather than strstr as the baseline
};

const PatternBench kBenches[] = {
    {"substring", PATTERN_SUBSTRING, "Service42.", false},
    {"exact", PATTERN_EXACT, "org.app.Service42.get42", true},
    {"regex", PATTERN_REGEX, "^org\\.app\\..*\\.get[0-9]+$", false},
    {"regex_group", PATTERN_REGEX, "Service(4[0-9])\\.", false},
};

void BM_baseline(benchmark::State &state, const PatternBench &b) {
    if (b.kind != PATTERN_REGEX) {
        baseline_bytes_per_second[b.label] =
            b.exact_baseline ? bench_pass(state, [&](const char *n) { return strcmp(n, b.text); })
                             : bench_pass(state, [&](const char *n) { return !strstr(n, b.text); });
        return;
    }
    // regexec on the very expression the pattern compiled, asking for the group's bounds
    // when it has one, as the pattern must.
    pattern *p = pattern_create(b.text, b.kind);
    if (p == nullptr) {
        state.SkipWithError("pattern refused");
        return;
    }
    const size_t groups = p->re.re_nsub == 0 ? 0 : 2;
    regmatch_t m[2];
    baseline_bytes_per_second[b.label] =
        bench_pass(state, [&](const char *n) { return regexec(&p->re, n, groups, m, 0); });
    pattern_free(p);
}

void BM_pattern_match(benchmark::State &state, const PatternBench &b) {
    pattern *p = pattern_create(b.text, b.kind);
    if (p == nullptr) {
        state.SkipWithError("pattern refused");
        return;
    }
    const double own = bench_pass(state, [&](const char *n) { return pattern_match(p, n); });
    pattern_free(p);
    const auto base = baseline_bytes_per_second.find(b.label);
    if (base != baseline_bytes_per_second.end())
        state.counters["ratio"] = own / base->second;
}

} // namespace

BENCHMARK_CAPTURE(BM_baseline, substring, kBenches[0]);
BENCHMARK_CAPTURE(BM_pattern_match, substring, kBenches[0]);
BENCHMARK_CAPTURE(BM_baseline, exact, kBenches[1]);
BENCHMARK_CAPTURE(BM_pattern_match, exact, kBenches[1]);
BENCHMARK_CAPTURE(BM_baseline, regex, kBenches[2]);
BENCHMARK_CAPTURE(BM_pattern_match, regex, kBenches[2]);
BENCHMARK_CAPTURE(BM_baseline, regex_group, kBenches[3]);
BENCHMARK_CAPTURE(BM_pattern_match, regex_group, kBenches[3]);

BENCHMARK_MAIN();
