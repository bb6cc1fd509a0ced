#include <cstdio>

#include "cli/cli.h"
#include "server/master.h"

int main(int argc, char **argv) {
    // Every command but start ends the process itself; start returns 0 to run the server.
    if (cli_dispatch(argc, argv) != 0) {
        printf("\033[91mKorvane startup failure.\033[0m\n");
        return 1;
    }
    return master_main(argc, argv);
}
