// The Manager's peers inside the process: the status record's bytes, and the message tables
// of the agents' and the clients' loops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/log_capture.h"
#include "manager/agent_peer.h"
#include "manager/client_peer.h"
#include "manager/manager_ctx.h"

namespace {

// Runs fn in a child at log level 2 (the loops it makes are never released); its log.
RunResult in_child(const std::function<void()> &fn) {
    return run_forked([&] {
        log_level.store(2);
        fn();
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    });
}

std::vector<uint8_t> status_bytes() {
    std::vector<uint8_t> wire(AGENT_STATUS_LEN);
    for (size_t i = 0; i < wire.size(); i++)
        wire[i] = static_cast<uint8_t>(i * 7 + 1);
    return wire;
}

TEST(AgentStatusWire, FixedBytesAndRoundTrip) {
    const std::vector<uint8_t> wire = status_bytes();
    AgentStatus s;
    agent_status_from_wire(std::span<const uint8_t, AGENT_STATUS_LEN>(wire.data(), wire.size()), &s);
    // Bytes 112 to 127 hold the two memory figures, big-endian; the record is packed, so its
    // fields are read through copies.
    const uint64_t total = s.mem_total, free_mem = s.mem_free, first = s.u64_0, last = s.values[9];
    const uint16_t at8 = s.u16_8, at110 = s.u16_110;
    EXPECT_EQ(total, 0x11181f262d343b42ULL);
    EXPECT_EQ(free_mem, 0x4950575e656c737aULL);
    EXPECT_EQ(first, 0x01080f161d242b32ULL);
    EXPECT_EQ(at8, 0x3940);
    EXPECT_EQ(last, 0x3f464d545b626970ULL); // bytes 82 to 89
    EXPECT_EQ(at110, 0x030a);
    std::vector<uint8_t> back(AGENT_STATUS_LEN);
    agent_status_to_wire(&s, std::span<uint8_t, AGENT_STATUS_LEN>(back.data(), back.size()));
    EXPECT_EQ(back, wire);
}

TEST(ManagerPeerTables, TypesIndexTheirTableOnlyInsideIt) {
    RunResult r = in_child([] {
        manager_ctx ctx{};
        // No peer is connected, so no message becomes a task; only those whose type is outside
        // the table are refused for it, with the ERROR line.
        loop *agents = mgagent_loop_create(&ctx, nullptr);
        loop *clients = mgui_loop_create(&ctx, nullptr);
        ASSERT_NE(agents, nullptr);
        ASSERT_NE(clients, nullptr);
        const uint8_t data[4] = {1, 2, 3, 4};
        for (unsigned type = 0; type < 256; type++) {
            peer_ctx a{agents, 1, 1, 0, PT_MG_AG};
            peer_ctx c{clients, 2, 2, 0, PT_MG_UI};
            EXPECT_EQ(mgagent_on_message(&a, static_cast<uint8_t>(type), 4, data), -1) << type;
            EXPECT_EQ(mgui_on_message(&c, static_cast<uint8_t>(type), 4, data), -1) << type;
        }
    });
    EXPECT_EQ(r.exit_code, 0) << r.out;
    const std::string log = strip_log_stamps(r.err);
    EXPECT_NE(log.find("ERROR  Unsupported message type: c.\n"), std::string::npos);
    EXPECT_NE(log.find("ERROR  Unsupported message type: ff.\n"), std::string::npos);
    // 256 types for each table, 2 and 3 of them in it: those are refused by the other only.
    EXPECT_EQ(count_of(log, "ERROR  Unsupported message type: "), 254u + 253u);
    for (const char *in_a_table : {"3.", "4.", "5.", "6.", "8."})
        EXPECT_EQ(
            count_of(log, "ERROR  Unsupported message type: " + std::string(in_a_table) + "\n"), 1u)
            << in_a_table;
}

TEST(ManagerPeerTables, NoAgentNoReport) {
    RunResult r = in_child([] {
        manager_ctx ctx{};
        loop *agents = mgagent_loop_create(&ctx, nullptr);
        ASSERT_NE(agents, nullptr);
        EXPECT_EQ(mgagent_build_status_report(agents), nullptr);
        EXPECT_EQ(mgagent_get_jvmprops(agents, 42), nullptr);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.err.find("DEBUG  No statuses to report.\n"), std::string::npos);
}

} // namespace
