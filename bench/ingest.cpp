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
// With online-data subscribers beside the agents, a row also counts (reader, agent) pairs
// whose completed roots in the first push after everything was stored differ from the roots
// the agent sent (agents stay connected until then: the collector reports only those), and
// a note gives the 16 x 10 case's stored calls/s with 50 reading subscribers over without.
// A second table holds agents with open root calls over push cycles, without and with
// subscribers (runs alternating): the server's RSS after the first cycle and at the end, and
// the p99 deviation of the push arrival interval from the period at the reading clients.
//
// ingest [--korvane PATH] [--agents N,...] [--calls N,...] [--seconds S] [--params KEY=VALUE]
//        [--raw] [--hostile] [--runs R] [--subscribers N] [--sleepers N] [--held] [--cycles C]
//   PATH defaults to the korvane next to the build's bench directory. --agents and --calls
//   give the cases (every pair; by default the sweep of 1, 4, 16, 64, 256 agents by 0, 10,
//   100 calls beneath each root, followed by 16 x 10 with raw frames, with a parameter text
//   and with a hostile agent beside). S is the sending time per run (default 3), R the runs
//   per case (default 1). --params gives every root call one key/value parameter, --raw sends
//   frames uncompressed, --hostile adds one more agent that sends calls whose roots never
//   come, with symbols spread over the id space; only the normal agents' calls are counted.
//   --subscribers adds N clients that subscribe to online data and read every push,
//   --sleepers N that subscribe with a small receive buffer and never read. --held runs only
//   the open-roots table: the first of --agents (default 256) each send calls of 99 roots
//   begun 0 to 98 s ago that never come, then 4 more every cycle, for C cycles (default 20)
//   of the push period (3 s, or KRV_TEST_ONLINE_PERIOD_MS from the environment, which the
//   server inherits); the sweep ends with it for 256 agents, 50 reading and 50 never-reading
//   subscribers.
// Calls counted include the roots. Exits with 1 when a case lost calls, found a wrong count
// or a connection failed.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <thread>
#include <vector>

#include "bench/load_driver.h"
#include "database/client_peer.h"
#include "database/collector_status.h"
#include "database/online.h"
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
    unsigned readers = 0;  // clients subscribed to online data that read every push
    unsigned sleepers = 0; // clients subscribed that never read
};

// ---- agents ----

