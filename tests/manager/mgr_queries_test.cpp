// Manager queries answered in process over a fresh storage, where the message limit can be
// lowered: a reply is cut at whole records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/socket.h>

#include "manager/agent_peer.h"
#include "manager/agentcmd.h"
#include "server/server.h"

#include "manager/manager_ctx.h"
#include "manager/mgr_queries.h"
#include "mgr_support.h"
#include "query_wire.h"
#include "server/reply.h"

namespace {

using Bytes = std::string;

class MessageLimit {
public:
    explicit MessageLimit(uint32_t max_len) { qresp_set_test_msg_limit(max_len); }
    ~MessageLimit() { qresp_set_test_msg_limit(0); }
    MessageLimit(const MessageLimit &) = delete;
    MessageLimit &operator=(const MessageLimit &) = delete;
};

class MgrQueries : public MgrStore {
protected:
    manager_ctx ctx{};

    void SetUp() override {
        MgrStore::SetUp();
        ctx.mgrdb = s;
    }

    // The reply to one query message's data, as the client would receive it.
    std::optional<Bytes> answer(const Bytes &message) {
        const Bytes data = message.substr(5);
        msg *m = mq_answer(&ctx, PeerId{1, 2, 3, PT_MG_UI},
                           reinterpret_cast<const uint8_t *>(data.data()),
                           static_cast<uint32_t>(data.size()));
        if (m == nullptr)
            return std::nullopt;
        Bytes out(reinterpret_cast<const char *>(m), msg_size(m));
        free(m);
        return out;
    }
};

struct LimitRow {
    uint32_t data_room; // reply data bytes the lowered limit leaves
    size_t records;     // whole summaries in the reply
    uint16_t status;
};

TEST_F(MgrQueries, ConfsInfoIsCutAtWholeRecords) {
    Bytes all;
    for (uint64_t i = 1; i <= 5; i++) {
        ASSERT_EQ(store_cfg(s, i, 0x100 + i, 10 * i, "author", "label-" + std::to_string(i), "d"),
                  0);
        all += summary_bytes(i, 0x100 + i, 10 * i, "author", "label-" + std::to_string(i), 1);
    }
    const LimitRow rows[] = {
        {5 * 91, 5, QRESP_OK},
        {5 * 91 - 1, 4, QRESP_PARTIAL},
        {3 * 91 + 90, 3, QRESP_PARTIAL},
        {90, 0, QRESP_PARTIAL},
    };
    for (const LimitRow &row : rows) {
        MessageLimit limit(MSG_HDR_LEN + QRESP_HDR_LEN + row.data_room);
        std::string log;
        std::optional<Bytes> got;
        log = capture_log([&] { got = answer(mgr_query(7, 3)); });
        ASSERT_TRUE(got.has_value()) << row.data_room;
        EXPECT_EQ(*got, mgr_reply(7, 3, row.status, all.substr(0, 91 * row.records)))
            << row.data_room;
        EXPECT_EQ(log.find("Payload limit reached.") != std::string::npos,
                  row.status == QRESP_PARTIAL)
            << log;
    }
    // Without the lowered limit every summary comes back.
    EXPECT_EQ(answer(mgr_query(8, 3)), mgr_reply(8, 3, QRESP_OK, all));
}

// A reply that would not fit is refused before anything changes: an attach whose echo of the
// ids could not be sent attaches nobody.
TEST_F(MgrQueries, AttachWhoseEchoCannotFitChangesNothing) {
    ASSERT_EQ(store_cfg(s, 0x31, 0x32, 1, "a", "l", "data"), 0);
    const mgr_agent a = add(agent_rec(2, "echoed"));
    const Bytes ids = be(a.aid, 8) + be(a.aid, 8);
    {
        MessageLimit limit(MSG_HDR_LEN + QRESP_HDR_LEN + 15);
        EXPECT_EQ(answer(mgr_query(1, 9, cfg_id_bytes(0x31, 0x32) + ids)), mgr_reply(1, 9, 2));
        EXPECT_EQ(acache_get(s, a.aid).cid1, 0u);
    }
    // Without a server to reach agents the attach itself works and is echoed.
    EXPECT_EQ(answer(mgr_query(2, 9, cfg_id_bytes(0x31, 0x32) + ids)), mgr_reply(2, 9, 1, ids));
    EXPECT_EQ(acache_get(s, a.aid).cid1, 0x31u);
}

struct MissedRow {
    const char *name;
    Bytes query;
};

// A configuration change whose commands the agents' loop cannot take says so: status 2, and
// an ERROR line naming how many of the connected agents missed theirs. The loop here has
// accepted three agents and then stopped, its command ring left full.
TEST_F(MgrQueries, ChangesSayWhenAgentsMissTheirCommands) {
    constexpr uint64_t L1 = 0x41, L2 = 0x42, M1 = 0x43, M2 = 0x44;
    Bytes ids;
    std::vector<uint64_t> aids;
    for (int i = 0; i < 3; i++) {
        aids.push_back(add(agent_rec(2, "missed-" + std::to_string(i))).aid);
        ids += be(aids.back(), 8);
    }
    ASSERT_EQ(store_cfg(s, L1, L2, 1, "a", "l", "l-data"), 0);
    ASSERT_EQ(store_cfg(s, M1, M2, 2, "a", "m", "m-data"), 0);
    ASSERT_EQ(cfg_activate(s, M1, M2), 0);
    ASSERT_EQ(acache_attach_cfg(s, 0, L1, L2, aids.data(), aids.size()), 0);
    const MissedRow rows[] = {
        {"activate", mgr_query(1, 7, cfg_id_bytes(L1, L2))},
        {"delete", mgr_query(2, 8, cfg_id_bytes(L1, L2))},
        {"attach", mgr_query(3, 9, cfg_id_bytes(M1, M2) + ids)},
        {"detach", mgr_query(4, 10, cfg_id_bytes(M1, M2) + ids)},
    };
    RunResult r = run_forked([&] {
        setenv(AGENTCMD_WAIT_ENV, "1", 1);
        log_level.store(1);
        server srv{};
        loop *agents = mgagent_loop_create(&ctx, nullptr);
        ASSERT_NE(agents, nullptr);
        srv.mgagent = agents;
        ctx.srv = &srv;
        ASSERT_EQ(iol_start(agents, nullptr, nullptr, nullptr), 0);
        for (uint64_t aid : aids) {
            int fds[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
            auto *peer = static_cast<mgagent_peer *>(calloc(1, sizeof(mgagent_peer)));
            peer->base.uid = aid;
            auto *a = static_cast<ioma *>(malloc(sizeof(ioma)));
            *a = ioma{nullptr, conn_peer{fds[0], netaddr{}, 0}, &peer->base};
            ASSERT_EQ(iol_send(agents, IOMessage{a, IOM_ACCEPT, PeerId{aid, 0, 0, PT_MG_AG}}), 0);
        }
        ASSERT_TRUE(eventually([&] { return iol_peer_count(agents) == aids.size(); }));
        // The loop ends once it has taken the stop; whatever is queued after it stays.
        ASSERT_EQ(iol_stop(agents), 0);
        ASSERT_TRUE(eventually([&] {
            pthread_mutex_lock(&agents->iomq.guard);
            const uint32_t queued = agents->iomq.count;
            pthread_mutex_unlock(&agents->iomq.guard);
            return queued == 0;
        }));
        while (iol_send(agents, IOMessage{nullptr, IOM_SEND, PeerId{1, 0, 0, PT_MG_AG}}) == 0) {
        }
        for (const MissedRow &row : rows)
            EXPECT_EQ(answer(row.query),
                      mgr_reply(from_be(row.query, 5, 8), from_be(row.query, 13, 8), QRESP_ERROR))
                << row.name;
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(count_of(r.err, "3 of 3 connected agents missed its command."), 4u) << r.err;
}

} // namespace
