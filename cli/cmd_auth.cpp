#include "cli/cmd_auth.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <termios.h>
#include <poll.h>
#include <unistd.h>

#include "cli/cli.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/pattern.h"
#include "lib/term.h"
#include "manager/mgr_storage.h"

namespace {

constexpr size_t PASSWORD_FIELD = 64;
// The longest password typed at the prompt.
constexpr size_t TYPED_MAX = 62;
// users_generate_password writes one character less: 11.
constexpr uint64_t GENERATED_SIZE = 12;
// cli_read_password's result at end of input.
constexpr int NO_INPUT = 22;
// Results of the steps below that have not told the console yet.
constexpr int TOO_LONG = 1;
constexpr int GENERATE_FAILED = 2;

constexpr size_t NAME_COLUMN = 77;
constexpr int BANNED_COLUMN = 6;
constexpr int RULE_WIDTH = 100;
constexpr char SPACES[] = "                                                                      "
                          "          ";
constexpr char DASHES[] = "--------------------------------------------------"
                          "--------------------------------------------------";
static_assert(sizeof SPACES - 1 >= NAME_COLUMN && sizeof DASHES - 1 == RULE_WIDTH);

enum class auth_action { add, info, rm, mod };

// The options of every action; each action offers its own subset.
struct auth_opts {
    int verbose = 0;
    const char *username = nullptr;
    const char *password = nullptr; // add: the password itself
    int new_password = 0;           // mod: the flag
    const char *perms = nullptr;
    const char *ban = nullptr;
    const char *unban = nullptr;
    char name[128] = {}; // the copied username
};

// A password buffer that is wiped when it goes.
struct secret {
    char text[PASSWORD_FIELD] = {};

    secret() = default;
    secret(const secret &) = delete;
    secret &operator=(const secret &) = delete;
    ~secret() { explicit_bzero(text, sizeof text); }
};

// A user record that frees its banned ids when it goes.
struct user_rec {
    mgr_user u{};

    user_rec() = default;
    user_rec(const user_rec &) = delete;
    user_rec &operator=(const user_rec &) = delete;
    ~user_rec() { free(u.banned); }
};

struct storage_closer {
    void operator()(mgr_storage *s) const { mgr_storage_close(s); }
};
using storage_ptr = std::unique_ptr<mgr_storage, storage_closer>;

struct pattern_freer {
    void operator()(pattern *p) const { pattern_free(p); }
};

// The start every action shares: options, the environment directory (entered as given,
// after the verbose log is set up) and the user name. 0, or -1 after its message.
int auth_start(int argc, char **argv, auth_action act, const cli_opt *opts, size_t nopts,
               auth_opts *o) {
    int rest = cli_parse_opts(argc, argv, 2, opts, nopts);
    if (rest < 0)
        return -1;
    if (rest >= argc) {
        printf("\033[91mError! Korvane directory must be specified.\033[0m\n");
        return -1;
    }
    const char *dir = argv[rest];
    cli_log_output(o->verbose);
    if (chdir(dir) != 0) {
        printf("\033[91mError! %s: %s\033[0m\n", strerror(errno), dir);
        return -1;
    }
    if (o->username == nullptr) {
        if (act == auth_action::info)
            return 0;
        printf(act == auth_action::rm ? "\033[91mError! --name option required.\033[0m\n"
                                      : "\033[91mError! --username option required.\033[0m\n");
        return -1;
    }
    if (users_copy_name(o->username, o->name) != 0) {
        printf(act == auth_action::add ? "\033[91mUsername too long: %s!\033[0m\n"
                                       : "\033[91mUsername too long: %s!\n\033[0m\n",
               o->username);
        return -1;
    }
    return 0;
}

// Rows changed by the connection's last completed statement: tells an insert or a delete
// that found nothing to do from one that did.
int auth_changes(mgr_storage *s) {
    std::lock_guard<std::mutex> sql(s->sql);
    return sqlite3_changes(s->db);
}

// An agent's label for the console: a full label has no terminator, and labels come from
// unauthenticated agents, so control bytes are shown as '?'.
void auth_label_text(const agent_identity &id, char out[64]) {
    str_printable(out, id.label, sizeof id.label);
}

// The new password of add and mod: generated (and shown) when the question is answered
// yes, typed otherwise. 0; -1 when the console has been told why; NO_INPUT or
// GENERATE_FAILED when it has not.
int auth_new_password(const char *question, char out[64]) {
    printf("%s", question);
    fflush(stdout);
    if (term_read_answer('y') != 'y')
        return cli_read_password(out);
    memset(out, 0, PASSWORD_FIELD);
    if (users_generate_password(out, GENERATED_SIZE) != 0)
        return GENERATE_FAILED;
    printf("\033[96m\tGenerated password: %s\033[0m\n", out);
    return 0;
}

// The terminal settings that a password prompt replaced, for prompt_signal.
termios prompt_tty;
constexpr int PROMPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr size_t PROMPT_NSIGNALS = std::size(PROMPT_SIGNALS);

// A signal that ends the process at a prompt: the terminal gets its echo back first, then
// the signal takes its default course.
void prompt_signal(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &prompt_tty);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

// Echo off on standard input (the newline still echoes) while it lives. The settings come
// back when it goes, and through prompt_signal when SIGINT, SIGTERM or SIGHUP would end the
// process meanwhile; signals that are ignored or handled elsewhere are left alone.
class echo_off {
public:
    echo_off() = default;
    echo_off(const echo_off &) = delete;
    echo_off &operator=(const echo_off &) = delete;
    ~echo_off() {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSANOW, &prompt_tty);
        unhook();
    }

