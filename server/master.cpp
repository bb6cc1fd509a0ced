#include "server/master.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/clock.h"
#include "lib/files.h"
#include "lib/format.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/netaddr.h"
#include "lib/sysreport.h"
#include "server/archive_launcher.h"
#include "server/config.h"
#include "server/pidfile.h"
#include "server/proc.h"
#include "server/runtime.h"
#include "server/service.h"
#include "server/sighandler.h"

// How long the starting shell waits for the service to report that it runs; the master
// waits a little longer before it lets go of the shell's descriptors anyway.
static constexpr int MASTER_READY_TIMEOUT_MS = 120000;
static constexpr uint64_t MASTER_READY_GIVE_UP_MS = MASTER_READY_TIMEOUT_MS + 5000;
// Milliseconds between two rounds of the free-space guard and the archive schedule.
static constexpr unsigned MASTER_TICK_MS = 20000;
// Test-only: another tick in milliseconds (1 to 65535), read from the environment.
static constexpr const char *MASTER_TICK_ENV = KRV_TEST_HOOK("MASTER_TICK_MS");
// Test-only: another stop grace in milliseconds (1 to 65535), read from the environment.
static constexpr const char *MASTER_GRACE_ENV = KRV_TEST_HOOK("STOP_GRACE_MS");

// The master's state. Every signal is dispatched on the main thread (the signal thread only
// notes it), so the main thread alone reads and writes these, and it alone forks.
static std::atomic<int32_t> master_running{1};
static std::atomic<int32_t> children{0};
static int pidfile_fd = -1;
static sighandler master_signals{};
// The first service reports that it runs through a pipe of its own: `ready_fd` is its write
// end (in the service), `ready_rd` the master's read end. The master then tells the shell that
// started it, through `shell_fd`, and lets go of that shell's standard input and output.
static int ready_fd = -1;
static int ready_rd = -1;
static int shell_fd = -1;
static respawn_history respawns{};
static bool respawn_pending = false;

double respawn_delay(const respawn_history *h, double now) {
    if (h->count < 5)
        return 0;
    double oldest = h->times[0];
    double newest = h->times[4];
    if (now - oldest >= 60)
        return 0;
    double wait = newest + 10 - now;
    return wait > 0 ? wait : 0;
}

void respawn_record(respawn_history *h, double now) {
    if (h->count == 5) {
        memmove(h->times, h->times + 1, 4 * sizeof h->times[0]);
        h->count = 4;
    }
    h->times[h->count++] = now;
}

void master_remove_pidfiles() {
    if (unlink("var/korvane.pid") != 0 && errno != ENOENT)
        LOG_SYSERR_PATH("unlink", "var/korvane.pid");
}

static void close_fd(int *fd) {
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

void close_start_fds() {
    close_fd(&ready_rd);
    close_fd(&shell_fd);
    if (master_signals.running.load()) {
        close_fd(&master_signals.wake[0]);
        close_fd(&master_signals.wake[1]);
    }
}

void close_inherited_fds() {
    close_fd(&pidfile_fd);
    close_start_fds();
}

void master_report_started() {
    if (ready_fd < 0)
        return;
    const char ok = 1;
    // A master that no longer waits has nothing to learn from a failed report.
    (void)io_write_all(ready_fd, &ok, 1);
    close_fd(&ready_fd);
}

// Standard input and output that are a pipe or a socket lead to whoever started the
// server, who may be waiting for their end (`out=$(korvane start env)`): they are pointed at
// /dev/null. A terminal or a regular file stays, so later console lines still reach it.
static void master_release_stdio() {
    int null_fd = -1;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO}) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
            continue;
        if (fd == STDOUT_FILENO)
            fflush(stdout);
        if (null_fd < 0 && (null_fd = open("/dev/null", O_RDWR | O_CLOEXEC)) < 0) {
            LOG_SYSERR_PATH("open", "/dev/null");
            return;
        }
        if (dup2(null_fd, fd) < 0)
            LOG_SYSERR("dup2");
    }
    close_fd(&null_fd);
}

