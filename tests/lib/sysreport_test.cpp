#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "lib/log.h"
#include "lib/sysreport.h"
#include "log_capture.h"
#include "support/test_support.h"

namespace {

sys_resources fixed_record() {
    sys_resources res;
    memset(&res, 0, sizeof res);
    res.cache_line = 64;
    res.total_pages = 4194304;
    res.page_size = 4096;
    res.cpus = 8;
    res.open_max = 1024;
    res.stack_soft = 8388608;
    res.files_soft = 1024;
    res.children_max = 63336;
    res.fsize_soft = SYS_NO_VALUE;
    strcpy(res.uts.sysname, "Linux");
    strcpy(res.uts.machine, "x86_64");
    strcpy(res.uts.release, "6.1.0");
    strcpy(res.uts.version, "#1 SMP");
    return res;
}

TEST(SysReport, PrintsTheFixedLinesInOrder) {
    sys_resources res = fixed_record();
    Logged r = run_logged([&] { sys_resources_print(&res); });
    EXPECT_EQ(r.lines, "INFO   --- System resources report ---\n"
                       "INFO   : System                    : Linux\n"
                       "INFO   : System mach.              : x86_64\n"
                       "INFO   : System rel.               : 6.1.0\n"
                       "INFO   : System ver.               : #1 SMP\n"
                       "INFO   : Endianness                : LE\n"
                       "INFO   : Cache line size           : 64\n"
                       "INFO   : Total pages               : 4194304\n"
                       "INFO   : Page size                 : 4096\n"
                       "INFO   : Memory installed          : 16.00 GB\n"
                       "INFO   : CPUs avail.               : 8\n"
                       "INFO   : Max. open files           : 1024\n"
                       "INFO   : Stack size                : 8388608\n"
                       "INFO   : FD max value              : 1024\n"
                       "INFO   : Max. children             : 63336\n"
                       "INFO   : Max. file size            : unlimited\n"
                       "INFO   --- System resources report ---\n");
}

TEST(SysReport, MissingValuesPrintAsLargestNumberOrUnlimited) {
    sys_resources res = fixed_record();
    res.big_endian = 1;
    res.cache_line = SYS_NO_VALUE;
    res.page_size = SYS_NO_VALUE;
    res.open_max = SYS_NO_VALUE;
    res.stack_soft = SYS_NO_VALUE;
    res.files_soft = SYS_NO_VALUE;
    res.children_max = SYS_NO_VALUE;
    Logged r = run_logged([&] { sys_resources_print(&res); });
    std::string out = r.lines;
    const char *const lines[] = {
        "INFO   : Endianness                : BE\n",
        "INFO   : Cache line size           : 18446744073709551615\n",
        "INFO   : Page size                 : 18446744073709551615\n",
        "INFO   : Memory installed          : 16777216.00 TB\n",
        "INFO   : Max. open files           : unlimited\n",
        "INFO   : Stack size                : unlimited\n",
        "INFO   : FD max value              : 18446744073709551615\n",
        "INFO   : Max. children             : 18446744073709551615\n",
    };
    for (const char *line : lines)
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
}

TEST(SysReport, GatheredValuesComeFromTheSystem) {
    sys_resources res;
    sys_resources_gather(&res);
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    EXPECT_EQ(res.files_soft, rl.rlim_cur);
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &rl), 0);
    EXPECT_EQ(res.stack_soft, rl.rlim_cur);
    EXPECT_EQ(res.page_size, static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_GE(res.cpus, 1u);
    EXPECT_EQ(res.big_endian, 0); // x86-64
    EXPECT_STREQ(res.uts.sysname, "Linux");
}

TEST(SysReport, RealReportHasItsShapeAtLevelOneAndNothingAtZero) {
    RunResult quiet = run_forked([] {
        log_level.store(0);
        sys_report_resources();
    });
    EXPECT_EQ(quiet.err, "");
    Logged r = run_logged([] { sys_report_resources(); });
    const std::string num = R"(\d+)";
    const std::string limit = R"((\d+|unlimited))";
    const std::string text = ".*";
    const struct {
        const char *key;
        std::string value;
    } rows[] = {
        {"System", text},
        {"System mach.", text},
        {"System rel.", text},
        {"System ver.", text},
        {"Endianness", "LE"},
        {"Cache line size", num},
        {"Total pages", num},
        {"Page size", num},
        {"Memory installed", R"(\d+\.\d\d (B|KB|MB|GB|TB))"},
        {"CPUs avail.", num},
        {"Max. open files", limit},
        {"Stack size", limit},
        {"FD max value", num},
        {"Max. children", num},
        {"Max. file size", limit},
    };
    std::string pattern = "INFO   --- System resources report ---\n";
    for (const auto &row : rows) {
        char key[32];
        snprintf(key, sizeof key, "%-25s", row.key);
        pattern += "INFO   : " + std::regex_replace(key, std::regex(R"(\.)"), "\\.") + " : " +
                   row.value + "\n";
    }
    pattern += "INFO   --- System resources report ---\n";
    EXPECT_TRUE(std::regex_match(r.lines, std::regex(pattern))) << r.lines;
}

} // namespace
