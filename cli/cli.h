// The command line: the command table, its dispatcher and what every command shares
// (option parsing, action words, the environment directory argument, the verbose log).
#pragma once

#include <cstddef>
#include <cstdint>

struct runtime;

using cmd_handler = int32_t (*)(int argc, char **argv, struct runtime *rt);

// A row of a command or action table; tables end with a row whose word is NULL.
struct cli_command {
    const char *word;
    cmd_handler handler;
};

extern const cli_command cli_commands[];

// Sets the log level to 0 and runs the command named by argv[1]; with no word prints the
// banner and version block and exits 0; an unknown word exits 1.
int32_t cli_dispatch(int argc, char **argv);
int32_t cli_dispatch_table(const cli_command *table, int argc, char **argv);

// Environment kind of a directory: bit 0 storage.mgr present, bit 1 storage.db present.
uint32_t cli_env_type(const char *dir);
// The directory argument without trailing slashes, checked to be a directory; NULL on
// failure (after a red line). The caller frees the copy.
char *cli_env_path(const char *text);
// With `verbose`: level 3, standard error on a fresh "out.log"; exits 1 when it can't.
void cli_log_output(int verbose);
// "standalone", "manager", "database" in any case; 0 for NULL or anything else.
uint32_t cli_parse_mode(const char *text);
// The word of a mode in lower case; "" for anything but the three modes.
const char *cli_mode_word(uint32_t mode);

// One long option of a command: a flag (`value` NULL: *flag becomes 1) or an option that
// requires a value (*value points at it).
struct cli_opt {
    const char *name;
    int *flag;
    const char **value;
};

// Parses the long options of argv[start + 1 ..] (argv[start] is the command or action word),
// moving the other words behind them. Returns the index in argv of the first word after
// argv[start] that is not an option (argc when there is none), or -1 after an option error,
// which getopt_long has already reported on standard error.
int cli_parse_opts(int argc, char **argv, int start, const cli_opt *opts, size_t nopts);

// The action word of a command that takes one (argv[2]): its row in `actions`, compared
// exactly or without case. A missing word prints "Too few arguments!", an unknown one
// "Invalid <kind> action specified: <word>"; both exit 1.
const cli_command *cli_find_action(int argc, char **argv, const cli_command *actions, bool exact,
                                   const char *kind);
