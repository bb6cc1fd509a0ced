// Name patterns: compiled filters for symbol and agent names, of three kinds.
//
// Clients send the kind numbers below with their queries; the commands build patterns from
// their selection options. A pattern is not changed by matching; one thread uses it at a time.
#pragma once

#include <regex.h>

enum pattern_kind {
    PATTERN_SUBSTRING = 1, // the text occurs anywhere in the name
    PATTERN_EXACT = 2,     // the name equals the text, case-sensitive
    PATTERN_REGEX = 3,     // POSIX extended expression found in the name, at most one group
};

struct pattern;

// 0 when `name` matches; any other value when it does not.
using pattern_match_fn = int (*)(const pattern *p, const char *name);

struct pattern {
    pattern_match_fn match;
    regex_t re; // compiled expression, kind 3 only
    char *text; // private copy of the text, kinds 1 and 2 only
};

// A new pattern of `kind` from `text`, or NULL after an ERROR line: unknown kind, an
// expression that does not compile, uses back-references or holds two or more groups. An
// expression is refused before it is compiled when it is longer than 2048 bytes or when its
// intervals repeat more than 256 atoms in all (what an interval repeats, as expanded, times
// its upper bound; "{m,}" counts as m + 1), which keeps the compiler's memory bounded.
pattern *pattern_create(const char *text, int kind);

// 0 when `name` matches. Otherwise: substring and exact give 1; an expression without a
// group gives 1, one with a group -1; a failed search gives -1 after an ERROR line. With one
// group, a match in which the group takes no part counts as no match.
int pattern_match(const pattern *p, const char *name);

// Releases the pattern; NULL is allowed.
void pattern_free(pattern *p);
