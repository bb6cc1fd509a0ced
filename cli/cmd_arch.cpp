#include "cli/cmd_arch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/selection.h"
#include "database/store/archive.h"
#include "database/store/archive_extract.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/term.h"
#include "lib/xalloc.h"
#include "server/pidfile.h"
#include "server/runtime.h"

namespace {

// Rows in the order of their action values: dump 0, extract 1.
const cli_command ARCH_ACTIONS[] = {{"dump", nullptr}, {"extract", nullptr}, {nullptr, nullptr}};
constexpr ptrdiff_t ARCH_DUMP = 0;

constexpr const char *EXTRACT_LOG = "korvane-arch-extract.log";
constexpr const char *PID_DIR = "var";
constexpr const char *PID_NAME = "korvane.pid";

// What a dump that holds the pid file ends with besides an exit status.
constexpr int DUMP_BAD_PATTERN = -1;

struct arch_opts {
    int verbose = 0;
    const char *from = nullptr;
    const char *thru = nullptr;
    const char *agents = nullptr;
};

// One bound of the dump's range as given on the command line.
struct dump_bound {
    bool given = false;
    uint64_t day_s = 0; // first second of the UTC day
    char shown[32] = "-";
};

// Points standard error at the log file `path`, opened with `flags` besides write-only and
// create; a link at that name is never followed. 0 or -1.
int arch_log_open(const char *path, int flags) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0600);
    if (fd < 0)
        return -1;
    if (fd == STDERR_FILENO)
        return 0;
    const int moved = dup2(fd, STDERR_FILENO);
    close(fd);
    return moved < 0 ? -1 : 0;
}

int arch_extract(const char *file) {
    struct stat st;
    if (stat(file, &st) != 0) {
        printf("\033[91mError! %s: %s\033[0m\n", strerror(errno), file);
        return 1;
    }
    if (!S_ISREG(st.st_mode)) {
        printf("\033[91mError! Not a file: %s\033[0m\n", file);
        return 1;
    }
    // The log takes standard error; the cause of a failure still reaches the caller's.
    fd_owner console;
    console.reset(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
    // Appended to by every extraction in this directory, but never through a planted link.
    if (arch_log_open(EXTRACT_LOG, O_APPEND) != 0)
        printf("\033[91mUnable to create a log file.\033[0m\n");
    // The log keeps the details of a failure even without --verbose.
    if (log_level.load() == 0)
        log_level.store(1);
    std::string cause;
    if (dbs_extract(file, &cause) == 0)
        return 0;
    fflush(stderr);
    if (console.valid())
        dprintf(console.get(), "Error! Archive extraction failed: %s\n", cause.c_str());
    return 1;
}

int parse_bound(const char *text, dump_bound *b) {
    if (text == nullptr)
        return 0;
    if (cli_arch_parse_date(text, &b->day_s, b->shown) != 0) {
        printf("\033[91mError! Incorrect time specified: %s. Correct format dd-mm-YYYY.\033[0m\n",
               text);
        return -1;
    }
    b->given = true;
    return 0;
}

void print_conditions(const dump_bound &from, const dump_bound &thru, const selection &sel) {
    printf("\033[92m\tThe dump procedure will be performed with the following conditions:"
           "\033[0m\n");
    printf("\033[96m\t- Time range: %s through %s\033[0m\n", from.shown, thru.shown);
    printf("\033[96m\t- Agents to dump:\033[0m\n");
    for (const agent_entry &e : sel.entries) {
        char label[SELECTION_LABEL_SIZE];
        printf("\033[96m\t\t: %s\033[0m\n", selection_label(&e, label));
    }
    fflush(stdout);
}

// The dump in the environment directory while the command holds its pid file: the exit
// status, or DUMP_BAD_PATTERN.
int dump_held(const arch_opts &o, const char *archive) {
    dump_bound from, thru;
    if (parse_bound(o.from, &from) != 0 || parse_bound(o.thru, &thru) != 0)
        return 1;
    if (from.given && thru.given && from.day_s > thru.day_s) {
        printf("\033[91mError! Incorrect time range.\033[0m\n");
        return 1;
    }
    selection sel{{}, nullptr, AGENT_TYPE_ANY};
    if (cli_select_db_agents(o.agents, &sel) != 0)
        return DUMP_BAD_PATTERN;
    if (sel.entries.empty()) {
        printf("\033[91mNo matching agents found!\033[0m\n");
        return 1;
    }
    print_conditions(from, thru, sel);
    fprintf(stderr, "\033[92m\tProceed? [y/n] (y): \033[0m");
    if (term_read_answer('y') != 'y')
        return 0;

    log_level.store(o.verbose ? 3 : 1);
    // A fixed name in a directory others may write: only a new file of its own will do.
    const std::string log = std::string(archive) + ".log";
    if (arch_log_open(log.c_str(), O_EXCL | O_APPEND) != 0) {
        printf("\033[91mError! Unable to create a log file [%s].\033[0m\n", log.c_str());
        return 1;
    }
    // Each given date bounds its own side; the last second of the thru day names that day
    // even when it is the first day of 1970, whose start would read as no bound at all.
    const uint64_t from_s = from.given ? from.day_s : 0;
    const uint64_t thru_s = thru.given ? thru.day_s + 86399 : 0;
    if (dbs_dump(archive, from_s, thru_s, sel.entries.data(), sel.entries.size()) != 0) {
        printf("\033[91m\n\n\tDatabase dump failed. See log for details.\033[0m\n");
        return 1;
    }
    printf("\033[92m\n\n\tDatabase dumped successfully.\033[0m\n");
    return 0;
}

int arch_dump(const arch_opts &o, const char *dir) {
    char *home = cli_env_path(dir);
    if (home == nullptr)
        return 1;
    if ((cli_env_type(home) & MODE_DATABASE) == 0) {
        printf("\033[91mError! Dump procedure available only for database installations."
               "\033[0m\n");
        free(home);
        return 1;
    }
    char *archive = cli_archive_name(home);
    if (archive == nullptr) {
        free(home);
        return 1;
    }
    if (chdir(home) != 0) {
        printf("\033[91mError! %s: %s\033[0m\n", strerror(errno), home);
        free(archive);
        free(home);
        return 1;
    }
    free(home);
    // Held as a running server holds it: no server starts and no second dump runs meanwhile.
    const int pidfd = krv_write_pidfile(getpid(), PID_DIR, PID_NAME, 1);
    if (pidfd < 0) {
        free(archive);
        return 1;
    }
    const int status = dump_held(o, archive);
    krv_release_pidfile(pidfd, PID_DIR, PID_NAME);
    free(archive);
    if (status == DUMP_BAD_PATTERN)
        cli_pattern_error_exit();
    return status;
}

} // namespace

