#include "lib/pattern.h"

#include <cstdlib>
#include <cstring>

#include "lib/log.h"
#include "lib/xalloc.h"

// An expression may capture at most this many groups.
static constexpr size_t PATTERN_MAX_GROUPS = 1;

static int pattern_match_substring(const pattern *p, const char *name) {
    return strstr(name, p->text) != nullptr ? 0 : 1;
}

static int pattern_match_exact(const pattern *p, const char *name) {
    return strcmp(name, p->text) == 0 ? 0 : 1;
}

// regexec's result other than a match or no match: logged, and the name does not match.
static int pattern_regexec_failed(const pattern *p, int rc) {
    char reason[256];
    regerror(rc, &p->re, reason, sizeof reason);
    LOG_ERROR("regexec failure: %s.", reason);
    return -1;
}

static int pattern_match_regex(const pattern *p, const char *name) {
    int rc = regexec(&p->re, name, 0, nullptr, 0);
    if (rc == 0 || rc == REG_NOMATCH)
        return rc == 0 ? 0 : 1;
    return pattern_regexec_failed(p, rc);
}

// With one group the name matches only when the group took part in the match.
static int pattern_match_regex_group(const pattern *p, const char *name) {
    regmatch_t m[2];
    int rc = regexec(&p->re, name, 2, m, 0);
    if (rc == 0)
        return m[1].rm_so != -1 ? 0 : -1;
    if (rc == REG_NOMATCH)
        return -1;
    return pattern_regexec_failed(p, rc);
}

// Index just past the bracket expression that opens at t[i], or the end of the text when it
// is never closed (the compiler then refuses the expression). Inside brackets a backslash is
// an ordinary character; "[:", "[." and "[=" open items that run to their own closer.
static size_t pattern_skip_bracket(const char *t, size_t i) {
    ++i;
    if (t[i] == '^')
        ++i;
    if (t[i] == ']')
        ++i;
    while (t[i] != '\0' && t[i] != ']') {
        char d = t[i + 1];
        if (t[i] == '[' && (d == ':' || d == '.' || d == '=')) {
            const char closer[3] = {d, ']', '\0'};
            const char *end = strstr(t + i + 2, closer);
            if (end == nullptr)
                return strlen(t);
            i = static_cast<size_t>(end - t) + 2;
        } else {
            ++i;
        }
    }
    return t[i] == ']' ? i + 1 : i;
}

// True when the expression holds a back-reference (\1 to \9) outside a bracket expression.
// The system matcher takes exponential time on them, so they are never compiled.
static bool pattern_has_back_reference(const char *t) {
    size_t i = 0;
    while (t[i] != '\0') {
        if (t[i] == '[') {
            i = pattern_skip_bracket(t, i);
        } else if (t[i] == '\\') {
            if (t[i + 1] >= '1' && t[i + 1] <= '9')
                return true;
            i += t[i + 1] == '\0' ? 1 : 2;
        } else {
            ++i;
        }
    }
    return false;
}

static pattern *pattern_create_text(const char *text, pattern_match_fn match) {
    pattern *p = static_cast<pattern *>(krv_calloc(1, sizeof(pattern)));
    p->match = match;
    p->text = krv_strdup(text);
    LOG_DEBUG("Regular expression created for exact match: [%s]", text);
    return p;
}

static pattern *pattern_create_regex(const char *text) {
    if (pattern_has_back_reference(text)) {
        LOG_ERROR("Pattern failure: %s : %s.", text, "back-references are not supported");
        return nullptr;
    }
    pattern *p = static_cast<pattern *>(krv_calloc(1, sizeof(pattern)));
    int rc = regcomp(&p->re, text, REG_EXTENDED);
    if (rc != 0) {
        char reason[256];
        regerror(rc, &p->re, reason, sizeof reason);
        LOG_ERROR("Pattern failure: %s : %s.", text, reason);
        free(p);
        return nullptr;
    }
    if (p->re.re_nsub > PATTERN_MAX_GROUPS) {
        LOG_ERROR("Too many subexpressions. Only %d is allowed.",
                  static_cast<int>(PATTERN_MAX_GROUPS));
        regfree(&p->re);
        free(p);
        return nullptr;
    }
    LOG_DEBUG("Regular expression created for expression: [%s]. %ld subgroups detected.", text,
              static_cast<long>(p->re.re_nsub));
    p->match = p->re.re_nsub == 0 ? pattern_match_regex : pattern_match_regex_group;
    return p;
}

pattern *pattern_create(const char *text, int kind) {
    switch (kind) {
    case PATTERN_SUBSTRING:
        return pattern_create_text(text, pattern_match_substring);
    case PATTERN_EXACT:
        return pattern_create_text(text, pattern_match_exact);
    case PATTERN_REGEX:
        return pattern_create_regex(text);
    default:
        LOG_ERROR("Invalid pattern type!");
        return nullptr;
    }
}

int pattern_match(const pattern *p, const char *name) {
    return p->match(p, name);
}

void pattern_free(pattern *p) {
    if (p == nullptr)
        return;
    if (p->text != nullptr)
        free(p->text);
    else
        regfree(&p->re);
    free(p);
}
