// Ingest load driver: lays out a Database environment in a temporary directory, runs
// `korvane start` on it (listening on 127.0.0.1 and a free port), has K simulated agents send
// root calls over their own connections for a bounded time, then pages ROOT CALLS queries
// until everything sent is found (or a bounded wait ends), and prints a markdown table: calls
// stored per second end to end, calls lost, and the service process's CPU time and peak RSS.
//
// ingest [--korvane PATH] [--seconds S]
//   PATH defaults to the korvane next to the build's bench directory; S (per case) to 3.
// Exits with 1 when a case lost calls or a connection failed.
// In the cases marked so, every root call carries an extension entry: a small parameter text.
// In the case with a hostile agent, one more agent sends calls whose roots never come and
// symbols spread over the id space beside the normal ones; only the normal agents' calls are
// counted, and they must all be stored.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "database/store/rcall.h"
#include "lib/agent_type.h"
#include "server/frame.h"
#include "server/reply.h"
#include "server/sock.h"
#include "tests/database/agent_wire.h"
#include "tests/database/db_env.h"
#include "tests/support/frame_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// 2024-03-01 01:00:00 UTC: the first root call of every agent; each next one 1 ms later.
constexpr uint64_t kFirstRoot = 19783ull * DAY_MS + HOUR_MS;
constexpr uint64_t kDayEnd = 19784ull * DAY_MS - 1;
// An agent sends at most this many root calls per case, which keeps them within the day.
constexpr uint64_t kMaxRootsPerAgent = 40'000'000;
// Records of one agent message, in bytes (well under a message's limit).
constexpr size_t kBatchBytes = 64 * 1024;
constexpr uint32_t kRootDur = 100;
constexpr double kStoreWaitSeconds = 120;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// ---- the server ----

unsigned free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        a.sin_port = 0;
    close(fd);
    return ntohs(a.sin_port);
}

// Runs fn in a child process; its exit status.
template <class F> int in_child(F fn) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int korvane(const std::string &binary, const char *command, const std::string &env) {
    return in_child([&] {
        // Its banner and progress would break up the table.
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDIN_FILENO);
        dup2(devnull, STDOUT_FILENO);
        execl(binary.c_str(), binary.c_str(), command, env.c_str(), static_cast<char *>(nullptr));
        return 127;
    });
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The service process, from the master's log line.
pid_t service_pid(const std::string &env) {
    static const std::regex re(R"(Process \[korvane=(\d+)\] created successfully\.)");
    std::smatch m;
    const std::string log = read_text(env + "/logs/korvane.log");
    return std::regex_search(log, m, re) ? std::stoi(m[1]) : 0;
}

// Peak resident size in MiB and user + system CPU seconds of a process.
double peak_rss_mib(pid_t pid) {
    std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    return 0;
}
double cpu_seconds(pid_t pid) {
    const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && in >> field; i++)
        if (i >= 12)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

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

// The extension entry of a root call in the cases that send one: one key/value parameter.
const std::string kRootParams = std::string("order") + '\x1E' + "42";

// Root call n of an agent: its calls, then its root, with an extension entry if `params`.
void add_root_call(AgentData *d, uint64_t n, uint32_t calls, bool params) {
    const uint64_t time = kFirstRoot + n;
    const uint64_t key = (n & 0xFFFFF) << 44 | time;
    for (uint32_t i = 0; i < calls; i++)
        d->call(Call{0, key, 1, 2, i + 1, 1, time + i / 8, 0, 1, ""});
    const uint16_t flags = params ? CALL_F_ROOT | CALL_F_PARAMS : CALL_F_ROOT;
    d->call(
        Call{flags, key, 1, 1, 0, 0, time, 0, kRootDur, be(1, 4) + (params ? kRootParams : "")});
}

struct Case {
    unsigned agents;
    uint32_t calls;
    bool compress;
    bool params = false;  // every root call carries an extension entry
    bool hostile = false; // one more agent sends what the collector must not hold for it
};