struct Agent {
    std::string identity;
    uint64_t aid;
    uint64_t roots = 0; // sent
    bool failed = false;
    // Held open until the run ends: the collector reports only agents still connected, and
    // the subscribers' last push is checked after the sending.
    std::shared_ptr<FrameClient> conn = nullptr;
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
    a->conn = std::make_shared<FrameClient>(port, kArea);
    FrameClient &c = *a->conn;
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

// ---- online-data subscribers ----

// Receive buffer of a client that never reads: the server's pushes soon find it full.
constexpr int kSleeperRcvbuf = 4096;

// A client logged in as a graphical client and subscribed to online data; nothing when the
// server refused it.
// Its hello's first 16 bytes, which the server hashes into the client's uid, are its own.
std::unique_ptr<FrameClient> subscriber_connect(unsigned port, bool reads, unsigned n) {
    auto c = std::make_unique<FrameClient>(port, reads ? SOCK_COMPRESS_AREA : 0);
    if (!reads)
        setsockopt(c->fd(), SOL_SOCKET, SO_RCVBUF, &kSleeperRcvbuf, sizeof kSleeperRcvbuf);
    const uint64_t rid = 3;
    const Bytes reply = wire_message(MSG_RESPONSE, be(rid, 8) + be(QID_ONLINE_DATA, 8) +
                                                       be(QRESP_OK, 2) + be(rid, 8));
    if (!c->connected() || !c->send({ui_hello((reads ? "reader-" : "sleeper-") + std::to_string(n))}) || !c->next(10000) ||
        !c->send({wire_message(MSG_DB_QUERY, be(rid, 8) + be(QID_ONLINE_DATA, 8) + be(1, 4))}) ||
        c->next(10000) != reply)
        return nullptr;
    return c;
}

// What a reading subscriber saw: when each push arrived, and the completed roots of each
// agent in the latest one.
struct Reader {
    std::unique_ptr<FrameClient> c;
    std::thread t;
    std::mutex m;
    std::vector<Clock::time_point> arrivals; // one per push time (a split push counts once)
    std::map<uint64_t, uint64_t> completed;  // agent id -> completed roots, latest push
    bool failed = false;
};

// Takes the status records of one push message into r->completed.
void reader_take(Reader *r, const Bytes &m) {
    for (size_t at = 5 + ONLINE_TIME_LEN; at + STATUS_REC_HEAD <= m.size();) {
        r->completed[from_be(m, at, 8)] = from_be(m, at + 16, 8);
        at += STATUS_REC_HEAD + STATUS_AGE_ENTRY * from_be(m, at + STATUS_REC_M, 2);
    }
}

void run_reader(Reader *r, const std::atomic<bool> *stop) {
    uint64_t current = UINT64_MAX;
    while (!stop->load()) {
        const std::optional<Bytes> m = r->c->next(100);
        if (!m) {
            if (r->c->corrupt() || r->c->closed_by_server(0)) {
                r->failed = true;
                return;
            }
            continue;
        }
        if (m->size() < 5 + ONLINE_TIME_LEN || static_cast<uint8_t>((*m)[0]) != MSG_PUSH)
            continue;
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(r->m);
        const uint64_t time = from_be(*m, 5, 8);
        if (time != current)
            r->arrivals.push_back(now);
        current = time;
        reader_take(r, *m);
    }
}

// The subscribers of one run: readers on their threads, sleepers held open.
struct Subscribers {
    std::vector<std::unique_ptr<Reader>> readers;
    std::vector<std::unique_ptr<FrameClient>> sleepers;
    std::atomic<bool> stop{false};
};

// Subscribes them all; false when one was refused.
bool subscribers_start(Subscribers *s, unsigned port, unsigned readers, unsigned sleepers) {
    for (unsigned i = 0; i < sleepers; i++) {
        s->sleepers.push_back(subscriber_connect(port, false, i));
        if (s->sleepers.back() == nullptr)
            return false;
    }
    for (unsigned i = 0; i < readers; i++) {
        auto r = std::make_unique<Reader>();
        r->c = subscriber_connect(port, true, i);
        if (r->c == nullptr)
            return false;
        r->t = std::thread(run_reader, r.get(), &s->stop);
        s->readers.push_back(std::move(r));
    }
    return true;
}

// Ends the readers' threads; whether none failed.
bool subscribers_stop(Subscribers *s) {
    s->stop = true;
    bool ok = true;
    for (auto &r : s->readers) {
        r->t.join();
        ok = ok && !r->failed;
    }
    return ok;
}

// Pushes the slowest reader has received since `since`.
size_t pushes_since(Subscribers *s, Clock::time_point since) {
    size_t least = SIZE_MAX;
    for (auto &r : s->readers) {
        std::lock_guard<std::mutex> lock(r->m);
        const size_t n = static_cast<size_t>(
            r->arrivals.end() - std::upper_bound(r->arrivals.begin(), r->arrivals.end(), since));
        least = std::min(least, n);
    }
    return least == SIZE_MAX ? 0 : least;
}

// Roots each agent sent against the completed roots of the readers' latest push; the
// number of (reader, agent) pairs that differ.
uint64_t push_mismatches(Subscribers *s, const std::vector<Agent> &agents) {
    uint64_t bad = 0;
    for (auto &r : s->readers) {
        std::lock_guard<std::mutex> lock(r->m);
        for (const Agent &a : agents) {
            const auto it = r->completed.find(a.aid);
            bad += it == r->completed.end() || it->second != a.roots;
        }
    }
    return bad;
}

// Current resident size of a process in MiB.
double rss_mib(pid_t pid) {
    std::istringstream in(driver_read_text("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    return 0;
}

uint32_t push_period_ms() {
    return test_setting_ms(ONLINE_PERIOD_ENV, ONLINE_PERIOD_MS);
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
    uint64_t push_bad = 0;     // (reader, agent) pairs whose last push disagrees with the roots sent
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
    Subscribers subs;
    if (!subscribers_start(&subs, server.port, k.readers, k.sleepers)) {
        subscribers_stop(&subs);
        driver_stop(&server);
        r.failed = true;
        return r;
    }
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
    if (k.readers > 0) {
        // The first push built after everything was stored must count every root sent.
        const Clock::time_point stored = Clock::now();
        const auto wait = stored + std::chrono::milliseconds(2 * push_period_ms() + 2000);
        while (pushes_since(&subs, stored) == 0 && Clock::now() < wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        r.push_bad = push_mismatches(&subs, agents);
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
    r.failed = !subscribers_stop(&subs) || r.failed;
    driver_stop(&server);
    return r;
}

// ---- agents holding open root calls, with and without subscribers ----

// Open calls each agent sends at the start, their roots begun 0 to 98 s ago, and each cycle.
constexpr uint64_t kOpenAtStart = 99;
constexpr uint64_t kOpenPerCycle = 4;

struct HeldRun {
    double rss_first = 0; // MiB, after the first cycle
    double rss_end = 0;
    double p99_dev_ms = -1; // push interval's deviation from the period at the readers
    size_t pushes = 0;      // received by the slowest reader
    bool failed = false;
};

// Calls whose roots never come: `count` roots from number `first` on, begun `age_spread`
// seconds apart going back from now.
bool send_open_calls(FrameClient *c, uint64_t first, uint64_t count, uint64_t age_spread) {
    const uint64_t now = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::system_clock::now().time_since_epoch())
            .count());
    AgentData d;
    for (uint64_t i = 0; i < count; i++) {
        const uint64_t began = now - (i % 99) * 1000 * age_spread - 500;
        d.call(Call{0, ((first + i) & 0xFFFFF) << 44 | began, 1, 2, 1, 1, now, 0, 1, ""});
    }
    return c->send({d.message()});
}

double p99_deviation_ms(Subscribers *s, uint32_t period_ms) {
    std::vector<double> dev;
    for (auto &r : s->readers)
        for (size_t i = 1; i < r->arrivals.size(); i++)
            dev.push_back(std::abs(
                std::chrono::duration<double, std::milli>(r->arrivals[i] - r->arrivals[i - 1]).count() -
                period_ms));
    if (dev.empty())
        return -1;
    std::sort(dev.begin(), dev.end());
    return dev[std::min(dev.size() - 1, dev.size() * 99 / 100)];
}

HeldRun run_held(const std::string &binary, unsigned agents, unsigned readers, unsigned sleepers,
                 unsigned cycles) {
    HeldRun r;
    driver_server server;
    if (!driver_start(&server, binary, "ingest")) {
        driver_stop(&server);
        r.failed = true;
        return r;
    }
    std::vector<std::unique_ptr<FrameClient>> conns;
    for (unsigned i = 0; i < agents && !r.failed; i++) {
        const std::string identity = driver_identity("held-" + std::to_string(i + 1));
        auto c = std::make_unique<FrameClient>(server.port, kArea);
        r.failed = !agent_login(c.get(), Agent{identity, 0}) || !c->send({kSymbols}) ||
                   !send_open_calls(c.get(), 0, kOpenAtStart, 1);
        conns.push_back(std::move(c));
    }
    Subscribers subs;
    r.failed = r.failed || !subscribers_start(&subs, server.port, readers, sleepers);
    const uint32_t period = push_period_ms();
    const Clock::time_point start = Clock::now();
    for (unsigned n = 1; n <= cycles && !r.failed; n++) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(uint64_t{period} * n));
        for (size_t i = 0; i < conns.size() && !r.failed; i++)
            r.failed = !send_open_calls(conns[i].get(), kOpenAtStart + kOpenPerCycle * n,
                                        kOpenPerCycle, 0);
        if (n == 1) {
            // Half a period on, so that the first cycle's pushes are out.
            std::this_thread::sleep_for(std::chrono::milliseconds(period / 2));
            r.rss_first = rss_mib(server.service);
        }
    }
    r.rss_end = rss_mib(server.service);
    r.failed = !subscribers_stop(&subs) || r.failed;
    r.p99_dev_ms = p99_deviation_ms(&subs, period);
    r.pushes = pushes_since(&subs, start);
    driver_stop(&server);
    return r;
}

// Runs the case without and with subscribers alternately and prints its two rows; whether
// every run succeeded.
bool held_table(const std::string &binary, unsigned agents, unsigned readers, unsigned sleepers,
                unsigned cycles, unsigned runs) {
    std::vector<HeldRun> without, with;
    for (unsigned i = 0; i < runs; i++) {
        without.push_back(run_held(binary, agents, 0, 0, cycles));
        with.push_back(run_held(binary, agents, readers, sleepers, cycles));
    }
    printf("\n| agents holding open roots | reading subscribers | never-reading subscribers | "
           "cycles | period ms | server RSS MiB after first cycle | server RSS MiB at end | push "
           "interval p99 deviation ms | pushes at slowest reader |\n"
           "|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    bool ok = true;
    for (const auto *set : {&without, &with}) {
        const bool subs = set == &with;
        bool failed = false;
        for (const HeldRun &r : *set)
            failed = failed || r.failed;
        ok = ok && !failed;
        printf("| %u | %u | %u | %u | %u | %s | %s | %s | %s |%s\n", agents, subs ? readers : 0,
               subs ? sleepers : 0, cycles, push_period_ms(),
               driver_spread(driver_each(*set, [](const HeldRun &r) { return r.rss_first; }), "%.1f").c_str(),
               driver_spread(driver_each(*set, [](const HeldRun &r) { return r.rss_end; }), "%.1f").c_str(),
               subs ? driver_spread(driver_each(*set, [](const HeldRun &r) { return r.p99_dev_ms; }), "%.1f").c_str() : "-",
               subs ? driver_spread(driver_each(*set, [](const HeldRun &r) { return double(r.pushes); }), "%.0f").c_str() : "-",
               failed ? " a run failed (connection or server)" : "");
    }
    printf("\nEach agent holds %lu open root calls at the start and %lu more after each cycle; "
           "RSS is the service's resident size; the interval is measured between pushes of "
           "different push times at each reading client.%s\n",
           kOpenAtStart, kOpenPerCycle,
           push_period_ms() == ONLINE_PERIOD_MS ? "" : " The period was shortened for the test: pushes within one second share a push time, "
                                                  "so the interval figures hold only for the real period.");
    fflush(stdout);
    return ok;
}

// ---- the table ----

// Prints the case's row; whether every run stored and verified everything it sent.
bool print_row(const Case &k, const std::vector<Run> &runs) {
    uint64_t lost = 0, wrong = 0, push_bad = 0;
    bool failed = false;
    for (const Run &r : runs) {
        lost += r.lost;
        wrong += r.wrong;
        push_bad += r.push_bad;
        failed = failed || r.failed || r.disk_rate == 0;
    }
    std::string params = k.params;
    std::replace(params.begin(), params.end(), '\x1E', '=');
    const std::string push_check = k.readers == 0 ? "-" : std::to_string(push_bad);
    printf("| %u | %u | %s | %s | %s | %u | %u | %s | %s | %s | %s | %s | %s | %lu | %lu | %s |%s\n",
           k.agents, k.calls, k.compress ? "LZ4" : "raw", params.empty() ? "-" : params.c_str(),
           k.hostile ? "yes" : "-", k.readers, k.sleepers,
           driver_spread(driver_each(runs, [](const Run &r) { return r.calls / 1e6; }), "%.2f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.disk_rate / 1e6; }), "%.2f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.verified_rate / 1e6; }), "%.2f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.server_cpu_per_m; }), "%.3f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.driver_cpu_per_m; }), "%.3f").c_str(),
           driver_spread(driver_each(runs, [](const Run &r) { return r.rss; }), "%.0f").c_str(), lost, wrong,
           push_check.c_str(), failed ? " a run failed (connection, server or store wait)" : "");
    fflush(stdout);
    return !failed && lost == 0 && wrong == 0 && push_bad == 0;
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