// The shell that started the server learns how its start went (ok: the first service runs)
// and the master lets go of its descriptors.
static void master_tell_shell(bool ok) {
    if (shell_fd >= 0) {
        const char c = ok ? 1 : 0;
        if (ok)
            (void)io_write_all(shell_fd, &c, 1);
        close_fd(&shell_fd);
    }
    close_fd(&ready_rd);
    master_release_stdio();
}

// The first service's report arrived, or its end of the pipe closed without one.
static void master_on_ready() {
    char ok = 0;
    ssize_t n;
    do
        n = read(ready_rd, &ok, 1);
    while (n < 0 && errno == EINTR);
    master_tell_shell(n == 1 && ok == 1);
}

// Sends `sig` to the service process, if one runs.
static void master_signal_service(int sig) {
    pid_t pid = runtime.service.pid;
    if (pid > 0 && kill(pid, sig) != 0)
        LOG_ERROR("Cannot stop Korvane: %s", strerror(errno));
}

static void master_stop_service() {
    master_signal_service(SIGTERM);
}

void master_on_term() {
    master_running.store(0);
    master_stop_service();
}

// Spawns a new service process now, or leaves it pending when crashes come too fast.
static void master_respawn() {
    double now = monotonic_seconds();
    double wait = respawn_delay(&respawns, now);
    if (wait > 0) {
        if (!respawn_pending)
            LOG_WARN("Service restarts too often: next spawn in %.0f seconds.", wait);
        respawn_pending = true;
        return;
    }
    respawn_pending = false;
    respawn_record(&respawns, now);
    if (proc_spawn(&runtime.service, &runtime, 0, nullptr) == 0) {
        children.fetch_add(1);
    } else {
        runtime.service.pid = 0;
        respawn_pending = true;
        LOG_FATAL("Cannot start a new process.");
    }
}

static void master_archive_ended() {
    archive_proc_unlock();
    LOG_INFO("Archive process ended.");
    runtime.archiver.pid = 0;
}

static void master_reap(pid_t pid, int status) {
    bool is_service = pid == runtime.service.pid;
    bool is_archiver = pid == runtime.archiver.pid && pid > 0;
    if (!is_service && !is_archiver)
        return;
    if (WIFSIGNALED(status))
        LOG_ERROR("Process [%d] exited abnormally.", pid);
    if (is_archiver) {
        master_archive_ended();
        return;
    }
    children.fetch_sub(1);
    runtime.service.pid = 0;
    if (WIFSIGNALED(status)) {
        if (master_running.load() == 1) {
            LOG_INFO("Spawning a new process ...");
            master_respawn();
        }
        return;
    }
    LOG_INFO("Process [%d] exited.", pid);
    if (master_running.load() == 1) {
        LOG_INFO("Korvane is being shut down...");
        master_running.store(0);
    }
}

void master_on_child() {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        master_reap(pid, status);
}

static void log_row(const char *key, const char *value) {
    LOG_INFO(": %-25s : %s", key, value);
}

static void log_address_row(const char *key, const sockaddr_storage *sa) {
    char text[NET_TEXT_SIZE];
    if (sockaddr_to_str(reinterpret_cast<const sockaddr *>(sa), text) == 0)
        log_row(key, text);
}

static void master_report_config() {
    LOG_INFO("\n\n  ===== STARTING KORVANE =====");
    log_row("Product version", KRV_VERSION_TEXT);
    log_row("Product build", KRV_VERSION_TEXT);
    log_row("Product rev", krv_build_rev);
    log_row("Mode", runtime.mode_name);
    log_row("Korvane directory", runtime.home);
    LOG_INFO("--- Loaded configuration ---");
    log_row("Server address", runtime.server.addr.text);
    if (config.manager != nullptr)
        log_address_row("Manager address", config.manager);
    if (config.redirect != nullptr)
        log_address_row("GUI reported server address", config.redirect);
    const archive_cfg *a = config.archive;
    if (a == nullptr)
        return;
    log_row("Archive", a->enable ? "enabled" : "disabled");
    log_row("Archive retention policy", a->policy == ARCHIVE_POLICY_PURGE ? "purge" : "archive");
    LOG_INFO(": %-25s : %u hours", "Archive retention", a->retention);
    char at[16];
    if (strftime(at, sizeof at, "%R", &a->schedule) > 0)
        log_row("Archive scheduled at", at);
}

