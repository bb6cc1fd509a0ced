// A Manager or Standalone server made by `korvane init` in a temporary directory, listening
// on a free port of 127.0.0.1 (or of the any-address), its storage prepared through the
// storage API before it starts, stopped (or killed) when the test ends; and loopback peers
// that speak to it.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <iostream>
#include <regex>
#include <sqlite3.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "manager/mgr_storage.h"
#include "mgr_wire.h"
#include "support/frame_client.h"
#include "support/test_support.h"

// A frame client whose failures to connect or to read the server's frames fail the test.
class Peer : public FrameClient {
public:
    explicit Peer(unsigned port) : FrameClient(port) { EXPECT_TRUE(connected()) << strerror(errno); }
    ~Peer() { EXPECT_FALSE(corrupt()); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // The next message, failing the test when none comes.
    Bytes expect_next(int timeout_ms = 5000) {
        std::optional<Bytes> m = next(timeout_ms);
        EXPECT_TRUE(m.has_value()) << "no message arrived";
        return m.value_or(Bytes());
    }
};

class ManagerServer {
public:
    // `mode` is the init mode word (empty: init without one), `host` the listening host
    // written into the configuration.
    explicit ManagerServer(const std::string &mode, const std::string &host = "127.0.0.1")
        : env_(dir_.sub("env")), port_(free_tcp_port()) {
        RunResult r =
            run_korvane(mode.empty() ? std::vector<std::string>{"init", env_}
                                     : std::vector<std::string>{"init", "--mode=" + mode, env_});
        EXPECT_EQ(r.exit_code, 0) << r.out;
        std::string config = read_file(env_ + "/conf/config.json");
        config = std::regex_replace(config, std::regex(R"("host": "\*")"), "\"host\": \"" + host + "\"");
        config = std::regex_replace(config, std::regex(R"("port": 9000)"),
                                    "\"port\": " + std::to_string(port_));
        write_file(env_ + "/conf/config.json", config);
    }
    // A failed test shows the end of the server's log, which goes with its directory.
    ~ManagerServer() {
        stop();
        if (testing::Test::HasFailure()) {
            const std::string text = log();
            std::cerr << "--- end of the server's log ---\n"
                      << text.substr(text.size() > 20000 ? text.size() - 20000 : 0);
        }
    }
    ManagerServer(const ManagerServer &) = delete;
    ManagerServer &operator=(const ManagerServer &) = delete;

    const std::string &env() const { return env_; }
    unsigned port() const { return port_; }

    // Runs fn on the storage of the environment in a child process, before the server starts
    // or while it runs. Its ASSERTs fail the test.
    void prepare(const std::function<void(mgr_storage *)> &fn) const {
        RunResult r = run_forked([&] {
            if (chdir(env_.c_str()) != 0)
                _exit(2);
            mgr_storage *s = mgr_storage_open();
            if (s == nullptr)
                _exit(3);
            fn(s);
            mgr_storage_close(s);
            fflush(stdout);
            _exit(testing::Test::HasFailure() ? 1 : 0);
        });
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }

