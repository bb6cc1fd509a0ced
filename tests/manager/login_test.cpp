// Client login inside the process: the body rules, the registered authentication function,
// and answers whose counts would not fit their fields. Each case runs in a child that makes
// its own storage and an MG-UI loop that is never started, and reads what the login queued
// to that loop.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/log_capture.h"
#include "lib/xalloc.h"
#include "manager/client_peer.h"
#include "manager/dbreg.h"
#include "manager/login.h"
#include "manager/manager_ctx.h"
#include "manager/mgr_storage.h"
#include "manager/users.h"
#include "mgr_support.h"
#include "mgr_wire.h"
#include "server/plugins.h"
#include "server/runtime.h"

namespace {

// A zero-padded 128-byte name field.
struct name_field {
    char text[128];
    explicit name_field(const char *name) { EXPECT_EQ(users_copy_name(name, text), 0); }
};

struct ParseRow {
    const char *name;
    std::string body;
    bool ok;
    const char *first_line; // logged before "Invalid authentication request.", or NULL
};

TEST(LoginBody, Rules) {
    const std::string nul(1, '\0');
    const ParseRow rows[] = {
        {"well formed", login_bytes("admin", "vendrix"), true, nullptr},
        {"empty texts", login_bytes("", ""), true, nullptr},
        {"empty body", "", false, nullptr},
        {"one byte", "\x00", false, nullptr},
        {"name shorter than its field", be(4, 2) + "admin" + nul + be(7, 2) + "vendrix" + nul,
         false, "Username error"},
        {"name without NUL", be(5, 2) + "admin", false, "Username error"},
        {"nothing after the name", be(5, 2) + "admin" + nul + be(7, 2).substr(0, 1), false,
         nullptr},
        {"password longer than its field", be(5, 2) + "admin" + nul + be(3, 2) + "vendrix" + nul,
         false, "Password error"},
        {"password without NUL", be(5, 2) + "admin" + nul + be(7, 2) + "vendrix", false,
         "Password error"},
    };
    for (const ParseRow &row : rows) {
        login_body parsed;
        int rc = 0;
        const std::string log = capture_log([&] {
            rc = uauth_parse(reinterpret_cast<const uint8_t *>(row.body.data()),
                             static_cast<uint32_t>(row.body.size()), &parsed);
        });
        EXPECT_EQ(rc == 0, row.ok) << row.name;
        if (row.ok) {
            EXPECT_EQ(log, "") << row.name;
            continue;
        }
        const std::string expected = std::string(row.first_line != nullptr ? "ERROR  " : "") +
                                     (row.first_line != nullptr ? row.first_line : "") +
                                     (row.first_line != nullptr ? "\n" : "") +
                                     "ERROR  Invalid authentication request.\n";
        EXPECT_EQ(log, expected) << row.name;
    }
    login_body parsed;
    const std::string body = login_bytes("admin", "vendrix");
    ASSERT_EQ(uauth_parse(reinterpret_cast<const uint8_t *>(body.data()),
                          static_cast<uint32_t>(body.size()), &parsed),
              0);
    EXPECT_EQ(parsed.name, "admin");
    EXPECT_EQ(parsed.password, "vendrix");
}

// What one login queued to its loop.
struct LoginOutcome {
    bool accepted = false;
    std::string answer; // the whole answer message
    uint64_t uid = 0;
    bool closed = false; // the client's end saw the connection end
};

// A child's login fixture: a storage in the working directory and an MG-UI loop over it.
struct LoginBench {
    manager_ctx ctx{};
    loop *clients = nullptr;

    explicit LoginBench(uint32_t mode) {
        EXPECT_EQ(mgr_storage_create("storage.mgr"), 0);
        ctx.mgrdb = mgr_storage_open();
        ctx.mode = mode;
        clients = mgui_loop_create(&ctx, nullptr);
    }

    LoginOutcome login(const std::string &body) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        auto *req = static_cast<auth_request *>(krv_malloc(sizeof(auth_request) + body.size()));
        req->target = clients;
        req->peer = conn_peer{fds[0], netaddr{}, 0};
        req->len = static_cast<uint32_t>(body.size());
        memcpy(req->body, body.data(), body.size());
        const uint32_t before = clients->iomq.count;
        uauth_authenticate(req);
        LoginOutcome out;
        if (clients->iomq.count > before) {
            const IOMessage &m = clients->iomq.items[clients->iomq.tail - 1];
            EXPECT_EQ(m.type, IOM_ACCEPT);
            auto *a = static_cast<ioma *>(m.data);
            out.accepted = true;
            out.uid = m.peer.uid;
            out.answer.assign(reinterpret_cast<const char *>(a->response), msg_size(a->response));
            close(a->client.connfd);
        }
        char c;
        out.closed = read(fds[1], &c, 1) == 0 && !out.accepted;
        close(fds[1]);
        return out;
    }
};

