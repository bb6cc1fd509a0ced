#include "cli/cmd_info.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "cli/cli.h"
#include "database/store/stats.h"
#include "database/store/symbols.h"
#include "lib/agent_type.h"
#include "lib/format.h"
#include "lib/netaddr.h"
#include "manager/mgr_storage.h"
#include "server/runtime.h"

namespace {

// Column widths in bytes (the configuration label's dots are counted in characters).
constexpr int AGENT_COLUMN = 32;
constexpr int PROFILE_COLUMN = 32;
constexpr int DATABASE_COLUMN = 40;
constexpr int CONFIG_LABEL_COLUMN = 40;
constexpr int AUTHOR_COLUMN = 32;

// Rule widths of the tables.
constexpr int MANAGER_AGENTS_RULE = 120;
constexpr int STANDALONE_AGENTS_RULE = 77;
constexpr int CONFIGS_RULE = 132;

const std::string STARS(51, '*');
const std::string DOTS(40, '.');
const std::string SPACES(40, ' ');
const std::string DASHES(132, '-');

// A text from a peer as a column shows it: at most `width` bytes of its field of
// `field_size` bytes, control bytes masked.
struct column_text {
    char text[64];
    int len;
};

column_text shown(const char *field, size_t field_size, int width) {
    column_text c;
    c.len = static_cast<int>(
        str_printable(c.text, field, std::min(field_size, static_cast<size_t>(width))));
    return c;
}

// What fills a column of `width` after `used` of it.
int fill(int width, int used) {
    return used < width ? width - used : 0;
}

void print_database_part() {
    printf("\033[94m\n  %.*s DATABASE STORAGE %.*s\n\n\033[0m\n", 50, STARS.c_str(), 50,
           STARS.c_str());
    if (symbols_print_stats(0) != 0 || dbs_print_data_stats(DBS_STATS_BY_NAME) != 0)
        exit(1);
    printf("\033[0m\n\033[0m\n");
}

// One agent row; `with_database` adds the Database column of a Manager without the
// Database role.
void print_agent(mgr_storage *s, const mgr_agent &a, bool with_database) {
    ConfigurationInfo cfg{};
    if (!cfg_id_none(a.cid1, a.cid2)) {
        uint64_t lastupdate = 0;
        cfg = cfg_get_info(s, a.cid1, a.cid2, &lastupdate);
    }
    const column_text label = shown(a.identity.label, sizeof a.identity.label, AGENT_COLUMN);
    const column_text profile = shown(cfg.label, sizeof cfg.label, PROFILE_COLUMN);
    printf("\033[0m %-4s | %.*s%.*s | %.*s%.*s |", agent_type_name(a.identity.type), label.len,
           label.text, fill(AGENT_COLUMN, label.len), DOTS.c_str(), profile.len, profile.text,
           fill(PROFILE_COLUMN, profile.len), DOTS.c_str());
    if (with_database) {
        char url[NET_TEXT_SIZE] = "";
        const nurl db = a.database;
        if (!nurl_is_empty(&db))
            nurl_to_url(&db, url);
        const int len = static_cast<int>(strnlen(url, DATABASE_COLUMN));
        printf(" %.*s%.*s |", len, url, fill(DATABASE_COLUMN, len), SPACES.c_str());
    }
    printf("\033[0m\n");
}

void print_agents(mgr_storage *s, bool with_database) {
    std::vector<mgr_agent> agents;
    acache_foreach(s, &agents, cli_collect_agent_row);
    if (agents.size() > 1)
        qsort(agents.data(), agents.size(), sizeof agents[0], cli_cmp_agent_name);

    const int rule = with_database ? MANAGER_AGENTS_RULE : STANDALONE_AGENTS_RULE;
    if (with_database)
        printf("\033[96m %-4s   %-32s   %-32s   %s\n\033[0m", "TYPE", "AGENT", "PROFILE",
               "DATABASE");
    else
        printf("\033[96m %-4s   %-32s   %s\n\033[0m", "TYPE", "AGENT", "PROFILE");
    printf("\033[0m%.*s\033[0m\n", rule, DASHES.c_str());
    for (const mgr_agent &a : agents)
        print_agent(s, a, with_database);
    printf("\033[0m%.*s\n\n\033[0m\n", rule, DASHES.c_str());
}

void print_config(const cli_config_row &c) {
    const column_text label = shown(c.info.label, sizeof c.info.label, CONFIG_LABEL_COLUMN);
    const column_text author = shown(c.info.author, sizeof c.info.author, AUTHOR_COLUMN);
    // The label's dots line up by characters, so a label of multi-byte characters gets as
    // many dots as one of single bytes.
    const int chars = static_cast<int>(utf8_strlen(label.text));
    char created[32], activated[32] = "-";
    fmt_date(created, static_cast<time_t>(c.info.createdat / 1000));
    if (c.lastupdate != 0)
        fmt_date(activated, static_cast<time_t>(c.lastupdate));
    printf("\033[0m %s | %.*s%.*s | %.*s%.*s | %s | %-20s |\033[0m\n",
           (c.info.flags & CFGINFO_F_DATA) ? "  *  " : "     ", label.len, label.text,
           fill(CONFIG_LABEL_COLUMN, chars), DOTS.c_str(), author.len, author.text,
           fill(AUTHOR_COLUMN, author.len), DOTS.c_str(), created, activated);
}

void print_configs(mgr_storage *s) {
    std::vector<cli_config_row> configs;
    cfg_foreach(s, &configs, cli_collect_config);
    if (configs.size() > 1)
        qsort(configs.data(), configs.size(), sizeof configs[0], cli_cmp_config_label);

    printf("\033[96m %-3s   %-40s   %-32s   %-20s   %s\n\033[0m", "ACTIVE", "LABEL", "CREATED BY",
           "CREATED AT", "ACTIVATED AT");
    printf("\033[0m%.*s\033[0m\n", CONFIGS_RULE, DASHES.c_str());
    for (const cli_config_row &c : configs)
        print_config(c);
    printf("\033[0m%.*s\n\033[0m\n", CONFIGS_RULE, DASHES.c_str());
}

void print_manager_part(bool with_database) {
    printf("\033[94m\n %.*s MANAGER STORAGE %.*s\n\n\033[0m\n", 51, STARS.c_str(), 51,
           STARS.c_str());
    mgr_storage *s = mgr_storage_open();
    if (s == nullptr) {
        // The storage's own reasons are log lines, which the default level keeps quiet.
        printf("\033[91mCannot open the manager storage.\033[0m\n");
        exit(1);
    }
    print_agents(s, with_database);
    print_configs(s);
    mgr_storage_close(s);
}

} // namespace

