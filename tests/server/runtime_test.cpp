#include <gtest/gtest.h>

#include <regex>

#include "server/runtime.h"
#include "support/test_support.h"

namespace {

TEST(Version, BlockBytesAndClosingLineOnStandardOutput) {
    ASSERT_TRUE(std::regex_match(krv_build_rev, std::regex("[0-9a-f]{7}")));
    ASSERT_TRUE(std::regex_match(krv_release_date, std::regex("[A-Z][a-z]{2} \\d\\d, \\d{4}")));
    const std::string block = std::string("\n\tVersion:     3.0.6\n") + "\tBuild:       3.0.6 (" +
                              krv_build_rev + ")\n" + "\tReleased on: " + krv_release_date + "\n";
    const std::string closing =
        "\033[94m  *******************************************************   \n\n\033[0m";

    RunResult on_out = run_forked([] { print_version(stdout); });
    EXPECT_EQ(on_out.out, block + closing);
    EXPECT_EQ(on_out.err, "");

    RunResult on_err = run_forked([] { print_version(stderr); });
    EXPECT_EQ(on_err.err, block);
    EXPECT_EQ(on_err.out, closing);
}

TEST(Version, BannerIsNineFramedBlueLines) {
    RunResult r = run_forked([] { print_banner(); });
    std::istringstream lines(r.out);
    int n = 0;
    for (std::string l; std::getline(lines, l); n++) {
        ASSERT_EQ(l.rfind("\033[94m", 0), 0u) << l;
        ASSERT_EQ(l.size(), 5 + 57 + 4u) << l;
        std::string body = l.substr(5, 57);
        EXPECT_EQ(body.substr(0, 3), n == 0 ? "  *" : "  *");
        EXPECT_EQ(body.back(), '*');
        EXPECT_EQ(l.substr(62), "\033[0m");
    }
    EXPECT_EQ(n, 9);
}

TEST(Runtime, StartsZeroed) {
    EXPECT_EQ(runtime.mode, 0u);
    EXPECT_EQ(runtime.home, nullptr);
    EXPECT_EQ(runtime.roles.n, 0u) << "no role, so no role's storage";
    EXPECT_EQ(running.load(), 0);
}

} // namespace
