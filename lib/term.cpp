#include "lib/term.h"

#include <cstdio>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

// The terminfo headers define many short macros; they come last so nothing above sees them.
#include <curses.h>
#include <term.h>

namespace {

constexpr int TERM_DEFAULT_COLUMNS = 80;
constexpr size_t TERM_PAD_BUF = 64;

// The filled part of a bar is cut from this run, so it never exceeds its length.
constexpr char BAR_FILL[] = "**************************************************"
                            "**************************************************"
                            "**************************************************"
                            "**************************************************"
                            "**********";
static_assert(sizeof BAR_FILL - 1 == 210);

// Width minus the length of a formatted text of n bytes, or 0 when it does not fit.
int pad_of(int n, int width) {
    if (n < 0 || static_cast<size_t>(n) >= TERM_PAD_BUF || n > width)
        return 0;
    return width - n;
}

} // namespace

int term_read_key() {
    int c = getchar();
    int rest = c;
    while (rest != '\n' && rest != EOF)
        rest = getchar();
    return c;
}

int term_read_answer(int def) {
    int c = term_read_key();
    if (c == '\n' || c == EOF || c == def)
        return def;
    return 0;
}

void term_progress(const char *label, int width, uint64_t done, uint64_t total) {
    uint64_t cols = width > 0 ? static_cast<uint64_t>(width) : 0;
    if (done > total)
        done = total;
    // At most 100 and at most cols: both fit an int. The wide product cannot wrap.
    uint64_t percent = total == 0 ? 0 : static_cast<uint64_t>(done * __uint128_t{100} / total);
    uint64_t filled = percent * cols / 100;
    printf("\r%-20.20s |\033[93m%.*s%*s\033[0m| %3u%%", label, static_cast<int>(filled), BAR_FILL,
           static_cast<int>(cols - filled), "", static_cast<unsigned>(percent));
    fflush(stdout);
}

int term_get_columns() {
    // Without this the library reports the window size or COLUMNS as "co".
    use_env(FALSE);
    const char *name = getenv("TERM");
    if (name != nullptr && *name != '\0') {
        char entry[2048];
        int rc = tgetent(entry, name);
        if (rc < 0)
            return TERM_DEFAULT_COLUMNS;
        // The library keeps the loaded description for the process; it is not freed here.
        int co = rc > 0 ? tgetnum("co") : -1;
        if (co > 0)
            return co;
    }
    struct winsize ws {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return TERM_DEFAULT_COLUMNS;
}

int term_pad_num(const char *fmt, uint64_t value, int width) {
    char buf[TERM_PAD_BUF];
    return pad_of(snprintf(buf, sizeof buf, fmt, value), width);
}

int term_pad_real(const char *fmt, int width, double value) {
    char buf[TERM_PAD_BUF];
    return pad_of(snprintf(buf, sizeof buf, fmt, value), width);
}
