// Users of the graphical clients: names, SHA-512 crypt password hashes, permission bits and
// banned agents, kept in the USERS and BANNED tables.
#pragma once

#include <cstdint>

struct mgr_storage;

inline constexpr uint64_t PERM_USER = 0x01; // set on every stored user
inline constexpr uint64_t PERM_CONFIGURE = 0x02;
inline constexpr uint64_t PERM_PARAMETERS = 0x04;
inline constexpr uint64_t PERM_ONLINE = 0x08;
inline constexpr uint64_t PERM_QUERY = 0x10;
inline constexpr uint64_t PERM_ALL = 0x1F;

// Status of the copy operations for a text too long for its field.
inline constexpr int USERS_TOO_LONG = 36;

// One user in memory.
struct mgr_user {
    uint64_t permissions;
    char username[128]; // NUL-padded, at most 127 bytes
    uint64_t *banned;   // banned agent ids or NULL; owned by the holder of the record
    uint64_t nbanned;
};

// One lettered permission.
struct user_perm {
    const char *text;
    uint64_t bit;
    uint64_t letter;
};

// The lettered permissions in bit order: c, p, o, q.
extern const user_perm user_perms[4];

// Storage operations. Failures are logged.

// Stores a new user with the hash of the password and permissions | PERM_USER; a stored
// name is left as it is and still succeeds. A password that cannot be hashed stores
// nothing. 0 or -1.
int users_add(mgr_storage *s, const char username[128], const char *password, uint64_t permissions);
// Deletes the user with its BANNED rows: 0, or the SQLite result code of the failing call.
int users_delete(mgr_storage *s, const char *username);
// 0 or -1; an unknown name changes nothing and succeeds.
int users_set_password(mgr_storage *s, const char *username, const char *password);
int users_set_perms(mgr_storage *s, const char *username, uint64_t permissions);
// Replaces the user's BANNED rows by user->banned in one transaction. 0 or -1; a failure
// keeps the old rows.
int users_set_banned(mgr_storage *s, const mgr_user *user);

// Called once per user with its name and permissions (no bans); the record lives for the
// call only and the result is ignored. Every row is read first, then the callbacks run
// with no lock held. 0 or -1.
using users_cb = int (*)(void *ctx, const mgr_user *user);
int users_foreach(mgr_storage *s, void *ctx, users_cb cb);

// 0 the password matches, 1 it does not (or no such user), -1 error.
int users_check_password(mgr_storage *s, const char *username, const char *password);

// Fills the zeroed *user with permissions, name and banned agents (user->banned for the
// caller to free). 0, or -1 when there is no such user or on failure.
int users_get(mgr_storage *s, const char *username, mgr_user *user);

// Record and text operations.

// Zero-fills `out`, then copies the text: 0, or USERS_TOO_LONG (out stays zero) when it has
// more than 127 (name) or 63 (password) bytes.
int users_copy_name(const char *text, char out[128]);
int users_copy_password(const char *text, char out[64]);

// murmur3_hash64 of the 128-byte name field, padding included.
uint64_t users_id(const mgr_user *user);

// Sorts by name, byte-wise.
int users_cmp_name(const void *a, const void *b);
void users_sort(mgr_user *users, uint64_t n);

// SHA-512 crypt of the password with a fresh random 8-character salt into the zeroed
// `out` (at most 127 characters). 0, or -1 when no hash could be made (nothing usable in
// out).
int users_hash_password(const char *password, char out[128]);
// 0 when the password hashes to the stored hash, else 1 (also for an unusable hash). The
// hashes are compared in constant time.
int users_check_hash(const char *password, const char *stored_hash);

// Bits of 1 to 4 letters of "cpoq" (others ignored) | PERM_USER; 0 when the text is not
// 1 to 4 bytes long or no letter counted.
uint64_t users_parse_perms(const char *letters);
// "cpoq" with a '.' for each clear bit, then NUL.
void users_perms_to_str(uint64_t permissions, char out[5]);
// Called once per set lettered bit, in bit order; results ignored.
using users_perm_cb = int (*)(void *ctx, const user_perm *row);
void users_perms_foreach(uint64_t permissions, void *ctx, users_perm_cb cb);

// Writes n - 1 random characters of the 66-character password alphabet at the start of the
// zeroed buffer. 0, or -1 when no random bytes could be had (the buffer is zeroed again).
int users_generate_password(char *buffer, uint64_t n);

// The characters salts are drawn from: the alphabet's first 64 without the three that
// SHA-512 crypt refuses ('!', ';', '*').
extern const char users_salt_chars[];
