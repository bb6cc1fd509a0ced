// Client login at the Manager: the body of a graphical client's hello carries a user name
// and a password. A stored user whose password matches (or whom the registered
// authentication function accepts) is answered with its permissions, its banned agents, the
// server's mode and, at a Manager without the Database role, the connected Databases, and
// becomes an MG-UI peer whose uid is its user id. Anyone else is disconnected without an
// answer.
#pragma once

#include <cstdint>
#include <string_view>

struct auth_request;
struct manager_ctx;
struct mgr_user;

// The login body: u16 name length, the name, a NUL, u16 password length, the password, a
// NUL (lengths big-endian, each equal to its text's length up to the NUL).
struct login_body {
    std::string_view name;
    std::string_view password;
};

// Reads a login body. 0, or -1 after its ERROR lines ("Invalid authentication request."
// last).
int uauth_parse(const uint8_t *body, uint32_t len, login_body *out);

// The login answer: "\0MANAGER", u64 permissions, u16 version word, u16 n banned agents, u8
// mode, u8 d Databases, u8 0, then n u64 agent ids and d 20-byte addresses (big-endian).
inline constexpr uint32_t LOGIN_ANSWER_HDR_LEN = 23;
// Counts that fit their fields: further bans and Databases are left out of the answer.
inline constexpr uint64_t LOGIN_MAX_BANNED = 0xFFFF;
inline constexpr uint32_t LOGIN_MAX_DATABASES = 0xFF;

// The pool task of a login (arg: its auth_request, which it releases).
void uauth_authenticate(void *arg);
