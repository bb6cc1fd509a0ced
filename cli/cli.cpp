#include "cli/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lib/format.h"
#include "lib/log.h"
#include "server/runtime.h"

int32_t cli_dispatch_table(const cli_command *table, int argc, char **argv) {
    log_level.store(0);
    if (argc < 2) {
        print_banner();
        print_version(stdout);
        exit(0);
    }
    for (const cli_command *c = table; c->word != nullptr; c++) {
        if (strcmp(c->word, argv[1]) == 0)
            return c->handler(argc, argv, &runtime);
    }
    printf("\033[91mUnknown option: %s\033[0m\n", argv[1]);
    exit(1);
}

int32_t cli_dispatch(int argc, char **argv) {
    return cli_dispatch_table(cli_commands, argc, argv);
}

// 1 present, 0 absent, -1 after printing the error of a failed check.
static int env_entry_exists(const char *dir, const char *name) {
    std::string path = std::string(dir) + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)
        return 1;
    if (errno == ENOENT)
        return 0;
    printf("\033[91mError! %s\033[0m\n", strerror(errno));
    return -1;
}

uint32_t cli_env_type(const char *dir) {
    int mgr = env_entry_exists(dir, "storage.mgr");
    if (mgr < 0)
        return 0;
    int db = env_entry_exists(dir, "storage.db");
    if (db < 0)
        return 0;
    return (mgr ? MODE_MANAGER : 0u) | (db ? MODE_DATABASE : 0u);
}

char *cli_env_path(const char *text) {
    if (text == nullptr)
        return nullptr;
    char *copy = path_strip_slashes(text);
    if (copy == nullptr) {
        printf("\033[91mError! \"%s\" is not a usable environment path.\033[0m\n", text);
        return nullptr;
    }
    struct stat st;
    if (stat(copy, &st) != 0) {
        printf("\033[91mError! %s : %s.\033[0m\n", strerror(errno), copy);
        free(copy);
        return nullptr;
    }
    if (!S_ISDIR(st.st_mode)) {
        printf("\033[91mError! \"%s\" is not a directory.\033[0m\n", copy);
        free(copy);
        return nullptr;
    }
    return copy;
}

void cli_log_output(int verbose) {
    if (verbose == 0)
        return;
    if (access("out.log", F_OK) == 0 && truncate("out.log", 0) != 0) {
        printf("\033[91mCannot open a log output.\033[0m\n");
        exit(1);
    }
    log_level.store(3);
    if (log_open("out.log") != 0) {
        printf("\033[91mCannot open a log output.\033[0m\n");
        exit(1);
    }
}

namespace {

const struct {
    const char *word;
    uint32_t mode;
} CLI_MODES[] = {
    {"standalone", MODE_STANDALONE},
    {"manager", MODE_MANAGER},
    {"database", MODE_DATABASE},
};

} // namespace

uint32_t cli_parse_mode(const char *text) {
    if (text == nullptr)
        return 0;
    for (const auto &m : CLI_MODES) {
        if (strcasecmp(m.word, text) == 0)
            return m.mode;
    }
    return 0;
}

const char *cli_mode_word(uint32_t mode) {
    for (const auto &m : CLI_MODES) {
        if (m.mode == mode)
            return m.word;
    }
    return "";
}

int cli_parse_opts(int argc, char **argv, int start, const cli_opt *opts, size_t nopts) {
    std::vector<struct option> longopts(nopts + 1);
    for (size_t i = 0; i < nopts; i++) {
        longopts[i] = {opts[i].name, opts[i].value ? required_argument : no_argument, nullptr,
                       static_cast<int>(i) + 1};
    }
    longopts[nopts] = {nullptr, 0, nullptr, 0};

    // getopt_long sees the command (or action) word as its program name. optind 0 makes
    // glibc start afresh, so a second parse in one process works too.
    int sub_argc = argc - start;
    char **sub_argv = argv + start;
    optind = 0;
    opterr = 1;
    int c;
    while ((c = getopt_long(sub_argc, sub_argv, "", longopts.data(), nullptr)) != -1) {
        if (c < 1 || static_cast<size_t>(c) > nopts)
            return -1;
        const cli_opt &o = opts[c - 1];
        if (o.value)
            *o.value = optarg;
        else if (o.flag)
            *o.flag = 1;
    }
    return start + optind;
}

const cli_command *cli_find_action(int argc, char **argv, const cli_command *actions, bool exact,
                                   const char *kind) {
    if (argc < 3) {
        printf("\033[91mToo few arguments!\033[0m\n");
        exit(1);
    }
    for (const cli_command *a = actions; a->word != nullptr; a++) {
        if ((exact ? strcmp(a->word, argv[2]) : strcasecmp(a->word, argv[2])) == 0)
            return a;
    }
    printf("\033[91mInvalid %s action specified: %s\033[0m\n", kind, argv[2]);
    exit(1);
}
