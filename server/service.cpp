#include "server/service.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "database/store/dbs.h"
#include "lib/log.h"
#include "server/master.h"
#include "server/runtime.h"
#include "server/server.h"
#include "server/sighandler.h"

// Seconds between two watchdog rounds; the master's presence is checked every second.
static constexpr unsigned SERVICE_WATCHDOG_SECONDS = 5;

void service_on_term() {
    LOG_INFO("Shutdown procedure initiated.");
    running.store(0);
}

// The parts of each role, started in order. Role parts that this build does not hold yet are
// passed over with a DEBUG line.
static int service_start_roles(struct runtime *rt) {
    if (rt->mode & MODE_MANAGER)
        LOG_DEBUG("Manager role: plugins, storage and control channel are not in this build.");
    if (rt->mode & MODE_DATABASE) {
        rt->db = dbs_open();
        if (rt->db == nullptr) {
            LOG_FATAL("Unable to open the database!");
            return -1;
        }
        LOG_DEBUG("Database role: the collector is not in this build.");
    }
    if (init_server_socket(&rt->server, rt->mode) != 0)
        return -1;
    if (rt->mode & MODE_DATABASE)
        LOG_DEBUG("Database role: online subscriptions are not in this build.");
    if (server_start(&rt->server) != 0)
        return -1;
    if (rt->mode == MODE_DATABASE)
        LOG_DEBUG("Database role: the Manager link is not in this build.");
    return 0;
}

static bool master_alive(const struct runtime *rt) {
    return getppid() == rt->master_pid;
}

// Sleeps one watchdog period in one-second steps; false when the master went away.
static bool watchdog_wait(const struct runtime *rt) {
    for (unsigned i = 0; i < SERVICE_WATCHDOG_SECONDS; i++) {
        if (running.load() != 1)
            return true;
        if (!master_alive(rt))
            return false;
        sleep(1);
    }
    return master_alive(rt);
}

int32_t service_main(void *arg) {
    auto *rt = static_cast<struct runtime *>(arg);
    sighandler handler{};
    sigfillset(&handler.set);
    handler.on_term = service_on_term;
    if (sighandler_start(&handler) != 0)
        return -1;
    close_inherited_fds();
    if (service_start_roles(rt) != 0) {
        LOG_FATAL("Unable to start Korvane.");
        return -1;
    }
    LOG_INFO("===== STARTED =====");
    printf("\033[92mKorvane is up and running.\033[0m\n");
    fflush(stdout);
    master_report_started();

    bool master_gone = false;
    while (running.load() == 1) {
        if (!watchdog_wait(rt)) {
            master_gone = true;
            break;
        }
        if (running.load() == 1) {
            LOG_DEBUG("Watchdog timeout.");
            server_report_agents(&rt->server);
        }
    }
    if (master_gone && running.load() == 1) {
        LOG_WARN("No master process detected.");
        LOG_INFO("Shutdown procedure initiated.");
        running.store(0);
    }
    LOG_INFO("Waiting for all threads to stop...");
    LOG_INFO("Korvane stopped.");
    return 0;
}
