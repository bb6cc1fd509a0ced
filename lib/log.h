// Log lines: one process-wide level and the fixed line forms every module prints.
//
// Each line is formatted whole and written to descriptor 2 with a single write, so lines
// of different threads and processes sharing the file never interleave. A line whose level
// is not admitted costs one relaxed load and a branch; nothing is formatted.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

// 0 prints nothing, 1 INFO and above, 2 and 3 add DEBUG.
extern std::atomic<uint32_t> log_level;

// Formats "<stamp> <word><text>\n" and writes it to standard error. `word` is the level
// word already padded ("ERROR  "). Call through the LOG_* macros, which test the level.
void log_printf(const char *word, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Points standard error at `path` (appending); NULL does nothing. 0 or -1.
int log_open(const char *path);
// Closes standard error; no line is written after it.
void log_close();

// Logs a failed call in the lock-failure form, "<call> : <error text>. [<line>]", with errno.
void log_call_error(const char *call, int line);

// Fills `buf` (at least 32 bytes) with the local time of `t` as "%x %X".
void log_stamp(char *buf, size_t len, long t);

#define LOG_AT_(min, word, ...)                                                                    \
    do {                                                                                           \
        if (log_level.load(std::memory_order_relaxed) >= (min))                                    \
            log_printf(word, __VA_ARGS__);                                                         \
    } while (0)

#define LOG_DEBUG(...) LOG_AT_(2u, "DEBUG  ", __VA_ARGS__)
#define LOG_INFO(...) LOG_AT_(1u, "INFO   ", __VA_ARGS__)
#define LOG_WARN(...) LOG_AT_(1u, "WARN   ", __VA_ARGS__)
#define LOG_ERROR(...) LOG_AT_(1u, "ERROR  ", __VA_ARGS__)
#define LOG_FATAL(...) LOG_AT_(1u, "FATAL  ", __VA_ARGS__)

// A failed system call: "[function:line] call error-text". errno is read once, at the
// call site, before anything else can change it.
#define LOG_SYSERR(call)                                                                           \
    do {                                                                                           \
        int e_ = errno;                                                                            \
        LOG_ERROR("[%s:%d] %s %s", __func__, __LINE__, call, strerror(e_));                        \
    } while (0)

// The same with the path the call worked on: "[function:line] call path error-text".
#define LOG_SYSERR_PATH(call, path)                                                                \
    do {                                                                                           \
        int e_ = errno;                                                                            \
        LOG_ERROR("[%s:%d] %s %s %s", __func__, __LINE__, call, path, strerror(e_));               \
    } while (0)

// Runs a pthread lock or unlock call; a non-zero result is logged with the call as written
// and the code carries on, as the rest of the system expects.
#define KRV_LOCKCALL(call)                                                                         \
    do {                                                                                           \
        int rc_ = (call);                                                                          \
        if (rc_ != 0)                                                                              \
            LOG_ERROR("%s : %s. [%d]", #call, strerror(rc_), __LINE__);                            \
    } while (0)