RunResult in_env_child(const std::function<void()> &fn) {
    TempDir dir;
    return run_forked([&] {
        if (chdir(dir.path().c_str()) != 0)
            _exit(2);
        log_level.store(2);
        fn();
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    });
}

int plugin_accepts_secret(const char *name, const char *password) {
    return strcmp(name, "plugged") == 0 && strcmp(password, "from-plugin") == 0 ? 0 : 1;
}

TEST(LoginPlugin, RegisteredFunctionDecidesForStoredUsersOnly) {
    RunResult r = in_env_child([] {
        LoginBench b(MODE_MANAGER);
        const name_field plugged("plugged");
        ASSERT_EQ(users_add(b.ctx.mgrdb, plugged.text, "stored", PERM_ONLINE), 0);
        auth_hook.store(plugin_accepts_secret);
        LoginOutcome ok = b.login(login_bytes("plugged", "from-plugin"));
        EXPECT_TRUE(ok.accepted);
        EXPECT_EQ(ok.uid, user_id("plugged"));
        EXPECT_EQ(ok.answer.substr(5, 16), manager_answer() + be(PERM_ONLINE | PERM_USER, 8));
        // The stored password is not consulted.
        EXPECT_TRUE(b.login(login_bytes("plugged", "stored")).closed);
        // The user must still be stored.
        EXPECT_TRUE(b.login(login_bytes("nobody", "from-plugin")).closed);
        auth_hook.store(nullptr);
        EXPECT_TRUE(b.login(login_bytes("plugged", "stored")).accepted);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out;
    const std::string log = strip_log_stamps(r.err);
    EXPECT_NE(log.find("INFO   Connection denied to user [plugged]. Reason: Invalid password.\n"),
              std::string::npos);
    EXPECT_NE(log.find("INFO   Connection denied to user [nobody]. Reason: No such user.\n"),
              std::string::npos);
    EXPECT_EQ(count_of(log, "INFO   Connection granted to user ["), 2u);
}

TEST(LoginAnswer, CountsAreCutToTheirFields) {
    RunResult r = in_env_child([] {
        LoginBench b(MODE_MANAGER);
        const name_field heavy("heavy");
        ASSERT_EQ(users_add(b.ctx.mgrdb, heavy.text, "pw", PERM_ALL), 0);
        // 65536 bans of stored agents, and 300 connected Databases.
        sql_exec(b.ctx.mgrdb->db,
                 "WITH RECURSIVE k(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM k WHERE x < 65536) "
                 "INSERT INTO AGENTS (aid, type, label) SELECT x, 2, 'a' || x FROM k;"
                 "INSERT INTO BANNED SELECT 'heavy', aid FROM AGENTS ORDER BY aid;");
        for (uint32_t i = 0; i < 300; i++) {
            const std::string a = nurl_wire(2, static_cast<uint16_t>(2000 + i), 0x0A000000 + i);
            dbreg_add(&b.ctx.dbreg, reinterpret_cast<const uint8_t *>(a.data()));
        }
        LoginOutcome out = b.login(login_bytes("heavy", "pw"));
        ASSERT_TRUE(out.accepted);
        const std::string &m = out.answer;
        ASSERT_EQ(m.size(), 5u + 23 + 8 * 65535 + 20 * 255);
        EXPECT_EQ(from_be(m, 1, 4), 23u + 8 * 65535 + 20 * 255);
        EXPECT_EQ(from_be(m, 5 + 18, 2), 65535u);
        EXPECT_EQ(static_cast<uint8_t>(m[5 + 20]), MODE_MANAGER);
        EXPECT_EQ(static_cast<uint8_t>(m[5 + 21]), 255);
        EXPECT_EQ(from_be(m, 5 + 23, 8), 1u);
        EXPECT_EQ(from_be(m, 5 + 23 + 8 * 65534, 8), 65535u);
        const size_t dbs = 5 + 23 + 8 * 65535;
        EXPECT_EQ(m.substr(dbs, 20), nurl_wire(2, 2000, 0x0A000000));
        EXPECT_EQ(m.substr(dbs + 20 * 254, 20), nurl_wire(2, 2254, 0x0A0000FE));

        // A Standalone server lists no Databases, whatever the registry holds.
        b.ctx.mode = MODE_STANDALONE;
        out = b.login(login_bytes("heavy", "pw"));
        ASSERT_TRUE(out.accepted);
        EXPECT_EQ(out.answer.size(), 5u + 23 + 8 * 65535);
        EXPECT_EQ(static_cast<uint8_t>(out.answer[5 + 21]), 0);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out;
}

} // namespace
