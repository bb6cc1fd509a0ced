#include <cstdio>

#include "cli/cli.h"
#include "cli/roles.h"
#include "server/master.h"
#include "server/runtime.h"

int main(int argc, char **argv) {
    // Every command but start ends the process itself; start returns 0 to run the server.
    if (cli_dispatch(argc, argv) != 0) {
        printf("\033[91mKorvane startup failure.\033[0m\n");
        return 1;
    }
    // The frame runs the roles of the environment's mode.
    if (cli_roles(runtime.mode, &runtime.roles) != 0)
        return 1;
    return master_main(argc, argv);
}