int cli_collect_agent_row(void *ctx, const mgr_agent *slot) {
    static_cast<std::vector<mgr_agent> *>(ctx)->push_back(*slot);
    return 0;
}

int cli_collect_config(void *ctx, const ConfigurationInfo *info, uint64_t lastupdate) {
    static_cast<std::vector<cli_config_row> *>(ctx)->push_back({*info, lastupdate});
    return 0;
}

int cli_cmp_agent_name(const void *a, const void *b) {
    const auto *x = static_cast<const mgr_agent *>(a);
    const auto *y = static_cast<const mgr_agent *>(b);
    // At most the label's own bytes: a full label has no terminator.
    return strncmp(x->identity.label, y->identity.label, sizeof x->identity.label);
}

int cli_cmp_config_label(const void *a, const void *b) {
    const auto *x = static_cast<const cli_config_row *>(a);
    const auto *y = static_cast<const cli_config_row *>(b);
    return strncasecmp(x->info.label, y->info.label, sizeof x->info.label);
}

int32_t cmd_info(int argc, char **argv, struct runtime *rt) {
    (void)rt;
    int verbose = 0, storage = 0;
    const cli_opt opts[] = {{"verbose", &verbose, nullptr}, {"storage", &storage, nullptr}};
    const int rest = cli_parse_opts(argc, argv, 1, opts, sizeof opts / sizeof opts[0]);
    if (rest < 0)
        exit(1);
    char *home = cli_env_path(rest < argc ? argv[rest] : nullptr);
    if (home == nullptr)
        exit(1);
    cli_log_output(verbose);

    const uint32_t kind = cli_env_type(home);
    if (kind == 0) {
        printf("\033[91mError! Not a Korvane environment directory: %s\033[0m\n", home);
        free(home);
        exit(1);
    }
    const int moved = chdir(home);
    if (moved != 0)
        printf("\033[91mError! %s: %s\033[0m\n", strerror(errno), home);
    free(home);
    if (moved != 0)
        exit(1);
    if (!storage)
        exit(0);

    if (kind & MODE_DATABASE)
        print_database_part();
    if (kind & MODE_MANAGER)
        print_manager_part(kind == MODE_MANAGER);
    exit(0);
}
