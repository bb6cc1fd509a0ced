#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "lib/log.h"
#include "lib/pattern.h"
#include "log_capture.h"

namespace {

struct PatternCase {
    int kind;
    const char *text;
    const char *name;
    int result;        // pattern_match's result when the pattern is created
    const char *error; // the logged line when pattern_create refuses the text, else nullptr
};

// Runs one case in a child at log level 1: stdout is "NULL" or the match result.
Logged run_case(const PatternCase &c) {
    return run_logged([&] {
        pattern *p = pattern_create(c.text, c.kind);
        if (p == nullptr) {
            printf("NULL");
        } else {
            printf("%d", pattern_match(p, c.name));
            pattern_free(p);
        }
        fflush(stdout);
    });
}

TEST(Pattern, CreateAndMatchTable) {
    const PatternCase cases[] = {
        {PATTERN_SUBSTRING, "abc", "xabcx", 0, nullptr},
        {PATTERN_SUBSTRING, "abc", "ab", 1, nullptr},
        {PATTERN_SUBSTRING, "ABC", "xabcx", 1, nullptr},
        {PATTERN_SUBSTRING, "", "anything", 0, nullptr},
        {PATTERN_EXACT, "abc", "abc", 0, nullptr},
        {PATTERN_EXACT, "abc", "ABC", 1, nullptr},
        {PATTERN_EXACT, "abc", "abcd", 1, nullptr},
        {PATTERN_EXACT, "abc", "ab", 1, nullptr},
        // Expressions are unanchored unless anchored, case-sensitive, without a group 0 / 1.
        {PATTERN_REGEX, "^org\\.", "org.app.Main", 0, nullptr},
        {PATTERN_REGEX, "^org\\.", "orgXapp.Main", 1, nullptr},
        {PATTERN_REGEX, "^org\\.", "com.org.Main", 1, nullptr},
        {PATTERN_REGEX, "Ma+in", "org.app.Maaain.run", 0, nullptr},
        {PATTERN_REGEX, "main", "org.app.Main", 1, nullptr},
        // One group: a match counts only when the group takes part; no match is -1.
        {PATTERN_REGEX, "a|(b)", "b", 0, nullptr},
        {PATTERN_REGEX, "a|(b)", "a", -1, nullptr},
        {PATTERN_REGEX, "a|(b)", "c", -1, nullptr},
        {PATTERN_REGEX, "^get(Name)?$", "getName", 0, nullptr},
        {PATTERN_REGEX, "^get(Name)?$", "get", -1, nullptr},
        // Two or more groups, nested ones included, are refused.
        {PATTERN_REGEX, "(a)(b)", "ab", 0, "ERROR  Too many subexpressions. Only 1 is allowed.\n"},
        {PATTERN_REGEX, "((a))", "a", 0, "ERROR  Too many subexpressions. Only 1 is allowed.\n"},
        {PATTERN_REGEX, "(a", "a", 0, "ERROR  Pattern failure: (a : Unmatched ( or \\(.\n"},
        {PATTERN_REGEX, "[a", "a", 0,
         "ERROR  Pattern failure: [a : Unmatched [, [^, [:, [., or [=.\n"},
        // Back-references are refused before compiling; a backslash and digit inside
        // brackets, or after an escaped backslash, are ordinary characters.
        {PATTERN_REGEX, "(a)\\1", "aa", 0,
         "ERROR  Pattern failure: (a)\\1 : back-references are not supported.\n"},
        {PATTERN_REGEX, "^(a|b*)*\\9$", "ab", 0,
         "ERROR  Pattern failure: ^(a|b*)*\\9$ : back-references are not supported.\n"},
        {PATTERN_REGEX, "[[:alpha:]](x)\\2", "ax", 0,
         "ERROR  Pattern failure: [[:alpha:]](x)\\2 : back-references are not supported.\n"},
        {PATTERN_REGEX, "[\\1]", "1", 0, nullptr},
        {PATTERN_REGEX, "[]\\1]", "\\", 0, nullptr},
        {PATTERN_REGEX, "[[:digit:]\\1]x", "\\x", 0, nullptr},
        {PATTERN_REGEX, "a\\\\1", "a\\1", 0, nullptr},
        {PATTERN_REGEX, "a\\0", "a0", 0, nullptr},
        {0, "abc", "abc", 0, "ERROR  Invalid pattern type!\n"},
        {4, "abc", "abc", 0, "ERROR  Invalid pattern type!\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " [" + c.text + "] on [" + c.name + "]");
        Logged got = run_case(c);
        if (c.error != nullptr) {
            EXPECT_EQ(got.out, "NULL");
            EXPECT_EQ(got.lines, c.error);
        } else {
            EXPECT_EQ(got.out, std::to_string(c.result));
            EXPECT_EQ(got.lines, "");
        }
    }
}

// Expressions whose compilation would take memory out of proportion are refused before the
// compiler sees them: more than 2048 bytes, or intervals repeating more than 256 atoms.
TEST(Pattern, ExpressionsAreBoundedBeforeCompiling) {
    const std::string longest(2048, 'a'), too_long(2049, 'a');
    auto times = [](const std::string &piece, size_t n) {
        std::string out;
        while (n-- > 0)
            out += piece;
        return out;
    };
    auto repeats = [](const std::string &text, unsigned atoms) {
        return "ERROR  Pattern failure: " + text + " : intervals repeat " + std::to_string(atoms) +
               " atoms, at most 256 are allowed.\n";
    };
    const struct {
        std::string text;
        std::string name;
        std::string error; // empty when accepted (and matching `name`)
    } cases[] = {
        {"a{1,256}", "a", ""},
        {"a{1,257}", "a", repeats("a{1,257}", 257)},
        {"a{1,4000}", "a", repeats("a{1,4000}", 4000)},
        {"a{1,32767}", "a", repeats("a{1,32767}", 32767)},
        {"(a?){1,1000}", "a", repeats("(a?){1,1000}", 1000)},
        // What an interval repeats counts with all its atoms...
        {"(ab){128}", times("ab", 128), ""},
        {"(ab){1,129}", "ab", repeats("(ab){1,129}", 258)},
        {"[{]{1,300}", "{", repeats("[{]{1,300}", 300)},
        {"x{,300}", "x", repeats("x{,300}", 300)},
        // ... an open upper bound as one more than the lower ...
        {"a{255,}", std::string(255, 'a'), ""},
        {"a{256,}", "a", repeats("a{256,}", 257)},
        // ... nested intervals multiply, and all intervals of an expression add up.
        {"(a{16}){16}", std::string(256, 'a'), ""},
        {"(a{16}){17}", "a", repeats("(a{16}){17}", 272)},
        {"a{200}b{56}", std::string(200, 'a') + std::string(56, 'b'), ""},
        {"a{200}b{57}", "a", repeats("a{200}b{57}", 257)},
        // Escaped braces and braces in brackets are no intervals.
        {"a\\{1,4000\\}", "a{1,4000}", ""},
        {"[{1,4000}]", "4", ""},
        {longest, longest, ""},
        {too_long, "a",
         "ERROR  Pattern failure: " + std::string(64, 'a') +
             "... : expression of 2049 bytes, at most 2048 are allowed.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        Logged got = run_case({PATTERN_REGEX, c.text.c_str(), c.name.c_str(), 0, nullptr});
        EXPECT_EQ(got.out, c.error.empty() ? "0" : "NULL");
        EXPECT_EQ(got.lines, c.error);
    }
    // Substring and exact texts are not compiled: their length is not bounded here.
    const std::string text(3000, 'x');
    EXPECT_EQ(run_case({PATTERN_SUBSTRING, text.c_str(), text.c_str(), 0, nullptr}).out, "0");
}

TEST(Pattern, CreationIsLoggedAtDebugLevel) {
    const struct {
        int kind;
        const char *text;
        const char *line;
    } cases[] = {
        {PATTERN_SUBSTRING, "abc", "DEBUG  Regular expression created for exact match: [abc]\n"},
        {PATTERN_EXACT, "x.y", "DEBUG  Regular expression created for exact match: [x.y]\n"},
        {PATTERN_REGEX, "^a.*",
         "DEBUG  Regular expression created for expression: [^a.*]. 0 subgroups detected.\n"},
        {PATTERN_REGEX, "a(b)",
         "DEBUG  Regular expression created for expression: [a(b)]. 1 subgroups detected.\n"},
    };
    for (const auto &c : cases) {
        RunResult r = run_forked([&] {
            log_level.store(2);
            pattern_free(pattern_create(c.text, c.kind));
            pattern_free(nullptr);
        });
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(strip_log_stamps(r.err), c.line);
    }
}

} // namespace
