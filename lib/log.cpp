#include "lib/log.h"

#include <cstdarg>
#include <ctime>
#include <string>
#include <unistd.h>

#include "lib/clock.h"
#include "lib/io.h"

std::atomic<uint32_t> log_level{0};

// Set by log_close: descriptor 2 may be reused by an unrelated file afterwards, and a log
// line must never land in it.
static std::atomic<bool> log_closed{false};

void log_stamp(char *buf, size_t len, long t) {
    time_t now = static_cast<time_t>(t);
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr || strftime(buf, len, "%x %X", &tm) == 0)
        buf[0] = '\0';
}

// A line that cannot be written has nowhere else to go: the failure is not reported.
static void log_write_all(const char *p, size_t n) {
    (void)io_write_all(STDERR_FILENO, p, n);
}

// The limiter of the lines of this thread, set by log_scope.
static thread_local log_limiter *log_scope_limiter = nullptr;

log_scope::log_scope(log_limiter *lim) : prev_(log_scope_limiter) {
    log_scope_limiter = lim;
}

log_scope::~log_scope() {
    log_scope_limiter = prev_;
}

// Formats the line and writes it whole; no limiter looks at it.
static void log_vwrite(const char *word, const char *fmt, va_list ap);

static void log_write(const char *word, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void log_write(const char *word, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(word, fmt, ap);
    va_end(ap);
}

void log_limiter_init(log_limiter *lim, const char *who, uint32_t first, uint32_t interval_ms,
                      uint32_t flags) {
    std::lock_guard<std::mutex> lk(lim->m);
    snprintf(lim->who, sizeof lim->who, "%s", who);
    lim->first = first;
    lim->interval_ms = interval_ms;
    lim->flags = flags;
    lim->passed = 0;
    lim->suppressed = 0;
    lim->since_ms = monotonic_ms();
}

// The summary of the lines suppressed since the interval began; the caller holds the lock.
static void log_limiter_summary(log_limiter *lim, uint64_t now) {
    const uint64_t seconds = (now - lim->since_ms) / 1000;
    if (log_level.load(std::memory_order_relaxed) >= 1)
        log_write("WARN   ", "%s: %lu log lines suppressed in the last %lu s.", lim->who,
                  lim->suppressed, seconds > 0 ? seconds : 1);
    lim->suppressed = 0;
}

// Ends the interval when it is over: the summary of what it suppressed, or, for a renewing
// limiter, a fresh allowance when it suppressed nothing. The caller holds the lock.
static void log_limiter_roll(log_limiter *lim, uint64_t now) {
    if (now - lim->since_ms < lim->interval_ms)
        return;
    if (lim->suppressed > 0)
        log_limiter_summary(lim, now);
    else if (lim->flags & LOG_LIMIT_RENEW)
        lim->passed = 0;
    lim->since_ms = now;
}

void log_limiter_tick(log_limiter *lim) {
    std::lock_guard<std::mutex> lk(lim->m);
    log_limiter_roll(lim, monotonic_ms());
}

void log_limiter_end(log_limiter *lim) {
    std::lock_guard<std::mutex> lk(lim->m);
    if (lim->suppressed > 0)
        log_limiter_summary(lim, monotonic_ms());
}

// Whether the limiter lets one more line through.
static bool log_limiter_admit(log_limiter *lim) {
    std::lock_guard<std::mutex> lk(lim->m);
    log_limiter_roll(lim, monotonic_ms());
    if (lim->passed < lim->first) {
        lim->passed++;
        return true;
    }
    lim->suppressed++;
    return false;
}

// DEBUG lines are for whoever asked for them, FATAL lines tell why the process stops: no
// limiter holds them back.
static bool log_limited(const log_limiter *lim, const char *word) {
    if (strncmp(word, "DEBUG", 5) == 0 || strncmp(word, "FATAL", 5) == 0)
        return false;
    return !(lim->flags & LOG_LIMIT_ERRORS) || strncmp(word, "INFO", 4) != 0;
}

void log_printf(const char *word, const char *fmt, ...) {
    if (log_closed.load(std::memory_order_relaxed))
        return;
    log_limiter *lim = log_scope_limiter;
    if (lim != nullptr && log_limited(lim, word) && !log_limiter_admit(lim))
        return;
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(word, fmt, ap);
    va_end(ap);
}

static void log_vwrite(const char *word, const char *fmt, va_list ap) {
    if (log_closed.load(std::memory_order_relaxed))
        return;
    int saved = errno;
    char stamp[32];
    log_stamp(stamp, sizeof stamp, static_cast<long>(time(nullptr)));

    char line[1024];
    int head = snprintf(line, sizeof line, "%s %s", stamp, word);
    va_list again;
    va_copy(again, ap);
    int body = vsnprintf(line + head, sizeof line - static_cast<size_t>(head), fmt, ap);
    if (body < 0) {
        va_end(again);
        errno = saved;
        return;
    }
    size_t total = static_cast<size_t>(head) + static_cast<size_t>(body);
    if (total + 1 < sizeof line) {
        va_end(again);
        line[total] = '\n';
        log_write_all(line, total + 1);
    } else {
        // A long line (a path, a long name): format it again into a buffer of its size.
        std::string big(total + 1, '\0');
        memcpy(big.data(), line, static_cast<size_t>(head));
        vsnprintf(big.data() + head, static_cast<size_t>(body) + 1, fmt, again);
        va_end(again);
        big[total] = '\n';
        log_write_all(big.data(), total + 1);
    }
    errno = saved;
}

void log_call_error(const char *call, int line) {
    int e = errno;
    LOG_ERROR("%s : %s. [%d]", call, strerror(e), line);
}

int log_open(const char *path) {
    if (path == nullptr)
        return 0;
    FILE *f = fopen(path, "a");
    if (f == nullptr) {
        fprintf(stderr, "%s: %s\n", path, strerror(errno));
        return -1;
    }
    int fd = fileno(f);
    // When standard error was closed the file may already sit on descriptor 2: keep it.
    if (fd == STDERR_FILENO) {
        log_closed.store(false);
        return 0;
    }
    if (dup2(fd, STDERR_FILENO) < 0) {
        int e = errno;
        fclose(f);
        fprintf(stderr, "%s: %s\n", path, strerror(e));
        return -1;
    }
    fclose(f);
    log_closed.store(false);
    return 0;
}

void log_close() {
    log_closed.store(true);
    fclose(stderr);
}
