#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/agent_type.h"
#include "lib/format.h"
#include "lib/log.h"
#include "support/test_support.h"

namespace {

struct SizeCase {
    uint64_t n;
    double value;
    const char *long_unit;
    const char *short_unit;
};

TEST(Format, BytesPickTheLargestUnitExceeded) {
    const uint64_t K = 1024;
    // A boundary value stays in the smaller unit: exactly 1 KiB is 1024 B, 1 GiB is 1024 MB.
    const SizeCase cases[] = {
        {0, 0, "B", " "},
        {500, 500, "B", " "},
        {K, 1024, "B", " "},
        {K + 1, 1025.0 / 1024, "KB", "K"},
        {K * K, 1024, "KB", "K"},
        {K * K + 1, (K * K + 1) / 1048576.0, "MB", "M"},
        {3 * K * K * K, 3, "GB", "G"},
        {3 * K * K * K - 1, (3 * K * K * K - 1) / 1073741824.0, "GB", "G"},
        {K * K * K, 1024, "MB", "M"},
        {K * K * K * K, 1024, "GB", "G"},
        {5 * K * K * K * K, 5, "TB", "T"},
        {UINT64_MAX, UINT64_MAX / 1099511627776.0, "TB", "T"},
    };
    for (const auto &c : cases) {
        fmt_size l{}, s{};
        fmt_bytes(&l, c.n);
        fmt_bytes_ex(&s, c.n, 0);
        EXPECT_EQ(l.bytes, c.n);
        EXPECT_DOUBLE_EQ(l.value, c.value) << c.n;
        EXPECT_STREQ(l.unit, c.long_unit) << c.n;
        EXPECT_STREQ(s.unit, c.short_unit) << c.n;
        EXPECT_DOUBLE_EQ(s.value, c.value);
    }
}

TEST(Format, TimesUseLocalTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    char buf[32];
    fmt_time(buf, 86400 * 365 + 3661);
    EXPECT_STREQ(buf, "01/01/71 01:01:01");
    fmt_date(buf, 86400 * 365 + 3661);
    EXPECT_STREQ(buf, "01 Jan 1971 01:01:01");
}

TEST(Format, StrToU16AcceptsOnlyPlainDecimals) {
    const struct {
        const char *text;
        int result;
        uint16_t value;
        const char *error;
    } cases[] = {
        {"0", 0, 0, nullptr},
        {"65535", 0, 65535, nullptr},
        {"00080", 0, 80, nullptr},
        {"65536", -1, 0, "ERROR  Value 65536 out of range.\n"},
        {"99999999999999999999", -1, 0, "ERROR  Invalid range.\n"},
        {"123456789012345678901234567890", -1, 0, "ERROR  Invalid range.\n"},
        {"+1", -1, 0, "ERROR  Not a number: +1\n"},
        {"-1", -1, 0, "ERROR  Not a number: -1\n"},
        {" 1", -1, 0, "ERROR  Not a number:  1\n"},
        {"1a", -1, 0, "ERROR  Not a number: 1a\n"},
        {"", -1, 0, "ERROR  Not a number: \n"},
    };
    for (const auto &c : cases) {
        RunResult r = run_forked([&] {
            log_level.store(1);
            uint16_t v = 7;
            int rc = str_to_u16(c.text, &v);
            printf("%d %u", rc, v);
        });
        std::string want =
            std::to_string(c.result) + " " + std::to_string(c.result == 0 ? c.value : 7);
        EXPECT_EQ(r.out, want) << c.text;
        if (c.error) {
            ASSERT_GE(r.err.size(), 18u);
            EXPECT_EQ(r.err.substr(18), c.error) << c.text;
        } else {
            EXPECT_EQ(r.err, "") << c.text;
        }
    }
}

TEST(Format, DecimalPrefixOf32Bits) {
    const struct {
        const char *text;
        bool ok;
        uint32_t value;
        size_t used;
    } cases[] = {
        {"0", true, 0, 1},           {"19783.4", true, 19783, 5},
        {"007x", true, 7, 3},        {"4294967295", true, 4294967295u, 10},
        {"4294967296", false, 0, 0}, {"99999999999.1", false, 0, 0},
        {"", false, 0, 0},           {".5", false, 0, 0},
        {"-1", false, 0, 0},         {"+1", false, 0, 0},
        {" 1", false, 0, 0},
    };
    for (const auto &c : cases) {
        const char *p = c.text;
        uint32_t v = 77;
        EXPECT_EQ(parse_u32_prefix(&p, &v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 77u) << c.text;
        EXPECT_EQ(static_cast<size_t>(p - c.text), c.used) << c.text;
    }
}

// One rule for the names of agent directories: exactly 16 upper-case hexadecimal digits.
TEST(Format, AgentIdNames) {
    const struct {
        const char *text;
        bool ok;
        uint64_t id;
    } cases[] = {
        {"0000000000000001", true, 1},
        {"931D61A4415B8E96", true, 0x931D61A4415B8E96ull},
        {"FFFFFFFFFFFFFFFF", true, ~0ull},
        {"931d61a4415b8e96", false, 0},
        {"0000000000000001.old", false, 0},
        {"000000000000001", false, 0},
        {"00000000000000001", false, 0},
        {"ABCDEF12-copy", false, 0},
        {"+000000000000001", false, 0},
        {"0x00000000000001", false, 0},
        {"", false, 0},
    };
    for (const auto &c : cases) {
        uint64_t id = 5;
        EXPECT_EQ(parse_agent_id(c.text, &id), c.ok) << c.text;
        EXPECT_EQ(id, c.ok ? c.id : 5u) << c.text;
    }
}

TEST(Format, PathStripSlashes) {
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"env///", "env"}, {"env", "env"}, {"a/", nullptr}, {"/", nullptr},
        {"a", nullptr},    {"", nullptr},  {"ab/", "ab"},   {"/a/b//", "/a/b"},
    };
    for (const auto &c : cases) {
        char *p = path_strip_slashes(c.in);
        if (c.out == nullptr) {
            EXPECT_EQ(p, nullptr) << c.in;
        } else {
            ASSERT_NE(p, nullptr) << c.in;
            EXPECT_STREQ(p, c.out);
        }
        free(p);
    }
}

