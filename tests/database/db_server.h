// A Database server run by `korvane start` on a fresh environment made by `korvane init
// --mode=database` whose service is then pointed at 127.0.0.1 and a free port (its Manager at
// a port where nothing listens), stopped (or killed) when the test ends, and readers of what
// it stored. The store's paths are relative to the
// environment directory, so whatever works on the store directly runs in a forked child that
// changes into it.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <regex>
#include <string>
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/collector_support.h"
#include "database/db_env.h"
#include "database/store/dbs.h"
#include "database/store/symbols.h"
#include "support/test_support.h"

// Runs fn in a forked child inside the environment directory; its result (standard output
// holds what fn printed).
inline RunResult in_env(const std::string &env, const std::function<void()> &fn) {
    return run_forked([&] {
        if (chdir(env.c_str()) != 0)
            _exit(2);
        fn();
    });
}

// Points the address object `name` ("server", "manager") of the environment's configuration
// at 127.0.0.1:port.
inline bool set_loopback_address(const std::string &env, const std::string &name, unsigned port) {
    const std::string path = env + "/conf/config.json";
    const std::string text = read_file(path);
    const std::regex block("\"" + name + "\"\\s*:\\s*\\{[^}]*\\}");
    std::smatch m;
    if (!std::regex_search(text, m, block))
        return false;
    std::string object = m.str();
    object = std::regex_replace(object, std::regex(R"("host"\s*:\s*"[^"]*")"),
                                "\"host\": \"127.0.0.1\"");
    object = std::regex_replace(object, std::regex(R"("port"\s*:\s*\d+)"),
                                "\"port\": " + std::to_string(port));
    write_file(path, m.prefix().str() + object + m.suffix().str());
    return true;
}

class DatabaseServer : public testing::Test {
protected:
    TempDir dir;
    std::string env = dir.sub("env");
    unsigned port = free_tcp_port();

    void SetUp() override {
        RunResult r = run_korvane({"init", "--mode=database", env});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        // The Manager link dials a port where nothing listens.
        ASSERT_TRUE(set_loopback_address(env, "server", port) &&
                    set_loopback_address(env, "manager", 1))
            << read_file(env + "/conf/config.json");
    }
    void TearDown() override { stop(); }

    // Starts the server; with `nofile`, under that descriptor limit (soft and hard).
    void start(const std::vector<std::string> &options = {}, unsigned nofile = 0) {
        std::vector<std::string> args{"start"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(env);
        RunResult r = run_korvane(args, "", [nofile] {
            const rlimit lim{nofile, nofile};
            if (nofile != 0 && setrlimit(RLIMIT_NOFILE, &lim) != 0)
                _exit(126);
        });
        ASSERT_EQ(r.exit_code, 0) << r.out << log();
        // The server thread may start a moment after the service reports itself up.
        ASSERT_TRUE(eventually([&] { return log().find("INFO   Server [") != std::string::npos; }));
    }
    // Stops the server; one that does not stop is killed.
    void stop() {
        const pid_t master = atoi(read_file(env + "/var/korvane.pid").c_str());
        if (master <= 0 || kill(master, 0) != 0)
            return;
        run_korvane({"stop", env});
        if (kill(master, 0) == 0) {
            kill(service_pid(), SIGKILL);
            kill(master, SIGKILL);
        }
    }
    std::string log() const { return read_file(env + "/logs/korvane.log"); }
    // Waits until the server has read every byte the client sent on its connection (the
    // server side's receive queue is empty), so that all of it has been accepted.
    bool read_by_server(int client_fd, double seconds = 10) const {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(client_fd, reinterpret_cast<sockaddr *>(&a), &len);
        char remote[16];
        snprintf(remote, sizeof remote, ":%04X", ntohs(a.sin_port));
        char local[16];
        snprintf(local, sizeof local, ":%04X ", port);
        return eventually(
            [&] {
                // Bytes still in the client's send queue have not reached the server yet,
                // while its receive queue may be empty for a moment.
                int unacked = 0;
                if (ioctl(client_fd, SIOCOUTQ, &unacked) != 0 || unacked != 0)
                    return false;
                std::istringstream in(read_file("/proc/net/tcp"));
                std::string line;
                while (std::getline(in, line)) {
                    std::istringstream f(line);
                    std::string sl, loc, rem, st, queues;
                    f >> sl >> loc >> rem >> st >> queues;
                    if ((loc + " ").find(local) != std::string::npos &&
                        rem.find(remote) != std::string::npos)
                        return queues.substr(queues.find(':') + 1) == "00000000";
                }
                return false;
            },
            seconds);
    }
    // The bytes of an agent's key/value day file.
    std::string day_file(uint64_t aid, uint32_t day, uint32_t key) const {
        char name[96];
        snprintf(name, sizeof name, "/storage.db/data/%016lX/kv/%u.%u", aid, day, key);
        return read_file(env + name);
    }
    bool logged(const std::string &line, double seconds = 5) const {
        return eventually([&] { return log().find(line) != std::string::npos; }, seconds);
    }
    // A field of the service process's status ("VmRSS", "VmHWM"), in KiB.
    uint64_t service_kib(const std::string &field) const {
        std::istringstream in(read_file("/proc/" + std::to_string(service_pid()) + "/status"));
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(field + ":", 0) == 0)
                return std::stoull(line.substr(field.size() + 1));
        return 0;
    }
    // The pid of the (last) service process, from the master's log line.
    pid_t service_pid() const {
        static const std::regex re(R"(Process \[korvane=(\d+)\] created successfully\.)");
        const std::vector<uint64_t> pids = captured_numbers(log(), re);
        return pids.empty() ? 0 : static_cast<pid_t>(pids.back());
    }

    // The agent's stored root calls, read from its files while the server runs.
    std::vector<seen_rcall> stored(uint64_t aid) const {
        RunResult r = in_env(env, [aid] {
            const uint64_t range[2] = {kMar1, kMar1 + 2 * DAY_MS - 1};
            for (const seen_rcall &s : walk(range, aid)) {
                const stored_head head{s.thread, s.exceptions, s.root,
                                       static_cast<uint32_t>(s.calls.size())};
                fwrite(&head, sizeof head, 1, stdout);
                if (head.n > 0)
                    fwrite(s.calls.data(), sizeof(call_record), head.n, stdout);
            }
        });
        return decode(r.out);
    }
    // Waits until the agent has `n` root calls stored; what it has then.
    std::vector<seen_rcall> stored_eventually(uint64_t aid, size_t n, double seconds = 10) const {
        std::vector<seen_rcall> seen;
        eventually([&] { return (seen = stored(aid)).size() >= n; }, seconds);
        return seen;
    }
    // How many root calls the agent has stored, and how many calls besides their roots.
    struct stored_count {
        uint64_t roots;
        uint64_t calls;
    };
    stored_count count_stored(uint64_t aid) const {
        RunResult r = in_env(env, [aid] {
            const uint64_t range[2] = {kMar1, kMar1 + 2 * DAY_MS - 1};
            uint64_t calls = 0;
            const std::vector<seen_rcall> seen = walk(range, aid);
            for (const seen_rcall &s : seen)
                calls += s.calls.size();
            printf("%zu %lu", seen.size(), calls);
        });
        stored_count n{};
        std::istringstream(r.out) >> n.roots >> n.calls;
        return n;
    }
    // The names of a symbol type by their ids.
    std::map<uint32_t, std::string> symbols(uint32_t type) const {
        RunResult r = in_env(env, [type] {
            symbols_foreach(
                type, nullptr,
                [](void *, uint32_t, uint32_t id, uint16_t, uint64_t, const char *name) {
                    printf("%u %s\n", id, name);
                    return 0;
                });
        });
        std::map<uint32_t, std::string> out;
        std::istringstream in(r.out);
        uint32_t id;
        std::string name;
        while (in >> id && std::getline(in >> std::ws, name))
            out[id] = name;
        return out;
    }

    // The store's id of a symbol name, 0 when it has none.
    uint32_t symbol_id(uint32_t type, const std::string &name) const {
        for (const auto &[id, n] : symbols(type))
            if (n == name)
                return id;
        return 0;
    }

private:
    // How the child hands a stored root call over: these fields, then its n calls.
    struct stored_head {
        uint32_t thread;
        uint16_t exceptions;
        call_record root;
        uint32_t n;
    };

    static std::vector<seen_rcall> decode(const std::string &bytes) {
        std::vector<seen_rcall> out;
        for (size_t at = 0; at + sizeof(stored_head) <= bytes.size();) {
            stored_head head;
            memcpy(&head, bytes.data() + at, sizeof head);
            at += sizeof head;
            seen_rcall s{0, 0, 0, head.thread, head.exceptions, head.root, {}};
            s.calls.resize(head.n);
            if (head.n > 0)
                memcpy(s.calls.data(), bytes.data() + at, head.n * sizeof(call_record));
            at += head.n * sizeof(call_record);
            out.push_back(s);
        }
        return out;
    }
};
