// The command table.
#include "cli/cli.h"
#include "cli/cmd_agent.h"
#include "cli/cmd_arch.h"
#include "cli/cmd_auth.h"
#include "cli/cmd_info.h"
#include "cli/cmd_init.h"
#include "cli/cmd_plugin.h"
#include "cli/start_stop.h"

const cli_command cli_commands[] = {
    {"init", cmd_init}, {"start", cmd_start},   {"stop", stop},
    {"arch", cmd_arch}, {"agent", cmd_agent},   {"auth", cmd_auth},
    {"info", cmd_info}, {"plugin", cmd_plugin}, {nullptr, nullptr},
};
