#include "lib/pattern.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/log.h"
#include "lib/xalloc.h"

// An expression may capture at most this many groups.
static constexpr size_t PATTERN_MAX_GROUPS = 1;
// The system compiler copies what an interval repeats once per repetition and its memory
// grows with the square of the expanded expression, so both are bounded before compiling:
// the text (a symbol name has at most 2042 bytes) and the atoms the intervals repeat.
static constexpr size_t PATTERN_MAX_TEXT = 2048;
static constexpr uint64_t PATTERN_MAX_REPEATED = 256;
// Interval bounds are read up to here; anything larger is refused just the same.
static constexpr uint64_t PATTERN_BOUND_CAP = 1u << 20;

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

namespace {

// The atoms of one group of an expression while it is read: `size` counts them as the
// intervals expand them, `repeated` those that intervals produce; the last piece is kept
// apart until the next one starts, since an interval may still follow it.
struct pattern_group {
    uint64_t size = 0;
    uint64_t repeated = 0;
    uint64_t last_size = 0;
    uint64_t last_repeated = 0;
    bool has_last = false;

    void commit() {
        size = std::min(size + last_size, PATTERN_BOUND_CAP * PATTERN_BOUND_CAP);
        repeated = std::min(repeated + last_repeated, PATTERN_BOUND_CAP * PATTERN_BOUND_CAP);
        last_size = last_repeated = 0;
        has_last = false;
    }
    void piece(uint64_t piece_size, uint64_t piece_repeated) {
        commit();
        last_size = piece_size;
        last_repeated = piece_repeated;
        has_last = true;
    }
};

} // namespace

// Reads "{m}", "{m,}", "{m,n}" or "{,n}" at t[i]: the index past it and the number of times
// it lets its piece appear at most ({m,} counting as m + 1), or false when t[i] opens no
// interval (the compiler then takes the brace as it sees fit).
static bool pattern_interval(const char *t, size_t i, size_t *end, uint64_t *bound) {
    auto number = [&](uint64_t *v) {
        const size_t start = i;
        *v = 0;
        while (t[i] >= '0' && t[i] <= '9') {
            *v = std::min<uint64_t>(*v * 10 + static_cast<uint64_t>(t[i] - '0'), PATTERN_BOUND_CAP);
            ++i;
        }
        return i > start;
    };
    ++i;
    uint64_t low = 0, high = 0;
    const bool has_low = number(&low);
    if (t[i] == '}') {
        if (!has_low)
            return false;
        *bound = low;
    } else if (t[i] == ',') {
        ++i;
        const bool has_high = number(&high);
        if (t[i] != '}' || (!has_low && !has_high))
            return false;
        *bound = has_high ? high : low + 1;
    } else {
        return false;
    }
    *end = i + 1;
    return true;
}

// How many atoms the intervals of the expression repeat in all: each interval the expanded
// size of what it repeats times its upper bound, so that nested ones multiply.
static uint64_t pattern_repeated_atoms(const char *t) {
    std::vector<pattern_group> groups(1);
    size_t i = 0;
    while (t[i] != '\0') {
        pattern_group &g = groups.back();
        size_t end;
        uint64_t bound;
        switch (t[i]) {
        case '[':
            g.piece(1, 0);
            i = pattern_skip_bracket(t, i);
            break;
        case '\\':
            g.piece(1, 0);
            i += t[i + 1] == '\0' ? 1 : 2;
            break;
        case '(':
            g.commit();
            groups.emplace_back();
            ++i;
            break;
        case ')':
            if (groups.size() == 1) {
                g.piece(1, 0);
            } else {
                g.commit();
                const pattern_group inner = g;
                groups.pop_back();
                groups.back().piece(inner.size, inner.repeated);
            }
            ++i;
            break;
        case '|':
            g.commit();
            ++i;
            break;
        case '*':
        case '+':
        case '?':
            ++i;
            break;
        case '{':
            if (g.has_last && pattern_interval(t, i, &end, &bound)) {
                // What the piece expands to is repeated; the repetitions inside it are
                // part of that.
                g.last_size = std::min(g.last_size * bound, PATTERN_BOUND_CAP * PATTERN_BOUND_CAP);
                g.last_repeated = g.last_size;
                i = end;
            } else {
                g.piece(1, 0);
                ++i;
            }
            break;
        default:
            g.piece(1, 0);
            ++i;
            break;
        }
    }
    // Groups left open are refused by the compiler; their atoms still count.
    while (groups.size() > 1) {
        groups.back().commit();
        const pattern_group inner = groups.back();
        groups.pop_back();
        groups.back().piece(inner.size, inner.repeated);
    }
    groups.back().commit();
    return groups.back().repeated;
}

// Refuses, with the "Pattern failure" line, an expression the system compiler should not
// be given: too long, or repeating too much.
static bool pattern_within_limits(const char *text) {
    const size_t length = strlen(text);
    if (length > PATTERN_MAX_TEXT) {
        LOG_ERROR("Pattern failure: %.64s... : expression of %zu bytes, at most %zu are allowed.",
                  text, length, PATTERN_MAX_TEXT);
        return false;
    }
    const uint64_t repeated = pattern_repeated_atoms(text);
    if (repeated > PATTERN_MAX_REPEATED) {
        LOG_ERROR("Pattern failure: %s : intervals repeat %lu atoms, at most %lu are allowed.",
                  text, static_cast<unsigned long>(repeated),
                  static_cast<unsigned long>(PATTERN_MAX_REPEATED));
        return false;
    }
    return true;
}

static pattern *pattern_create_text(const char *text, pattern_match_fn match) {
    pattern *p = static_cast<pattern *>(krv_calloc(1, sizeof(pattern)));
    p->match = match;
    p->text = krv_strdup(text);
    LOG_DEBUG("Regular expression created for exact match: [%s]", text);
    return p;
}

static pattern *pattern_create_regex(const char *text) {
    if (!pattern_within_limits(text))
        return nullptr;
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
