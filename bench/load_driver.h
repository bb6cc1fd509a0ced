// Shared by the load drivers (ingest, clients): a Database environment in a temporary
// directory with `korvane start` run on it (127.0.0.1, a free port), the service process's
// CPU time and peak RSS read from /proc, agent identities, the stop that removes it all, and
// the median and range of a figure over several runs.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "database/store/agents.h"
#include "lib/agent_type.h"
#include "lib/files.h"
#include "tests/database/agent_wire.h"
#include "tests/database/db_env.h"
#include "tests/support/frame_client.h"

inline unsigned driver_free_port() {
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

// Runs `korvane command env` with its banner and progress sent to /dev/null (they would break
// up the table); its exit status, -1 when it did not exit.
inline int driver_korvane(const std::string &binary, const char *command, const std::string &env) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDIN_FILENO);
        dup2(devnull, STDOUT_FILENO);
        execl(binary.c_str(), binary.c_str(), command, env.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string driver_read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Peak resident size of a process in MiB.
inline double driver_peak_rss_mib(pid_t pid) {
    std::istringstream in(driver_read_text("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    return 0;
}

// User + system CPU seconds of a process.
inline double driver_cpu_seconds(pid_t pid) {
    const std::string stat = driver_read_text("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return 0;
    // Fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && in >> field; i++)
        if (i >= 12)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A JVM agent's 64-byte identity carrying `label`.
inline std::string driver_identity(const std::string &label) {
    std::string identity(64, '\0');
    identity[0] = static_cast<char>(AGENT_TYPE_JVM);
    identity.replace(1, label.size(), label);
    return identity;
}

inline uint64_t driver_agent_id(const std::string &identity) {
    return agent_id_of(reinterpret_cast<const uint8_t *>(identity.data()));
}

// A running server in a directory of its own.
struct driver_server {
    std::string binary;
    std::string dir; // the temporary directory; the environment is dir + "/env"
    std::string env;
    unsigned port = 0;
    pid_t service = 0;
    bool started = false;
};

// Lays out a fresh environment and starts the server on it; true once the service process is
// known and answers a client's hello. On false, driver_stop still cleans up.
inline bool driver_start(driver_server *s, const std::string &binary, const char *name) {
    s->binary = binary;
    s->dir = sys_make_scratch_dir((std::string("korvane-") + name).c_str());
    if (s->dir.empty())
        return false;
    s->env = s->dir + "/env";
    s->port = driver_free_port();
    if (!make_database_env(s->env, s->port) || driver_korvane(binary, "start", s->env) != 0)
        return false;
    s->started = true;
    static const std::regex re(R"(Process \[korvane=(\d+)\] created successfully\.)");
    for (int i = 0; i < 200 && s->service == 0; i++) {
        std::smatch m;
        const std::string log = driver_read_text(s->env + "/logs/korvane.log");
        if (std::regex_search(log, m, re))
            s->service = std::stoi(m[1]);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    for (int i = 0; i < 200 && s->service != 0; i++) {
        FrameClient probe(s->port, 0);
        if (probe.connected() && probe.send({ui_hello("probe")}) && probe.next(1000))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// Stops a started server and removes its directory.
inline void driver_stop(driver_server *s) {
    if (s->started)
        driver_korvane(s->binary, "stop", s->env);
    s->started = false;
    if (!s->dir.empty()) {
        sys_remove_scratch_dir(s->dir.c_str());
    }
    s->dir.clear();
}

// The korvane executable next to the build's bench directory.
inline std::string driver_default_korvane() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "korvane";
}

// "median (min–max)" of the runs' values in `format`, or the value alone for one run.
inline std::string driver_spread(std::vector<double> v, const char *format) {
    if (v.empty())
        return "-";
    std::sort(v.begin(), v.end());
    char one[32], lo[32], hi[32];
    snprintf(one, sizeof one, format, v[v.size() / 2]);
    if (v.size() == 1)
        return one;
    snprintf(lo, sizeof lo, format, v.front());
    snprintf(hi, sizeof hi, format, v.back());
    return std::string(one) + " (" + lo + "–" + hi + ")";
}

// The runs' values of one field.
template <class Run, class F> std::vector<double> driver_each(const std::vector<Run> &runs, F field) {
    std::vector<double> v;
    for (const Run &r : runs)
        v.push_back(field(r));
    return v;
}