// Subscribers of the sweep's subscriber cases.
constexpr unsigned kSweepReaders = 50;
constexpr unsigned kSweepSleepers = 50;
constexpr unsigned kHeldAgents = 256;

struct Options {
    std::string binary = driver_default_korvane();
    std::vector<unsigned> agents, calls;
    double seconds = 3;
    std::string params;
    bool raw = false;
    bool hostile = false;
    unsigned runs = 1;
    unsigned readers = 0, sleepers = 0;
    bool held = false;   // only the open-roots case
    unsigned cycles = 20;
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
        } else if (arg == "--subscribers" && has_value) {
            o->readers = static_cast<unsigned>(std::min(1000, std::max(0, atoi(argv[++i]))));
        } else if (arg == "--sleepers" && has_value) {
            o->sleepers = static_cast<unsigned>(std::min(1000, std::max(0, atoi(argv[++i]))));
        } else if (arg == "--cycles" && has_value) {
            o->cycles = static_cast<unsigned>(std::min(1000, std::max(1, atoi(argv[++i]))));
        } else if (arg == "--held") {
            o->held = true;
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
            cases.push_back({a, c, !o.raw, o.params, o.hostile, o.readers, o.sleepers});
    if (sweep && !o.raw && o.params.empty() && !o.hostile && o.readers == 0 && o.sleepers == 0) {
        cases.push_back({16, 10, false, "", false});
        cases.push_back({16, 10, true, std::string("order") + '\x1E' + "42", false});
        cases.push_back({16, 10, true, "", true});
        cases.push_back({16, 10, true, "", false, kSweepReaders, 0});
    }
    return cases;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse_options(argc, argv, &o)) {
        fprintf(stderr, "usage: ingest [--korvane PATH] [--agents N,...] [--calls N,...] "
                        "[--seconds S] [--params KEY=VALUE] [--raw] [--hostile] [--runs R] [--subscribers N] [--sleepers N] "
                        "[--held] [--cycles C]\n");
        return 2;
    }
    // A reader of the table that goes away must not leave a server running.
    signal(SIGPIPE, SIG_IGN);
    if (o.held)
        return held_table(o.binary, o.agents.empty() ? kHeldAgents : o.agents.front(),
                          o.readers, o.sleepers, o.cycles, o.runs)
                   ? 0
                   : 1;
    printf("| agents | calls beneath each root | frames | root parameter | hostile agent beside "
           "| reading subscribers | never-reading subscribers | M calls sent | stored to disk M calls/s | verified M calls/s | server CPU s per M "
           "calls | driver CPU s per M calls | server peak RSS MiB | calls lost | wrong call "
           "counts | last push disagreeing (reader, agent) |\n"
           "|---:|---:|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    fflush(stdout);
    int rc = 0;
    // Median stored calls/s of 16 x 10 (LZ4, nothing else) without and with readers.
    double plain = 0, with_readers = 0;
    for (const Case &k : cases_of(o)) {
        std::vector<Run> runs;
        for (unsigned i = 0; i < o.runs; i++)
            runs.push_back(run_case(k, o.binary, o.seconds));
        if (!print_row(k, runs))
            rc = 1;
        if (k.agents == 16 && k.calls == 10 && k.compress && k.params.empty() && !k.hostile &&
            k.sleepers == 0) {
            std::vector<double> v = driver_each(runs, [](const Run &r) { return r.disk_rate; });
            std::sort(v.begin(), v.end());
            (k.readers == 0 ? plain : with_readers) = v[v.size() / 2];
        }
    }
    if (plain > 0 && with_readers > 0)
        printf("\nStored calls/s of 16 agents x 10 calls with %u reading subscribers over "
               "without: %.3f (aim: at least 0.95).\n",
               kSweepReaders, with_readers / plain);
    const bool sweep = o.agents.empty() && o.calls.empty() && !o.raw && o.params.empty() &&
                       !o.hostile && o.readers == 0 && o.sleepers == 0;
    if (sweep && !held_table(o.binary, kHeldAgents, kSweepReaders, kSweepSleepers, o.cycles, o.runs))
        rc = 1;
    return rc;
}
