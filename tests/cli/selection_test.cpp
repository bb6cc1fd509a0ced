// Agent selection over a data store and a Manager storage holding the same JVM and FCA
// agents: what a label expression and a type filter choose, and in which order.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "cli/selection.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "database/store/store_dir.h"
#include "manager/mgr_support.h"

namespace {

const std::string kFull(63, 'x'); // fills the label field: no terminator
const std::string kControl = "ctl\x1b]0;title\x07";

const struct {
    uint8_t type;
    std::string label;
} kAgents[] = {
    {AGENT_TYPE_JVM, "app2"},   {AGENT_TYPE_JVM, "app10"},      {AGENT_TYPE_JVM, "Zeta"},
    {AGENT_TYPE_FCA, "app1"},   {AGENT_TYPE_FCA, "free-agent"}, {AGENT_TYPE_JVM, kFull},
    {AGENT_TYPE_JVM, kControl},
};

// Both sources hold every agent of kAgents, the data store as agent directories, the Manager
// storage in its agents cache.
class SelectionTest : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(storage_create_db(), 0);
        ASSERT_EQ(mgr_storage_create("storage.mgr"), 0);
        storage = mgr_storage_open();
        ASSERT_NE(storage, nullptr);
        for (const auto &a : kAgents) {
            const std::string id = identity_bytes(a.type, a.label);
            ASSERT_EQ(agent_save(as_bytes(id), agent_id_of(as_bytes(id))), 0) << a.label;
            const mgr_agent rec = agent_rec(a.type, a.label);
            ASSERT_EQ(acache_add(storage, &rec).aid, rec.aid) << a.label;
        }
    }
    void TearDown() override {
        mgr_storage_close(storage);
        StoreDir::TearDown();
    }

    mgr_storage *storage = nullptr;
};

// The shown labels of a selection, in its order; each entry also keeps the agent's own
// identity bytes and the id they hash to.
std::vector<std::string> labels_of(const selection &sel) {
    std::vector<std::string> out;
    for (const agent_entry &e : sel.entries) {
        EXPECT_EQ(e.id, agent_id_of(reinterpret_cast<const uint8_t *>(&e.identity)));
        char label[SELECTION_LABEL_SIZE];
        out.push_back(selection_label(&e, label));
    }
    return out;
}

TEST_F(SelectionTest, PatternAndTypeChooseAgentsInLabelByteOrder) {
    const std::string shown_control = "ctl?]0;title?";
    const struct {
        const char *pattern;
        uint8_t type;
        std::vector<std::string> labels;
    } cases[] = {
        {nullptr,
         AGENT_TYPE_ANY,
         {"Zeta", "app1", "app10", "app2", shown_control, "free-agent", kFull}},
        {nullptr, AGENT_TYPE_JVM, {"Zeta", "app10", "app2", shown_control, kFull}},
        {nullptr, AGENT_TYPE_FCA, {"app1", "free-agent"}},
        {"^app", AGENT_TYPE_ANY, {"app1", "app10", "app2"}},
        {"^app", AGENT_TYPE_JVM, {"app10", "app2"}},
        {"^app", AGENT_TYPE_FCA, {"app1"}},
        {"[0-9]$", AGENT_TYPE_FCA, {"app1"}},
        {"^x{63}$", AGENT_TYPE_ANY, {kFull}},
        // Control bytes are matched as the '?' they are shown as.
        {"title\\?$", AGENT_TYPE_ANY, {shown_control}},
        {"\x1b", AGENT_TYPE_ANY, {}},
        {"^zeta$", AGENT_TYPE_ANY, {}},
        {"^Zeta$", AGENT_TYPE_FCA, {}},
    };
    for (const auto &c : cases) {
        const std::string name =
            std::string(c.pattern ? c.pattern : "(none)") + " type " + std::to_string(c.type);
        selection from_store{{}, nullptr, c.type};
        ASSERT_EQ(cli_select_db_agents(c.pattern, &from_store), 0) << name;
        EXPECT_EQ(labels_of(from_store), c.labels) << name;
        EXPECT_EQ(from_store.filter, nullptr);

        selection from_cache{{}, nullptr, c.type};
        ASSERT_EQ(cli_select_agents(c.pattern, &from_cache, storage), 0) << name;
        EXPECT_EQ(labels_of(from_cache), c.labels) << name;
    }
}

TEST_F(SelectionTest, InvalidExpressionSelectsNothing) {
    for (const char *bad : {"(", "(a)(b)", "[z-a]"}) {
        selection sel{{}, nullptr, AGENT_TYPE_ANY};
        EXPECT_EQ(cli_select_db_agents(bad, &sel), -1) << bad;
        EXPECT_TRUE(sel.entries.empty()) << bad;
        EXPECT_EQ(cli_select_agents(bad, &sel, storage), -1) << bad;
        EXPECT_TRUE(sel.entries.empty()) << bad;
    }
}

TEST_F(SelectionTest, StoreWithoutAgentDirectoriesSelectsNothing) {
    ASSERT_EQ(system("rm -rf storage.db/data"), 0);
    selection sel{{}, nullptr, AGENT_TYPE_ANY};
    EXPECT_EQ(cli_select_db_agents(nullptr, &sel), 0);
    EXPECT_TRUE(sel.entries.empty());
}

} // namespace
