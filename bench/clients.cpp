// Client load driver: lays out a Database environment in a temporary directory, runs
// `korvane start` on it (listening on 127.0.0.1 and a free port), stores the root calls of one
// agent, and measures how quickly a graphical client's small ROOT CALLS query is answered
// while another client loads the server:
//   - nobody else (the baseline);
//   - 40 costly requests in flight, each naming 65,535 agents without data over 72 hours;
//   - 400 queries of about 380 KB of reply each whose replies are not read;
//   - 4 clients each sending one LZ4 frame of about 64 KB that inflates to 16 MiB: 798,911
//     SYMBOLS queries of 21 bytes, each refused by the query ("Invalid request!").
// It prints a markdown table: the small query's median and slowest answer over the case, what
// the loading clients got, the service process's peak RSS and how much the log grew, each as
// the median of the runs with their minimum and maximum (every run on a fresh server).
//
// clients [--korvane PATH] [--runs R]
//   PATH defaults to the korvane next to the build's bench directory; R (default 1) runs.
// Exits with 1 when the server does not come up or a small query goes unanswered.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "bench/load_driver.h"
#include "database/query_symbols.h"
#include "database/store/dbs.h"
#include "database/store/rcall.h"
#include "server/reply.h"

namespace {

using Clock = std::chrono::steady_clock;

// 2024-03-01 10:00:00 UTC: when the agent's root calls ran.
constexpr uint64_t kDay = 19783ull * DAY_MS;
constexpr uint64_t kRootTime = kDay + 10 * HOUR_MS;
constexpr uint32_t kRoots = 5000;
constexpr int kSmallQueries = 50;

const std::string kIdentity = driver_identity("clients driver");
const uint64_t kAgent = driver_agent_id(kIdentity);

// Stores the agent's root calls; true once a query finds them all.
bool store_roots(unsigned port) {
    FrameClient agent(port);
    if (!agent.send({agent_hello(be(kRootTime, 8) + kIdentity)}) || !agent.next(10000))
        return false;
    AgentData symbols;
    symbols.sym(AREC_SYM_CLASS, 1, "com.example.Shop")
        .sym(AREC_SYM_METHOD, 1, "checkout")
        .sym(AREC_SYM_THREAD, 1, "http-1");
    if (!agent.send({symbols.message()}))
        return false;
    for (uint64_t at = 0; at < kRoots; at += 1000) {
        AgentData d;
        for (uint64_t tag = at + 1; tag <= at + 1000; tag++)
            d.call(
                Call{CALL_F_ROOT, tag << 44 | kRootTime, 1, 1, 0, 0, kRootTime, 0, 100, be(1, 4)});
        if (!agent.send({d.message()}))
            return false;
    }
    FrameClient q(port);
    if (!q.send({ui_hello("store check")}) || !q.next(10000))
        return false;
    for (uint64_t rid = 1; rid < 400; rid++) {
        if (!q.send({root_calls_query(rid, kAgent, kDay, kDay + DAY_MS - 1)}))
            return false;
        const std::optional<std::string> m = q.next(10000);
        if (m && read_root_calls(*m).rows.size() == kRoots)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A ROOT CALLS request naming `agents` agents without data, each over 72 hours.
std::string costly_query(uint64_t rid, uint32_t agents) {
    std::string body = be(rid, 8) + be(DBQ_ROOT_CALLS, 8) + be(0, 16) + be(agents, 2);
    for (uint64_t aid = 1; aid <= agents; aid++)
        body += be(aid, 8) + be(kDay, 8) + be(kDay + 72 * HOUR_MS - 1, 8);
    return wire_message(MSG_DB_QUERY, body);
}

struct Load {
    const char *name;
    // Frames each loading client sends, in order, from a thread of its own; the small queries
    // start once `ahead` of them have left (or a few seconds have passed).
    std::function<std::vector<std::string>(FrameClient *c)> frames;
    unsigned ahead;
    unsigned loaders = 1;
};

// What one run of a case measured.
struct Result {
    double median_ms = 0;
    double slowest_ms = 0;
    double sent = 0; // loading frames sent before the small queries ended
    double rss = 0;
    double log_kib = 0; // growth of the log over the case
    bool ok = false;
};

Result run_case(const Load &load, const driver_server &server) {
    Result r;
    const std::string log_path = server.env + "/logs/korvane.log";
    const size_t log_before = driver_read_text(log_path).size();
    std::vector<std::unique_ptr<FrameClient>> loaders;
    for (unsigned i = 0; i < load.loaders; i++) {
        loaders.push_back(std::make_unique<FrameClient>(server.port));
        FrameClient &c = *loaders.back();
        if (!c.send({ui_hello("loader " + std::to_string(i) + " " + load.name)}) ||
            !c.next(10000))
            return r;
    }
    FrameClient small(server.port);
    if (!small.send({ui_hello(std::string("small ") + load.name)}) || !small.next(10000))
        return r;
    // A first query opens what the small ones read.
    if (!small.send({root_calls_query(1000, kAgent, kDay, kDay + DAY_MS - 1)}) || !small.next(10000))
        return r;
    const std::vector<std::string> frames = load.frames(loaders[0].get());
    std::atomic<unsigned> sent{0};
    std::vector<std::thread> threads;
    for (auto &loader : loaders)
        threads.emplace_back([&frames, &sent, c = loader.get()] {
            for (const std::string &f : frames) {
                if (!c->send_raw(f))
                    return;
                sent++;
            }
        });
    const Clock::time_point wait_end = Clock::now() + std::chrono::seconds(5);
    while (sent < load.ahead && Clock::now() < wait_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::vector<double> ms;
    bool ok = true;
    for (uint64_t rid = 1; rid <= kSmallQueries && ok; rid++) {
        const Clock::time_point before = Clock::now();
        ok = small.send({root_calls_query(rid, kAgent, kDay, kDay + DAY_MS - 1)}) &&
             small.next(20000).has_value();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
    }
    const unsigned sent_before_end = sent;
    for (auto &loader : loaders)
        shutdown(loader->fd(), SHUT_RDWR);
    for (std::thread &t : threads)
        t.join();
    std::sort(ms.begin(), ms.end());
    const double log_kib = static_cast<double>(driver_read_text(log_path).size() - log_before) / 1024;
    r = {ms[ms.size() / 2], ms.back(), static_cast<double>(sent_before_end),
         driver_peak_rss_mib(server.service), log_kib, ok};
    return r;
}

// Prints the case's row over its runs; false when a run failed.
bool print_row(const Load &load, const std::vector<Result> &runs) {
    bool ok = runs.size() > 0;
    for (const Result &r : runs)
        ok = ok && r.ok;
    printf("| %s | %s | %s | %s | %s | %s |%s\n", load.name,
           driver_spread(driver_each(runs, [](const Result &r) { return r.median_ms; }), "%.1f")
               .c_str(),
           driver_spread(driver_each(runs, [](const Result &r) { return r.slowest_ms; }), "%.1f")
               .c_str(),
           driver_spread(driver_each(runs, [](const Result &r) { return r.sent; }), "%.0f").c_str(),
           driver_spread(driver_each(runs, [](const Result &r) { return r.rss; }), "%.0f").c_str(),
           driver_spread(driver_each(runs, [](const Result &r) { return r.log_kib; }), "%.0f")
               .c_str(),
           ok ? "" : " a run failed or a small query went unanswered");
    fflush(stdout);
    return ok;
}

const Load kLoads[] = {
    {"nothing", [](FrameClient *) { return std::vector<std::string>{}; }, 0},
    // Before the cases whose replies raise the peak, so that its peak RSS is its own.
    {"4 clients, one 16 MiB frame of 798,911 malformed queries each",
     [](FrameClient *c) {
         const std::string query = wire_message(MSG_DB_QUERY, be(7, 8) + be(DBQ_SYMBOLS, 8));
         return std::vector<std::string>{c->pack(std::vector<std::string>(798911, query))};
     },
     4, 4},
    {"40 costly requests in flight",
     [](FrameClient *c) {
         std::vector<std::string> frames;
         for (uint64_t rid = 1; rid <= 40; rid++)
             frames.push_back(c->pack({costly_query(rid, 65535)}, false));
         return frames;
     },
     6},
    {"400 queries of 380 KB replies, none read",
     [](FrameClient *c) {
         std::vector<std::string> frames;
         for (uint64_t rid = 1; rid <= 400; rid++)
             frames.push_back(c->pack({root_calls_query(rid, kAgent, kDay, kDay + DAY_MS - 1)}));
         return frames;
     },
     400},
};

} // namespace

int main(int argc, char **argv) {
    std::string binary = driver_default_korvane();
    unsigned runs = 1;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--korvane" && i + 1 < argc) {
            binary = argv[++i];
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = static_cast<unsigned>(std::min(9, std::max(1, atoi(argv[++i]))));
        } else {
            fprintf(stderr, "usage: clients [--korvane PATH] [--runs R]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    constexpr size_t kCases = sizeof kLoads / sizeof kLoads[0];
    std::vector<Result> results[kCases];
    int rc = 0;
    for (unsigned run = 0; run < runs; run++) {
        driver_server server;
        if (!driver_start(&server, binary, "clients")) {
            fprintf(stderr, "clients: could not start %s\n", binary.c_str());
            rc = 1;
        } else if (!store_roots(server.port)) {
            fprintf(stderr, "clients: the server did not store the root calls\n");
            rc = 1;
        } else {
            for (size_t i = 0; i < kCases; i++)
                results[i].push_back(run_case(kLoads[i], server));
        }
        driver_stop(&server);
    }
    printf("| beside | small query median ms | slowest ms | loading frames sent | "
           "server peak RSS MiB | log growth KiB |\n|---|---:|---:|---:|---:|---:|\n");
    for (size_t i = 0; i < kCases; i++)
        if (!print_row(kLoads[i], results[i]))
            rc = 1;
    return rc;
}