// Turns the process into a daemon. The shell's process waits until the first service reports
// that it runs, so its exit status tells whether the server really started: 0 when it did,
// 1 when the daemon ended (or gave up) before that.
static void master_daemonize() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        printf("\033[91m%s\033[0m\n", strerror(errno));
        exit(1);
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        printf("\033[91m%s\033[0m\n", strerror(errno));
        exit(1);
    }
    if (pid > 0) {
        close(fds[1]);
        struct pollfd p = {fds[0], POLLIN, 0};
        int n;
        while ((n = poll(&p, 1, MASTER_READY_TIMEOUT_MS)) < 0 && errno == EINTR) {
        }
        char ok = 0;
        if (n > 0 && read(fds[0], &ok, 1) == 1 && ok == 1)
            _exit(0);
        if (n == 0)
            printf("\033[91mKorvane did not report its start-up in time; see "
                   "logs/korvane.log.\033[0m\n");
        fflush(stdout);
        _exit(1);
    }
    close(fds[0]);
    shell_fd = fds[1];
    if (setsid() < 0) {
        printf("\033[91m%s\033[0m\n", strerror(errno));
        exit(1);
    }
}

static void master_fail_startup() {
    master_remove_pidfiles();
    printf("\033[91mKorvane startup failure.\n\033[0m\n");
    exit(1);
}

// The free-space guard and the archive schedule, every MASTER_TICK_SECONDS.
static void master_tick() {
    if (config.archive == nullptr)
        return;
    uint64_t free_bytes = MASTER_MIN_FREE, used = 0;
    sys_volume_space("storage.db", &free_bytes, &used);
    fmt_size fs;
    fmt_bytes(&fs, free_bytes);
    if (free_bytes < MASTER_MIN_FREE) {
        LOG_FATAL("Not enough space available. Left %0.2f %s.", fs.value, fs.unit);
        master_running.store(0);
        master_stop_service();
        return;
    }
    LOG_DEBUG("Free space available: %0.2f %s", fs.value, fs.unit);
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    const archive_cfg *a = config.archive;
    if (a->enable && local.tm_hour == a->schedule.tm_hour && local.tm_min == a->schedule.tm_min)
        archive_proc_spawn("storage.db", &runtime, now);
}

static void master_retry_respawn() {
    if (respawn_pending && master_running.load() == 1 && runtime.service.pid <= 0 &&
        respawn_delay(&respawns, monotonic_seconds()) <= 0) {
        LOG_INFO("Spawning a new process ...");
        master_respawn();
    }
}

// Waits up to timeout_ms for a signal or for the first service's report, and acts on what
// came: the signals' callbacks run here, on the main thread.
static void master_wait(uint32_t timeout_ms) {
    pollfd p[2] = {{sighandler_fd(&master_signals), POLLIN, 0}, {ready_rd, POLLIN, 0}};
    const nfds_t n = ready_rd >= 0 ? 2 : 1;
    int rc;
    do
        rc = poll(p, n, static_cast<int>(timeout_ms));
    while (rc < 0 && errno == EINTR);
    if (rc < 0)
        LOG_SYSERR("poll");
    if (n == 2 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)))
        master_on_ready();
    sighandler_dispatch(&master_signals);
}

