// Ingest load driver: for every case (and every run of it) a fresh Database server in a
// temporary directory, K simulated agents sending root calls over their own connections for a
// bounded time, then two separate figures:
//   - stored to disk: from the first send until the agents' hour files hold every root call
//     sent (their sizes, polled), the server's CPU time taken at that moment;
//   - verified: from the first send until ROOT CALLS queries, paging by time, have found every
//     root call with the extension flag and the number of calls it was sent with.
// It prints a markdown table, one row per case: the median of the runs with their minimum and
// maximum, calls lost and root calls found with a wrong call count (over all runs), the
// server's CPU seconds per million calls stored, the driver's own CPU seconds per million
// calls sent (to show whether the figure is bound by the driver) and the server's peak RSS.
//
// ingest [--korvane PATH] [--agents N,...] [--calls N,...] [--seconds S] [--params KEY=VALUE]
//        [--raw] [--hostile] [--runs R]
//   PATH defaults to the korvane next to the build's bench directory. --agents and --calls
//   give the cases (every pair; by default the sweep of 1, 4, 16, 64, 256 agents by 0, 10,
//   100 calls beneath each root, followed by 16 x 10 with raw frames, with a parameter text
//   and with a hostile agent beside). S is the sending time per run (default 3), R the runs
//   per case (default 1). --params gives every root call one key/value parameter, --raw sends
//   frames uncompressed, --hostile adds one more agent that sends calls whose roots never
//   come, with symbols spread over the id space; only the normal agents' calls are counted.
// Calls counted include the roots. Exits with 1 when a case lost calls, found a wrong count
// or a connection failed.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <thread>
#include <vector>

#include "bench/load_driver.h"
#include "database/store/dbs.h"
#include "database/store/rcall.h"
#include "server/frame.h"
#include "server/reply.h"

namespace {

using Clock = std::chrono::steady_clock;

// 2024-03-01 01:00:00 UTC: the first root call of every agent; each next one 1 ms later.
constexpr uint64_t kFirstRoot = 19783ull * DAY_MS + HOUR_MS;
constexpr uint64_t kDayEnd = 19784ull * DAY_MS - 1;
// An agent sends at most this many root calls per run, which keeps them within the day.
constexpr uint64_t kMaxRootsPerAgent = 40'000'000;
// Records of one agent message, in bytes (well under a message's limit).
constexpr size_t kBatchBytes = 64 * 1024;
constexpr size_t kArea = 2 * kBatchBytes;
constexpr uint32_t kRootDur = 100;
constexpr double kStoreWaitSeconds = 120;
// A stored root call: its 96-byte header and 48 bytes per call beneath the root.
constexpr uint64_t kRootCallHeader = 96;
constexpr uint64_t kCallRecord = 48;
// Where a call record's root key and time base lie, from the record's type byte.
constexpr size_t kKeyAt = 1 + 2 + 2;
constexpr size_t kTimeAt = kKeyAt + 8 + 4 + 4 + 4 + 2;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double own_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void put_be(uint8_t *at, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; i--, v >>= 8)
        at[i] = static_cast<uint8_t>(v);
}

struct Case {
    unsigned agents;
    uint32_t calls;      // beneath each root
    bool compress;       // LZ4 frames
    std::string params;  // the root's key/value parameter (key, 0x1E, value); empty for none
    bool hostile;        // one more agent sends what the collector must not hold for it
};

// ---- agents ----

struct Agent {
    std::string identity;
    uint64_t aid;
    uint64_t roots = 0; // sent
    bool failed = false;
};

const std::string kSymbols = AgentData()
                                 .sym(AREC_SYM_CLASS, 1, "com.example.Shop")
                                 .sym(AREC_SYM_METHOD, 1, "checkout")
                                 .sym(AREC_SYM_METHOD, 2, "price")
                                 .sym(AREC_SYM_THREAD, 1, "worker-1")
                                 .message();

