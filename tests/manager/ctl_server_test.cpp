// The control channel of Manager and Standalone servers made by `korvane init`: records
// written straight into their FIFO, and what the service does with them.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "manager/acache.h"
#include "mgr_server.h"
#include "mgr_support.h"
#include "server/ctl.h"
#include "server/ctl_records.h"

namespace {

// Two agents registered with the Database 10.0.0.1:9000.
mgr_agent agent_a() {
    return agent_rec(AGENT_TYPE_JVM, "ctl-a", "10.0.0.1:9000");
}
mgr_agent agent_b() {
    return agent_rec(AGENT_TYPE_JVM, "ctl-b", "10.0.0.1:9000");
}

// A marker after the records of a write: its line tells that they were all taken.
const std::string kMarker(9, '\0');
const std::string kMarkerLine = "WARN   Invalid command size.";

std::string addr(uint8_t last) {
    return ctl_nurl4(0x0A000000u | last, 9000);
}

std::string reroute(uint8_t last, const std::vector<uint64_t> &ids) {
    return ctl_good(CTL_CMD_REROUTE, ctl_reroute_data(addr(last), ids));
}

// The user and system CPU time of a process so far, in clock ticks.
uint64_t cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')': state is field 3, utime 14.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; i++) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return utime + stime;
}

class FifoWriter {
public:
    explicit FifoWriter(const std::string &env)
        : fd_(open((env + "/" + CTL_FIFO_PATH).c_str(), O_WRONLY | O_NONBLOCK)) {
        EXPECT_GE(fd_, 0) << strerror(errno);
    }
    ~FifoWriter() { close(); }
    void write_all(const std::string &bytes) {
        EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

struct RecordCase {
    const char *name;
    std::string bytes;
    const char *line; // the line the write gets; NULL: none, the marker follows
    const char *db_a; // the agents' Database afterwards
    const char *db_b;
};

TEST(MgrCtlServer, RecordsWrittenIntoTheFifo) {
    ManagerServer srv("manager");
    srv.prepare([](mgr_storage *s) {
        for (const mgr_agent &a : {agent_a(), agent_b()})
            ASSERT_EQ(acache_add(s, &a).aid, a.aid);
    });
    const uint64_t aid_a = agent_a().aid, aid_b = agent_b().aid;
    srv.start({"--trace"});
    struct stat st;
    ASSERT_EQ(lstat((srv.env() + "/" + CTL_FIFO_PATH).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    std::vector<uint64_t> many{aid_a};
    for (uint64_t i = 1; i < CTL_REROUTE_MAX_AGENTS; i++)
        many.push_back(0xC000 + i);
    const RecordCase cases[] = {
        {"9 bytes", std::string(9, '\x02'), "WARN   Invalid command size.", "10.0.0.1:9000",
         "10.0.0.1:9000"},
        {"length 30, 20 data bytes", ctl_record(0, CTL_CMD_REROUTE, 30, std::string(20, '\0')),
         "WARN   Invalid command data size.", "10.0.0.1:9000", "10.0.0.1:9000"},
        {"crc 0", ctl_record(0, CTL_CMD_REROUTE, 30, ctl_reroute_data(addr(3), {aid_a})), nullptr,
         "10.0.0.3:9000", "10.0.0.1:9000"},
        {"wrong crc",
         ctl_record(0x12345678, CTL_CMD_REROUTE, 30, ctl_reroute_data(addr(4), {aid_a})),
         "WARN   Command data corrupted!", "10.0.0.3:9000", "10.0.0.1:9000"},
        {"unknown command", ctl_good(3, ctl_reroute_data(addr(5), {aid_a})), nullptr,
         "10.0.0.3:9000", "10.0.0.1:9000"},
        {"124 agents in 1024 bytes", reroute(6, many), nullptr, "10.0.0.6:9000", "10.0.0.1:9000"},
        {"two records in one write", reroute(7, {aid_a}) + reroute(8, {aid_b}), nullptr,
         "10.0.0.7:9000", "10.0.0.8:9000"},
        {"k = 0", reroute(9, {}), nullptr, "10.0.0.7:9000", "10.0.0.8:9000"},
    };
    ASSERT_EQ(reroute(6, many).size(), CTL_RECORD_MAX);
    FifoWriter fifo(srv.env());
    for (const RecordCase &c : cases) {
        const std::string line = c.line != nullptr ? c.line : kMarkerLine;
        const size_t before = srv.count(line);
        fifo.write_all(c.bytes + (c.line != nullptr ? "" : kMarker));
        EXPECT_TRUE(srv.logged_times(line, before + 1)) << c.name << srv.log();
        EXPECT_EQ(srv.rows("SELECT label, db FROM AGENTS ORDER BY label;"),
                  (std::vector<std::string>{std::string("ctl-a|") + c.db_a,
                                            std::string("ctl-b|") + c.db_b}))
            << c.name;
    }
    EXPECT_EQ(srv.count("Agents reroute failure."), 0u);
    EXPECT_EQ(srv.count("Invalid reroute command size!"), 0u);

    // The last writer gone, the reader waits: the service's CPU time stays flat over two
    // of its waits (a reader that spun on the hang-up would burn a core all along).
    fifo.close();
    const pid_t service = srv.service_pid();
    const size_t waits = srv.count("Control server timed out.");
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t cpu0 = cpu_ticks(service);
    ASSERT_TRUE(srv.logged_times("Control server timed out.", waits + 2, 10));
    const uint64_t cpu = cpu_ticks(service) - cpu0;
    const double elapsed_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double wall_ticks = elapsed_s * static_cast<double>(sysconf(_SC_CLK_TCK));
    EXPECT_LT(static_cast<double>(cpu), wall_ticks / 4) << cpu << " ticks in " << elapsed_s << " s";

    // The FIFO outlives the service.
    EXPECT_EQ(srv.stop(), 0);
    ASSERT_EQ(lstat((srv.env() + "/" + CTL_FIFO_PATH).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(MgrCtlServer, StandaloneRefusesReroutes) {
    ManagerServer srv("standalone");
    const mgr_agent a = agent_a();
    srv.prepare([&](mgr_storage *s) { ASSERT_EQ(acache_add(s, &a).aid, a.aid); });
    srv.start();
    FifoWriter fifo(srv.env());
    fifo.write_all(reroute(3, {a.aid}));
    EXPECT_TRUE(srv.logged("WARN   Agents reroute not supported!"));
    EXPECT_EQ(srv.rows("SELECT label, db FROM AGENTS;"),
              std::vector<std::string>{"ctl-a|10.0.0.1:9000"});
}

} // namespace