    // 0, or -1 with errno set.
    int start() {
        if (tcgetattr(STDIN_FILENO, &prompt_tty) != 0)
            return -1;
        termios quiet = prompt_tty;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        hook();
        if (tcsetattr(STDIN_FILENO, TCSANOW, &quiet) != 0) {
            int e = errno;
            unhook();
            errno = e;
            return -1;
        }
        active_ = true;
        return 0;
    }

private:
    void hook() {
        struct sigaction act {};
        act.sa_handler = prompt_signal;
        sigemptyset(&act.sa_mask);
        for (size_t i = 0; i < PROMPT_NSIGNALS; i++) {
            struct sigaction old {};
            if (sigaction(PROMPT_SIGNALS[i], nullptr, &old) != 0 ||
                (old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL)
                continue;
            if (sigaction(PROMPT_SIGNALS[i], &act, nullptr) == 0) {
                old_[i] = old;
                hooked_[i] = true;
            }
        }
    }
    void unhook() {
        for (size_t i = 0; i < PROMPT_NSIGNALS; i++) {
            if (hooked_[i])
                sigaction(PROMPT_SIGNALS[i], &old_[i], nullptr);
            hooked_[i] = false;
        }
    }

    bool active_ = false;
    bool hooked_[PROMPT_NSIGNALS] = {};
    struct sigaction old_[PROMPT_NSIGNALS] {};
};

// One byte of a typed entry, read from the terminal itself (standard input is unbuffered,
// so nothing waits in stdio), or EOF at the end of input or on a read error. The wait is a
// poll, where a signal's handler runs at once even under the thread sanitizer (which holds
// signals back during a plain read); an interrupted wait is repeated: a signal that ends the
// process has its handler run meanwhile.
int read_typed() {
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return EOF;
        }
        unsigned char c;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1)
            return c;
        if (n == 0 || errno != EINTR)
            return EOF;
    }
}

