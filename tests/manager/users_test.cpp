#include <gtest/gtest.h>

#include <crypt.h>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "manager/users.h"
#include "mgr_support.h"

namespace {

const std::string kAlphabet = "/!;-*+=023456789ABCDEFGHJKLMNOPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

std::string sq(uint64_t v) {
    return std::to_string(static_cast<int64_t>(v));
}

// A zero-padded 128-byte name field.
struct name_field {
    char text[128];
    explicit name_field(const char *name) { EXPECT_EQ(users_copy_name(name, text), 0); }
};

std::string crypt_of(const std::string &password, const std::string &setting) {
    crypt_data cd{};
    const char *h = crypt_r(password.c_str(), setting.c_str(), &cd);
    return h != nullptr ? h : "NULL";
}

TEST(UserTexts, PermissionLetters) {
    const struct {
        const char *letters;
        uint64_t bits;
    } parsed[] = {
        {"cq", 0x13}, {"cz", 0x03}, {"zz", 0}, {"", 0}, {"cpoqc", 0}, {"cpoq", 0x1F}, {"o", 0x09},
    };
    for (const auto &c : parsed)
        EXPECT_EQ(users_parse_perms(c.letters), c.bits) << c.letters;

    const struct {
        uint64_t bits;
        const char *text;
    } shown[] = {{0x13, "c..q"}, {0x01, "...."}, {0x1F, "cpoq"}, {0x0D, ".po."}};
    for (const auto &c : shown) {
        char out[5];
        memset(out, 'x', sizeof out);
        users_perms_to_str(c.bits, out);
        EXPECT_STREQ(out, c.text) << c.bits;
    }

    std::vector<std::string> rows;
    users_perms_foreach(0x15, &rows, [](void *ctx, const user_perm *row) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(
            std::string(1, static_cast<char>(row->letter)) + " " + row->text);
        return 1;
    });
    EXPECT_EQ(rows, (std::vector<std::string>{"p Can view parameters", "q Can query agents"}));
}

TEST(UserTexts, CopiesRefuseTooLongTexts) {
    char name[128];
    EXPECT_EQ(users_copy_name(std::string(127, 'n').c_str(), name), 0);
    EXPECT_EQ(std::string(name, 128), std::string(127, 'n') + '\0');
    EXPECT_EQ(users_copy_name(std::string(128, 'n').c_str(), name), 36);
    EXPECT_EQ(std::string(name, 128), std::string(128, '\0'));

    char password[64];
    EXPECT_EQ(users_copy_password(std::string(63, 'p').c_str(), password), 0);
    EXPECT_EQ(std::string(password, 63), std::string(63, 'p'));
    EXPECT_EQ(password[63], '\0');
    EXPECT_EQ(users_copy_password(std::string(64, 'p').c_str(), password), 36);
}

// The id of "admin" hashes its whole zero-padded field; worked out by hand.
TEST(UserTexts, IdDependsOnTheNameOnly) {
    mgr_user u{};
    ASSERT_EQ(users_copy_name("admin", u.username), 0);
    EXPECT_EQ(users_id(&u), 0x9E019AFC51E00E60ull);
    uint64_t banned[] = {1, 2};
    u.permissions = 0x1F;
    u.banned = banned;
    u.nbanned = 2;
    EXPECT_EQ(users_id(&u), 0x9E019AFC51E00E60ull);
}

TEST(UserTexts, SortByName) {
    mgr_user users[4] = {};
    const char *names[] = {"carol", "Bob", "alice", "al"};
    for (int i = 0; i < 4; i++)
        users_copy_name(names[i], users[i].username);
    users_sort(users, 4);
    std::vector<std::string> order;
    for (const mgr_user &u : users)
        order.push_back(u.username);
    EXPECT_EQ(order, (std::vector<std::string>{"Bob", "al", "alice", "carol"}));
}

TEST(Passwords, EverySaltCharacterIsAcceptedByCrypt) {
    const std::string salt_chars = users_salt_chars;
    EXPECT_EQ(salt_chars.size(), 61u);
    for (char c : salt_chars) {
        EXPECT_NE(kAlphabet.substr(0, 64).find(c), std::string::npos) << c;
        std::string setting = "$6$" + std::string(8, c);
        std::string hash = crypt_of("secret", setting);
        EXPECT_EQ(hash.substr(0, 12), setting + "$") << c;
    }
    // The three left out are the ones crypt refuses.
    for (char c : std::string("!;*")) {
        EXPECT_EQ(salt_chars.find(c), std::string::npos) << c;
        EXPECT_EQ(crypt_of("secret", "$6$" + std::string(8, c))[0], '*') << c;
    }
}

