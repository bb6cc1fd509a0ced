#include "manager/login.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "lib/be_load.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/version.h"
#include "lib/xalloc.h"
#include "manager/client_peer.h"
#include "manager/manager_ctx.h"
#include "manager/users.h"
#include "server/ioloop.h"
#include "server/plugins.h"
#include "server/runtime.h"

namespace {

// Checked in place of a stored hash when the user does not exist, so that an unknown name
// costs the same hashing as a wrong password and timing tells no names apart.
constexpr const char *ABSENT_USER_HASH =
    "$6$Korvane0$0000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000";

// A text of the body for log lines: control bytes masked. The body fits a hello frame.
struct body_text {
    char text[512];
    explicit body_text(std::string_view s) {
        str_printable(text, s.data(), std::min(s.size(), sizeof text - 1));
    }
};

int login_invalid() {
    LOG_ERROR("Invalid authentication request.");
    return -1;
}

// The text at `at` that must end in a NUL inside [at, end) after exactly `len` bytes.
bool login_text(const uint8_t *at, const uint8_t *end, uint16_t len, std::string_view *out) {
    const auto *nul = static_cast<const uint8_t *>(memchr(at, 0, static_cast<size_t>(end - at)));
    if (nul == nullptr || nul - at != len)
        return false;
    *out = std::string_view(reinterpret_cast<const char *>(at), len);
    return true;
}

manager_ctx *login_ctx(const auth_request *req) {
    return static_cast<manager_ctx *>(req->target->ctx);
}

// 0 when the user may log in, else the reason it may not.
const char *login_check(manager_ctx *ctx, const login_body &body, mgr_user *user) {
    char name[128];
    // The body's texts end in NULs, so they can be used as C strings in place.
    if (users_copy_name(body.name.data(), name) != 0) {
        LOG_ERROR("Username too long: %s!\n", body_text(body.name).text);
        return "Unknown";
    }
    LOG_DEBUG("Authentication message received from user [%s].", body_text(body.name).text);
    const auth_fn plugin = auth_hook.load();
    if (users_get(ctx->mgrdb, name, user) != 0) {
        if (plugin == nullptr)
            (void)users_check_hash(body.password.data(), ABSENT_USER_HASH);
        return "No such user.";
    }
    const int rc = plugin != nullptr ? plugin(body.name.data(), body.password.data())
                                     : users_check_password(ctx->mgrdb, name, body.password.data());
    return rc == 0 ? nullptr : "Invalid password.";
}

// The answer of an accepted user; counts are cut to what their fields hold.
msg *login_answer(manager_ctx *ctx, const mgr_user &user) {
    const uint64_t n = std::min(user.nbanned, LOGIN_MAX_BANNED);
    std::vector<uint8_t> dbs;
    uint32_t d = 0;
    if (ctx->mode == MODE_MANAGER) {
        dbs.resize(static_cast<size_t>(LOGIN_MAX_DATABASES) * NURL_SIZE);
        d = dbreg_copy(&ctx->dbreg, dbs.data(), LOGIN_MAX_DATABASES);
    }
    std::vector<uint8_t> a(LOGIN_ANSWER_HDR_LEN + 8 * n + NURL_SIZE * d);
    memcpy(a.data(), MGR_HELLO_ANSWER, sizeof MGR_HELLO_ANSWER);
    store_be64(a.data() + 8, user.permissions);
    store_be16(a.data() + 16, PROTOCOL_VERSION);
    store_be16(a.data() + 18, static_cast<uint16_t>(n));
    a[20] = static_cast<uint8_t>(ctx->mode);
    a[21] = static_cast<uint8_t>(d);
    a[22] = 0;
    for (uint64_t i = 0; i < n; i++)
        store_be64(a.data() + LOGIN_ANSWER_HDR_LEN + 8 * i, user.banned[i]);
    if (d > 0)
        memcpy(a.data() + LOGIN_ANSWER_HDR_LEN + 8 * n, dbs.data(), NURL_SIZE * d);
    return msg_new(MSG_HELLO, a.data(), a.size());
}

} // namespace

int uauth_parse(const uint8_t *body, uint32_t len, login_body *out) {
    const uint8_t *end = body + len;
    if (len < 2)
        return login_invalid();
    const uint16_t name_len = load_be16(body);
    if (!login_text(body + 2, end, name_len, &out->name)) {
        LOG_ERROR("Username error");
        return login_invalid();
    }
    if (len < static_cast<uint32_t>(name_len) + 5)
        return login_invalid();
    const uint16_t password_len = load_be16(body + 2 + name_len + 1);
    if (!login_text(body + name_len + 5, end, password_len, &out->password)) {
        LOG_ERROR("Password error");
        return login_invalid();
    }
    return 0;
}

void uauth_authenticate(void *arg) {
    auto *req = static_cast<auth_request *>(arg);
    login_body body;
    if (uauth_parse(req->body, req->len, &body) != 0) {
        close(req->peer.connfd);
        free(req);
        return;
    }
    manager_ctx *ctx = login_ctx(req);
    mgr_user user{};
    if (const char *reason = login_check(ctx, body, &user)) {
        LOG_INFO("Connection denied to user [%s]. Reason: %s", body_text(body.name).text, reason);
        free(user.banned);
        close(req->peer.connfd);
        free(req);
        return;
    }
    msg *answer = login_answer(ctx, user);
    const uint64_t uid = users_id(&user);
    LOG_INFO("Connection granted to user [%016lX: %s].", uid, body_text(body.name).text);
    free(user.banned);
    auto *peer = static_cast<mgui_peer *>(krv_calloc(1, sizeof(mgui_peer)));
    peer->base.uid = uid;
    peer->relay = &ctx->relay;
    if (iol_accept_request(req, &peer->base, answer) == 0)
        LOG_DEBUG("Message auth response submitted %p", static_cast<void *>(answer));
}