// Reads one line into the zeroed `out` without its line feed. 0; NO_INPUT when nothing
// could be read; TOO_LONG (out wiped, the line drained) when it holds more than TYPED_MAX
// bytes.
int read_entry(char out[64]) {
    size_t n = 0;
    bool any = false, over = false;
    int c;
    while ((c = read_typed()) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (n < TYPED_MAX)
            out[n++] = static_cast<char>(c);
        else
            over = true;
    }
    if (!any)
        return NO_INPUT;
    if (over) {
        explicit_bzero(out, PASSWORD_FIELD);
        return TOO_LONG;
    }
    // A line ended by the end of input loses a final carriage return instead.
    if (c == EOF && n > 0 && out[n - 1] == '\r')
        out[n - 1] = '\0';
    return 0;
}

// The user listing: a row per user in name order between two rules. 0, or -1 after
// "Error!".
int auth_list_users(storage_ptr s) {
    cli_user_list list{s.get(), {}, false};
    struct release {
        cli_user_list &l;
        ~release() {
            for (mgr_user &u : l.users)
                free(u.banned);
        }
    } guard{list};
    if (users_foreach(s.get(), &list, cli_collect_user) != 0 || list.failed) {
        printf("\033[91mError!\033[0m\n");
        return -1;
    }
    if (list.users.empty()) {
        printf("\033[96mNo users found.\033[0m\n");
        return 0;
    }
    users_sort(list.users.data(), list.users.size());
    printf("\033[96m\n %-8s   %-6s   %s\n\033[0m", "PERMS", "BANNED", "USER");
    printf("\033[0m%.*s\033[0m\n", RULE_WIDTH, DASHES);
    for (const mgr_user &u : list.users) {
        char perms[5];
        users_perms_to_str(u.permissions, perms);
        size_t chars = utf8_strlen(u.username);
        int fill = chars <= NAME_COLUMN ? static_cast<int>(NAME_COLUMN - chars) : 0;
        printf("\033[0m %-8s | %.*s%lu | %.*s%.*s |\033[0m\n", perms,
               term_pad_num("%lu", u.nbanned, BANNED_COLUMN), SPACES,
               static_cast<unsigned long>(u.nbanned), static_cast<int>(NAME_COLUMN), u.username,
               fill, SPACES);
    }
    printf("\033[0m%.*s\033[0m\n", RULE_WIDTH, DASHES);
    s.reset();
    uint64_t lines = 0;
    users_perms_foreach(PERM_ALL, &lines, cli_print_perm);
    return 0;
}

// One user: name, permissions and banned agents (by label when the agents cache knows
// them). 0, or -1 when there is no such user.
int auth_show_user(storage_ptr s, const char *name) {
    user_rec rec;
    if (users_get(s.get(), name, &rec.u) != 0) {
        printf("\033[91mNo such user [%s]\033[0m\n", name);
        return -1;
    }
    printf("\033[96mUser:\033[0m\n");
    printf("\033[95m\t%s\033[0m\n", name);
    printf("\033[96mPermissions:\033[0m\n");
    uint64_t lines = 0;
    users_perms_foreach(rec.u.permissions, &lines, cli_print_perm);
    if (lines == 0)
        printf("\033[95m\tNone\033[0m\n");
    printf("\033[96mBanned agents:\033[0m\n");
    for (uint64_t i = 0; i < rec.u.nbanned; i++) {
        mgr_agent a = acache_get(s.get(), rec.u.banned[i]);
        if (a.aid != 0) {
            char label[64];
            auth_label_text(a.identity, label);
            printf("\033[95m\t%s\033[0m\n", label);
        } else {
            printf("\033[95m\t%016lX\033[0m\n", static_cast<unsigned long>(rec.u.banned[i]));
        }
    }
    if (rec.u.nbanned == 0)
        printf("\033[95m\tNone\033[0m\n");
    return 0;
}

