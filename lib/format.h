// Sizes and times as text, strict small-number parsing and string helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// A byte count expressed in the largest unit it exceeds (a boundary value stays in the
// smaller unit: 1024 bytes is 1024 B).
struct fmt_size {
    uint64_t bytes;
    double value;
    const char *unit;
};

// Long units "TB" "GB" "MB" "KB" "B" or short ones "T" "G" "M" "K" " ".
void fmt_bytes_ex(fmt_size *out, uint64_t n, int long_units);
void fmt_bytes(fmt_size *out, uint64_t n);

// Local time of `t` as "%x %X" / "%d %b %Y %X" into a buffer of at least 32 bytes.
void fmt_time(char *buf, time_t t);
void fmt_date(char *buf, time_t t);

// Number of characters of a UTF-8 text: the bytes that are not continuation bytes.
size_t utf8_strlen(const char *text);

// A text that came from a peer, made safe for a console column: at most `max` bytes of
// `text`, up to its first NUL (a full fixed-size field has none), copied into `out` (room for
// max + 1 bytes) with every control byte (below 0x20, and 0x7F) shown as '?', so no escape
// sequence reaches the terminal. Returns the length written.
size_t str_printable(char *out, const char *text, size_t max);

// Strict decimal parse into a u16 (digits only); 0, or -1 after an ERROR line.
int str_to_u16(const char *text, uint16_t *out);

// Names of test-only settings. Only a test build (KRV_TEST_HOOKS defined) has them: elsewhere
// KRV_TEST_HOOK gives NULL, so no name reaches the installed executable and nothing reads one.
#ifdef KRV_TEST_HOOKS
#define KRV_TEST_HOOK(suffix) ("KRV_TEST_" suffix)
#else
#define KRV_TEST_HOOK(suffix) (static_cast<const char *>(nullptr))
#endif

// A test-only setting: the environment variable `name` (from KRV_TEST_HOOK) as a number from 1
// to 65535, or `dflt` when it is unset, holds anything else, or this is not a test build.
uint32_t test_setting_ms(const char *name, uint32_t dflt);

// The decimal number of one or more digits at *p, moving *p past it. False (and *p left
// alone) when no digit stands there or the number does not fit in 32 bits.
bool parse_u32_prefix(const char **p, uint32_t *out);

// An agent id as it names files and directories: exactly 16 upper-case hexadecimal digits
// and nothing else. False for any other text.
bool parse_agent_id(const char *text, uint64_t *id);

// A copy of `path` without trailing slashes, or NULL when fewer than 2 characters would
// remain. The caller frees the copy.
char *path_strip_slashes(const char *path);

// Most bytes fmt_log_text gives.
constexpr size_t FMT_LOG_TEXT_MAX = 255;

// A text that came from outside as a log line may show it: its first `len` bytes with every
// control byte but 0x1F (the separator of key name parts) written as "\xHH", at most
// FMT_LOG_TEXT_MAX bytes in all; a text cut short ends in "...".
std::string fmt_log_text(const char *text, size_t len);
