// A Manager-only and a Database-only server made by `korvane init`, both on 127.0.0.1: the
// Database's link finds the Manager, and the Manager's clients hear of the Database coming
// and going.
#include <gtest/gtest.h>

#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <regex>
#include <string>

#include "mgr_server.h"
#include "server/mgrconn.h"

namespace {

// A Database-only server whose configuration points its listening address and its Manager at
// 127.0.0.1 and the given ports; stopped (or killed) when the test ends.
class LinkedDatabase {
public:
    LinkedDatabase(unsigned manager_port) : env_(dir_.sub("env")), port_(free_tcp_port()) {
        RunResult r = run_korvane({"init", "--mode=database", env_});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_TRUE(point(env_, "server", port_) && point(env_, "manager", manager_port))
            << read_file(env_ + "/conf/config.json");
    }
    ~LinkedDatabase() { stop(); }
    LinkedDatabase(const LinkedDatabase &) = delete;
    LinkedDatabase &operator=(const LinkedDatabase &) = delete;

    unsigned port() const { return port_; }
    std::string log() const { return read_file(env_ + "/logs/korvane.log"); }
    size_t count(const std::string &line) const { return count_of(log(), line); }

    void start() {
        const size_t servers = count("INFO   Server [");
        RunResult r = run_korvane({"start", env_});
        ASSERT_EQ(r.exit_code, 0) << r.out << log();
        master_ = atoi(read_file(env_ + "/var/korvane.pid").c_str());
        ASSERT_TRUE(eventually([&] { return count("INFO   Server [") > servers; })) << log();
    }
    int stop() {
        if (master_ <= 0 || kill(master_, 0) != 0)
            return -1;
        RunResult r = run_korvane({"stop", env_});
        if (kill(master_, 0) == 0)
            kill(master_, SIGKILL);
        master_ = 0;
        return r.exit_code;
    }

private:
    // Points the address object `name` of the configuration at 127.0.0.1:port.
    static bool point(const std::string &env, const std::string &name, unsigned port) {
        const std::string path = env + "/conf/config.json";
        const std::string text = read_file(path);
        std::smatch m;
        if (!std::regex_search(text, m, std::regex("\"" + name + "\"\\s*:\\s*\\{[^}]*\\}")))
            return false;
        std::string object = m.str();
        object = std::regex_replace(object, std::regex(R"("host"\s*:\s*"[^"]*")"),
                                    "\"host\": \"127.0.0.1\"");
        object = std::regex_replace(object, std::regex(R"("port"\s*:\s*\d+)"),
                                    "\"port\": " + std::to_string(port));
        write_file(path, m.prefix().str() + object + m.suffix().str());
        return true;
    }

    TempDir dir_;
    std::string env_;
    unsigned port_;
    pid_t master_ = 0;
};

// The push a client gets when the Database at 127.0.0.1:port connects (kind 1) or goes
// (kind 0): type 7, a length of 22, a zero byte, the kind, family 2 and the port little-endian,
// the IPv4 address and the 12 unused address bytes.
Bytes notice_bytes(uint8_t kind, unsigned port) {
    Bytes b("\x07\x00\x00\x00\x16\x00", 6);
    b += static_cast<char>(kind);
    b += Bytes("\x02\x00", 2);
    b += static_cast<char>(port & 0xFF);
    b += static_cast<char>(port >> 8);
    b += Bytes("\x7F\x00\x00\x01", 4) + Bytes(12, '\0');
    return b;
}

TEST(MgrLinkServer, DatabaseLinksOnceAndClientsHearOfItsStopAndStart) {
    ManagerServer mgr("manager");
    mgr.start();
    LinkedDatabase db(mgr.port());
    db.start();
    ASSERT_TRUE(mgr.logged("INFO   New database connection accepted from 127.0.0.1:", 10))
        << mgr.log();
    ASSERT_TRUE(eventually([&] { return db.count("INFO   Manager connection established.") > 0; }))
        << db.log();
    EXPECT_EQ(mgr.count("New database connection accepted from"), 1u) << mgr.log();

    // The login answer: type 1, length 43, "\0MANAGER", admin's permissions 0x1F, the
    // protocol word 0x3006, no banned agents, mode 1, one Database, a zero byte, then the
    // Database's address with family and port big-endian.
    Peer client(mgr.port());
    client.send({login_hello("admin", "vendrix")});
    Bytes answer("\x01\x00\x00\x00\x2B", 5);
    answer += Bytes("\0MANAGER", 8) + Bytes(7, '\0') + "\x1F" + "\x30\x06" + Bytes(2, '\0');
    answer += Bytes("\x01\x01\x00\x00\x02", 5);
    answer += static_cast<char>(db.port() >> 8);
    answer += static_cast<char>(db.port() & 0xFF);
    answer += Bytes("\x7F\x00\x00\x01", 4) + Bytes(12, '\0');
    EXPECT_EQ(client.expect_next(), answer);

    EXPECT_EQ(db.stop(), 0);
    const Bytes gone = client.expect_next(10000);
        EXPECT_EQ(gone, notice_bytes(0, db.port()));
    db.start();
    const Bytes back = client.expect_next(10000);
        EXPECT_EQ(back, notice_bytes(1, db.port()));

    // Once per start of the Database: the link stayed one connection each time.
    ASSERT_TRUE(eventually([&] { return db.count("INFO   Manager connection established.") >= 2; }))
        << db.log();
    EXPECT_EQ(mgr.count("New database connection accepted from"), 2u) << mgr.log();
    EXPECT_EQ(db.count("INFO   Connection to the manager established."), 2u) << db.log();
    EXPECT_EQ(db.count("Connection response read failed!"), 0u) << db.log();
}

// The Database's stop ends a link that is dialling a Manager the network never answers: the
// service stops on its own, well within the master's grace, and the link sent no hello.
TEST(MgrLinkServer, StopEndsADialToABlackHoledManager) {
    BlackHole hole;
    setenv(MGRCONN_BACKOFF_ENV, "10", 1);
    LinkedDatabase db(hole.port);
    db.start();
    unsetenv(MGRCONN_BACKOFF_ENV);
    ASSERT_TRUE(eventually([&] { return db.count("INFO   Connecting to the manager [") > 0; }))
        << db.log();
    EXPECT_EQ(db.stop(), 0);
    const std::string log = db.log();
    EXPECT_NE(log.find("INFO   Korvane stopped."), std::string::npos) << log;
    EXPECT_EQ(log.find("did not stop within"), std::string::npos) << log;
    EXPECT_EQ(log.find("Connection to the manager established."), std::string::npos) << log;
}

} // namespace