int auth_mod_password(mgr_storage *s, const mgr_user &u) {
    secret password;
    int rc = auth_new_password("\033[0m\tAutogenerate a new password? [y/n] (y): \033[0m",
                               password.text);
    if (rc == 0 && users_set_password(s, u.username, password.text) != 0)
        rc = GENERATE_FAILED;
    if (rc != 0) {
        LOG_ERROR("Password change failed.");
        if (rc != -1)
            printf("\033[91mPassword change failed.\033[0m\n");
        return -1;
    }
    printf("\033[92mPassword changed successfully.\033[0m\n");
    return 0;
}

// "+" adds the word's permissions, "-" takes them away; PERM_USER stays either way.
int auth_mod_perms(mgr_storage *s, const mgr_user &u, const char *word) {
    uint64_t bits = cli_parse_perms(word);
    if (bits == 0) {
        LOG_ERROR("Permissions change failed.");
        return -1;
    }
    uint64_t next = word[0] == '+' ? u.permissions | bits : (u.permissions & ~bits) | PERM_USER;
    if (users_set_perms(s, u.username, next) != 0) {
        LOG_ERROR("Permissions change failed.");
        printf("\033[91mPermissions change failed.\033[0m\n");
        return -1;
    }
    printf("\033[92mPermissions changed successfully.\033[0m\n");
    return 0;
}

// Bans (or unbans) the JVM agents whose label matches `expr`, after showing them and
// asking. A ban puts the chosen agents first, in the order shown, then the user's other
// bans in their order; an unban keeps the other bans in their order.
int auth_mod_bans(mgr_storage *s, const mgr_user &u, const char *expr, bool ban) {
    std::unique_ptr<pattern, pattern_freer> expression(pattern_create(expr, PATTERN_REGEX));
    if (!expression) {
        printf("\033[91mInvalid agent label expression: %s\033[0m\n", expr);
        return -1;
    }
    cli_ban_filter filter{expression.get(), {}};
    acache_foreach(s, &filter, cli_collect_ban_agent);
    std::vector<agent_entry> &chosen = filter.agents;
    if (chosen.empty()) {
        printf("\033[91mNo agents found!\033[0m\n");
        return -1;
    }
    qsort(chosen.data(), chosen.size(), sizeof(agent_entry), agent_entry_cmp_name);
    printf("\033[92m\tThe following agents will be %s for user [%s]:\033[0m\n",
           ban ? "banned" : "unbanned", u.username);
    for (const agent_entry &e : chosen) {
        char label[64];
        auth_label_text(e.identity, label);
        printf("\033[96m\t\t%s %s\033[0m\n", agent_type_name(e.identity.type), label);
    }
    printf("\033[0m\tProceed? [y/n] (y): \033[0m");
    fflush(stdout);
    if (term_read_answer('y') != 'y')
        return 0;

    std::vector<uint64_t> next;
    if (ban) {
        for (const agent_entry &e : chosen)
            next.push_back(e.id);
    }
    for (uint64_t i = 0; i < u.nbanned; i++) {
        uint64_t id = u.banned[i];
        if (std::none_of(chosen.begin(), chosen.end(),
                         [id](const agent_entry &e) { return e.id == id; }))
            next.push_back(id);
    }
    mgr_user changed = u;
    changed.banned = next.data();
    changed.nbanned = next.size();
    if (users_set_banned(s, &changed) != 0) {
        printf("\033[91mUser agents ban modification failed.\033[0m\n");
        return -1;
    }
    printf("\033[92mUser agents ban modified successfully.\033[0m\n");
    return 0;
}

using auth_fn = int (*)(int argc, char **argv);

struct auth_row {
    const char *word;
    auth_fn fn;
};

// Compared exactly, case included.
constexpr auth_row AUTH_ACTIONS[] = {
    {"add", cmd_auth_add},
    {"info", cmd_auth_info},
    {"rm", cmd_auth_rm},
    {"mod", cmd_auth_mod},
};

} // namespace

