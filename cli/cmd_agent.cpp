#include "cli/cmd_agent.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

#include "cli/cli.h"
#include "cli/selection.h"
#include "database/store/agents.h"
#include "lib/agent_type.h"
#include "lib/log.h"
#include "lib/netaddr.h"
#include "lib/term.h"
#include "manager/acache.h"
#include "manager/mgr_storage.h"
#include "server/ctl.h"
#include "server/pidfile.h"
#include "server/runtime.h"

namespace {

// Rows in the order of their action values: reroute 0, rm 1.
const cli_command AGENT_ACTIONS[] = {{"reroute", nullptr}, {"rm", nullptr}, {nullptr, nullptr}};
constexpr ptrdiff_t AGENT_REROUTE = 0;

constexpr const char *PID_DIR = "var";
constexpr const char *PID_NAME = "korvane.pid";

// The longest Database address text taken.
constexpr size_t DATABASE_TEXT_MAX = NET_TEXT_SIZE - 1;
static_assert(DATABASE_TEXT_MAX == 57);

// What an action returns besides an exit status: the label expression did not compile.
constexpr int AGENT_BAD_PATTERN = -1;

struct agent_opts {
    int verbose = 0;
    const char *pattern = nullptr;
    const char *agent_type = nullptr;
    const char *database = nullptr;
};

struct storage_closer {
    void operator()(mgr_storage *s) const { mgr_storage_close(s); }
};
using storage_ptr = std::unique_ptr<mgr_storage, storage_closer>;

void red(const char *text) {
    printf("\033[91m%s\033[0m\n", text);
}

void print_agents(const char *title, const selection &sel) {
    printf("\033[92m\t%s\033[0m\n", title);
    for (const agent_entry &e : sel.entries) {
        char label[SELECTION_LABEL_SIZE];
        printf("\033[96m\t\t: [%s] %s\033[0m\n", agent_type_name(e.identity.type),
               selection_label(&e, label));
    }
}

// Asks the question and reads the first character of the answer line (EOF: none).
int ask(const char *question) {
    printf("\033[92m\t%s\033[0m", question);
    fflush(stdout);
    return term_read_key();
}

// The new address written into the storage of an environment no server runs in, while the
// command holds its pid file.
int reroute_in_storage(mgr_storage *storage, const nurl *address, const selection &sel) {
    std::vector<uint64_t> aids;
    aids.reserve(sel.entries.size());
    for (const agent_entry &e : sel.entries)
        aids.push_back(e.id);
    if (acache_set_db(storage, address, aids.size(), aids.data()) != 0) {
        LOG_ERROR("Agents reroute failed.");
        red("Agents reroute failed.");
        return 1;
    }
    return 0;
}

int agent_reroute(const agent_opts &o, uint32_t kind, uint8_t type) {
    if (kind == MODE_STANDALONE) {
        red("Agents rerouting is forbidden in the standalone mode.");
        return 1;
    }
    if (strlen(o.database) > DATABASE_TEXT_MAX) {
        red("Database address too long.");
        return 1;
    }
    nurl address;
    if (url_to_nurl(o.database, &address) != 0) {
        printf("\033[91mInvalid database address: %s\033[0m\n", o.database);
        return 1;
    }
    storage_ptr storage(mgr_storage_open());
    if (storage == nullptr) {
        red("Cannot open the manager storage.");
        return 1;
    }
    selection sel{{}, nullptr, type};
    if (cli_select_agents(o.pattern, &sel, storage.get()) != 0)
        return AGENT_BAD_PATTERN;
    if (sel.entries.empty()) {
        red("No agents found.");
        return 1;
    }
    print_agents("The following agents will be rerouted:", sel);
    const int key = ask("Proceed? [y/n] (n): ");
    if (key != 'y' && key != 'Y')
        return 0;

    int pidfd = -1;
    switch (krv_take_pidfile(getpid(), PID_DIR, PID_NAME, &pidfd)) {
    case KRV_PIDFILE_HELD:
        // A server runs: its Manager stores the address and tells the connected agents.
        if (ctl_send_reroute(sel.entries.size(), sel.entries.data(), &address) != 0)
            return 1;
        break;
    case KRV_PIDFILE_TAKEN: {
        const int status = reroute_in_storage(storage.get(), &address, sel);
        krv_release_pidfile(pidfd, PID_DIR, PID_NAME);
        if (status != 0)
            return status;
        break;
    }
    default:
        return 1;
    }
    printf("\033[92m\033[0m\n");
    return 0;
}

// Removes one agent's data from the store. An agent of the Manager storage that never
// reported to this store has nothing stored here. The data counts as removed only when its
// directory is gone. 0 or -1.
int remove_agent_data(const agent_entry &e, bool from_cache) {
    const int there = dbs_agent_dir_exists(e.id);
    if (there == 0 && from_cache)
        return 0;
    if (there < 0 || dbs_remove_agent(reinterpret_cast<const uint8_t *>(&e.identity)) != 0)
        return -1;
    return dbs_agent_dir_exists(e.id) == 0 ? 0 : -1;
}

// The chosen agents removed one by one: the cache entry and its row first, then the data;
// an agent whose row stays keeps its data too. The exit status: 1 when any agent failed.
int remove_agents(mgr_storage *storage, uint32_t kind, const selection &sel) {
    int status = 0;
    for (const agent_entry &e : sel.entries) {
        char label[SELECTION_LABEL_SIZE];
        selection_label(&e, label);
        const bool removed =
            (storage == nullptr || acache_delete(storage, e.id) == 0) &&
            ((kind & MODE_DATABASE) == 0 || remove_agent_data(e, storage != nullptr) == 0);
        if (!removed) {
            printf("\033[91mCannot delete %s\033[0m\n", label);
            status = 1;
            continue;
        }
        printf("\033[92m\tAgent [%s] deleted successfully.\033[0m\n", label);
    }
    return status;
}

// The removal while the command holds the pid file.
int agent_rm_held(const agent_opts &o, uint32_t kind, uint8_t type) {
    storage_ptr storage;
    selection sel{{}, nullptr, type};
    if ((kind & MODE_MANAGER) != 0) {
        storage.reset(mgr_storage_open());
        if (storage == nullptr) {
            red("Unable to open the manager storage!");
            return 1;
        }
        if (cli_select_agents(o.pattern, &sel, storage.get()) != 0)
            return AGENT_BAD_PATTERN;
    } else if (cli_select_db_agents(o.pattern, &sel) != 0) {
        return AGENT_BAD_PATTERN;
    }
    if (sel.entries.empty()) {
        red("No matching agents found!");
        return 1;
    }
    print_agents("The following agents will be deleted:", sel);
    // Enter takes the default; end of input is no answer and deletes nothing.
    const int key = ask("Proceed? [y/n] (y): ");
    if (key != '\n' && key != 'y')
        return 0;
    return remove_agents(storage.get(), kind, sel);
}

int agent_rm(const agent_opts &o, uint32_t kind, uint8_t type) {
    int pidfd = -1;
    switch (krv_take_pidfile(getpid(), PID_DIR, PID_NAME, &pidfd)) {
    case KRV_PIDFILE_TAKEN:
        break;
    case KRV_PIDFILE_HELD:
        red("Cannot remove agents data while the server is running.");
        return 1;
    default:
        return 1;
    }
    const int status = agent_rm_held(o, kind, type);
    krv_release_pidfile(pidfd, PID_DIR, PID_NAME);
    return status;
}

} // namespace