// Waits for the children to end. The service gets a grace period to stop on its own after
// the SIGTERM it was sent; then it is killed.
static void master_wait_children() {
    const uint32_t grace_ms = test_setting_ms(MASTER_GRACE_ENV, MASTER_STOP_GRACE_MS);
    LOG_INFO("Waiting %g seconds at most for the service process to stop.", grace_ms / 1000.0);
    const uint64_t deadline = monotonic_ms() + grace_ms;
    bool killed = false;
    int n;
    while ((n = children.load()) > 0) {
        LOG_DEBUG("Waiting for %d children to stop...", n);
        const uint64_t now = monotonic_ms();
        if (!killed && now >= deadline) {
            LOG_WARN("The service process [%d] did not stop within %g seconds: killing it.",
                     runtime.service.pid, grace_ms / 1000.0);
            master_signal_service(SIGKILL);
            killed = true;
        }
        const uint64_t left = killed ? 1000 : std::min<uint64_t>(deadline - now, 1000);
        master_wait(static_cast<uint32_t>(left));
    }
}

[[noreturn]] static void master_shutdown() {
    printf("\033[92mShutting down Korvane...\033[0m\n");
    fflush(stdout);
    master_wait_children();
    master_remove_pidfiles();
    LOG_INFO("Korvane: master stopped.");
    exit(0);
}

// The supervision loop: steps of at most a second, cut short by any signal, so a stop or a
// pending respawn is acted on at once; the free-space guard and the archive schedule run
// every tick.
[[noreturn]] static void master_loop() {
    const unsigned tick_ms = test_setting_ms(MASTER_TICK_ENV, MASTER_TICK_MS);
    const uint64_t started = monotonic_ms();
    uint64_t next_tick = monotonic_ms() + tick_ms;
    while (master_running.load() == 1) {
        const uint64_t now = monotonic_ms();
        if (ready_rd >= 0 && now - started >= MASTER_READY_GIVE_UP_MS)
            master_tell_shell(false);
        master_wait(static_cast<uint32_t>(std::min<uint64_t>(
            next_tick > now ? next_tick - now : 0, 1000)));
        master_retry_respawn();
        if (monotonic_ms() >= next_tick && master_running.load() == 1) {
            next_tick = monotonic_ms() + tick_ms;
            master_tick();
        }
    }
    master_shutdown();
}

int master_main(int argc, char **argv) {
    uint32_t mode = runtime.mode;
    runtime.mode_name = mode == MODE_MANAGER    ? "Manager"
                        : mode == MODE_DATABASE ? "Database"
                                                : "Standalone";
    running.store(1);
    runtime.start_time = time(nullptr);

    if (chdir(runtime.home) != 0) {
        printf("\033[91m%s: %s\033[0m\n", strerror(errno), runtime.home);
        exit(1);
    }
    print_banner();
    print_version(stdout);
    if (config_load("conf/config.json", mode) != 0) {
        printf("\033[91mConfiguration load failure.\033[0m\n");
        exit(1);
    }
    runtime.server.addr = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&config.server));

    master_daemonize();
    runtime.master_pid = getpid();
    pidfile_fd = krv_write_pidfile(runtime.master_pid, "var", "korvane.pid", 1);
    if (pidfile_fd < 0)
        exit(1);
    if (log_open("logs/korvane.log") != 0) {
        printf("\033[91mUnable to initialize logging system.\033[0m\n");
        master_fail_startup();
    }
    master_report_config();
    sys_report_resources();

    sigfillset(&master_signals.set);
    master_signals.on_term = master_on_term;
    master_signals.on_chld = master_on_child;
    if (sighandler_start(&master_signals) != 0)
        return -1;

    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        LOG_SYSERR("pipe2");
        master_fail_startup();
    }
    ready_rd = ready[0];
    ready_fd = ready[1];
    int rc = proc_spawn(&runtime.service, &runtime, argc, argv);
    if (rc == 0)
        children.fetch_add(1);
    // Only the first service reports; later ones never hold the write end.
    close_fd(&ready_fd);
    if (rc != 0)
        master_fail_startup();
    master_loop();
}