int32_t cmd_auth(int argc, char **argv, struct runtime *rt) {
    (void)rt;
    if (argc < 3) {
        printf("\033[91mMissing arguments\033[0m\n");
        exit(1);
    }
    // Answers are read byte by byte, so nothing of a later line (a password) waits in a stdio
    // buffer: the password prompt reads the terminal itself.
    setvbuf(stdin, nullptr, _IONBF, 0);
    for (const auth_row &row : AUTH_ACTIONS) {
        if (strcmp(row.word, argv[2]) == 0)
            exit(row.fn(argc, argv) == 0 ? 0 : 1);
    }
    printf("\033[91mUnknown auth option: %s\033[0m\n", argv[2]);
    exit(1);
}

int cmd_auth_add(int argc, char **argv) {
    auth_opts o;
    const cli_opt opts[] = {{"verbose", &o.verbose, nullptr},
                            {"username", nullptr, &o.username},
                            {"password", nullptr, &o.password},
                            {"perms", nullptr, &o.perms}};
    if (auth_start(argc, argv, auth_action::add, opts, std::size(opts), &o) != 0)
        return -1;
    secret password;
    if (o.password == nullptr) {
        int rc = auth_new_password("\033[0m\tAutogenerate the password? [y/n] (y): \033[0m",
                                   password.text);
        if (rc == GENERATE_FAILED)
            printf("\033[91mUser [%s] add failure!\033[0m\n", o.name);
        if (rc != 0)
            return -1;
    } else if (users_copy_password(o.password, password.text) != 0) {
        printf("\033[91mPassword too long.\033[0m\n");
        return -1;
    }
    uint64_t perms = 0;
    if (o.perms != nullptr && (perms = cli_parse_perms(o.perms)) == 0)
        return -1;
    storage_ptr s(mgr_storage_open());
    if (!s) {
        printf("\033[91mCannot open the manager storage!\033[0m\n");
        return -1;
    }
    if (users_add(s.get(), o.name, password.text, perms) != 0) {
        printf("\033[91mUser [%s] add failure!\033[0m\n", o.name);
        return -1;
    }
    // users_add leaves a stored name alone and still succeeds; the insert tells.
    if (auth_changes(s.get()) == 0) {
        printf("\033[91mUser [%s] already exists.\033[0m\n", o.name);
        return -1;
    }
    s.reset();
    printf("\033[92mUser [%s] added successfully.\033[0m\n", o.name);
    return 0;
}

int cmd_auth_info(int argc, char **argv) {
    auth_opts o;
    const cli_opt opts[] = {{"verbose", &o.verbose, nullptr}, {"username", nullptr, &o.username}};
    if (auth_start(argc, argv, auth_action::info, opts, std::size(opts), &o) != 0)
        return -1;
    storage_ptr s(mgr_storage_open());
    if (!s) {
        printf("\033[91mCannot open the storage.\033[0m\n");
        return -1;
    }
    if (o.username == nullptr)
        return auth_list_users(std::move(s));
    return auth_show_user(std::move(s), o.name);
}

int cmd_auth_rm(int argc, char **argv) {
    auth_opts o;
    const cli_opt opts[] = {{"verbose", &o.verbose, nullptr}, {"username", nullptr, &o.username}};
    if (auth_start(argc, argv, auth_action::rm, opts, std::size(opts), &o) != 0)
        return -1;
    printf("\033[91m\tDelete user [%s]? [y/n] (n): \033[0m", o.name);
    fflush(stdout);
    // Only a yes deletes; the default, any other answer and the end of input keep the user.
    int key = term_read_key();
    if (key != 'y' && key != 'Y')
        return 0;
    storage_ptr s(mgr_storage_open());
    if (!s) {
        printf("\033[91mCannot open the manager storage!\033[0m\n");
        return -1;
    }
    if (users_delete(s.get(), o.name) != 0) {
        printf("\033[91mUser [%s] delete failure!\n\033[0m\n", o.name);
        return -1;
    }
    if (auth_changes(s.get()) == 0) {
        printf("\033[91mNo such user [%s]\033[0m\n", o.name);
        return -1;
    }
    s.reset();
    printf("\033[92mUser [%s] deleted successfully.\n\033[0m\n", o.name);
    return 0;
}

