#include "cli/cmd_plugin.h"

#include <cstdio>
#include <cstdlib>

#include "cli/cli.h"
#include "server/plugins.h"
#include "server/runtime.h"

namespace {

// The action words; a row's index is the action's value.
enum plugin_action { PLUGIN_ADD = 0, PLUGIN_RM = 1, PLUGIN_LIST = 2 };

const cli_command PLUGIN_ACTIONS[] = {
    {"add", nullptr},
    {"rm", nullptr},
    {"list", nullptr},
    {nullptr, nullptr},
};

struct plugin_opts {
    int verbose = 0;
    const char *lib = nullptr;
    const char *name = nullptr;
    const char *conf = nullptr;
};

// Ends the command when a required option is missing; an empty value counts as missing.
void require(const char *value, const char *option) {
    if (value == nullptr || *value == '\0') {
        printf("\033[91mMissing --%s option!\033[0m\n", option);
        exit(1);
    }
}

[[noreturn]] void plugin_add_action(const char *home, const plugin_opts &o) {
    require(o.name, "name");
    require(o.lib, "lib");
    if (plugin_add(home, o.lib, o.name, o.conf) != 0)
        exit(1);
    printf("\033[92mPlugin \"%s\" added successfully.\033[0m\n", o.name);
    exit(0);
}

[[noreturn]] void plugin_rm_action(const char *home, const plugin_opts &o) {
    require(o.name, "name");
    if (plugin_delete(home, o.name) != 0)
        exit(1);
    printf("\033[92mPlugin \"%s\" deleted successfully.\033[0m\n", o.name);
    exit(0);
}

} // namespace

int32_t cmd_plugin(int argc, char **argv, struct runtime *rt) {
    (void)rt;
    const cli_command *action = cli_find_action(argc, argv, PLUGIN_ACTIONS, false, "plugin");
    plugin_opts o;
    const cli_opt opts[] = {
        {"verbose", &o.verbose, nullptr},
        {"lib", nullptr, &o.lib},
        {"name", nullptr, &o.name},
        {"conf", nullptr, &o.conf},
    };
    const int rest = cli_parse_opts(argc, argv, 2, opts, sizeof opts / sizeof opts[0]);
    if (rest < 0)
        exit(1);
    char *home = cli_env_path(rest < argc ? argv[rest] : nullptr);
    if (home == nullptr)
        exit(1);
    if ((cli_env_type(home) & MODE_MANAGER) == 0) {
        printf("\033[91mPlugins are supported only on Manager.\033[0m\n");
        exit(1);
    }
    cli_log_output(o.verbose);

    switch (static_cast<plugin_action>(action - PLUGIN_ACTIONS)) {
    case PLUGIN_ADD:
        plugin_add_action(home, o);
    case PLUGIN_RM:
        plugin_rm_action(home, o);
    case PLUGIN_LIST:
        break;
    }
    exit(plugin_list(home) == 0 ? 0 : 1);
}
