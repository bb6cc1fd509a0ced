// The arch command: dumps chosen agents and days of a stopped Database environment into an
// archive in the current directory, or extracts an archive into a new store of the current
// directory.
#pragma once

#include <cstdint>

struct runtime;

// arch dump [--verbose] [--from=dd-mm-YYYY] [--thru=dd-mm-YYYY] [--agents=ERE] DIR
// arch extract [--verbose] FILE
// Ends the process.
int32_t cmd_arch(int argc, char **argv, struct runtime *rt);

// The dump file's name: "<current directory>/<last component of env>_<local %F_%H%M>.arch".
// The caller frees it. NULL after a red line when the current directory cannot be read.
char *cli_archive_name(const char *env);

// A dump bound given as dd-mm-YYYY: the first second of that UTC day in *day_s and the date
// as the conditions show it ("%a, %d %b %Y") in `shown` (32 bytes). -1 for a text that is
// not exactly such a date, for a day that does not exist (31-02-2021) and for a day before
// 1970.
int cli_arch_parse_date(const char *text, uint64_t *day_s, char shown[32]);