// What a hostile agent sends: class symbols with ids spread over the whole id space (a map
// page each), then calls whose roots never come, each of its own root call in one window and
// with a small parameter entry, over and over.
void run_hostile_agent(Agent *a, unsigned port, Clock::time_point end) {
    FrameClient c(port, 2 * kBatchBytes);
    const std::string hello = agent_hello(be(kFirstRoot, 8) + a->identity);
    if (!c.connected() || !c.send({hello}) || !c.next(10000)) {
        a->failed = true;
        return;
    }
    AgentData symbols;
    for (uint32_t id = 1; id <= 0xFFFFFF; id += 4096)
        symbols.sym(AREC_SYM_CLASS, id, "Hostile" + std::to_string(id));
    if (!c.send({symbols.message()})) {
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

void run_agent(Agent *a, unsigned port, const Case &k, Clock::time_point end) {
    FrameClient c(port, 2 * kBatchBytes);
    const std::string hello = agent_hello(be(kFirstRoot, 8) + a->identity);
    if (!c.connected() || !c.send({hello}) || !c.next(10000) || !c.send({kSymbols})) {
        a->failed = true;
        return;
    }
    while (Clock::now() < end && a->roots < kMaxRootsPerAgent) {
        AgentData d;
        while (d.recs.size() < kBatchBytes)
            add_root_call(&d, a->roots++, k.calls, k.params);
        if (!c.send({d.message()}, k.compress)) {
            a->failed = true;
            return;
        }
    }
}

// How many of the agent's root calls a ROOT CALLS query finds with the extension flag they
// were sent with, paging by time from the first; pages until it has them all or the deadline
// passes.
uint64_t count_stored(FrameClient *q, uint64_t *rid, const Agent &a, uint16_t params,
                      Clock::time_point deadline) {
    uint64_t found = 0, from = kFirstRoot;
    while (found < a.roots && Clock::now() < deadline) {
        if (!q->send({root_calls_query(++*rid, a.aid, from, kDayEnd)}))
            break;
        const std::optional<std::string> m = q->next(30000);
        if (!m)
            break;
        const RootCallsReply r = read_root_calls(*m);
        for (const RootCallRow &row : r.rows) {
            if (row.time >= from) {
                found += (row.flags & CALL_F_PARAMS) == params;
                from = row.time + 1;
            }
        }
        if (r.status != QRESP_PARTIAL && found < a.roots)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return found;
}

// Prints the case's row; whether every root call sent was found and no connection failed.
bool run_case(const Case &c, unsigned port, pid_t service, double seconds) {
    static unsigned serial = 0;
    std::vector<Agent> agents;
    for (unsigned i = 0; i < c.agents; i++) {
        const std::string label = "ingest-" + std::to_string(++serial);
        std::string identity(64, '\0');
        identity[0] = static_cast<char>(AGENT_TYPE_JVM);
        identity.replace(1, label.size(), label);
        agents.push_back(
            {identity, agent_id_of(reinterpret_cast<const uint8_t *>(identity.data()))});
    }
    const double cpu_before = cpu_seconds(service);
    const Clock::time_point start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (Agent &a : agents)
        threads.emplace_back(run_agent, &a, port, std::cref(c), end);
    Agent hostile{std::string(64, '\0'), 0};
    if (c.hostile) {
        const std::string label = "hostile-" + std::to_string(++serial);
        hostile.identity[0] = static_cast<char>(AGENT_TYPE_JVM);
        hostile.identity.replace(1, label.size(), label);
        threads.emplace_back(run_hostile_agent, &hostile, port, end);
    }
    for (std::thread &t : threads)
        t.join();
    const double sending = seconds_since(start);

    FrameClient q(port);
    uint64_t rid = 0, sent = 0, stored = 0;
    bool failed = !q.connected() || !q.send({ui_hello("ingest driver")}) || !q.next(10000);
    const auto deadline = Clock::now() + std::chrono::seconds(static_cast<int>(kStoreWaitSeconds));
    for (const Agent &a : agents) {
        failed = failed || a.failed;
        sent += a.roots;
        stored += count_stored(&q, &rid, a, c.params ? CALL_F_PARAMS : 0, deadline);
    }
    const double elapsed = seconds_since(start);
    const uint64_t per_root = c.calls + 1;
    failed = failed || hostile.failed;
    printf("| %u | %u | %s | %s | %s | %lu | %.0f | %.0f | %lu | %.2f | %.1f | %.0f |%s\n",
           c.agents, c.calls, c.compress ? "LZ4" : "raw", c.params ? "parameter text" : "-",
           c.hostile ? "yes" : "-", sent * per_root,
           static_cast<double>(sent * per_root) / sending,
           static_cast<double>(stored * per_root) / elapsed, (sent - stored) * per_root, elapsed,
           cpu_seconds(service) - cpu_before, peak_rss_mib(service),
           failed ? " connection failed" : "");
    fflush(stdout);
    return !failed && stored == sent;
}

} // namespace

int main(int argc, char **argv) {
    std::string binary =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "korvane";
    double seconds = 3;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--korvane" && i + 1 < argc)
            binary = argv[++i];
        else if (arg == "--seconds" && i + 1 < argc)
            seconds = std::min(60.0, std::max(0.1, atof(argv[++i])));
        else {
            fprintf(stderr, "usage: ingest [--korvane PATH] [--seconds S]\n");
            return 2;
        }
    }
    // A reader of the table that goes away must not leave the server running.
    signal(SIGPIPE, SIG_IGN);
    char dir[] = "/tmp/korvane-ingest-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::string env = std::string(dir) + "/env";
    const unsigned port = free_port();
    int rc = 1;
    if (make_database_env(env, port) && korvane(binary, "start", env) == 0) {
        pid_t service = 0;
        for (int i = 0; i < 200 && (service = service_pid(env)) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // Up once a client connection is answered.
        bool up = false;
        for (int i = 0; i < 200 && !up; i++) {
            FrameClient probe(port, 0);
            up = probe.connected() && probe.send({ui_hello("probe")}) && probe.next(1000);
            if (!up)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (service != 0 && up) {
            printf("| agents | calls per root | frames | root extension entry | hostile agent "
                   "beside | calls sent | "
                   "sent calls/s | stored calls/s end to end | calls lost | seconds to stored | "
                   "server CPU s | server peak RSS MiB |\n"
                   "|---:|---:|---|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
            std::vector<Case> cases;
            for (unsigned agents : {1u, 4u, 16u})
                for (uint32_t calls : {0u, 10u, 100u})
                    cases.push_back({agents, calls, true});
            cases.push_back({16, 10, false});
            cases.push_back({16, 10, true, true});
            cases.push_back({16, 10, true, false, true});
            cases.push_back({256, 10, true});
            rc = 0;
            for (const Case &c : cases)
                if (!run_case(c, port, service, seconds))
                    rc = 1;
        } else {
            fprintf(stderr, "ingest: the server did not come up\n");
        }
        korvane(binary, "stop", env);
    } else {
        fprintf(stderr, "ingest: could not start %s on %s\n", binary.c_str(), env.c_str());
    }
    std::filesystem::remove_all(dir);
    return rc;
}
