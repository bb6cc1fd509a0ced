#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "lib/log.h"
#include "lib/xalloc.h"
#include "support/test_support.h"

namespace {

// "%x %X" in the C locale: MM/DD/YY HH:MM:SS.
const char *const kStamp = R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)";

struct LevelCase {
    uint32_t level;
    bool debug, info, warn, error, fatal;
};

class LogLevelTest : public testing::TestWithParam<LevelCase> {};

TEST_P(LogLevelTest, PrintsExactlyTheAdmittedLines) {
    const LevelCase c = GetParam();
    RunResult r = run_forked([&] {
        log_level.store(c.level);
        LOG_DEBUG("d %d", 1);
        LOG_INFO("i %s", "x");
        LOG_WARN("w");
        LOG_ERROR("e");
        LOG_FATAL("f");
    });
    std::string expect;
    if (c.debug)
        expect += "DEBUG  d 1\n";
    if (c.info)
        expect += "INFO   i x\n";
    if (c.warn)
        expect += "WARN   w\n";
    if (c.error)
        expect += "ERROR  e\n";
    if (c.fatal)
        expect += "FATAL  f\n";
    // Strip the stamps after checking their shape.
    std::regex line(std::string("(^|\n)") + kStamp + " ");
    std::string bodies = std::regex_replace(r.err, line, "$1");
    EXPECT_EQ(bodies, expect) << r.err;
    EXPECT_TRUE(r.out.empty());
}

INSTANTIATE_TEST_SUITE_P(Levels, LogLevelTest,
                         testing::Values(LevelCase{0, false, false, false, false, false},
                                         LevelCase{1, false, true, true, true, true},
                                         LevelCase{2, true, true, true, true, true},
                                         LevelCase{3, true, true, true, true, true}),
                         [](const testing::TestParamInfo<LevelCase> &i) {
                             return "level" + std::to_string(i.param.level);
                         });

TEST(Log, SystemCallAndLockLinesHaveTheirFixedShapes) {
    RunResult r = run_forked([] {
        log_level.store(1);
        errno = ENOENT;
        LOG_SYSERR("socket");
        errno = EACCES;
        LOG_SYSERR_PATH("open", "/x/y");
        KRV_LOCKCALL(EINVAL);
    });
    std::smatch m;
    std::string s = kStamp;
    std::regex want("^" + s +
                    " ERROR  \\[operator\\(\\):\\d+\\] socket No such file or directory\n" + s +
                    " ERROR  \\[operator\\(\\):\\d+\\] open /x/y Permission denied\n" + s +
                    " ERROR  EINVAL : Invalid argument\\. \\[\\d+\\]\n$");
    EXPECT_TRUE(std::regex_match(r.err, m, want)) << r.err;
}

TEST(Log, OpenAppendsAndLinesFromThreadsStayWhole) {
    TempDir dir;
    std::string path = dir.sub("k.log");
    write_file(path, "old\n");
    RunResult r = run_forked([&] {
        log_level.store(1);
        if (log_open(path.c_str()) != 0)
            _exit(3);
        std::vector<std::thread> ts;
        for (int t = 0; t < 4; t++) {
            ts.emplace_back([t] {
                for (int i = 0; i < 200; i++)
                    LOG_INFO("thread %d line %d %s", t, i, std::string(300, 'x').c_str());
            });
        }
        for (auto &t : ts)
            t.join();
    });
    ASSERT_EQ(r.exit_code, 0);
    std::string text = read_file(path);
    ASSERT_EQ(text.rfind("old\n", 0), 0u);
    std::istringstream lines(text.substr(4));
    std::regex want(std::string(kStamp) + " INFO   thread \\d line \\d+ x{300}");
    int count = 0;
    for (std::string l; std::getline(lines, l); count++)
        ASSERT_TRUE(std::regex_match(l, want)) << l;
    EXPECT_EQ(count, 800);
}

