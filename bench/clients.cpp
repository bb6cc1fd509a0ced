// Client load driver: lays out a Database environment in a temporary directory, runs
// `korvane start` on it (listening on 127.0.0.1 and a free port), stores the root calls of one
// agent, and measures how quickly a graphical client's small ROOT CALLS query is answered
// while another client loads the server:
//   - nobody else (the baseline);
//   - 40 costly requests in flight, each naming 65,535 agents without data over 72 hours;
//   - 400 queries of about 380 KB of reply each whose replies are not read.
// It prints a markdown table: the small query's median and slowest answer over the case, what
// the loading client got, and the service process's peak RSS.
//
// clients [--korvane PATH]
//   PATH defaults to the korvane next to the build's bench directory.
// Exits with 1 when the server does not come up or a small query goes unanswered.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "bench/load_driver.h"
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
    // Frames the loading client sends, in order, from a thread of its own; the small queries
    // start once `ahead` of them have left (or a few seconds have passed).
    std::function<std::vector<std::string>(FrameClient *c)> frames;
    unsigned ahead;
};

// Prints the case's row; false when a small query went unanswered.
bool run_case(const Load &load, unsigned port, pid_t service) {
    FrameClient loader(port);
    FrameClient small(port);
    if (!loader.send({ui_hello(std::string("loader ") + load.name)}) || !loader.next(10000) ||
        !small.send({ui_hello(std::string("small ") + load.name)}) || !small.next(10000))
        return false;
    // A first query opens what the small ones read.
    if (!small.send({root_calls_query(1000, kAgent, kDay, kDay + DAY_MS - 1)}) || !small.next(10000))
        return false;
    const std::vector<std::string> frames = load.frames(&loader);
    std::atomic<unsigned> sent{0};
    std::thread t([&] {
        for (const std::string &f : frames) {
            if (!loader.send_raw(f))
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
    shutdown(loader.fd(), SHUT_RDWR);
    t.join();
    std::sort(ms.begin(), ms.end());
    printf("| %s | %.1f | %.1f | %u of %zu | %.0f |%s\n", load.name, ms[ms.size() / 2], ms.back(),
           sent_before_end, frames.size(), driver_peak_rss_mib(service),
           ok ? "" : " a small query went unanswered");
    fflush(stdout);
    return ok;
}

const Load kLoads[] = {
    {"nothing", [](FrameClient *) { return std::vector<std::string>{}; }, 0},
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
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--korvane" && i + 1 < argc) {
            binary = argv[++i];
        } else {
            fprintf(stderr, "usage: clients [--korvane PATH]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    driver_server server;
    int rc = 1;
    if (!driver_start(&server, binary, "clients")) {
        fprintf(stderr, "clients: could not start %s\n", binary.c_str());
    } else if (!store_roots(server.port)) {
        fprintf(stderr, "clients: the server did not store the root calls\n");
    } else {
        printf("| beside | small query median ms | slowest ms | loading frames sent | "
               "server peak RSS MiB |\n|---|---:|---:|---:|---:|\n");
        rc = 0;
        for (const Load &load : kLoads)
            if (!run_case(load, server.port, server.service))
                rc = 1;
    }
    driver_stop(&server);
    return rc;
}