int cli_arch_parse_date(const char *text, uint64_t *day_s, char shown[32]) {
    struct tm given {};
    const char *end = strptime(text, "%d-%m-%Y", &given);
    if (end == nullptr || *end != '\0')
        return -1;
    // timegm carries a day past the month's end into the next month: such a day is refused.
    struct tm day = given;
    const time_t t = timegm(&day);
    if (t < 0 || day.tm_mday != given.tm_mday || day.tm_mon != given.tm_mon ||
        day.tm_year != given.tm_year)
        return -1;
    strftime(shown, 32, "%a, %d %b %Y", &day);
    *day_s = static_cast<uint64_t>(t);
    return 0;
}

char *cli_archive_name(const char *env) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        printf("\033[91m%s\033[0m\n", strerror(errno));
        return nullptr;
    }
    const char *slash = strrchr(env, '/');
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%F_%H%M", &local);
    const std::string name =
        std::string(cwd) + "/" + (slash != nullptr ? slash + 1 : env) + "_" + stamp + ".arch";
    return krv_strdup(name.c_str());
}

int32_t cmd_arch(int argc, char **argv, struct runtime *rt) {
    (void)rt;
    const cli_command *action = cli_find_action(argc, argv, ARCH_ACTIONS, false, "arch");
    arch_opts o;
    const cli_opt opts[] = {{"verbose", &o.verbose, nullptr},
                            {"from", nullptr, &o.from},
                            {"thru", nullptr, &o.thru},
                            {"agents", nullptr, &o.agents}};
    const int rest = cli_parse_opts(argc, argv, 2, opts, sizeof opts / sizeof opts[0]);
    if (rest < 0)
        exit(1);
    cli_log_output(o.verbose);
    if (rest >= argc) {
        printf("\033[91mLast argument missing!\033[0m\n");
        exit(1);
    }
    exit(action - ARCH_ACTIONS == ARCH_DUMP ? arch_dump(o, argv[rest]) : arch_extract(argv[rest]));
}
