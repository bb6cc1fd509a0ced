#include "cli/cmd_init.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/roles.h"
#include "server/config.h"
#include "server/runtime.h"

namespace {

// The directories every environment has, created in this order.
constexpr const char *ENV_DIRS[] = {"conf", "logs", "var", "plugins"};

[[noreturn]] void init_failed() {
    printf("\033[91mKorvane environment initialization failed.\033[0m\n");
    exit(1);
}

[[noreturn]] void init_error(const char *lead) {
    printf("\033[91m%sInitialization error: %s.\033[0m\n", lead, strerror(errno));
    init_failed();
}

// Stops when `path` (trailing slashes ignored, a final link not followed) exists or cannot
// be checked.
void check_new_dir(const char *path) {
    std::string bare(path);
    while (bare.size() > 1 && bare.back() == '/')
        bare.pop_back();
    struct stat st;
    if (lstat(bare.c_str(), &st) == 0) {
        printf("\033[91mDirectory %s already exists.\033[0m\n", path);
        exit(1);
    }
    if (errno != ENOENT) {
        printf("\033[91m%s : %s.\033[0m\n", path, strerror(errno));
        exit(1);
    }
}

} // namespace

int32_t cmd_init(int argc, char **argv, struct runtime *rt) {
    (void)rt;
    int verbose = 0;
    const char *mode_word = nullptr;
    const cli_opt opts[] = {{"verbose", &verbose, nullptr}, {"mode", nullptr, &mode_word}};
    int rest = cli_parse_opts(argc, argv, 1, opts, sizeof opts / sizeof opts[0]);
    if (rest < 0)
        exit(1);
    if (rest >= argc) {
        printf("\033[91mError! Korvane directory not specified!\033[0m\n");
        exit(1);
    }
    const char *path = argv[rest];
    check_new_dir(path);
    cli_log_output(verbose);

    uint32_t mode = MODE_STANDALONE;
    if (mode_word != nullptr) {
        mode = cli_parse_mode(mode_word);
        if (mode == 0) {
            printf("\033[91mInvalid option mode value: %s\033[0m\n", mode_word);
            return -1;
        }
    }
    role_set roles;
    if (cli_roles(mode, &roles) != 0)
        exit(1);

    printf("\033[92m\n\tCreating a new Korvane environment ...\033[0m\n");
    if (mkdir(path, 0700) != 0)
        init_error("");
    if (chdir(path) != 0)
        init_error(" ");
    for (const char *dir : ENV_DIRS) {
        if (mkdir(dir, 0700) != 0)
            init_error("");
    }
    // Each role prints its own lines, its failure line included.
    for (uint32_t i = 0; i < roles.n; i++) {
        if (roles.items[i].init != nullptr && roles.items[i].init() != 0)
            exit(1);
    }
    printf("\tGenerating database default configuration ...\n");
    if (config_create("conf/config.json", mode) != 0)
        init_failed();
    printf("\tOpen %s configuration file and verify the settings.\n", "conf/config.json");
    printf("\033[92mKorvane environment created in: %s.\033[0m\n", path);
    exit(0);
}
