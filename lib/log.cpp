#include "lib/log.h"

#include <cstdarg>
#include <ctime>
#include <string>
#include <unistd.h>

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

void log_printf(const char *word, const char *fmt, ...) {
    if (log_closed.load(std::memory_order_relaxed))
        return;
    int saved = errno;
    char stamp[32];
    log_stamp(stamp, sizeof stamp, static_cast<long>(time(nullptr)));

    char line[1024];
    int head = snprintf(line, sizeof line, "%s %s", stamp, word);
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int body = vsnprintf(line + head, sizeof line - static_cast<size_t>(head), fmt, ap);
    va_end(ap);
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
