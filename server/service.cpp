#include "server/service.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "lib/log.h"
#include "lib/sysreport.h"
#include "server/master.h"
#include "server/role.h"
#include "server/runtime.h"
#include "server/server.h"
#include "server/sighandler.h"

// Seconds between two watchdog rounds; the master's presence is checked every second.
static constexpr unsigned SERVICE_WATCHDOG_SECONDS = 5;

void service_on_term() {
    LOG_INFO("Shutdown procedure initiated.");
    running.store(0);
}

// Runs one step of every role that has it, in the roles' order.
template <typename Step> static void service_each_role(struct runtime *rt, Step step) {
    for (uint32_t i = 0; i < rt->roles.n; i++)
        step(&rt->roles.items[i]);
}

// Opens every role, then sets up the server with the roles' pools and loops, lets the roles
// serve, starts the server, and tells the roles that it runs. -1 after a failure, with
// *quiet set when the failure has been reported in full already.
static int service_start_roles(struct runtime *rt, bool *quiet) {
    for (uint32_t i = 0; i < rt->roles.n; i++) {
        role *r = &rt->roles.items[i];
        if (r->open != nullptr && r->open(r, rt) != 0)
            return -1;
    }
    if (init_server_socket(&rt->server, &rt->roles) != 0)
        return -1;
    for (uint32_t i = 0; i < rt->roles.n; i++) {
        role *r = &rt->roles.items[i];
        if (r->serve != nullptr && r->serve(r, rt) != 0) {
            *quiet = true;
            return -1;
        }
    }
    if (server_start(&rt->server) != 0)
        return -1;
    service_each_role(rt, [rt](role *r) {
        if (r->started != nullptr)
            r->started(r, rt);
    });
    return 0;
}

void service_stop(struct runtime *rt) {
    server_stop_accepting(&rt->server);
    service_each_role(rt, [rt](role *r) {
        if (r->quiesce != nullptr)
            r->quiesce(r, rt);
    });
    service_each_role(rt, [rt](role *r) {
        if (r->close != nullptr)
            r->close(r, rt);
    });
}

static bool master_alive(const struct runtime *rt) {
    return getppid() == rt->master_pid;
}

// Waits one watchdog period in one-second steps, cut short by a signal; false when the
// master went away.
static bool watchdog_wait(const struct runtime *rt, sighandler *signals) {
    for (unsigned i = 0; i < SERVICE_WATCHDOG_SECONDS; i++) {
        if (running.load() != 1)
            return true;
        if (!master_alive(rt))
            return false;
        sighandler_wait(signals, 1000);
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
    // Every agent, client and store file takes a descriptor: the service works with all the
    // system lets it have.
    sys_raise_files_limit();
    bool quiet = false;
    if (service_start_roles(rt, &quiet) != 0) {
        if (!quiet)
            LOG_FATAL("Unable to start Korvane.");
        return -1;
    }
    LOG_INFO("===== STARTED =====");
    printf("\033[92mKorvane is up and running.\033[0m\n");
    fflush(stdout);
    master_report_started();

    bool master_gone = false;
    while (running.load() == 1) {
        if (!watchdog_wait(rt, &handler)) {
            master_gone = true;
            break;
        }
        if (running.load() == 1) {
            LOG_DEBUG("Watchdog timeout.");
            service_each_role(rt, [rt](role *r) {
                if (r->tick != nullptr)
                    r->tick(r, rt);
            });
        }
    }
    if (master_gone && running.load() == 1) {
        LOG_WARN("No master process detected.");
        LOG_INFO("Shutdown procedure initiated.");
        running.store(0);
    }
    LOG_INFO("Waiting for all threads to stop...");
    service_stop(rt);
    LOG_INFO("Korvane stopped.");
    return 0;
}
