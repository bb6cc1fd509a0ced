#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/agents.h"
#include "database/store/stats.h"
#include "lib/files.h"
#include "store_dir.h"

namespace {

const std::string kRule = std::string(120, '-') + "\n";
const std::string kHeading = "\033[96m TYPE   AGENT                              C[%]     C+P[%]   "
                             "C+P[B]     KV[B]      FROM               THROUGH\n";
const std::string kEnd = "\033[0m\n\033[0m\n";

// Files of an agent directory by their path inside it, with their sizes.
using Files = std::map<std::string, size_t>;

class StatsStore : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(mkdir("storage.db", 0700), 0);
        ASSERT_EQ(mkdir("storage.db/data", 0700), 0);
    }

    // An agent directory as registration makes it, holding `files` of those sizes.
    static void agent(uint8_t type, const std::string &label, const Files &files = {}) {
        const std::string id = identity_bytes(type, label);
        const uint64_t aid = agent_id_of(as_bytes(id));
        ASSERT_EQ(agent_save(as_bytes(id), aid), 0) << label;
        for (const auto &[name, size] : files)
            write_file(agent_dir(aid) + "/" + name, std::string(size, 'x'));
    }

    // The listing's result and output, from a child process in the store's directory; TZ
    // is set there when `tz` is given.
    static RunResult listing(uint32_t key, const char *tz = nullptr) {
        return run_forked([&] {
            if (tz != nullptr) {
                setenv("TZ", tz, 1);
                tzset();
            }
            exit(dbs_print_data_stats(key) == 0 ? 0 : 3);
        });
    }
};

// The lines of a text, each with its line feed.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line + "\n");
    return out;
}

TEST_F(StatsStore, RowsSharesDaysAndTotalsAsPrinted) {
    // 300 bytes of call files (an hour file and the day's index) and 100 of extensions.
    agent(2, "mixed",
          {{"mc/18750.0", 200},
           {"mc/18750.index", 100},
           {"mc/18751.3.x", 100},
           {"kv/18750.1", 2048},
           {"kv/stages/stage", 64}});
    // No "mc" directory at all: zeros and dashes, and the totals' days stay as the others.
    agent(2, "no-mc", {{"kv/18760.2", 100}});
    ASSERT_EQ(
        sys_rmtree((agent_dir(agent_id_of(as_bytes(identity_bytes(2, "no-mc")))) + "/mc").c_str()),
        0);
    // Labels of 10, 32, 40 and 63 bytes (the last without a terminator), an escape sequence,
    // and an FCA agent, which shows no type name of its own here.
    agent(3, "agent-0010", {{"mc/18752.5", 10}});
    agent(2, "agent-0032-abcdefghijklmnopqrstu");
    agent(2, "agent-0040-abcdefghijklmnopqrstuvwxyz0123");
    agent(2, "agent-0063-" + std::string(52, 'x'));
    agent(2, "agent-esc\033[2J");

    const RunResult r = listing(DBS_STATS_BY_NAME);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> expected = {
        kHeading,
        "\033[0m" + kRule,
        " ---  | agent-0010...................... | 100.00 |   0.00 |  10.00   |   0.00   | "
        "Wed, 05 May 2021 | Wed, 05 May 2021 |\n",
        " JVM  | agent-0032-abcdefghijklmnopqrstu |   0.00 |   0.00 |   0.00   |   0.00   | "
        "       -         |        -         |\n",
        " JVM  | agent-0040-abcdefghijklmnopqrstu |   0.00 |   0.00 |   0.00   |   0.00   | "
        "       -         |        -         |\n",
        " JVM  | agent-0063-xxxxxxxxxxxxxxxxxxxxx |   0.00 |   0.00 |   0.00   |   0.00   | "
        "       -         |        -         |\n",
        " JVM  | agent-esc?[2J................... |   0.00 |   0.00 |   0.00   |   0.00   | "
        "       -         |        -         |\n",
        " JVM  | mixed........................... |  75.00 |  25.00 | 400.00   |   2.00 K | "
        "Mon, 03 May 2021 | Tue, 04 May 2021 |\n",
        " JVM  | no-mc........................... |   0.00 |   0.00 |   0.00   | 100.00   | "
        "       -         |        -         |\n",
        kRule,
        // 310 call-file and 100 extension bytes; 2148 key/value bytes are 2.10 K.
        "\033[95m TOTAL 7" + std::string(33, ' ') +
            "   75.61    24.39   410.00       2.10 K   Mon, 03 May 2021   Wed, 05 May 2021\n",
        "\033[0m\033[0m\n",
        "\033[0m\n",
    };
    EXPECT_EQ(lines_of(r.out), expected);
    // Every row, rules included, is 120 columns wide.
    for (size_t i = 2; i < 9; i++)
        EXPECT_EQ(expected[i].size(), 121u) << i;
}

TEST_F(StatsStore, EachSortKeyOrdersTheRows) {
    // Call and extension bytes, key/value bytes: every key gives another order.
    agent(2, "a", {{"mc/19000.1", 100}, {"mc/19000.1.x", 300}, {"kv/19000.1", 50}});
    agent(2, "b", {{"mc/19000.1", 900}, {"mc/19000.1.x", 100}, {"kv/19000.1", 10}});
    agent(2, "c", {{"mc/19000.1", 100}, {"mc/19000.1.x", 100}, {"kv/19000.1", 700}});

    // Any other key keeps the order of the directory walk.
    std::string walk;
    ASSERT_EQ(dbs_foreach_agent(&walk,
                                [](void *ctx, agent_entry *e) {
                                    *static_cast<std::string *>(ctx) += e->identity.label;
                                    return 0;
                                }),
              0);
    const struct {
        uint32_t key;
        std::string order;
    } cases[] = {
        {DBS_STATS_BY_NAME, "abc"},
        {DBS_STATS_BY_C_PCT, "bca"},
        {DBS_STATS_BY_CP_PCT, "acb"},
        {DBS_STATS_BY_CP_BYTES, "bac"},
        {DBS_STATS_BY_KV_BYTES, "cab"},
        {5, walk},
        {0xFFFFFFFF, walk},
    };
    for (const auto &c : cases) {
        const RunResult r = listing(c.key);
        ASSERT_EQ(r.exit_code, 0) << c.key;
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 9u) << c.key;
        std::string order;
        for (size_t i = 2; i < 5; i++)
            order += lines[i].substr(8, 1);
        EXPECT_EQ(order, c.order) << c.key;
    }
}

TEST_F(StatsStore, DaysAreTheirUtcDatesWestOfUtc) {
    agent(2, "west", {{"mc/18750.0", 10}, {"mc/18751.23", 10}});
    const RunResult r = listing(0, "EST5");
    ASSERT_EQ(r.exit_code, 0);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[2].substr(83), "Mon, 03 May 2021 | Tue, 04 May 2021 |\n");
    EXPECT_EQ(lines[4].substr(lines[4].size() - 36), "Mon, 03 May 2021   Tue, 04 May 2021\n");
}

TEST_F(StatsStore, EmptyDataDirectoryPrintsOnlyTheNotice) {
    const RunResult r = listing(0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "\033[91mNo agent data found.\033[0m\n");
}

TEST_F(StatsStore, MissingDataDirectoryFailsSilently) {
    ASSERT_EQ(rmdir("storage.db/data"), 0);
    const RunResult r = listing(0);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "");
}

} // namespace
