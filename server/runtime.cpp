#include "server/runtime.h"

struct runtime runtime {};
std::atomic<int32_t> running{0};

static const char *const banner_lines[] = {
    "  *******************************************************",
    "  *                                                     *",
    "  * _  __   ___   ____  __     __    _     _   _  _____ *",
    "  *| |/ /  / _ \\ |  _ \\ \\ \\   / /   / \\   | \\ | || ____|*",
    "  *| ' /  | | | || |_) | \\ \\ / /   / _ \\  |  \\| ||  _|  *",
    "  *| . \\  | |_| ||  _ <   \\ V /   / ___ \\ | |\\  || |___ *",
    "  *|_|\\_\\  \\___/ |_| \\_\\   \\_/   /_/   \\_\\|_| \\_||_____|*",
    "  *                                                     *",
    "  *                                                     *",
};

void print_banner() {
    for (const char *line : banner_lines)
        printf("\033[94m%s\033[0m\n", line);
    fflush(stdout);
}

void print_version(FILE *stream) {
    fprintf(stream, "\n\t%-12s %s\n", "Version:", KRV_VERSION_TEXT);
    fprintf(stream, "\t%-12s %s (%s)\n", "Build:", KRV_VERSION_TEXT, krv_build_rev);
    fprintf(stream, "\t%-12s %s\n", "Released on:", krv_release_date);
    fflush(stream);
    printf("\033[94m%-60s\n\n\033[0m",
           "  ******************************************************* ");
    fflush(stdout);
}
