#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "database/store/agents.h"
#include "lib/files.h"
#include "lib/log_capture.h"
#include "store_dir.h"

namespace {

// An agent of type 2 labelled "shop-frontend": its id, worked out with a separate
// MurmurHash3 implementation, names its directory.
const std::string kShopIdentity = identity_bytes(2, "shop-frontend");
constexpr uint64_t kShopId = 0x931D61A4415B8E96ull;
const std::string kShopDir = "storage.db/data/931D61A4415B8E96";

class AgentDirs : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(mkdir("storage.db", 0700), 0);
        ASSERT_EQ(mkdir("storage.db/data", 0700), 0);
    }
};

std::vector<agent_entry> list_agents(int *rc = nullptr) {
    std::vector<agent_entry> seen;
    int r = dbs_foreach_agent(&seen, [](void *ctx, agent_entry *e) {
        static_cast<std::vector<agent_entry> *>(ctx)->push_back(*e);
        return 1; // ignored: the walk goes on
    });
    if (rc)
        *rc = r;
    return seen;
}

TEST_F(AgentDirs, IdIsTheHashOfTheIdentityBytes) {
    EXPECT_EQ(agent_id_of(as_bytes(kShopIdentity)), kShopId);
    EXPECT_EQ(agent_id_of(as_bytes(identity_bytes(3, "batch-worker-7"))), 0xFCBE3E7B1A889291ull);
}

TEST_F(AgentDirs, SaveWritesDirectoriesAndIdentityFile) {
    ASSERT_EQ(agent_save(as_bytes(kShopIdentity), kShopId), 0);
    for (const char *sub : {"", "/mc", "/kv", "/kv/stages"}) {
        std::string p = kShopDir + sub;
        EXPECT_TRUE(path_is_dir(p)) << p;
        EXPECT_EQ(path_mode(p), 0700u) << p;
    }
    const std::string expected = std::string("\x02shop-frontend", 14) + std::string(50, '\0');
    EXPECT_EQ(read_file(kShopDir + "/korvane.id"), expected);
    EXPECT_EQ(path_mode(kShopDir + "/korvane.id"), 0600u);
    EXPECT_FALSE(path_exists(kShopDir + "/korvane.id.tmp"));

    uint8_t back[64];
    ASSERT_EQ(read_agent_id(back, kShopId), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back), 64), kShopIdentity);
    EXPECT_EQ(dbs_agent_exists(kShopId), 1);
    EXPECT_EQ(dbs_agent_exists(kShopId + 1), 0);
}

TEST_F(AgentDirs, SecondSaveLeavesAWholeIdentityFileAlone) {
    ASSERT_EQ(agent_save(as_bytes(kShopIdentity), kShopId), 0);
    struct stat before;
    ASSERT_EQ(stat((kShopDir + "/korvane.id").c_str(), &before), 0);
    EXPECT_EQ(agent_save(as_bytes(kShopIdentity), kShopId), 17);
    struct stat after;
    ASSERT_EQ(stat((kShopDir + "/korvane.id").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

// An existing directory with parts missing is completed, and still answers 17.
TEST_F(AgentDirs, SaveRepairsAnIncompleteDirectory) {
    const struct {
        const char *name;
        const char *identity; // NULL: no identity file
        std::vector<std::string> subdirs;
    } cases[] = {
        {"no identity file", nullptr, {"/mc", "/kv", "/kv/stages"}},
        {"short identity file", "\x02shop", {"/mc", "/kv", "/kv/stages"}},
        {"empty identity file", "", {"/mc", "/kv", "/kv/stages"}},
        {"missing subdirectories", nullptr, {}},
        {"missing staging directory", nullptr, {"/mc", "/kv"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sys_rmtree(kShopDir.c_str());
        ASSERT_EQ(mkdir(kShopDir.c_str(), 0700), 0);
        for (const auto &s : c.subdirs)
            ASSERT_EQ(mkdir((kShopDir + s).c_str(), 0700), 0);
        if (c.identity)
            write_file(kShopDir + "/korvane.id", c.identity);
        EXPECT_EQ(agent_save(as_bytes(kShopIdentity), kShopId), 17);
        EXPECT_EQ(read_file(kShopDir + "/korvane.id"), kShopIdentity);
        EXPECT_TRUE(path_exists(kShopDir + "/kv/stages"));
        EXPECT_TRUE(path_exists(kShopDir + "/mc"));
    }
}

TEST_F(AgentDirs, SaveReportsTheErrnoOfAFailedMkdir) {
    ASSERT_EQ(rmdir("storage.db/data"), 0);
    Logged l = run_logged([] { exit(agent_save(as_bytes(kShopIdentity), kShopId)); });
    EXPECT_NE(l.lines.find("mkdir " + kShopDir + " No such file or directory"), std::string::npos)
        << l.lines;
    EXPECT_EQ(agent_save(as_bytes(kShopIdentity), kShopId), ENOENT);
}

TEST_F(AgentDirs, ShortIdentityFileReadsZeroPadded) {
    ASSERT_EQ(mkdir(kShopDir.c_str(), 0700), 0);
    write_file(kShopDir + "/korvane.id", "\x03"
                                         "ab");
    uint8_t back[64];
    memset(back, 0xEE, sizeof back);
    ASSERT_EQ(read_agent_id(back, kShopId), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back), 64), identity_bytes(3, "ab"));
    EXPECT_EQ(read_agent_id(back, kShopId + 1), -1);
}

// An agent directory is named by exactly 16 upper-case hexadecimal digits; any other name,
// even one that starts with an agent's id or spells it in lower case, is no agent.
TEST_F(AgentDirs, WalkVisitsAgentsAndSkipsOtherNames) {
    ASSERT_EQ(agent_save(as_bytes(kShopIdentity), kShopId), 0);
    const char *others[] = {"not-an-agent",     "ABCDEF12-copy",   "931D61A4415B8E96.old",
                            "931d61a4415b8e96", "931D61A4415B8E9", "0931D61A4415B8E96"};
    for (const char *name : others) {
        ASSERT_EQ(mkdir((std::string("storage.db/data/") + name).c_str(), 0700), 0);
        write_file(std::string("storage.db/data/") + name + "/korvane.id", kShopIdentity);
    }
    ASSERT_EQ(mkdir("storage.db/data/.hidden", 0700), 0);
    Logged l = run_logged([] { exit(list_agents().size() == 1 ? 0 : 1); });
    EXPECT_EQ(l.out, "");
    for (const char *name : others)
        EXPECT_NE(l.lines.find(std::string("WARN   Invalid agent directory: ") + name + "\n"),
                  std::string::npos)
            << name << "\n"
            << l.lines;
    EXPECT_EQ(l.lines.find("korvane.id"), std::string::npos) << l.lines;
    EXPECT_EQ(l.lines.find(".hidden"), std::string::npos);

    int rc = -1;
    std::vector<agent_entry> seen = list_agents(&rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].id, kShopId);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&seen[0].identity), 64), kShopIdentity);
}

