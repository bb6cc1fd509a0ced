// A running Database whose hour file has been damaged while it was stopped: after a restart
// ROOT CALLS finds every intact root call of the file, and, once the agent has appended to
// the hour again, those and the new one, with the damaged bytes told once in the log.
#include <gtest/gtest.h>

#include <set>

#include "database/agent_wire.h"
#include "database/db_server.h"
#include "database/peer_client.h"
#include "lib/agent_type.h"
#include "server/reply.h"

namespace {

constexpr uint64_t kStarted = utc_time(8, 0);
constexpr uint32_t kRoots = 10;
// Each root call holds one call besides its root: 144 bytes in the hour file.
constexpr uint64_t kStoredLength = 144;

class DamagedStoreTest : public DatabaseServer {
protected:
    const Bytes identity = identity_bytes(AGENT_TYPE_JVM, "damaged");
    const uint64_t aid = agent_id_of(as_bytes(identity));

    // Connects as the agent, names its symbols and sends the root calls at the given seconds
    // of 10:00 UTC, one call and the root each.
    void send_root_calls(const std::vector<uint32_t> &seconds) const {
        PeerClient agent(port);
        ASSERT_TRUE(agent.send({agent_hello(be(kStarted, 8) + identity)}));
        ASSERT_EQ(agent.next(), kManagerAnswer);
        ASSERT_TRUE(agent.send({AgentData()
                                    .sym(AREC_SYM_CLASS, 1, "com.example.Shop")
                                    .sym(AREC_SYM_METHOD, 1, "checkout")
                                    .sym(AREC_SYM_THREAD, 1, "http-1")
                                    .message()}));
        for (uint32_t s : seconds) {
            const uint64_t start = utc_time(10, 0, s);
            const uint64_t key = uint64_t{s + 1} << 44 | start;
            ASSERT_TRUE(
                agent.send({AgentData()
                                .call(Call{0, key, 1, 1, 1, 1, start, 0, 1, ""})
                                .call(Call{CALL_F_ROOT, key, 1, 1, 0, 0, start, 0, 1, be(1, 4)})
                                .message()}));
        }
        ASSERT_TRUE(read_by_server(agent.fd()));
    }
    // The seconds of 10:00 at which the root calls ROOT CALLS finds over the hour started.
    std::set<uint32_t> found(uint64_t rid) const {
        PeerClient c(port);
        EXPECT_TRUE(c.send({ui_hello("damaged client")}));
        EXPECT_EQ(c.next(), kDatabaseAnswer);
        EXPECT_TRUE(c.send({root_calls_query(rid, aid, utc_time(10, 0), utc_time(11, 0) - 1)}));
        const std::optional<Bytes> m = c.next();
        std::set<uint32_t> out;
        if (!m)
            return out;
        const RootCallsReply r = read_root_calls(*m);
        EXPECT_EQ(r.status, QRESP_OK);
        for (const RootCallRow &row : r.rows)
            out.insert(static_cast<uint32_t>((row.time - 1 - utc_time(10, 0)) / 1000));
        return out;
    }
    std::set<uint32_t> found_when(uint64_t rid, size_t n) const {
        std::set<uint32_t> out;
        eventually([&] { return (out = found(rid)).size() >= n; }, 10);
        return out;
    }
    std::string hour_file() const {
        char name[96];
        snprintf(name, sizeof name, "storage.db/data/%016lX/mc/%lu.10", aid, kMar1 / DAY_MS);
        return name;
    }
};

TEST_F(DamagedStoreTest, RootCallsBehindADamagedRecordAreFoundAfterARestartAndAnAppend) {
    start();
    std::vector<uint32_t> seconds;
    std::set<uint32_t> all;
    for (uint32_t s = 0; s < kRoots; s++) {
        seconds.push_back(s);
        all.insert(s);
    }
    send_root_calls(seconds);
    ASSERT_EQ(found_when(1, kRoots), all);
    stop();

    // The magic of the second root call is overwritten, as a bad sector leaves it.
    const std::string path = env + "/" + hour_file();
    std::string bytes = read_file(path);
    ASSERT_EQ(bytes.size(), kRoots * kStoredLength);
    bytes.replace(kStoredLength + 68, 8, "XXXXXXXX");
    write_file(path, bytes);
    all.erase(1);

    const size_t servers = count_of(log(), "INFO   Server [");
    start();
    ASSERT_TRUE(eventually([&] { return count_of(log(), "INFO   Server [") > servers; }));
    EXPECT_EQ(found(2), all);

    send_root_calls({30});
    all.insert(30);
    EXPECT_EQ(found_when(3, all.size()), all);
    const std::string told =
        "Hour file " + hour_file() + ": 144 damaged bytes at offset 144 skipped";
    EXPECT_EQ(count_of(log(), told), 1u) << log();
    stop();
    // Nothing of the file was taken away: the new root call follows it.
    const std::string now = read_file(path);
    EXPECT_EQ(now.size(), bytes.size() + kStoredLength);
    EXPECT_EQ(now.substr(0, bytes.size()), bytes);
}

} // namespace
