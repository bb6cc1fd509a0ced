#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "lib/term.h"
#include "support/test_support.h"

namespace {

// Runs `fn` in a child whose standard input is a pipe holding `input` and then closed.
RunResult with_input(const std::string &input, const std::function<void()> &fn) {
    return run_forked([&] {
        int p[2];
        if (pipe(p) != 0 || write(p[1], input.data(), input.size()) != ssize_t(input.size()))
            _exit(2);
        close(p[1]);
        dup2(p[0], STDIN_FILENO);
        close(p[0]);
        fn();
    });
}

TEST(TermAnswer, FirstCharacterOfTheLineAgainstTheDefault) {
    const struct {
        const char *input;
        int def;
        const char *answers; // one character per question, '0' for 0
    } cases[] = {
        {"\n", 'y', "y"},
        {"y\n", 'y', "y"},
        {"yes\n", 'y', "y"},
        {"Y\n", 'y', "0"},
        {"n\n", 'y', "0"},
        {"", 'y', "y"},
        {"y", 'y', "y"},
        {"\n", 'n', "n"},
        {"N\n", 'n', "0"},
        {"yes\nn\n", 'y', "y0"},
        {"nope\n\n", 'y', "0y"},
        // The rest of a line never reaches the next question; end of input gives the default.
        {"xyz\n", 'y', "0y"},
    };
    for (const auto &c : cases) {
        RunResult r = with_input(c.input, [&] {
            for (const char *q = c.answers; *q; q++) {
                int a = term_read_answer(c.def);
                fputc(a == 0 ? '0' : a, stdout);
            }
        });
        EXPECT_EQ(r.out, c.answers) << '"' << c.input << '"';
    }
}

TEST(TermKey, FirstCharacterOfEachLine) {
    const struct {
        const char *input;
        const char *keys; // one per question: the key, '_' for EOF, '|' for a line end
    } cases[] = {
        {"y\n", "y"}, {"Yes\nn\n", "Yn"}, {"\nx", "|x"}, {"", "_"}, {"abc", "a_"},
    };
    for (const auto &c : cases) {
        RunResult r = with_input(c.input, [&] {
            for (const char *q = c.keys; *q; q++) {
                int k = term_read_key();
                fputc(k == EOF ? '_' : k == '\n' ? '|' : k, stdout);
            }
        });
        EXPECT_EQ(r.out, c.keys) << '"' << c.input << '"';
    }
}

TEST(TermProgress, BarBytes) {
    const std::string y = "\033[93m", reset = "\033[0m";
    const struct {
        const char *label;
        int width;
        uint64_t done, total;
        std::string bar;  // between the colour codes
        const char *tail; // the percentage
    } cases[] = {
        {"Decompressing... ", 20, 5, 10, std::string(10, '*') + std::string(10, ' '), " 50%"},
        {"Decompressing... ", 20, 0, 0, std::string(20, ' '), "  0%"},
        {"Decompressing... ", 20, 10, 10, std::string(20, '*'), "100%"},
        // Truncating arithmetic: 1/3 is 33%, 33% of 10 columns is 3.
        {"Decompressing... ", 10, 1, 3, "***" + std::string(7, ' '), " 33%"},
        {"Decompressing... ", 20, 15, 10, std::string(20, '*'), "100%"},
        {"Decompressing... ", 0, 5, 10, "", " 50%"},
        {"Decompressing... ", -31, 5, 10, "", " 50%"},
        {"Decompressing... ", 300, 1, 1, std::string(210, '*'), "100%"},
        {"Decompressing... ", 300, UINT64_MAX / 2, UINT64_MAX,
         std::string(147, '*') + std::string(153, ' '), " 49%"},
    };
    for (const auto &c : cases) {
        RunResult r = run_forked([&] { term_progress(c.label, c.width, c.done, c.total); });
        EXPECT_EQ(r.out, "\rDecompressing...     |" + y + c.bar + reset + "| " + c.tail)
            << c.width << " " << c.done << "/" << c.total;
    }
    RunResult cut = run_forked([] { term_progress("A label over twenty columns", 4, 1, 2); });
    EXPECT_EQ(cut.out, "\rA label over twenty  |" + y + "**  " + reset + "|  50%");
}

class TermColumns : public testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        write_file(dir.sub("test.ti"), "krvwide|terminal with columns,\n\tcols#132,\n"
                                       "krvnocols|terminal without columns,\n\tam,\n");
        std::string cmd = "tic -o '" + dir.sub("terminfo") + "' '" + dir.sub("test.ti") + "'";
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    }

    // term_get_columns() in a child with TERM set to `term` and standard output on a
    // pseudo-terminal of 100 columns (or on a pipe); the result comes back on standard error.
    int columns(const char *term, bool on_pty) {
        RunResult r = run_forked([&] {
            setenv("TERMINFO", dir.sub("terminfo").c_str(), 1);
            setenv("TERM", term, 1);
            unsetenv("COLUMNS");
            if (on_pty) {
                int master = posix_openpt(O_RDWR | O_NOCTTY);
                if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
                    _exit(2);
                int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
                struct winsize ws {};
                ws.ws_row = 30;
                ws.ws_col = 100;
                if (slave < 0 || ioctl(slave, TIOCSWINSZ, &ws) != 0)
                    _exit(3);
                dup2(slave, STDOUT_FILENO);
            } else {
                int p[2];
                if (pipe(p) != 0)
                    _exit(2);
                dup2(p[1], STDOUT_FILENO);
            }
            fprintf(stderr, "%d", term_get_columns());
        });
        EXPECT_EQ(r.exit_code, 0);
        return atoi(r.err.c_str());
    }
};

TEST_F(TermColumns, CapabilityThenWindowThenEighty) {
    EXPECT_EQ(columns("krvwide", true), 132);
    EXPECT_EQ(columns("krvwide", false), 132);
    EXPECT_EQ(columns("krvnocols", true), 100);
    EXPECT_EQ(columns("krvnocols", false), 80);
    EXPECT_EQ(columns("krv-no-such-terminal", false), 80);
}

TEST(TermPad, RightAlignmentWithinBounds) {
    EXPECT_EQ(term_pad_num("%lu", 12345, 8), 3);
    EXPECT_EQ(term_pad_num("%lu", 12345, 5), 0);
    EXPECT_EQ(term_pad_num("%lu", 12345, 4), 0);
    EXPECT_EQ(term_pad_num("%lu", UINT64_MAX, 27), 7);
    EXPECT_EQ(term_pad_real("%.2f", 6, 3.14159), 2);
    EXPECT_EQ(term_pad_real("%.2f", 3, 314.159), 0);
    // A text longer than the 64-byte buffer is never measured past it: 0, not 500 - 401.
    EXPECT_EQ(term_pad_real("%.399f", 500, 1.0), 0);
    EXPECT_EQ(term_pad_real("%.0f", 500, 1e300), 0);
}

} // namespace
