#include "manager/users.h"

#include <cerrno>
#include <crypt.h>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>
#include <vector>

#include "lib/log.h"
#include "lib/murmur3.h"
#include "lib/xalloc.h"
#include "manager/mgr_storage.h"

const user_perm user_perms[4] = {
    {"Can configure agents", PERM_CONFIGURE, 'c'},
    {"Can view parameters", PERM_PARAMETERS, 'p'},
    {"Can view online data", PERM_ONLINE, 'o'},
    {"Can query agents", PERM_QUERY, 'q'},
};

const char users_salt_chars[] = "/-+=023456789ABCDEFGHJKLMNOPQRSTUVWXYZabcdefghijkmnopqrstuvwx";

namespace {

// Generated passwords use all 66 characters (no 1, I or l).
constexpr char PASSWORD_CHARS[] =
    "/!;-*+=023456789ABCDEFGHJKLMNOPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr unsigned PASSWORD_CHAR_COUNT = sizeof PASSWORD_CHARS - 1;
constexpr unsigned SALT_CHAR_COUNT = sizeof users_salt_chars - 1;
static_assert(PASSWORD_CHAR_COUNT == 66 && SALT_CHAR_COUNT == 61);

constexpr size_t SALT_LEN = 8;
constexpr size_t NAME_FIELD = 128;
constexpr size_t PASSWORD_FIELD = 64;
// A hash field holds 128 bytes: at most 127 characters and the terminator.
constexpr size_t HASH_FIELD = 128;
constexpr size_t HASH_MAX = HASH_FIELD - 1;

using salt_fn = int (*)(char salt[8]);

// A zeroed work area for one crypt_r call; it is too large to live on a worker's stack.
class crypt_work {
public:
    crypt_work() : cd_(static_cast<crypt_data *>(krv_calloc(1, sizeof(crypt_data)))) {}
    ~crypt_work() { free(cd_); }
    crypt_work(const crypt_work &) = delete;
    crypt_work &operator=(const crypt_work &) = delete;
    crypt_data *get() { return cd_; }

private:
    crypt_data *cd_;
};

} // namespace

static int random_bytes(uint8_t *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(buf + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            LOG_SYSERR("getrandom");
            return -1;
        }
        got += static_cast<size_t>(r);
    }
    return 0;
}

// Fills out[0..n) with characters of `chars` (`count` of them), each uniform: a random byte
// at or above the largest multiple of `count` is drawn again rather than folded.
static int random_chars(const char *chars, unsigned count, char *out, size_t n) {
    const unsigned limit = 256 - 256 % count;
    uint8_t pool[64];
    size_t have = 0, at = 0;
    for (size_t i = 0; i < n;) {
        if (at == have) {
            if (random_bytes(pool, sizeof pool) != 0)
                return -1;
            have = sizeof pool;
            at = 0;
        }
        uint8_t b = pool[at++];
        if (b < limit)
            out[i++] = chars[b % count];
    }
    return 0;
}

static int users_random_salt(char salt[8]) {
    return random_chars(users_salt_chars, SALT_CHAR_COUNT, salt, SALT_LEN);
}

// Hashes with a salt from `salt_source`. A result that crypt_r marks as failed (NULL or
// beginning with '*') would never verify, so it is refused.
static int users_hash_with(salt_fn salt_source, const char *password, char out[128]) {
    memset(out, 0, HASH_FIELD);
    char setting[3 + SALT_LEN + 1] = "$6$";
    if (salt_source(setting + 3) != 0)
        return -1;
    setting[3 + SALT_LEN] = '\0';
    crypt_work work;
    errno = 0;
    const char *hash = crypt_r(password, setting, work.get());
    if (hash == nullptr || hash[0] == '*') {
        LOG_SYSERR_PATH("crypt_r", setting);
        return -1;
    }
    memcpy(out, hash, strnlen(hash, HASH_MAX));
    return 0;
}

static salt_fn users_salt_source(const mgr_storage *s) {
    return s->test_salt != nullptr ? s->test_salt : users_random_salt;
}

int users_hash_password(const char *password, char out[128]) {
    return users_hash_with(users_random_salt, password, out);
}

// Compares the first 127 characters of two hashes in a time that does not depend on where
// they differ.
static bool users_same_hash(const char *a, const char *b) {
    char x[HASH_FIELD] = {};
    char y[HASH_FIELD] = {};
    memcpy(x, a, strnlen(a, HASH_MAX));
    memcpy(y, b, strnlen(b, HASH_MAX));
    unsigned char diff = 0;
    for (size_t i = 0; i < HASH_MAX; i++)
        diff |= static_cast<unsigned char>(x[i] ^ y[i]);
    return diff == 0;
}

