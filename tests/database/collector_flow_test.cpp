// Back-pressure of the collector: bytes queued per worker, agents held while their worker is
// over its budget, and their release once it has drained to half of it.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "database/collector_support.h"

namespace {

// Holds the worker inside its first symbol save until released, so that data piles up
// behind it.
ThreadGate *g_gate;

uint32_t gated_symbol_save(dbs *, uint32_t, uint16_t, const char *) {
    g_gate->pass();
    return 1;
}

// What the release callback and the hold function saw.
struct Flow {
    std::mutex m;
    std::vector<uint64_t> released;
    std::vector<std::string> holds;
};

void record_release(void *ctx, uint64_t agent_id) {
    auto *f = static_cast<Flow *>(ctx);
    std::lock_guard<std::mutex> lk(f->m);
    f->released.push_back(agent_id);
}

void record_hold(void *arg) {
    auto *what = static_cast<std::pair<Flow *, std::string> *>(arg);
    std::lock_guard<std::mutex> lk(what->first->m);
    what->first->holds.push_back(what->second);
}

class CollectorFlowTest : public CollectorTest {
protected:
    ThreadGate gate;
    Flow flow;

    void SetUp() override {
        CollectorTest::SetUp();
        g_gate = &gate;
        start(2, {db_, collector_kv_cb, collector_rcall_cb, gated_symbol_save});
        col_->budget = 1000;
        collector_set_release(col_, record_release, &flow);
    }
    void TearDown() override {
        gate.release();
        CollectorTest::TearDown();
    }
    int hold(uint64_t aid, const std::string &tag) {
        std::pair<Flow *, std::string> arg{&flow, tag};
        return collector_hold(col_, aid, record_hold, &arg);
    }
    // A payload of `size` bytes: one message holding one class name.
    static std::string payload(size_t size) {
        std::string name(size - 12, 'n');
        return AgentData().sym(AREC_SYM_CLASS, 1, name).message();
    }
};

TEST_F(CollectorFlowTest, AgentsOverTheBudgetAreHeldAndReleasedOnceDrained) {
    // Agents 2 and 4 share worker 0, agent 1 has worker 1 to itself.
    send(2, payload(100));
    gate.wait_entered(); // the worker is busy with those 100 bytes
    EXPECT_EQ(hold(2, "within"), 0);
    send(2, payload(600));
    send(4, payload(400));
    EXPECT_EQ(col_->workers[0].queued.load(), 1100u);
    EXPECT_EQ(hold(4, "over"), 1);
    EXPECT_EQ(hold(2, "over"), 1);
    EXPECT_EQ(hold(2, "again"), 1); // its next frame: held once more, released once
    send(1, payload(500));
    EXPECT_EQ(hold(1, "other worker"), 0);
    EXPECT_EQ(flow.holds, (std::vector<std::string>{"over", "over", "again"}));
    EXPECT_TRUE(flow.released.empty());

    gate.release();
    drain();
    EXPECT_EQ(col_->workers[0].queued.load(), 0u);
    EXPECT_EQ(col_->workers[1].queued.load(), 0u);
    // Released after the 600 bytes were handled (500 left: half the budget), in hold order.
    EXPECT_EQ(flow.released, (std::vector<uint64_t>{4, 2}));
}

TEST_F(CollectorFlowTest, NothingIsHeldWithoutAReleaseCallback) {
    collector_set_release(col_, nullptr, nullptr);
    send(2, payload(100));
    gate.wait_entered();
    send(2, payload(2000));
    EXPECT_EQ(hold(2, "unreleasable"), 0);
    EXPECT_TRUE(flow.holds.empty());
}

} // namespace