int cmd_auth_mod(int argc, char **argv) {
    auth_opts o;
    const cli_opt opts[] = {
        {"verbose", &o.verbose, nullptr}, {"username", nullptr, &o.username},
        {"perms", nullptr, &o.perms},     {"password", &o.new_password, nullptr},
        {"ban", nullptr, &o.ban},         {"unban", nullptr, &o.unban},
    };
    if (auth_start(argc, argv, auth_action::mod, opts, std::size(opts), &o) != 0)
        return -1;
    storage_ptr s(mgr_storage_open());
    if (!s) {
        printf("\033[91mCannot open the manager storage!\033[0m\n");
        return -1;
    }
    user_rec rec;
    if (users_get(s.get(), o.name, &rec.u) != 0) {
        printf("\033[91mNo such user [%s]\033[0m\n", o.name);
        return -1;
    }
    printf("\033[92mUser %s\033[0m\n", rec.u.username);
    // One change per run: the password, else the permissions, else the bans.
    if (o.new_password)
        return auth_mod_password(s.get(), rec.u);
    if (o.perms != nullptr)
        return auth_mod_perms(s.get(), rec.u, o.perms);
    if (o.ban != nullptr || o.unban != nullptr)
        return auth_mod_bans(s.get(), rec.u, o.ban != nullptr ? o.ban : o.unban, o.ban != nullptr);
    return 0;
}

int cli_read_password(char out[64]) {
    memset(out, 0, PASSWORD_FIELD);
    secret again;
    echo_off quiet;
    if (quiet.start() != 0) {
        printf("\033[91mError! %s\033[0m\n", strerror(errno));
        return -1;
    }
    printf("\033[0m\tSpecify a password (will not echo): \033[0m");
    fflush(stdout);
    int rc = read_entry(out);
    if (rc == 0) {
        printf("\033[0m\tRe-enter the password (will not echo): \033[0m");
        fflush(stdout);
        rc = read_entry(again.text);
    }
    if (rc == 0 && strcmp(out, again.text) != 0) {
        printf("\033[91m\tPasswords do not match.\033[0m\n");
        rc = -1;
    }
    if (rc == TOO_LONG) {
        printf("\033[91mPassword too long.\033[0m\n");
        rc = -1;
    }
    if (rc != 0)
        explicit_bzero(out, PASSWORD_FIELD);
    return rc;
}

uint64_t cli_parse_perms(const char *text) {
    uint64_t bits = text[0] == '+' || text[0] == '-' ? users_parse_perms(text + 1) : 0;
    if (bits == 0)
        printf("\033[91mInvalid permissions value!\033[0m\n");
    return bits;
}

int cli_collect_user(void *ctx, const mgr_user *user) {
    auto *list = static_cast<cli_user_list *>(ctx);
    mgr_user full{};
    if (users_get(list->storage, user->username, &full) != 0) {
        list->failed = true;
        return -1;
    }
    list->users.push_back(full);
    return 0;
}

int cli_collect_ban_agent(void *ctx, const mgr_agent *slot) {
    auto *filter = static_cast<cli_ban_filter *>(ctx);
    agent_entry e{slot->identity, slot->aid};
    if (e.identity.type != AGENT_TYPE_JVM)
        return 0;
    // Matched on a terminated copy: a full label has no terminator.
    char label[sizeof e.identity.label + 1] = {};
    memcpy(label, e.identity.label, sizeof e.identity.label);
    if (pattern_match(filter->expr, label) == 0)
        filter->agents.push_back(e);
    return 0;
}

int cli_print_perm(void *ctx, const user_perm *row) {
    ++*static_cast<uint64_t *>(ctx);
    printf("\033[95m\t%c: %s\033[0m\n", static_cast<int>(row->letter), row->text);
    return 0;
}