int users_check_hash(const char *password, const char *stored_hash) {
    crypt_work work;
    const char *hash = crypt_r(password, stored_hash, work.get());
    if (hash == nullptr || hash[0] == '*')
        return 1;
    return users_same_hash(hash, stored_hash) ? 0 : 1;
}

int users_add(mgr_storage *s, const char username[128], const char *password,
              uint64_t permissions) {
    char hash[HASH_FIELD];
    if (users_hash_with(users_salt_source(s), password, hash) != 0)
        return -1;
    {
        std::lock_guard<std::mutex> sql(s->sql);
        mgr_stmt st(s->db,
                    "INSERT OR IGNORE INTO USERS (username, password, permissions) VALUES (?1, "
                    "?2, ?3);",
                    SQL_PLAIN);
        if (!st.ok() || st.bind_text(1, username, strnlen(username, NAME_FIELD)) != 0 ||
            st.bind_text(2, hash, strlen(hash)) != 0 ||
            st.bind_u64(3, permissions | PERM_USER) != 0 || st.done() != 0)
            return -1;
    }
    LOG_DEBUG("A new user [%.128s] stored successfully.", username);
    return 0;
}

int users_delete(mgr_storage *s, const char *username) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db, "DELETE FROM USERS WHERE username=?1;", SQL_PLAIN);
    if (!st.ok() || st.bind_text(1, username, strnlen(username, NAME_FIELD)) != 0 || st.done() != 0)
        return st.rc();
    return 0;
}

int users_set_password(mgr_storage *s, const char *username, const char *password) {
    char hash[HASH_FIELD];
    if (users_hash_with(users_salt_source(s), password, hash) != 0)
        return -1;
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db, "UPDATE USERS SET password=?1 WHERE username=?2;", 400);
    if (!st.ok() || st.bind_text(1, hash, strlen(hash)) != 0 ||
        st.bind_text(2, username, strnlen(username, NAME_FIELD)) != 0 || st.done() != 0)
        return -1;
    return 0;
}

int users_set_perms(mgr_storage *s, const char *username, uint64_t permissions) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db, "UPDATE USERS SET permissions=?1 WHERE username=?2;", SQL_PLAIN);
    if (!st.ok() || st.bind_u64(1, permissions) != 0 ||
        st.bind_text(2, username, strnlen(username, NAME_FIELD)) != 0 || st.done() != 0)
        return -1;
    return 0;
}

// The statements of users_set_banned inside its transaction. 0 or -1.
static int users_replace_bans(mgr_storage *s, const mgr_user *user) {
    size_t len = strnlen(user->username, NAME_FIELD);
    {
        mgr_stmt del(s->db, "DELETE FROM BANNED WHERE user=?1;", 410);
        if (!del.ok() || del.bind_text(1, user->username, len) != 0 || del.done() != 0)
            return -1;
    }
    mgr_stmt ins(s->db, "INSERT INTO BANNED VALUES (?1, ?2);", 420);
    if (!ins.ok() || ins.bind_text(1, user->username, len) != 0)
        return -1;
    for (uint64_t i = 0; i < user->nbanned; i++) {
        if (ins.reset() != 0 || ins.bind_u64(2, user->banned[i]) != 0 || ins.done() != 0)
            return -1;
    }
    return 0;
}

int users_set_banned(mgr_storage *s, const mgr_user *user) {
    std::lock_guard<std::mutex> sql(s->sql);
    if (mgr_tx_begin(s, 430) != 0)
        return -1;
    return mgr_tx_finish(s, users_replace_bans(s, user), 430);
}

// Every user's name and permissions, read under the storage lock. 0 or -1.
static int users_read_all(mgr_storage *s, std::vector<mgr_user> *users) {
    std::lock_guard<std::mutex> sql(s->sql);
    mgr_stmt st(s->db, "SELECT username, permissions FROM USERS;", SQL_PLAIN);
    if (!st.ok())
        return -1;
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        mgr_user u{};
        // A stored name too long for the field is left empty.
        if (sqlite3_column_bytes(st.get(), 0) < static_cast<int>(NAME_FIELD))
            mgr_col_text(st.get(), 0, u.username, NAME_FIELD - 1);
        u.permissions = mgr_col_u64(st.get(), 1);
        users->push_back(u);
    }
    return rc == SQLITE_DONE ? 0 : -1;
}

int users_foreach(mgr_storage *s, void *ctx, users_cb cb) {
    std::vector<mgr_user> users;
    if (users_read_all(s, &users) != 0)
        return -1;
    for (const mgr_user &u : users)
        cb(ctx, &u);
    return 0;
}

