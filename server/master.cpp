#include "server/master.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
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

// How long the starting shell waits for the service to report that it runs.
static constexpr int MASTER_READY_TIMEOUT_MS = 120000;
// Milliseconds between two rounds of the free-space guard and the archive schedule.
static constexpr unsigned MASTER_TICK_MS = 20000;
// Test-only: another tick in milliseconds (1 to 65535), read from the environment.
static constexpr const char *MASTER_TICK_ENV = "KRV_TEST_MASTER_TICK_MS";

static std::atomic<int32_t> master_running{1};
static std::atomic<int32_t> children{0};
static int pidfile_fd = -1;
// Write end of the pipe the starting shell waits on; -1 once handed to the first service.
static int ready_fd = -1;

// Held around every fork and the bookkeeping of the child, and by the SIGCHLD handler, so a
// child is never reaped before its pid is recorded.
static pthread_mutex_t spawn_lock = PTHREAD_MUTEX_INITIALIZER;
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

void close_inherited_fds() {
    if (pidfile_fd >= 0) {
        close(pidfile_fd);
        pidfile_fd = -1;
    }
}

void master_report_started() {
    if (ready_fd < 0)
        return;
    const char ok = 1;
    // A shell that no longer waits has nothing to learn from a failed report.
    (void)io_write_all(ready_fd, &ok, 1);
    close(ready_fd);
    ready_fd = -1;
}

// Sends SIGTERM to the service process, if one runs. Called with spawn_lock held.
static void master_stop_service() {
    pid_t pid = runtime.service.pid;
    if (pid > 0 && kill(pid, SIGTERM) != 0)
        LOG_ERROR("Cannot stop Korvane: %s", strerror(errno));
}

void master_on_term() {
    master_running.store(0);
    KRV_LOCKCALL(pthread_mutex_lock(&spawn_lock));
    master_stop_service();
    KRV_LOCKCALL(pthread_mutex_unlock(&spawn_lock));
}

// Spawns a new service process now, or leaves it pending when crashes come too fast.
// Called with spawn_lock held.
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
    KRV_LOCKCALL(pthread_mutex_lock(&spawn_lock));
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        master_reap(pid, status);
    KRV_LOCKCALL(pthread_mutex_unlock(&spawn_lock));
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
    // The service inherits the write end through fork; later respawns must not.
    int flags = fcntl(fds[1], F_GETFD);
    fcntl(fds[1], F_SETFD, flags & ~FD_CLOEXEC);
    ready_fd = fds[1];
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
        KRV_LOCKCALL(pthread_mutex_lock(&spawn_lock));
        master_stop_service();
        KRV_LOCKCALL(pthread_mutex_unlock(&spawn_lock));
        return;
    }
    LOG_DEBUG("Free space available: %0.2f %s", fs.value, fs.unit);
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    const archive_cfg *a = config.archive;
    if (a->enable && local.tm_hour == a->schedule.tm_hour && local.tm_min == a->schedule.tm_min) {
        // Under the spawn lock, so the archiver's pid is recorded before it can be reaped.
        KRV_LOCKCALL(pthread_mutex_lock(&spawn_lock));
        archive_proc_spawn("storage.db", &runtime, now);
        KRV_LOCKCALL(pthread_mutex_unlock(&spawn_lock));
    }
}

static void master_retry_respawn() {
    KRV_LOCKCALL(pthread_mutex_lock(&spawn_lock));
    if (respawn_pending && master_running.load() == 1 && runtime.service.pid <= 0 &&
        respawn_delay(&respawns, monotonic_seconds()) <= 0) {
        LOG_INFO("Spawning a new process ...");
        master_respawn();
    }
    KRV_LOCKCALL(pthread_mutex_unlock(&spawn_lock));
}

[[noreturn]] static void master_shutdown() {
    printf("\033[92mShutting down Korvane...\033[0m\n");
    fflush(stdout);
    int n;
    while ((n = children.load()) > 0) {
        LOG_DEBUG("Waiting for %d children to stop...", n);
        sleep(1);
    }
    master_remove_pidfiles();
    LOG_INFO("Korvane: master stopped.");
    exit(0);
}

static unsigned master_tick_ms() {
    const char *text = getenv(MASTER_TICK_ENV);
    uint16_t ms = 0;
    if (text != nullptr && str_to_u16(text, &ms) == 0 && ms > 0)
        return ms;
    return MASTER_TICK_MS;
}

// The supervision loop: steps of at most a second, so a stop or a pending respawn is acted
// on at once; the free-space guard and the archive schedule run every tick.
[[noreturn]] static void master_loop() {
    const unsigned tick_ms = master_tick_ms();
    const unsigned step_ms = tick_ms < 1000 ? tick_ms : 1000;
    unsigned elapsed_ms = 0;
    while (master_running.load() == 1) {
        usleep(step_ms * 1000);
        master_retry_respawn();
        elapsed_ms += step_ms;
        if (elapsed_ms >= tick_ms && master_running.load() == 1) {
            elapsed_ms = 0;
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

    static sighandler handler{};
    sigfillset(&handler.set);
    handler.on_term = master_on_term;
    handler.on_chld = master_on_child;
    if (sighandler_start(&handler) != 0)
        return -1;

    KRV_LOCKCALL(pthread_mutex_lock(&spawn_lock));
    int rc = proc_spawn(&runtime.service, &runtime, argc, argv);
    if (rc == 0)
        children.fetch_add(1);
    // Only the first service reports to the waiting shell.
    close(ready_fd);
    ready_fd = -1;
    KRV_LOCKCALL(pthread_mutex_unlock(&spawn_lock));
    if (rc != 0)
        master_fail_startup();
    master_loop();
}