TEST(Log, OpenFailureKeepsTheOldStandardError) {
    TempDir dir;
    std::string path = dir.sub("missing/k.log");
    RunResult r = run_forked([&] {
        log_level.store(1);
        if (log_open(path.c_str()) != -1)
            _exit(3);
        if (log_open(nullptr) != 0)
            _exit(4);
        LOG_INFO("still here");
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.substr(0, path.size() + 28), path + ": No such file or directory\n");
    EXPECT_NE(r.err.find("INFO   still here\n"), std::string::npos);
}

TEST(Log, LongLinesAreWrittenWhole) {
    RunResult r = run_forked([] {
        log_level.store(1);
        LOG_WARN("%s", std::string(5000, 'y').c_str());
    });
    EXPECT_NE(r.err.find("WARN   " + std::string(5000, 'y') + "\n"), std::string::npos);
}

TEST(Log, CloseSilencesLaterLines) {
    TempDir dir;
    std::string path = dir.sub("k.log");
    RunResult r = run_forked([&] {
        log_level.store(1);
        log_open(path.c_str());
        LOG_INFO("before");
        log_close();
        // Descriptor 2 is free again: whatever takes it must not receive log lines.
        int fd = open(dir.sub("other").c_str(), O_CREAT | O_WRONLY, 0600);
        (void)fd;
        LOG_INFO("after");
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(read_file(path).find("before"), std::string::npos);
    EXPECT_EQ(read_file(path).find("after"), std::string::npos);
    EXPECT_EQ(read_file(dir.sub("other")), "");
}

TEST(Log, OutOfMemoryPrintsLineAndSizeThenAborts) {
    RunResult r = run_forked([] { xalloc_fail(42, 4096); });
    EXPECT_EQ(r.signal, SIGABRT);
    EXPECT_EQ(r.err, "42: Out of memory! [4096]");
}


// ---- the limiter ---------------------------------------------------------------------------

// The bodies of the lines, stamps stripped after checking their shape.
std::string bodies(const std::string &err) {
    std::regex line(std::string("(^|\n)") + kStamp + " ");
    return std::regex_replace(err, line, "$1");
}

// Moves the limiter's interval back by one interval: the next look finds it over.
void interval_passes(log_limiter *lim) {
    std::lock_guard<std::mutex> lk(lim->m);
    lim->since_ms -= lim->interval_ms;
}

// The same lines through limiters that let one line through, with each flag.
struct LimiterCase {
    const char *name;
    uint32_t flags;
    const char *expect;
};

class LogLimiterTest : public testing::TestWithParam<LimiterCase> {};

TEST_P(LogLimiterTest, FirstLinesThenSummariesWithTheCount) {
    const LimiterCase c = GetParam();
    RunResult r = run_forked([&] {
        log_level.store(2);
        log_limiter lim;
        log_limiter_init(&lim, "src", 1, 60000, c.flags);
        log_scope scope(&lim);
        LOG_WARN("one");
        LOG_ERROR("two");
        LOG_INFO("three");
        LOG_DEBUG("debug");
        LOG_FATAL("fatal");
        log_limiter_tick(&lim); // the interval is not over: nothing
        interval_passes(&lim);
        log_limiter_tick(&lim);
        LOG_WARN("four");
        interval_passes(&lim);
        log_limiter_tick(&lim);
        interval_passes(&lim);
        log_limiter_tick(&lim); // a quiet interval
        LOG_WARN("five");
        log_limiter_end(&lim);
    });
    EXPECT_EQ(bodies(r.err), c.expect) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, LogLimiterTest,
    testing::Values(
        LimiterCase{"plain", 0,
                    "WARN   one\nDEBUG  debug\nFATAL  fatal\n"
                    "WARN   src: 2 log lines suppressed in the last 60 s.\n"
                    "WARN   src: 1 log lines suppressed in the last 60 s.\n"
                    "WARN   src: 1 log lines suppressed in the last 1 s.\n"},
        LimiterCase{"errors", LOG_LIMIT_ERRORS,
                    "WARN   one\nINFO   three\nDEBUG  debug\nFATAL  fatal\n"
                    "WARN   src: 1 log lines suppressed in the last 60 s.\n"
                    "WARN   src: 1 log lines suppressed in the last 60 s.\n"
                    "WARN   src: 1 log lines suppressed in the last 1 s.\n"},
        LimiterCase{"renew", LOG_LIMIT_RENEW,
                    "WARN   one\nDEBUG  debug\nFATAL  fatal\n"
                    "WARN   src: 2 log lines suppressed in the last 60 s.\n"
                    "WARN   src: 1 log lines suppressed in the last 60 s.\n"
                    "WARN   five\n"}),
    [](const testing::TestParamInfo<LimiterCase> &i) { return std::string(i.param.name); });

// A scope holds only on the thread that made it; an inner scope (here without a limiter)
// gives the outer one back when it ends.
TEST(LogLimiter, ScopeHoldsOnItsThreadOnly) {
    RunResult r = run_forked([] {
        log_level.store(1);
        log_limiter lim;
        log_limiter_init(&lim, "src", 0, 60000, 0);
        {
            log_scope scope(&lim);
            LOG_WARN("held");
            std::thread([] { LOG_WARN("other thread"); }).join();
            {
                log_scope none(nullptr);
                LOG_WARN("inner");
            }
            LOG_WARN("held again");
        }
        LOG_WARN("after");
        log_limiter_end(&lim);
    });
    EXPECT_EQ(bodies(r.err), "WARN   other thread\nWARN   inner\nWARN   after\n"
                             "WARN   src: 2 log lines suppressed in the last 1 s.\n")
        << r.err;
}

// Threads sharing a limiter: exactly its first lines pass, every other one is counted.
TEST(LogLimiter, SharedByThreadsCountsEveryLine) {
    RunResult r = run_forked([] {
        log_level.store(1);
        log_limiter lim;
        log_limiter_init(&lim, "src", 10, 60000, 0);
        std::vector<std::thread> ts;
        for (int t = 0; t < 4; t++)
            ts.emplace_back([&lim] {
                log_scope scope(&lim);
                for (int i = 0; i < 100; i++)
                    LOG_ERROR("line");
            });
        for (auto &t : ts)
            t.join();
        log_limiter_end(&lim);
    });
    EXPECT_EQ(count_of(r.err, "ERROR  line\n"), 10u);
    EXPECT_EQ(count_of(r.err, "WARN   src: 390 log lines suppressed in the last "), 1u) << r.err;
}

} // namespace