int users_check_password(mgr_storage *s, const char *username, const char *password) {
    enum { NO_ROW, NULL_HASH, HASH } found = NO_ROW;
    char stored[HASH_FIELD] = {};
    {
        std::lock_guard<std::mutex> sql(s->sql);
        mgr_stmt st(s->db, "SELECT password FROM USERS WHERE username=?1;", SQL_PLAIN);
        if (!st.ok())
            return -1;
        st.set_site(440);
        if (st.bind_text(1, username, strnlen(username, NAME_FIELD)) != 0)
            return -1;
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            found = sqlite3_column_type(st.get(), 0) == SQLITE_NULL ? NULL_HASH : HASH;
            memset(stored, 0, sizeof stored);
            mgr_col_text(st.get(), 0, stored, HASH_MAX);
        }
        if (rc != SQLITE_DONE)
            return -1;
    }
    // The hash is checked with the storage free: SHA-512 crypt takes a while.
    switch (found) {
    case NO_ROW:
        return 1;
    case NULL_HASH:
        return -1;
    default:
        return users_check_hash(password, stored);
    }
}

int users_get(mgr_storage *s, const char *username, mgr_user *user) {
    std::vector<uint64_t> banned;
    mgr_user found{};
    bool any = false;
    {
        std::lock_guard<std::mutex> sql(s->sql);
        mgr_stmt st(s->db,
                    "select users.username, users.permissions, banned.agent from users  left "
                    "join banned on banned.user = users.username where users.username=?1",
                    SQL_PLAIN);
        if (!st.ok() || st.bind_text(1, username, strnlen(username, NAME_FIELD)) != 0)
            return -1;
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            if (!any) {
                any = true;
                if (sqlite3_column_bytes(st.get(), 0) < static_cast<int>(NAME_FIELD))
                    mgr_col_text(st.get(), 0, found.username, NAME_FIELD - 1);
                found.permissions = mgr_col_u64(st.get(), 1);
            }
            // A user without bans gives one row whose agent is NULL.
            uint64_t agent = mgr_col_u64(st.get(), 2);
            if (agent != 0)
                banned.push_back(agent);
        }
        if (rc != SQLITE_DONE || !any)
            return -1;
    }
    if (!banned.empty()) {
        found.banned = static_cast<uint64_t *>(krv_malloc(banned.size() * sizeof(uint64_t)));
        memcpy(found.banned, banned.data(), banned.size() * sizeof(uint64_t));
        found.nbanned = banned.size();
    }
    *user = found;
    return 0;
}

static int users_copy(const char *text, char *out, size_t field) {
    memset(out, 0, field);
    size_t len = strlen(text);
    if (len > field - 1)
        return USERS_TOO_LONG;
    memcpy(out, text, len);
    return 0;
}

int users_copy_name(const char *text, char out[128]) {
    return users_copy(text, out, NAME_FIELD);
}

int users_copy_password(const char *text, char out[64]) {
    return users_copy(text, out, PASSWORD_FIELD);
}

uint64_t users_id(const mgr_user *user) {
    return murmur3_hash64(user->username, sizeof user->username);
}

int users_cmp_name(const void *a, const void *b) {
    return strncmp(static_cast<const mgr_user *>(a)->username,
                   static_cast<const mgr_user *>(b)->username, NAME_FIELD);
}

void users_sort(mgr_user *users, uint64_t n) {
    if (n < 2)
        return;
    qsort(users, n, sizeof *users, users_cmp_name);
}

uint64_t users_parse_perms(const char *letters) {
    size_t len = strlen(letters);
    if (len < 1 || len > 4)
        return 0;
    uint64_t bits = 0;
    for (size_t i = 0; i < len; i++) {
        for (const user_perm &row : user_perms) {
            if (static_cast<unsigned char>(letters[i]) == row.letter)
                bits |= row.bit;
        }
    }
    return bits != 0 ? bits | PERM_USER : 0;
}

void users_perms_to_str(uint64_t permissions, char out[5]) {
    for (size_t i = 0; i < 4; i++) {
        const user_perm &row = user_perms[i];
        out[i] = (permissions & row.bit) != 0 ? static_cast<char>(row.letter) : '.';
    }
    out[4] = '\0';
}

void users_perms_foreach(uint64_t permissions, void *ctx, users_perm_cb cb) {
    for (const user_perm &row : user_perms) {
        if ((permissions & row.bit) != 0)
            cb(ctx, &row);
    }
}

int users_generate_password(char *buffer, uint64_t n) {
    if (n == 0)
        return 0;
    if (random_chars(PASSWORD_CHARS, PASSWORD_CHAR_COUNT, buffer, n - 1) != 0) {
        memset(buffer, 0, n - 1);
        return -1;
    }
    return 0;
}