    void start(const std::vector<std::string> &options = {"--debug"}) {
        std::vector<std::string> args{"start"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(env_);
        RunResult r = run_korvane(args);
        ASSERT_EQ(r.exit_code, 0) << r.out << log();
        master_ = atoi(read_file(env_ + "/var/korvane.pid").c_str());
        ASSERT_TRUE(logged("INFO   Server ["));
    }
    // Stops the server with the stop command: its exit status. One that does not stop is
    // killed.
    int stop() {
        if (master_ <= 0 || kill(master_, 0) != 0)
            return -1;
        RunResult r = run_korvane({"stop", env_});
        if (kill(master_, 0) == 0) {
            kill(service_pid(), SIGKILL);
            kill(master_, SIGKILL);
        }
        master_ = 0;
        return r.exit_code;
    }

    std::string log() const { return read_file(env_ + "/logs/korvane.log"); }
    bool logged(const std::string &line, double seconds = 5) const {
        return eventually([&] { return log().find(line) != std::string::npos; }, seconds);
    }
    size_t count(const std::string &line) const { return count_of(log(), line); }
    // Waits until `line` has been logged `n` times.
    bool logged_times(const std::string &line, size_t n, double seconds = 5) const {
        return eventually([&] { return count(line) >= n; }, seconds);
    }
    pid_t service_pid() const {
        static const std::regex re(R"(Process \[korvane=(\d+)\] created successfully\.)");
        const std::vector<uint64_t> pids = captured_numbers(log(), re);
        return pids.empty() ? 0 : static_cast<pid_t>(pids.back());
    }

    // Rows of a query on the storage file, columns joined by '|' ("NULL" for NULL).
    std::vector<std::string> rows(const std::string &query) const {
        std::vector<std::string> out;
        sqlite3 *db = nullptr;
        if (sqlite3_open_v2((env_ + "/" + MGR_STORAGE_FILE).c_str(), &db, SQLITE_OPEN_READONLY,
                            nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db);
            sqlite3_close(db);
            return out;
        }
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt *st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr), SQLITE_OK) << query;
        while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int c = 0; c < sqlite3_column_count(st); c++) {
                const unsigned char *t = sqlite3_column_text(st, c);
                row += (c > 0 ? "|" : "") +
                       (t != nullptr ? std::string(reinterpret_cast<const char *>(t)) : "NULL");
            }
            out.push_back(row);
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return out;
    }

    // A client logged in as admin: its answer has been read.
    std::unique_ptr<Peer> admin() const {
        auto c = std::make_unique<Peer>(port_);
        c->send({login_hello("admin", "vendrix")});
        const Bytes answer = c->expect_next();
        EXPECT_EQ(answer.substr(0, 1), be(MSG_HELLO, 1));
        EXPECT_EQ(answer.substr(5, 8), manager_answer());
        return c;
    }

    // An agent whose hello has been answered and handled to its last decision.
    std::unique_ptr<Peer> agent(const MgrAgentHello &hello) const {
        const size_t handled = decisions(hello.label);
        auto a = std::make_unique<Peer>(port_);
        a->send({hello.message()});
        EXPECT_EQ(a->expect_next(), wire_message(MSG_HELLO, manager_answer()));
        EXPECT_TRUE(eventually([&] { return decisions(hello.label) > handled; })) << log();
        return a;
    }

    // How many hellos of the agent have come to their last step, the Database decision.
    size_t decisions(const std::string &label) const {
        const std::string text = log();
        const std::string shown = shown_label(label);
        return count_of(text, "Agent [" + shown + "] database ") +
               count_of(text, "Agent [" + shown + "] has no database assigned.");
    }

private:
    TempDir dir_;
    std::string env_;
    unsigned port_;
    pid_t master_ = 0;
};

// The next message a client gets other than the agents status reports the server broadcasts
// to clients every few seconds.
inline Bytes next_reply(Peer &client, int timeout_ms = 5000) {
    for (;;) {
        const Bytes m = client.expect_next(timeout_ms);
        if (m.empty() || m[0] != static_cast<char>(MSG_AGENT_DATA))
            return m;
    }
}

// Sends an agent a marker command through a logged-in client and reads the agent's messages
// up to it: everything queued to the agent before the marker, in order.
inline std::vector<Bytes> agent_messages_until_marker(Peer &client, Peer &agent, uint64_t aid) {
    static uint64_t serial = 0;
    const std::string marker = "marker-" + std::to_string(++serial);
    client.send({client_command(0, aid, marker)});
    std::vector<Bytes> seen;
    const Bytes marker_msg = wire_message(MSG_AGENT_COMMAND, be(0, 8) + marker);
    for (;;) {
        std::optional<Bytes> m = agent.next();
        if (!m.has_value()) {
            ADD_FAILURE() << "the marker never arrived";
            return seen;
        }
        if (*m == marker_msg)
            return seen;
        seen.push_back(*m);
    }
}
