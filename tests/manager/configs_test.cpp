#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "manager/configs.h"
#include "mgr_support.h"

namespace {

std::string sq(uint64_t v) {
    return std::to_string(static_cast<int64_t>(v));
}

uint64_t hash_of(const std::string &bytes) {
    return murmur3_hash64(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// A draft to store, with the bytes it points at.
class draft {
public:
    draft(uint64_t id1, uint64_t id2, const char *author, uint64_t createdat, const char *label,
          const std::string &bytes)
        : bytes_(bytes) {
        c.info.id1 = id1;
        c.info.id2 = id2;
        c.info.createdat = createdat;
        memcpy(c.info.author, author, strnlen(author, sizeof c.info.author));
        memcpy(c.info.label, label, strnlen(label, sizeof c.info.label));
        c.blob = reinterpret_cast<uint8_t *>(bytes_.data());
        c.size = bytes_.size();
    }
    draft(const draft &) = delete;
    draft &operator=(const draft &) = delete;

    mgr_config c{};

private:
    std::string bytes_;
};

struct listed {
    ConfigurationInfo info;
    uint64_t lastupdate;
};

std::vector<listed> list_all(mgr_storage *s, int *rc = nullptr) {
    std::vector<listed> seen;
    int r = cfg_foreach(s, &seen, [](void *ctx, const ConfigurationInfo *info, uint64_t last) {
        static_cast<std::vector<listed> *>(ctx)->push_back({*info, last});
        return 1;
    });
    if (rc != nullptr)
        *rc = r;
    return seen;
}

std::string bytes_of(const mgr_config &c) {
    return c.blob != nullptr ? std::string(reinterpret_cast<char *>(c.blob), c.size) : "";
}

TEST(ConfigurationInfoWire, FixedBytesAndRoundTrip) {
    ConfigurationInfo info{};
    info.id1 = 0x0102030405060708ull;
    info.id2 = 0xF1F2F3F4F5F6F7F8ull;
    info.createdat = 0x0000018C2E5F3A00ull;
    strcpy(info.author, "alice");
    strcpy(info.label, "web tier");
    info.reserved = 0xBEEF; // never sent
    info.flags = CFGINFO_F_DRAFT | CFGINFO_F_DATA;

    const uint8_t expected[91] = {
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, // id1
        0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, // id2
        0x00, 0x00, 0x01, 0x8C, 0x2E, 0x5F, 0x3A, 0x00, // createdat
        'a',  'l',  'i',  'c',  'e',  0,    0,    0,    // author, 32 bytes
        0,    0,    0,    0,    0,    0,    0,    0,    //
        0,    0,    0,    0,    0,    0,    0,    0,    //
        0,    0,    0,    0,    0,    0,    0,    0,    //
        'w',  'e',  'b',  ' ',  't',  'i',  'e',  'r',  // label, 32 bytes
        0,    0,    0,    0,    0,    0,    0,    0,    //
        0,    0,    0,    0,    0,    0,    0,    0,    //
        0,    0,    0,    0,    0,    0,    0,    0,    //
        0x00, 0x00,                                     // reserved
        0x03,                                           // flags
    };
    bbuf *b = bbuf_new(91);
    ASSERT_EQ(cfg_info_put(b, &info), 0);
    EXPECT_EQ(bbuf_position(b), 91u);
    EXPECT_EQ(std::vector<uint8_t>(bbuf_data(b), bbuf_data(b) + 91),
              std::vector<uint8_t>(expected, expected + 91));
    EXPECT_EQ(cfg_info_put(b, &info), -1);
    EXPECT_EQ(bbuf_position(b), 91u);

    ConfigurationInfo back;
    memset(&back, 0xAA, sizeof back);
    cfg_info_from_wire(std::span<const uint8_t, 91>(expected, 91), &back);
    info.reserved = 0;
    EXPECT_EQ(memcmp(&back, &info, sizeof info), 0);
    free(b);
}

using Configurations = MgrStore;

TEST_F(Configurations, StoringTwiceKeepsAuthorAndCreation) {
    const uint64_t id1 = 0x8000000000000001ull, id2 = 0x8000000000000002ull;
    draft first(id1, id2, "alice", 1000, "first", "draft one");
    std::string lines = capture_log([&] { EXPECT_EQ(cfg_store_draft(s, &first.c), 0); });
    EXPECT_EQ(lines, "INFO   Configuration 8000000000000001.8000000000000002 stored "
                     "successfully.\n");
    draft second(id1, id2, "bob", 2000, "second", "draft two");
    ASSERT_EQ(cfg_store_draft(s, &second.c), 0);

    EXPECT_EQ(rows("SELECT uuid1, uuid2, author, createdat, label, drafthash, data, lastupdate "
                   "FROM CONFIGURATIONS;"),
              std::vector<std::string>{sq(id1) + "|" + sq(id2) + "|alice|1000|second|" +
                                       sq(hash_of("draft two")) + "|NULL|NULL"});
    uint64_t last = 99;
    ConfigurationInfo info = cfg_get_info(s, id1, id2, &last);
    EXPECT_EQ(info.id1, id1);
    EXPECT_EQ(info.id2, id2);
    EXPECT_STREQ(info.author, "alice");
    EXPECT_EQ(info.createdat, 1000u);
    EXPECT_STREQ(info.label, "second");
    EXPECT_EQ(info.flags, CFGINFO_F_DRAFT);
    EXPECT_EQ(last, 0u);
}

TEST_F(Configurations, TwoConfigurationsNeverShareAHalf) {
    draft a(1, 2, "a", 1, "a", "x");
    ASSERT_EQ(cfg_store_draft(s, &a.c), 0);
    for (auto ids : {std::pair<uint64_t, uint64_t>{1, 3}, {4, 2}}) {
        draft b(ids.first, ids.second, "b", 1, "b", "y");
        std::string lines = capture_log([&] { EXPECT_EQ(cfg_store_draft(s, &b.c), -1); });
        EXPECT_EQ(lines, "ERROR  SQL[328]: constraint failed\n");
    }
    EXPECT_EQ(rows("SELECT uuid1, uuid2 FROM CONFIGURATIONS;"), std::vector<std::string>{"1|2"});
}

TEST_F(Configurations, ReadingBothVersions) {
    draft stored(7, 8, "a", 1, "l", "the draft");
    ASSERT_EQ(cfg_store_draft(s, &stored.c), 0);
    draft empty(9, 10, "a", 1, "l", "");
    ASSERT_EQ(cfg_store_draft(s, &empty.c), 0);
    const struct {
        const char *name;
        uint64_t id1, id2;
        uint8_t which;
        int rc;
        std::string bytes;
        uint64_t hash;
    } cases[] = {
        {"draft", 7, 8, CFG_DRAFT, 0, "the draft", hash_of("the draft")},
        {"never activated", 7, 8, CFG_DATA, 0, "", 0},
        {"empty draft", 9, 10, CFG_DRAFT, 0, "", 0},
        {"unknown id", 7, 9, CFG_DATA, 2, "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mgr_config got;
        memset(&got, 0xAA, sizeof got);
        EXPECT_EQ(cfg_read(s, c.id1, c.id2, c.which, &got), c.rc);
        EXPECT_EQ(got.blob == nullptr, c.bytes.empty());
        EXPECT_EQ(bytes_of(got), c.bytes);
        EXPECT_EQ(got.hash, c.hash);
        if (c.rc == 0) {
            EXPECT_EQ(got.info.id1, c.id1);
            EXPECT_EQ(got.info.id2, c.id2);
            EXPECT_EQ(got.info.reserved, 0);
            EXPECT_EQ(got.which, c.which);
        }
        free(got.blob);
    }
    // An empty draft is stored as an empty blob, not as NULL.
    EXPECT_EQ(rows("SELECT typeof(draft), drafthash FROM CONFIGURATIONS WHERE uuid1 = 9;"),
              std::vector<std::string>{"blob|0"});
    uint64_t last = 0;
    EXPECT_EQ(cfg_get_info(s, 9, 10, &last).flags, 0);
}

TEST_F(Configurations, ActivationCopiesTheDraftAndUpdatesAttachedAgents) {
    draft c(0xA1, 0xA2, "a", 1, "l", "version one");
    ASSERT_EQ(cfg_store_draft(s, &c.c), 0);
    const mgr_agent on = add(agent_rec(2, "attached"));
    const mgr_agent off = add(agent_rec(2, "detached"));
    uint64_t list[] = {on.aid};
    ASSERT_EQ(acache_attach_cfg(s, 0, 0xA1, 0xA2, list, 1), 0);
    EXPECT_EQ(acache_get(s, on.aid).datahash, 0u);

    const uint64_t before = static_cast<uint64_t>(time(nullptr));
    std::string lines = capture_log([&] { EXPECT_EQ(cfg_activate(s, 0xA1, 0xA2), 0); });
    const uint64_t after = static_cast<uint64_t>(time(nullptr));
    EXPECT_EQ(lines, "INFO   Configuration 00000000000000A1.00000000000000A2 activated "
                     "successfully.\n");
    uint64_t last = 0;
    ConfigurationInfo info = cfg_get_info(s, 0xA1, 0xA2, &last);
    EXPECT_EQ(info.flags, CFGINFO_F_DRAFT | CFGINFO_F_DATA);
    EXPECT_GE(last, before);
    EXPECT_LE(last, after);
    EXPECT_EQ(acache_get(s, on.aid).datahash, hash_of("version one"));
    EXPECT_EQ(acache_get(s, off.aid).datahash, 0u);
    EXPECT_EQ(cache_of(s), fresh_cache());

    mgr_config data{};
    ASSERT_EQ(cfg_read(s, 0xA1, 0xA2, CFG_DATA, &data), 0);
    EXPECT_EQ(bytes_of(data), "version one");
    EXPECT_EQ(data.hash, hash_of("version one"));
    free(data.blob);

    // A later draft leaves the active data alone until the next activation.
    draft next(0xA1, 0xA2, "a", 1, "l", "version two");
    ASSERT_EQ(cfg_store_draft(s, &next.c), 0);
    ASSERT_EQ(cfg_read(s, 0xA1, 0xA2, CFG_DATA, &data), 0);
    EXPECT_EQ(bytes_of(data), "version one");
    free(data.blob);

    // An id that names no configuration changes nothing.
    EXPECT_EQ(cfg_activate(s, 0xB1, 0xB2), 0);
    EXPECT_EQ(rows("SELECT count(*) FROM CONFIGURATIONS;"), std::vector<std::string>{"1"});
}

TEST_F(Configurations, DeletingAnAttachedConfigurationFails) {
    draft c(5, 6, "a", 1, "l", "x");
    ASSERT_EQ(cfg_store_draft(s, &c.c), 0);
    const mgr_agent a = add(agent_rec(2, "user"));
    uint64_t list[] = {a.aid};
    ASSERT_EQ(acache_attach_cfg(s, 0, 5, 6, list, 1), 0);
    std::string lines = capture_log([&] { EXPECT_EQ(cfg_delete(s, 5, 6), -1); });
    EXPECT_EQ(lines, "ERROR  SQL[378]: constraint failed\n");
    EXPECT_EQ(rows("SELECT count(*) FROM CONFIGURATIONS;"), std::vector<std::string>{"1"});

    ASSERT_EQ(acache_detach_cfg(s, 5, 6, 0, nullptr), 0);
    lines = capture_log([&] { EXPECT_EQ(cfg_delete(s, 5, 6), 0); });
    EXPECT_EQ(lines, "INFO   Configuration 0000000000000005.0000000000000006 deleted "
                     "successfully.\n");
    EXPECT_EQ(rows("SELECT count(*) FROM CONFIGURATIONS;"), std::vector<std::string>{"0"});
    EXPECT_EQ(cfg_delete(s, 5, 6), 0);
}

TEST_F(Configurations, LabelChanges) {
    draft c(5, 6, "a", 1, "old", "x");
    ASSERT_EQ(cfg_store_draft(s, &c.c), 0);
    std::string lines = capture_log([&] { EXPECT_EQ(cfg_set_label(s, 5, 6, "new"), 0); });
    EXPECT_EQ(lines, "INFO   Configuration 0000000000000005.0000000000000006 label updated "
                     "successfully.\n");
    EXPECT_EQ(rows("SELECT label FROM CONFIGURATIONS;"), std::vector<std::string>{"new"});
    EXPECT_EQ(cfg_set_label(s, 5, 7, "none"), 0);
}

TEST_F(Configurations, ListingCutsTextsTo31Characters) {
    const std::string author40(40, 'A'), label40(40, 'B');
    exec("INSERT INTO CONFIGURATIONS (uuid1, uuid2, author, createdat, label, lastupdate, data, "
         "draft) VALUES (1, 2, '" +
         author40 + "', 55, '" + label40 +
         "', 1700000000, x'01', "
         "x''), (3, 4, 'short', 66, 'lbl', NULL, NULL, x'0203');");
    int rc = -1;
    std::vector<listed> seen = list_all(s, &rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(std::string(seen[0].info.author, 32), std::string(31, 'A') + '\0');
    EXPECT_EQ(std::string(seen[0].info.label, 32), std::string(31, 'B') + '\0');
    EXPECT_EQ(seen[0].info.createdat, 55u);
    EXPECT_EQ(seen[0].info.flags, CFGINFO_F_DATA);
    EXPECT_EQ(seen[0].lastupdate, 1700000000u);
    EXPECT_STREQ(seen[1].info.author, "short");
    EXPECT_EQ(seen[1].info.flags, CFGINFO_F_DRAFT);
    EXPECT_EQ(seen[1].lastupdate, 0u);

    uint64_t last = 0;
    ConfigurationInfo one = cfg_get_info(s, 1, 2, &last);
    EXPECT_EQ(memcmp(&one, &seen[0].info, sizeof one), 0);
    EXPECT_EQ(last, 1700000000u);
    last = 42;
    const ConfigurationInfo none = cfg_get_info(s, 1, 3, &last), zero{};
    EXPECT_EQ(memcmp(&none, &zero, sizeof none), 0);
    EXPECT_EQ(last, 42u);
}

} // namespace
