// The command table. Commands whose implementation has not landed yet answer with a clear
// line and status 1.
#include <cstdio>
#include <cstdlib>

#include "cli/cli.h"
#include "cli/cmd_arch.h"
#include "cli/cmd_auth.h"
#include "cli/cmd_info.h"
#include "cli/cmd_init.h"
#include "cli/cmd_plugin.h"
#include "cli/start_stop.h"

static int32_t cmd_not_built(int argc, char **argv, struct runtime *rt) {
    (void)argc;
    (void)rt;
    printf("\033[91mThe %s command is not available in this build.\033[0m\n", argv[1]);
    exit(1);
}

const cli_command cli_commands[] = {
    {"init", cmd_init}, {"start", cmd_start},     {"stop", stop},
    {"arch", cmd_arch}, {"agent", cmd_not_built}, {"auth", cmd_auth},
    {"info", cmd_info}, {"plugin", cmd_plugin},   {nullptr, nullptr},
};