TEST(Passwords, HashesMadeInARowAllVerify) {
    const std::regex form(R"(\$6\$([^$]{8})\$[./0-9A-Za-z]{86})");
    std::set<std::string> salts;
    for (int i = 0; i < 16; i++) {
        char hash[128];
        memset(hash, 'x', sizeof hash);
        ASSERT_EQ(users_hash_password("vendrix", hash), 0);
        std::cmatch m;
        ASSERT_TRUE(std::regex_match(hash, m, form)) << hash;
        for (char c : m[1].str())
            EXPECT_NE(std::string(users_salt_chars).find(c), std::string::npos) << hash;
        salts.insert(m[1].str());
        EXPECT_EQ(users_check_hash("vendrix", hash), 0) << hash;
        EXPECT_EQ(users_check_hash("vendrix!", hash), 1) << hash;
    }
    EXPECT_EQ(salts.size(), 16u);
    EXPECT_EQ(users_check_hash("vendrix", "*0"), 1);
    EXPECT_EQ(users_check_hash("vendrix", ""), 1);
}

TEST(Passwords, GeneratedPasswordsUseTheWholeAlphabet) {
    std::set<std::string> seen;
    std::set<char> chars;
    for (int i = 0; i < 200; i++) {
        char buf[64] = {};
        ASSERT_EQ(users_generate_password(buf, 12), 0);
        std::string p(buf);
        ASSERT_EQ(p.size(), 11u);
        EXPECT_EQ(std::string(buf + 11, 53), std::string(53, '\0'));
        for (char c : p) {
            EXPECT_NE(kAlphabet.find(c), std::string::npos) << p;
            chars.insert(c);
        }
        seen.insert(p);
    }
    EXPECT_EQ(seen.size(), 200u);
    // 2200 draws reach every one of the 66 characters, '!' ';' and '*' included.
    EXPECT_EQ(chars.size(), 66u);
}

using Users = MgrStore;

TEST_F(Users, AddCheckChangeDelete) {
    const name_field admin("admin");
    std::string lines =
        capture_log([&] { EXPECT_EQ(users_add(s, admin.text, "vendrix", 0x10), 0); });
    EXPECT_EQ(lines, "DEBUG  A new user [admin] stored successfully.\n");
    EXPECT_EQ(rows("SELECT username, permissions, substr(password, 1, 3) FROM USERS;"),
              std::vector<std::string>{"admin|17|$6$"});

    // A second add of the same name keeps the first password and permissions.
    EXPECT_EQ(users_add(s, admin.text, "other", 0x1F), 0);
    const struct {
        const char *name;
        const char *password;
        int rc;
    } checks[] = {
        {"admin", "vendrix", 0},
        {"admin", "other", 1},
        {"admin", "", 1},
        {"nobody", "vendrix", 1},
    };
    for (const auto &c : checks)
        EXPECT_EQ(users_check_password(s, c.name, c.password), c.rc) << c.name << c.password;
    mgr_user u{};
    ASSERT_EQ(users_get(s, "admin", &u), 0);
    EXPECT_EQ(u.permissions, 0x11u);
    EXPECT_STREQ(u.username, "admin");

    EXPECT_EQ(users_set_password(s, "admin", "changed"), 0);
    EXPECT_EQ(users_check_password(s, "admin", "changed"), 0);
    EXPECT_EQ(users_check_password(s, "admin", "vendrix"), 1);
    EXPECT_EQ(users_set_password(s, "nobody", "x"), 0);

    EXPECT_EQ(users_set_perms(s, "admin", 0x07), 0);
    mgr_user v{};
    ASSERT_EQ(users_get(s, "admin", &v), 0);
    EXPECT_EQ(v.permissions, 0x07u);

    EXPECT_EQ(users_delete(s, "admin"), 0);
    EXPECT_EQ(users_check_password(s, "admin", "changed"), 1);
    mgr_user w{};
    EXPECT_EQ(users_get(s, "admin", &w), -1);
    EXPECT_EQ(users_delete(s, "admin"), 0);
}

TEST_F(Users, StoredHashesThatCannotVerify) {
    exec("INSERT INTO USERS VALUES ('null-hash', NULL, 1), ('dead-hash', '*0', 1);");
    EXPECT_EQ(users_check_password(s, "null-hash", "x"), -1);
    EXPECT_EQ(users_check_password(s, "dead-hash", "x"), 1);
}