int32_t cmd_agent(int argc, char **argv, struct runtime *rt) {
    (void)rt;
    const cli_command *action = cli_find_action(argc, argv, AGENT_ACTIONS, false, "agent");
    const bool reroute = action - AGENT_ACTIONS == AGENT_REROUTE;
    agent_opts o;
    const cli_opt opts[] = {{"verbose", &o.verbose, nullptr},
                            {"pattern", nullptr, &o.pattern},
                            {"agent-type", nullptr, &o.agent_type},
                            {"database", nullptr, &o.database}};
    const int rest = cli_parse_opts(argc, argv, 2, opts, sizeof opts / sizeof opts[0]);
    if (rest < 0)
        exit(1);
    if (reroute && o.database == nullptr) {
        red("Missing --database option!");
        exit(1);
    }
    char *home = cli_env_path(rest < argc ? argv[rest] : nullptr);
    if (home == nullptr)
        exit(1);
    cli_log_output(o.verbose);
    const uint32_t kind = cli_env_type(home);
    if (chdir(home) != 0) {
        printf("\033[91mError! %s: %s\033[0m\n", strerror(errno), home);
        free(home);
        exit(1);
    }
    free(home);
    uint8_t type = AGENT_TYPE_JVM;
    if (o.agent_type != nullptr) {
        type = agent_type_parse(o.agent_type);
        if (type == AGENT_TYPE_ANY) {
            printf("\033[91mInvalid option --agent-type value: %s.\033[0m\n", o.agent_type);
            exit(1);
        }
    }
    const int status = reroute ? agent_reroute(o, kind, type) : agent_rm(o, kind, type);
    if (status == AGENT_BAD_PATTERN)
        cli_pattern_error_exit();
    exit(status);
}
