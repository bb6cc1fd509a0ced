#include "cli/start_stop.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.h"
#include "lib/clock.h"
#include "lib/files.h"
#include "lib/io.h"
#include "lib/log.h"
#include "server/runtime.h"
#include "server/service.h"

int32_t cmd_start(int argc, char **argv, struct runtime *rt) {
    log_level.store(1);
    int debug = 0, trace = 0;
    const cli_opt opts[] = {{"debug", &debug, nullptr}, {"trace", &trace, nullptr}};
    int rest = cli_parse_opts(argc, argv, 1, opts, 2);
    if (rest < 0)
        return -1;
    char *home = cli_env_path(rest < argc ? argv[rest] : nullptr);
    if (home == nullptr)
        return -1;
    struct stat st;
    if (lstat(home, &st) != 0) {
        printf("\033[91m%s : %s.\033[0m\n", home, strerror(errno));
        free(home);
        exit(1);
    }
    if (trace)
        log_level.store(3);
    else if (debug)
        log_level.store(2);
    uint32_t kind = cli_env_type(home);
    if (kind == 0) {
        printf("\033[91mNo Korvane environment found at %s.\033[0m\n", home);
        free(home);
        exit(1);
    }
    rt->mode = kind;
    snprintf(rt->service.name, sizeof rt->service.name, "%s", "korvane");
    rt->service.entry = service_main;
    free(rt->home);
    rt->home = home;
    return 0;
}

// The master's pid as written in its pid file: decimal digits ended by the zero byte, a
// newline or the end of the data, in 1..INT_MAX. 0 or -1.
static int stop_parse_pid(const char *text, size_t len, pid_t *out) {
    int v = 0;
    const auto [end, ec] = std::from_chars(text, text + len, v);
    // from_chars takes a minus sign; the file holds digits only.
    if (ec != std::errc{} || end == text || text[0] == '-' || v == 0 ||
        (end < text + len && *end != '\0' && *end != '\n'))
        return -1;
    *out = static_cast<pid_t>(v);
    return 0;
}

// Spins on the console until the lock of the pid file is free (or can't be tested): true,
// or false once limit_ms have passed with the lock still held.
static bool stop_wait(int fd, unsigned spin_ms, unsigned limit_ms) {
    static const char spinner[] = {'-', '\\', '|', '/'};
    const uint64_t deadline = monotonic_ms() + limit_ms;
    for (unsigned i = 0; sys_write_trylock(fd) == 1; i++) {
        if (monotonic_ms() >= deadline)
            return false;
        printf("\033[95m\rPlease wait, Korvane shutdown in progress... [%c]\033[0m",
               spinner[i % sizeof spinner]);
        fflush(stdout);
        usleep(spin_ms * 1000);
    }
    return true;
}

int stop_env(const char *home, unsigned spin_ms, unsigned limit_ms) {
    if (chdir(home) != 0) {
        printf("\033[91mError! %s : %s.\033[0m\n", strerror(errno), home);
        return 1;
    }
    int fd = open("var/korvane.pid", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            printf("Korvane is not running.\n");
            return 0;
        }
        printf("\033[91mopen: %s\033[0m\n", strerror(errno));
        return 1;
    }
    // The master holds the lock for its whole life: a free lock means no server runs,
    // whatever the file says, and nobody may be signalled.
    int held = sys_write_trylock(fd);
    if (held != 1) {
        int e = errno;
        close(fd);
        if (held < 0) {
            printf("\033[91mflock: %s\033[0m\n", strerror(e));
            return 1;
        }
        printf("Korvane is not running.\n");
        return 0;
    }
    char text[16];
    ssize_t n = io_read_full(fd, text, sizeof text - 1);
    if (n < 0) {
        printf("\033[91mread: %s\033[0m\n", strerror(errno));
        close(fd);
        return 1;
    }
    pid_t pid;
    if (stop_parse_pid(text, static_cast<size_t>(n), &pid) != 0) {
        printf("\033[91mThe pid file var/korvane.pid holds no valid pid.\033[0m\n");
        close(fd);
        return 1;
    }
    if (kill(pid, SIGINT) != 0) {
        close(fd);
        return 1;
    }
    if (!stop_wait(fd, spin_ms, limit_ms)) {
        printf("\033[91m\nKorvane [%d] did not stop within %g seconds.\033[0m\n",
               static_cast<int>(pid), limit_ms / 1000.0);
        close(fd);
        return 1;
    }
    printf("\033[92m\nKorvane [%d] stopped.\033[0m\n", static_cast<int>(pid));
    close(fd);
    return 0;
}

int32_t stop(int argc, char **argv, struct runtime *) {
    int rest = cli_parse_opts(argc, argv, 1, nullptr, 0);
    if (rest < 0)
        exit(1);
    char *home = cli_env_path(rest < argc ? argv[rest] : nullptr);
    if (home == nullptr)
        exit(1);
    int status = stop_env(home, 500, STOP_WAIT_MS);
    free(home);
    exit(status);
}