TEST_F(Users, Bans) {
    std::vector<uint64_t> agents;
    for (const char *label : {"a", "b", "c"})
        agents.push_back(add(agent_rec(2, label)).aid);
    const name_field ann("ann"), ben("ben");
    ASSERT_EQ(users_add(s, ann.text, "pw", 0), 0);
    ASSERT_EQ(users_add(s, ben.text, "pw", 0), 0);

    mgr_user ban{};
    users_copy_name("ann", ban.username);
    ban.banned = agents.data();
    ban.nbanned = 3;
    ASSERT_EQ(users_set_banned(s, &ban), 0);
    ban.nbanned = 1;
    users_copy_name("ben", ban.username);
    ASSERT_EQ(users_set_banned(s, &ban), 0);

    const struct {
        const char *name;
        int rc;
        std::vector<uint64_t> banned;
    } cases[] = {
        {"ann", 0, agents},
        {"ben", 0, {agents[0]}},
        {"nobody", -1, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mgr_user u{};
        EXPECT_EQ(users_get(s, c.name, &u), c.rc);
        EXPECT_EQ(std::vector<uint64_t>(u.banned, u.banned + u.nbanned), c.banned);
        free(u.banned);
    }

    // Replacing with none leaves no row and no array.
    users_copy_name("ben", ban.username);
    ban.nbanned = 0;
    ASSERT_EQ(users_set_banned(s, &ban), 0);
    mgr_user u{};
    ASSERT_EQ(users_get(s, "ben", &u), 0);
    EXPECT_EQ(u.nbanned, 0u);
    EXPECT_EQ(u.banned, nullptr);

    // The rows go with their agent and with their user.
    ASSERT_EQ(acache_delete(s, agents[1]), 0);
    EXPECT_EQ(rows("SELECT user, agent FROM BANNED ORDER BY agent;").size(), 2u);
    ASSERT_EQ(users_delete(s, "ann"), 0);
    EXPECT_TRUE(rows("SELECT * FROM BANNED;").empty());
}

TEST_F(Users, FailedBanChangesKeepTheOldRows) {
    std::vector<uint64_t> agents;
    for (const char *label : {"a", "b", "c"})
        agents.push_back(add(agent_rec(2, label)).aid);
    const name_field ann("ann");
    ASSERT_EQ(users_add(s, ann.text, "pw", 0), 0);
    mgr_user ban{};
    users_copy_name("ann", ban.username);
    ban.banned = agents.data();
    ban.nbanned = 1;
    ASSERT_EQ(users_set_banned(s, &ban), 0);
    const std::vector<std::string> before = rows("SELECT * FROM BANNED;");

    uint64_t unknown[] = {agents[1], 0x5555};
    const struct {
        const char *name;
        std::string arm;
        uint64_t *banned;
        uint64_t n;
        const char *line;
    } cases[] = {
        {"second insert aborted",
         "CREATE TEMP TRIGGER t BEFORE INSERT ON BANNED WHEN NEW.agent = " + sq(agents[2]) +
             " BEGIN SELECT RAISE(ABORT, 'refused'); END;",
         agents.data() + 1, 2, "ERROR  SQL[428]: constraint failed\n"},
        {"commit refused by a deferred foreign key", "PRAGMA defer_foreign_keys = ON;", unknown, 2,
         "ERROR  SQL[431]: constraint failed\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        exec(c.arm);
        ban.banned = c.banned;
        ban.nbanned = c.n;
        std::string lines = capture_log([&] { EXPECT_EQ(users_set_banned(s, &ban), -1); }, 1);
        EXPECT_EQ(lines, c.line);
        EXPECT_EQ(rows("SELECT * FROM BANNED;"), before);
        EXPECT_NE(sqlite3_get_autocommit(s->db), 0);
        exec("DROP TRIGGER IF EXISTS t;");
    }
    ban.banned = agents.data();
    ban.nbanned = 3;
    EXPECT_EQ(users_set_banned(s, &ban), 0);
    EXPECT_EQ(rows("SELECT count(*) FROM BANNED;"), std::vector<std::string>{"3"});
}

// A salt that crypt refuses would store a hash no password matches: nothing is stored.
TEST_F(Users, RefusedSaltStoresNothing) {
    const name_field admin("admin");
    ASSERT_EQ(users_add(s, admin.text, "vendrix", 0), 0);
    const std::vector<std::string> before = rows("SELECT * FROM USERS;");
    s->test_salt = [](char salt[8]) {
        memset(salt, '!', 8);
        return 0;
    };
    const name_field eve("eve");
    std::string lines = capture_log([&] { EXPECT_EQ(users_add(s, eve.text, "pw", 0), -1); }, 1);
    EXPECT_NE(lines.find("crypt_r $6$!!!!!!!! "), std::string::npos) << lines;
    EXPECT_EQ(users_set_password(s, "admin", "new"), -1);
    EXPECT_EQ(rows("SELECT * FROM USERS;"), before);
    EXPECT_EQ(users_check_password(s, "admin", "vendrix"), 0);
}

TEST_F(Users, ForeachListsNamesAndPermissions) {
    for (const char *name : {"carol", "alice", "bob"}) {
        const name_field f(name);
        ASSERT_EQ(users_add(s, f.text, "pw", name[0] == 'a' ? 0x1F : 0), 0);
    }
    exec("INSERT INTO USERS VALUES ('" + std::string(128, 'L') + "', 'x', 1);");
    std::vector<std::string> seen;
    EXPECT_EQ(users_foreach(s, &seen,
                            [](void *ctx, const mgr_user *u) {
                                static_cast<std::vector<std::string> *>(ctx)->push_back(
                                    std::string(u->username) + ":" +
                                    std::to_string(u->permissions) +
                                    (u->banned == nullptr ? "" : " banned"));
                                return 1;
                            }),
              0);
    std::sort(seen.begin(), seen.end());
    // The name too long for the field is listed empty.
    EXPECT_EQ(seen, (std::vector<std::string>{":1", "alice:31", "bob:1", "carol:1"}));
}

} // namespace
