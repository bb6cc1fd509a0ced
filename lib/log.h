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
#include <mutex>

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

// What one source of lines (a connection, the server thread's refused connections) may put
// in the log. Its first `first` lines pass as usual; later ones are counted and suppressed,
// and once per interval a summary line gives their count. So a source that sends garbage for
// ever costs `first` lines and then one line per interval.
//
// Lines of a source come from several threads (a loop and the pool workers running its
// requests), hence the mutex.
struct log_limiter {
    std::mutex m;
    char who[96] = {};       // names the source in the summary line
    uint32_t first = 0;      // lines let through before suppression starts
    uint32_t interval_ms = 0;
    uint32_t flags = 0;      // LOG_LIMIT_*
    uint32_t passed = 0;     // lines let through since the start (or the last renewal)
    uint64_t suppressed = 0; // since the last summary
    uint64_t since_ms = 0;   // monotonic start of the current interval
};

enum : uint32_t {
    // An interval in which nothing was suppressed lets `first` lines through again: for a
    // source that stands for many peers in turn, whose occasional line stays worth reading.
    LOG_LIMIT_RENEW = 1,
    // INFO lines pass unlimited: the source's WARN and ERROR lines are its peers' doing,
    // its INFO lines the server's own events.
    LOG_LIMIT_ERRORS = 2,
};

// Lines a peer's limiter lets through, and its interval.
constexpr uint32_t LOG_LIMIT_FIRST = 100;
constexpr uint32_t LOG_LIMIT_INTERVAL_MS = 60000;

// Sets the limiter up (or again, for a new source), with nothing passed nor suppressed yet.
void log_limiter_init(log_limiter *lim, const char *who, uint32_t first, uint32_t interval_ms,
                      uint32_t flags);
// Writes the summary when the current interval is over and lines were suppressed in it
// (a renewing one renews when none were); called periodically by the limiter's owner
// so that a source that falls silent still has its count told.
void log_limiter_tick(log_limiter *lim);
// Writes the summary of whatever is suppressed and not yet told, however short the interval;
// for a source that ends.
void log_limiter_end(log_limiter *lim);

// While an object lives on a thread, that thread's lines below FATAL and above DEBUG go
// through `lim` (NULL: no limiter); the limiter in scope before comes back at its end. Lines
// outside any scope are never limited.
class log_scope {
public:
    explicit log_scope(log_limiter *lim);
    ~log_scope();
    log_scope(const log_scope &) = delete;
    log_scope &operator=(const log_scope &) = delete;

private:
    log_limiter *prev_;
};

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