TEST(Format, LogTextEscapesControlBytesAndStaysShort) {
    const std::string at_most(FMT_LOG_TEXT_MAX, 'k');
    const struct {
        std::string in, out;
    } cases[] = {
        {"cpu\x1F"
         "load",
         "cpu\x1F"
         "load"}, // the key part separator stays as it is
        {"a\nb\x01\x7F\x1B[31m", "a\\x0Ab\\x01\\x7F\\x1B[31m"},
        {std::string("z\0y", 3), "z\\x00y"},
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
        {at_most, at_most},
        {at_most + "k", std::string(FMT_LOG_TEXT_MAX - 3, 'k') + "..."},
        // An escape is never cut in two.
        {std::string(250, 'k') + "\x01\x02", std::string(250, 'k') + "..."},
        {std::string(200, '\x05'),
         [] {
             std::string s;
             for (int i = 0; i < 63; i++)
                 s += "\\x05";
             return s + "...";
         }()},
    };
    for (const auto &c : cases) {
        const std::string got = fmt_log_text(c.in.data(), c.in.size());
        EXPECT_EQ(got, c.out) << c.in.substr(0, 20);
        EXPECT_LE(got.size(), FMT_LOG_TEXT_MAX);
    }
}

TEST(Format, Utf8Length) {
    EXPECT_EQ(utf8_strlen("\xc3\xa9\xc3\xa8x"), 3u);
    EXPECT_EQ(utf8_strlen(""), 0u);
    EXPECT_EQ(utf8_strlen("\xe2\x82\xac\xf0\x9f\x98\x80"), 2u);
}

TEST(Format, PrintableTextStopsAtTheFieldAndMasksControlBytes) {
    const struct {
        std::string text;
        size_t max;
        const char *shown;
    } cases[] = {
        {"plain", 63, "plain"},
        {"cut here", 3, "cut"},
        {std::string("a\0b", 3), 63, "a"},
        {"\033[2Jtab\there\x7f", 63, "?[2Jtab?here?"},
        {"\xc3\xa9t\xc3\xa9", 63, "\xc3\xa9t\xc3\xa9"}, // UTF-8 bytes stay as they are
        {"", 63, ""},
    };
    for (const auto &c : cases) {
        char out[64];
        EXPECT_EQ(str_printable(out, c.text.c_str(), c.max), strlen(c.shown)) << c.text;
        EXPECT_STREQ(out, c.shown) << c.text;
    }
    // A full field without a terminator: nothing past its end is read.
    char field[4] = {'a', 'b', 'c', 'd'};
    char out[5];
    EXPECT_EQ(str_printable(out, field, sizeof field), 4u);
    EXPECT_STREQ(out, "abcd");
}

// A test build reads its test-only settings from the environment; a value outside 1..65535
// or not a plain decimal leaves the default.
TEST(Format, TestBuildReadsTestSettings) {
    const char *name = KRV_TEST_HOOK("FORMAT_PROBE_MS");
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "KRV_TEST_FORMAT_PROBE_MS");
    struct Case {
        const char *value;
        uint32_t want;
    };
    const Case cases[] = {
        {nullptr, 77}, {"250", 250}, {"65535", 65535}, {"0", 77},
        {"65536", 77}, {"12ms", 77}, {"", 77},       {"-5", 77},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value != nullptr ? c.value : "(unset)");
        if (c.value != nullptr)
            setenv(name, c.value, 1);
        else
            unsetenv(name);
        EXPECT_EQ(test_setting_ms(name, 77), c.want);
    }
    unsetenv(name);
    EXPECT_EQ(test_setting_ms(nullptr, 9), 9u);
}

TEST(AgentType, NamesAndOptionWords) {
    EXPECT_STREQ(agent_type_name(2), "JVM");
    EXPECT_STREQ(agent_type_name(3), "FCA");
    EXPECT_STREQ(agent_type_name(1), "---");
    EXPECT_STREQ(agent_type_name(0), "---");
    EXPECT_EQ(agent_type_parse("java"), 2);
    EXPECT_EQ(agent_type_parse("free"), 3);
    EXPECT_EQ(agent_type_parse("Java"), 1);
    EXPECT_EQ(agent_type_parse(nullptr), 1);
    EXPECT_EQ(agent_type_parse("any"), 1);
}

TEST(AgentType, LabelComparisonStopsAtTheLabelsEnd) {
    // Full 63-byte labels have no terminator; the id behind them must not decide the order.
    agent_entry a{}, b{};
    memset(a.identity.label, 'q', sizeof a.identity.label);
    memset(b.identity.label, 'q', sizeof b.identity.label);
    a.id = 1;
    b.id = 2;
    EXPECT_EQ(agent_entry_cmp_name(&a, &b), 0);
    b.identity.label[62] = 'r';
    EXPECT_LT(agent_entry_cmp_name(&a, &b), 0);
    agent_entry c{}, d{};
    strcpy(c.identity.label, "beta");
    strcpy(d.identity.label, "alpha");
    EXPECT_GT(agent_entry_cmp_name(&c, &d), 0);
}

} // namespace