// One agent message of whole root calls, built once: each send patches the root keys and
// times in place for the next root calls and packs it into a frame in buffers kept between
// sends.
struct Batch {
    std::string message;
    struct Slot {
        uint32_t at;   // the call record's offset in the message
        uint32_t root; // which root call of the batch
        uint32_t skew; // time base minus the root's time
    };
    std::vector<Slot> slots;
    uint32_t roots = 0;
    std::vector<uint8_t> body; // message + trailer, packed in place
    std::vector<uint8_t> area; // compression area
};

void batch_build(Batch *b, const Case &k) {
    AgentData d;
    const uint16_t root_flags = k.params.empty() ? CALL_F_ROOT : CALL_F_ROOT | CALL_F_PARAMS;
    while (d.recs.size() < kBatchBytes) {
        for (uint32_t i = 0; i < k.calls; i++) {
            b->slots.push_back({static_cast<uint32_t>(5 + d.recs.size()), b->roots, i / 8});
            d.call(Call{0, 0, 1, 2, i + 1, 1, 0, 0, 1, ""});
        }
        b->slots.push_back({static_cast<uint32_t>(5 + d.recs.size()), b->roots, 0});
        d.call(Call{root_flags, 0, 1, 1, 0, 0, 0, 0, kRootDur, be(1, 4) + k.params});
        b->roots++;
    }
    b->message = d.message();
    b->body.resize(b->message.size() + FRAME_TRAILER_LEN);
    b->area.resize(kArea);
}

// Root call n of an agent ends at kFirstRoot + n and has the key tag n mod 2^20.
void batch_patch(Batch *b, uint64_t first) {
    auto *m = reinterpret_cast<uint8_t *>(b->message.data());
    for (const Batch::Slot &s : b->slots) {
        const uint64_t n = first + s.root;
        const uint64_t time = kFirstRoot + n;
        put_be(m + s.at + kKeyAt, (n & 0xFFFFF) << 44 | time, 8);
        put_be(m + s.at + kTimeAt, time + s.skew, 6);
    }
}