TEST_F(AgentDirs, WalkWithoutDataDirectoryFails) {
    ASSERT_EQ(rmdir("storage.db/data"), 0);
    Logged l = run_logged([] {
        int rc = 0;
        list_agents(&rc);
        exit(rc == -1 ? 0 : 1);
    });
    EXPECT_NE(l.lines.find("ERROR  Cannot open the directory storage.db/data: No such file or "
                           "directory\n"),
              std::string::npos)
        << l.lines;
}

TEST_F(AgentDirs, RemoveChecksTheStoredIdentity) {
    const struct {
        const char *name;
        std::string given;
        int rc;
        const char *line;
    } cases[] = {
        {"type differs", identity_bytes(3, "shop-frontend"), -1,
         "ERROR  Cannot remove the agent: type mismatch.\n"},
        {"label differs", identity_bytes(2, "shop-backend"), -1,
         "ERROR  Cannot remove the agent: name mismatch.\n"},
    };
    ASSERT_EQ(agent_save(as_bytes(kShopIdentity), kShopId), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Stored under the id of the given identity, so that the comparison is reached.
        uint64_t aid = agent_id_of(as_bytes(c.given));
        ASSERT_EQ(agent_save(as_bytes(kShopIdentity), aid), 0);
        Logged l = run_logged([&] { exit(dbs_remove_agent(as_bytes(c.given)) == c.rc ? 0 : 1); });
        EXPECT_NE(l.lines.find(c.line), std::string::npos) << l.lines;
        EXPECT_TRUE(path_exists(agent_dir(aid) + "/korvane.id"));
    }
}

TEST_F(AgentDirs, RemoveDeletesTheWholeTree) {
    ASSERT_EQ(agent_save(as_bytes(kShopIdentity), kShopId), 0);
    write_file(kShopDir + "/mc/19000.5", "calls");
    write_file(kShopDir + "/kv/19000.3", "samples");
    EXPECT_EQ(dbs_remove_agent(as_bytes(kShopIdentity)), 0);
    EXPECT_FALSE(path_exists(kShopDir));
    EXPECT_EQ(dbs_agent_exists(kShopId), 0);
    EXPECT_EQ(dbs_remove_agent(as_bytes(kShopIdentity)), -1);
}

// Only the first 62 label characters are compared.
TEST_F(AgentDirs, RemoveComparesSixtyTwoLabelCharacters) {
    std::string stored = identity_bytes(2, std::string(62, 'a') + "X");
    std::string given = identity_bytes(2, std::string(62, 'a') + "Y");
    ASSERT_EQ(agent_save(as_bytes(stored), agent_id_of(as_bytes(given))), 0);
    EXPECT_EQ(dbs_remove_agent(as_bytes(given)), 0);
}

} // namespace