bool send_all(int fd, iovec *iov, int count) {
    while (count > 0) {
        const ssize_t n = writev(fd, iov, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        for (size_t left = static_cast<size_t>(n); left > 0;) {
            const size_t take = std::min(left, iov->iov_len);
            iov->iov_base = static_cast<uint8_t *>(iov->iov_base) + take;
            iov->iov_len -= take;
            left -= take;
            if (iov->iov_len == 0) {
                iov++;
                count--;
            }
        }
        while (count > 0 && iov->iov_len == 0) {
            iov++;
            count--;
        }
    }
    return true;
}

bool batch_send(Batch *b, int fd, bool compress) {
    memcpy(b->body.data(), b->message.data(), b->message.size());
    frame_hdr h{};
    const uint64_t size = frame_pack(&h, b->body.data(), b->message.size(),
                                     compress ? std::span<uint8_t>(b->area) : std::span<uint8_t>());
    iovec iov[2] = {{&h, sizeof h}, {b->body.data(), size - sizeof h}};
    return send_all(fd, iov, 2);
}

bool agent_login(FrameClient *c, const Agent &a) {
    return c->connected() && c->send({agent_hello(be(kFirstRoot, 8) + a.identity)}) &&
           c->next(10000);
}

void run_agent(Agent *a, unsigned port, const Case &k, Clock::time_point end) {
    FrameClient c(port, kArea);
    Batch b;
    batch_build(&b, k);
    if (!agent_login(&c, *a) || !c.send({kSymbols})) {
        a->failed = true;
        return;
    }
    while (Clock::now() < end && a->roots < kMaxRootsPerAgent) {
        batch_patch(&b, a->roots);
        if (!batch_send(&b, c.fd(), k.compress)) {
            a->failed = true;
            return;
        }
        a->roots += b.roots;
    }
}

// What a hostile agent sends: class symbols with ids spread over the whole id space (a map
// page each), then calls whose roots never come, each of its own root call in one window and
// with a small parameter entry, over and over.
void run_hostile_agent(Agent *a, unsigned port, Clock::time_point end) {
    FrameClient c(port, kArea);
    AgentData symbols;
    for (uint32_t id = 1; id <= 0xFFFFFF; id += 4096)
        symbols.sym(AREC_SYM_CLASS, id, "Hostile" + std::to_string(id));
    if (!agent_login(&c, *a) || !c.send({symbols.message()})) {
        a->failed = true;
        return;
    }
    for (uint64_t n = 0; Clock::now() < end;) {
        AgentData d;
        while (d.recs.size() < kBatchBytes) {
            const uint64_t key = (n++ & 0xFFFFF) << 44 | kFirstRoot;
            d.call(Call{CALL_F_PARAMS, key, 1, 1, 1, 1, kFirstRoot, 0, 1, "abc"});
        }
        if (!c.send({d.message()})) {
            a->failed = true;
            return;
        }
    }
}

// ---- the store ----

// Bytes in the agent's hour files (names "day.hour"; not extension or index files).
uint64_t hour_file_bytes(const std::string &env, uint64_t aid) {
    char mc[64];
    snprintf(mc, sizeof mc, "/storage.db/data/%016lX/mc", aid);
    const std::string dir = env + mc;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    uint64_t bytes = 0;
    while (const dirent *e = readdir(d)) {
        const char *dot = strchr(e->d_name, '.');
        if (dot == nullptr || dot == e->d_name || strchr(dot + 1, '.') != nullptr ||
            strspn(e->d_name, "0123456789.") != strlen(e->d_name))
            continue;
        struct stat st;
        if (stat((dir + "/" + e->d_name).c_str(), &st) == 0)
            bytes += static_cast<uint64_t>(st.st_size);
    }
    closedir(d);
    return bytes;
}

// Waits until every agent's hour files hold what it sent; false when the deadline passes.
bool wait_stored(const std::string &env, const std::vector<Agent> &agents, uint32_t calls,
                 Clock::time_point deadline) {
    std::vector<bool> done(agents.size(), false);
    for (size_t left = agents.size(); left > 0;) {
        for (size_t i = 0; i < agents.size(); i++) {
            const uint64_t want = agents[i].roots * (kRootCallHeader + kCallRecord * calls);
            if (!done[i] && hour_file_bytes(env, agents[i].aid) >= want) {
                done[i] = true;
                left--;
            }
        }
        if (left > 0 && Clock::now() > deadline)
            return false;
        if (left > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

// Pages ROOT CALLS queries over the agent's root calls by time from the first until it has
// seen them all or the deadline passes. Counts those found with the extension flag and the
// number of calls they were sent with in *found, the others in *wrong.
void count_stored(FrameClient *q, uint64_t *rid, const Agent &a, uint16_t params,
                  uint32_t calls, Clock::time_point deadline, uint64_t *found, uint64_t *wrong) {
    uint64_t seen = 0, from = kFirstRoot;
    while (seen < a.roots && Clock::now() < deadline) {
        if (!q->send({root_calls_query(++*rid, a.aid, from, kDayEnd)}))
            break;
        const std::optional<std::string> m = q->next(30000);
        if (!m)
            break;
        const RootCallsReply r = read_root_calls(*m);
        for (const RootCallRow &row : r.rows) {
            if (row.time < from)
                continue;
            seen++;
            if ((row.flags & CALL_F_PARAMS) == params && row.calls == calls)
                ++*found;
            else
                ++*wrong;
            from = row.time + 1;
        }
        if (r.status != QRESP_PARTIAL && seen < a.roots)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// ---- one run of a case ----

struct Run {
    uint64_t calls = 0;        // sent, roots included
    double driver_cpu_per_m = 0;
    double disk_rate = 0;      // calls per second stored to disk; 0 when never complete
    double verified_rate = 0;  // calls per second found by the queries
    double server_cpu_per_m = 0;
    double rss = 0;
    uint64_t lost = 0;         // calls
    uint64_t wrong = 0;        // root calls found with the wrong flag or call count
    bool failed = false;       // a connection or the server failed
};

Run run_case(const Case &k, const std::string &binary, double seconds) {
    Run r;
    driver_server server;
    if (!driver_start(&server, binary, "ingest")) {
        driver_stop(&server);
        r.failed = true;
        return r;
    }
    std::vector<Agent> agents;
    for (unsigned i = 0; i < k.agents; i++) {
        const std::string identity = driver_identity("ingest-" + std::to_string(i + 1));
        agents.push_back({identity, driver_agent_id(identity)});
    }
    Agent hostile{driver_identity("hostile"), 0};
    const double server_cpu_before = driver_cpu_seconds(server.service);
    const double own_cpu_before = own_cpu_seconds();
    const Clock::time_point start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (Agent &a : agents)
        threads.emplace_back(run_agent, &a, server.port, std::cref(k), end);
    if (k.hostile)
        threads.emplace_back(run_hostile_agent, &hostile, server.port, end);
    for (std::thread &t : threads)
        t.join();
    const double own_cpu = own_cpu_seconds() - own_cpu_before;

    uint64_t roots = 0;
    for (const Agent &a : agents) {
        roots += a.roots;
        r.failed = r.failed || a.failed;
    }
    r.failed = r.failed || hostile.failed;
    r.calls = roots * (k.calls + 1);
    const double millions = static_cast<double>(r.calls) / 1e6;
    r.driver_cpu_per_m = own_cpu / millions;
    const auto deadline =
        Clock::now() + std::chrono::seconds(static_cast<int>(kStoreWaitSeconds));
    if (wait_stored(server.env, agents, k.calls, deadline)) {
        r.disk_rate = static_cast<double>(r.calls) / seconds_since(start);
        r.server_cpu_per_m = (driver_cpu_seconds(server.service) - server_cpu_before) / millions;
    }

    FrameClient q(server.port);
    uint64_t rid = 0, found = 0;
    r.failed = r.failed || !q.connected() || !q.send({ui_hello("ingest driver")}) ||
               !q.next(10000);
    const uint16_t params = k.params.empty() ? 0 : CALL_F_PARAMS;
    for (const Agent &a : agents)
        count_stored(&q, &rid, a, params, k.calls, deadline, &found, &r.wrong);
    r.verified_rate = static_cast<double>(found * (k.calls + 1)) / seconds_since(start);
    r.lost = (roots - std::min(roots, found)) * (k.calls + 1);
    r.rss = driver_peak_rss_mib(server.service);
    driver_stop(&server);
    return r;
}

// ---- the table ----

// Prints the case's row; whether every run stored and verified everything it sent.
bool print_row(const Case &k, const std::vector<Run> &runs) {
    uint64_t lost = 0, wrong = 0;
    bool failed = false;
    for (const Run &r : runs) {
        lost += r.lost;
        wrong += r.wrong;
        failed = failed || r.failed || r.disk_rate == 0;
    }
    std::string params = k.params;
    std::replace(params.begin(), params.end(), '\x1E', '=');
    printf("| %u | %u | %s | %s | %s | %s | %s | %s | %s | %s | %s | %lu | %lu |%s\n", k.agents,
           k.calls, k.compress ? "LZ4" : "raw", params.empty() ? "-" : params.c_str(),
           k.hostile ? "yes" : "-",
           driver_spread(driver_each(runs, [](const Run &r) { return r.calls / 1e6; }), "%.2f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.disk_rate / 1e6; }), "%.2f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.verified_rate / 1e6; }), "%.2f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.server_cpu_per_m; }), "%.3f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.driver_cpu_per_m; }), "%.3f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.rss; }), "%.0f").c_str(), lost, wrong,
           failed ? " a run failed (connection, server or store wait)" : "");
    fflush(stdout);
    return !failed && lost == 0 && wrong == 0;
}

// A list of numbers separated by commas; empty when one is not a number.
std::vector<unsigned> number_list(const char *text) {
    std::vector<unsigned> v;
    for (const char *p = text; *p;) {
        char *after = nullptr;
        errno = 0;
        const unsigned long n = strtoul(p, &after, 10);
        if (after == p || errno != 0 || n > 100000 || (*after != ',' && *after != '\0'))
            return {};
        v.push_back(static_cast<unsigned>(n));
        p = *after == ',' ? after + 1 : after;
    }
    return v;
}

struct Options {
    std::string binary = driver_default_korvane();
    std::vector<unsigned> agents, calls;
    double seconds = 3;
    std::string params;
    bool raw = false;
    bool hostile = false;
    unsigned runs = 1;
};

bool parse_options(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--korvane" && has_value) {
            o->binary = argv[++i];
        } else if (arg == "--agents" && has_value) {
            o->agents = number_list(argv[++i]);
            if (o->agents.empty() || std::count(o->agents.begin(), o->agents.end(), 0u) > 0)
                return false;
        } else if (arg == "--calls" && has_value) {
            o->calls = number_list(argv[++i]);
            // A stored root call holds at most 40,000 calls besides its root.
            if (o->calls.empty() || *std::max_element(o->calls.begin(), o->calls.end()) > 40000)
                return false;
        } else if (arg == "--seconds" && has_value) {
            o->seconds = std::min(60.0, std::max(0.1, atof(argv[++i])));
        } else if (arg == "--params" && has_value) {
            o->params = argv[++i];
            const size_t eq = o->params.find('=');
            if (eq == std::string::npos || o->params.size() > 1000)
                return false;
            o->params[eq] = '\x1E';
        } else if (arg == "--runs" && has_value) {
            o->runs = static_cast<unsigned>(std::min(9, std::max(1, atoi(argv[++i]))));
        } else if (arg == "--raw") {
            o->raw = true;
        } else if (arg == "--hostile") {
            o->hostile = true;
        } else {
            return false;
        }
    }
    return true;
}

std::vector<Case> cases_of(const Options &o) {
    const bool sweep = o.agents.empty() && o.calls.empty();
    const std::vector<unsigned> agents =
        o.agents.empty() ? std::vector<unsigned>{1, 4, 16, 64, 256} : o.agents;
    const std::vector<unsigned> calls = o.calls.empty() ? std::vector<unsigned>{0, 10, 100} : o.calls;
    std::vector<Case> cases;
    for (unsigned a : agents)
        for (unsigned c : calls)
            cases.push_back({a, c, !o.raw, o.params, o.hostile});
    if (sweep && !o.raw && o.params.empty() && !o.hostile) {
        cases.push_back({16, 10, false, "", false});
        cases.push_back({16, 10, true, std::string("order") + '\x1E' + "42", false});
        cases.push_back({16, 10, true, "", true});
    }
    return cases;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse_options(argc, argv, &o)) {
        fprintf(stderr, "usage: ingest [--korvane PATH] [--agents N,...] [--calls N,...] "
                        "[--seconds S] [--params KEY=VALUE] [--raw] [--hostile] [--runs R]\n");
        return 2;
    }
    // A reader of the table that goes away must not leave a server running.
    signal(SIGPIPE, SIG_IGN);
    printf("| agents | calls beneath each root | frames | root parameter | hostile agent beside "
           "| M calls sent | stored to disk M calls/s | verified M calls/s | server CPU s per M "
           "calls | driver CPU s per M calls | server peak RSS MiB | calls lost | wrong call "
           "counts |\n"
           "|---:|---:|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    fflush(stdout);
    int rc = 0;
    for (const Case &k : cases_of(o)) {
        std::vector<Run> runs;
        for (unsigned i = 0; i < o.runs; i++)
            runs.push_back(run_case(k, o.binary, o.seconds));
        if (!print_row(k, runs))
            rc = 1;
    }
    return rc;
}
