#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "lib/log.h"
#include "lib/netaddr.h"
#include "support/test_support.h"

namespace {

std::string hex(const void *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        uint8_t b = static_cast<const uint8_t *>(p)[i];
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string hex(const nurl &nu) {
    return hex(&nu, sizeof nu);
}

// Standard error of a child with each line's time stamp (17 characters and a space) removed.
std::string strip_stamps(const std::string &err) {
    std::string out;
    size_t pos = 0;
    while (pos < err.size()) {
        size_t end = err.find('\n', pos);
        end = end == std::string::npos ? err.size() : end + 1;
        if (end - pos > 18)
            out += err.substr(pos + 18, end - pos - 18);
        pos = end;
    }
    return out;
}

// Runs `fn` in a child at `level` and returns its log lines without stamps; `fn` reports its
// results on standard output, returned through `out`.
std::string logged(uint32_t level, const std::function<void()> &fn, std::string *out = nullptr) {
    RunResult r = run_forked([&] {
        log_level.store(level);
        fn();
    });
    EXPECT_EQ(r.exit_code, 0);
    if (out != nullptr)
        *out = r.out;
    return strip_stamps(r.err);
}

nurl v4(uint16_t port, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return nurl{AF_INET, port, {a, b, c, d}};
}

nurl v6(uint16_t port, std::initializer_list<uint8_t> bytes) {
    nurl nu{AF_INET6, port, {}};
    std::copy(bytes.begin(), bytes.end(), nu.addr);
    return nu;
}

nurl v6_loopback(uint16_t port) {
    return v6(port, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
}

sockaddr_in sin4(const char *host, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET, host, &sa.sin_addr), 1);
    return sa;
}

sockaddr_in6 sin6(const char *host, uint16_t port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET6, host, &sa.sin6_addr), 1);
    return sa;
}

const sockaddr *as_sa(const void *p) {
    return static_cast<const sockaddr *>(p);
}

struct UrlCase {
    std::string text;
    int rc;
    nurl want;       // all zero for a failure
    std::string log; // log lines at level 1, stamps removed
};

TEST(UrlToNurl, ParsesValidTextsAndRefusesTheRest) {
    const std::string max_v6_host = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"; // 45
    const std::string host46(46, 'a'), host47(47, 'a');
    const std::string text63 = "1.1.1.1:" + std::string(55, '0');
    const std::string text64 = "1.1.1.1:" + std::string(56, '0');
    const std::vector<UrlCase> cases = {
        {"10.0.0.1:8080", 0, v4(8080, 10, 0, 0, 1), ""},
        {"*:9000", 0, v4(9000, 0, 0, 0, 0), ""},
        {"127.0.0.1:0", 0, v4(0, 127, 0, 0, 1), ""},
        {"255.255.255.255:65535", 0, v4(65535, 255, 255, 255, 255), ""},
        {text63, 0, v4(0, 1, 1, 1, 1), ""},
        {text64, -1, {}, "ERROR  Address too long: " + text64 + ".\n"},
        {"127.0.0.1:65536",
         -1,
         {},
         "ERROR  Value 65536 out of range.\nERROR  Invalid port: 65536.\n"},
        {"10.0.0.1:70000",
         -1,
         {},
         "ERROR  Value 70000 out of range.\nERROR  Invalid port: 70000.\n"},
        {"10.0.0.1", -1, {}, "ERROR  Incorrect address: 10.0.0.1.\n"},
        {"", -1, {}, "ERROR  Incorrect address: .\n"},
        {"10.0.0.1:", -1, {}, "ERROR  Not a number: \nERROR  Invalid port: .\n"},
        {"10.0.0.1:8x", -1, {}, "ERROR  Not a number: 8x\nERROR  Invalid port: 8x.\n"},
        {"10.0.0.1:-1", -1, {}, "ERROR  Not a number: -1\nERROR  Invalid port: -1.\n"},
        {":80", -1, {}, "ERROR  Host [] unparseable.\n"},
        {"localhost:80", -1, {}, "ERROR  Host [localhost] unparseable.\n"},
        {"10.0.0.256:80", -1, {}, "ERROR  Host [10.0.0.256] unparseable.\n"},
        {"::1:80", -1, {}, "ERROR  Host [::1] unparseable.\n"},
        {"[::1]:9000", 0, v6_loopback(9000), ""},
        {"[*]:9000", 0, v6(9000, {}), ""},
        {"[::]:0", 0, v6(0, {}), ""},
        {"[2001:db8::8:800:200c:417a]:443", 0,
         v6(443, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0x08, 0x08, 0, 0x20, 0x0c, 0x41, 0x7a}),
         ""},
        {"[::ffff:10.0.0.1]:65535", 0,
         v6(65535, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1}), ""},
        {"[" + max_v6_host + "]:1", 0,
         v6(1, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                0xff, 0xff}),
         ""},
        {"[" + host46 + "]:1", -1, {}, "ERROR  Host [" + host46 + "] unparseable.\n"},
        {"[" + host47 + "]:1", -1, {}, "ERROR  Incorrect address: " + host47 + "]:1.\n"},
        {"[::1]", -1, {}, "ERROR  Incorrect address: ::1].\n"},
        {"[::1]x80", -1, {}, "ERROR  Incorrect address: ::1]x80.\n"},
        {"[::1]:80]", -1, {}, "ERROR  Incorrect address: ::1]:80].\n"},
        {"[::1", -1, {}, "ERROR  Incorrect address: ::1.\n"},
        {"[", -1, {}, "ERROR  Incorrect address: .\n"},
        {"[::1]:", -1, {}, "ERROR  Not a number: \nERROR  Invalid port: .\n"},
        {"[::1]:65536", -1, {}, "ERROR  Value 65536 out of range.\nERROR  Invalid port: 65536.\n"},
        {"[10.0.0.1]:80", -1, {}, "ERROR  Host [10.0.0.1] unparseable.\n"},
        {"[]:80", -1, {}, "ERROR  Host [] unparseable.\n"},
        {"[fe80::1%eth0]:80", -1, {}, "ERROR  Host [fe80::1%eth0] unparseable.\n"},
    };
    for (const auto &c : cases) {
        std::string out;
        std::string log = logged(
            1,
            [&] {
                nurl nu;
                memset(&nu, 0xAB, sizeof nu); // stale bytes must not survive
                int rc = url_to_nurl(c.text.c_str(), &nu);
                printf("%d %s", rc, hex(nu).c_str());
            },
            &out);
        EXPECT_EQ(out, std::to_string(c.rc) + " " + hex(c.want)) << c.text;
        EXPECT_EQ(log, c.log) << c.text;
    }
}

TEST(UrlToNurl, TracesItsStepsAtDebugLevel) {
    const struct {
        const char *text;
        const char *log;
    } cases[] = {
        {"10.0.0.1:8080",
         "DEBUG  Parsing IPv4 URL 10.0.0.1:8080\nDEBUG  IPv4 URL decomposed into: 10.0.0.1 8080\n"},
        {"[::1]:9000",
         "DEBUG  Parsing IPv6 URL [::1]:9000\nDEBUG  IPv6 URL decomposed into: ::1 9000\n"},
        {"[::1]", "DEBUG  Parsing IPv6 URL [::1]\nERROR  Incorrect address: ::1].\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(logged(2,
                         [&] {
                             nurl nu;
                             url_to_nurl(c.text, &nu);
                         }),
                  c.log);
    }
}

TEST(NurlBytes, MemoryIsHostOrderAndWireIsBigEndian) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "fixed memory bytes assume x86-64");
    const struct {
        const char *text;
        const char *memory;
        const char *wire;
    } cases[] = {
        {"10.0.0.1:8080", "0200901f0a000001000000000000000000000000",
         "00021f900a000001000000000000000000000000"},
        {"[2001:db8::1]:443", "0a00bb0120010db8000000000000000000000001",
         "000a01bb20010db8000000000000000000000001"},
    };
    for (const auto &c : cases) {
        nurl nu;
        ASSERT_EQ(url_to_nurl(c.text, &nu), 0) << c.text;
        EXPECT_EQ(hex(nu), c.memory) << c.text;
        uint8_t wire[NURL_SIZE];
        nurl_to_wire(&nu, wire);
        EXPECT_EQ(hex(wire, sizeof wire), c.wire) << c.text;
        nurl back;
        memset(&back, 0xAB, sizeof back);
        nurl_from_wire(wire, &back);
        EXPECT_EQ(nurl_cmp(&back, &nu), 0) << c.text;
    }
}

TEST(NurlBytes, WireBytesWrittenByHandDecode) {
    const uint8_t wire[NURL_SIZE] = {0x00, 0x0a, 0x23, 0x28, 0, 0, 0, 0, 0, 0,
                                     0,    0,    0,    0,    0, 0, 0, 0, 0, 1};
    nurl nu;
    nurl_from_wire(wire, &nu);
    EXPECT_EQ(nu.family, AF_INET6);
    EXPECT_EQ(nu.port, 9000);
    char text[NET_TEXT_SIZE];
    nurl_to_url(&nu, text);
    EXPECT_STREQ(text, "[::1]:9000");
}

TEST(NurlToUrl, TextRoundTrips) {
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"10.0.0.1:8080", "10.0.0.1:8080"},
        {"127.0.0.1:0", "127.0.0.1:0"},
        {"255.255.255.255:65535", "255.255.255.255:65535"},
        {"*:9000", "0.0.0.0:9000"},
        {"[::1]:9000", "[::1]:9000"},
        {"[*]:1", "[::]:1"},
        {"[2001:db8::8:800:200c:417a]:443", "[2001:db8::8:800:200c:417a]:443"},
        {"[::FFFF:10.0.0.1]:65535", "[::ffff:10.0.0.1]:65535"},
        {"10.0.0.1:00080", "10.0.0.1:80"},
    };
    for (const auto &c : cases) {
        nurl nu;
        ASSERT_EQ(url_to_nurl(c.in, &nu), 0) << c.in;
        char text[NET_TEXT_SIZE];
        memset(text, 'x', sizeof text);
        nurl_to_url(&nu, text);
        EXPECT_STREQ(text, c.out);
        nurl again;
        ASSERT_EQ(url_to_nurl(text, &again), 0) << text;
        EXPECT_EQ(nurl_cmp(&nu, &again), 0) << c.in;
    }
}

TEST(NurlToUrl, UnknownFamilyGivesAnEmptyText) {
    std::string out;
    std::string log = logged(
        1,
        [] {
            nurl nu{};
            char text[NET_TEXT_SIZE];
            memset(text, 'x', sizeof text);
            nurl_to_url(&nu, text);
            printf("[%s]", text);
        },
        &out);
    EXPECT_EQ(out, "[]");
    EXPECT_EQ(log, "ERROR  Unsupported family: 0\n");
}

TEST(SockaddrToNurl, EncodesAndDecodesBack) {
    sockaddr_in a4 = sin4("192.168.1.20", 8080);
    sockaddr_in6 a6 = sin6("2001:db8::2", 65535);
    nurl nu;
    memset(&nu, 0xFF, sizeof nu);
    ASSERT_EQ(sockaddr_to_nurl(as_sa(&a4), &nu), 0);
    EXPECT_EQ(hex(nu), hex(v4(8080, 192, 168, 1, 20)));

    // Back to a socket address from the record's fields.
    sockaddr_in b4{};
    b4.sin_family = nu.family;
    b4.sin_port = htons(nu.port);
    memcpy(&b4.sin_addr, nu.addr, 4);
    EXPECT_EQ(hex(&b4, sizeof b4), hex(&a4, sizeof a4));

    ASSERT_EQ(sockaddr_to_nurl(as_sa(&a6), &nu), 0);
    sockaddr_in6 b6{};
    b6.sin6_family = nu.family;
    b6.sin6_port = htons(nu.port);
    memcpy(&b6.sin6_addr, nu.addr, 16);
    EXPECT_EQ(hex(&b6, sizeof b6), hex(&a6, sizeof a6));
}

TEST(SockaddrToNurl, RefusesOtherFamiliesAndLeavesZero) {
    std::string out;
    std::string log = logged(
        1,
        [] {
            sockaddr_un un{};
            un.sun_family = AF_UNIX;
            nurl nu;
            memset(&nu, 0xAB, sizeof nu);
            int rc = sockaddr_to_nurl(as_sa(&un), &nu);
            printf("%d %s", rc, hex(nu).c_str());
        },
        &out);
    EXPECT_EQ(out, "-1 " + hex(nurl{}));
    EXPECT_EQ(log, "ERROR  Encode error. Unsupported family protocol: 1.\n");
}

TEST(SockaddrToNurl, BoundLoopbackSocketsGiveTheSameTextBothWays) {
    const struct {
        int family;
        const char *host;
        const char *plain_prefix;
        const char *url_prefix;
    } cases[] = {
        {AF_INET, "127.0.0.1", "127.0.0.1:", "127.0.0.1:"},
        {AF_INET6, "::1", "::1:", "[::1]:"},
    };
    for (const auto &c : cases) {
        sockaddr_storage ss{};
        ASSERT_EQ(sockaddr_from_host(c.host, &ss), 0);
        int fd = socket(c.family, SOCK_STREAM, 0);
        socklen_t len = c.family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
            if (fd >= 0)
                close(fd);
            continue; // no IPv6 loopback on this machine
        }
        sockaddr_storage bound{};
        socklen_t blen = sizeof bound;
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &blen), 0);
        close(fd);
        const sockaddr *sa = reinterpret_cast<const sockaddr *>(&bound);
        // sin_port and sin6_port sit at the same offset.
        std::string port = std::to_string(ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port));

        char plain[NET_TEXT_SIZE];
        ASSERT_EQ(sockaddr_to_str(sa, plain), 0);
        EXPECT_EQ(std::string(plain), c.plain_prefix + port);
        nurl nu;
        ASSERT_EQ(sockaddr_to_nurl(sa, &nu), 0);
        char url[NET_TEXT_SIZE];
        nurl_to_url(&nu, url);
        EXPECT_EQ(std::string(url), c.url_prefix + port);
        nurl parsed;
        ASSERT_EQ(url_to_nurl(url, &parsed), 0);
        EXPECT_EQ(nurl_cmp(&parsed, &nu), 0);
    }
}

TEST(SockaddrToStr, TextsOfEachFamily) {
    sockaddr_in a4 = sin4("10.0.0.1", 8080);
    sockaddr_in6 a6 = sin6("::1", 9000);
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    strcpy(un.sun_path, "var/korvane.sock");
    sockaddr_un full{}; // a path filling sun_path without a terminator is cut to 57
    full.sun_family = AF_UNIX;
    memset(full.sun_path, 'p', sizeof full.sun_path);
    const struct {
        const sockaddr *sa;
        std::string text;
    } cases[] = {
        {as_sa(&a4), "10.0.0.1:8080"},
        {as_sa(&a6), "::1:9000"},
        {as_sa(&un), "var/korvane.sock"},
        {as_sa(&full), std::string(NET_TEXT_SIZE - 1, 'p')},
    };
    for (const auto &c : cases) {
        char text[NET_TEXT_SIZE];
        EXPECT_EQ(sockaddr_to_str(c.sa, text), 0);
        EXPECT_EQ(std::string(text), c.text);
        netaddr na = netaddr_from_sockaddr(c.sa);
        EXPECT_EQ(std::string(na.text), c.text);
    }
    netaddr na = netaddr_from_sockaddr(as_sa(&a6));
    EXPECT_EQ(memcmp(&na.address, &a6, sizeof a6), 0);
}

TEST(SockaddrToStr, OtherFamilyIsRefused) {
    std::string out;
    std::string log = logged(
        1,
        [] {
            sockaddr_storage ss;
            memset(&ss, 0x5A, sizeof ss);
            ss.ss_family = AF_PACKET;
            char text[NET_TEXT_SIZE] = "stale";
            int rc = sockaddr_to_str(reinterpret_cast<sockaddr *>(&ss), text);
            netaddr na = netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&ss));
            sockaddr_storage only_family{};
            only_family.ss_family = AF_PACKET;
            printf("%d [%s] [%s] %d", rc, text, na.text,
                   memcmp(&na.address, &only_family, sizeof only_family));
        },
        &out);
    EXPECT_EQ(out, "-1 [] [] 0");
    EXPECT_EQ(log, "ERROR  Unsupported family: 17\nERROR  Unsupported family: 17\n");
}

TEST(SockaddrFromHost, NumericLiteralsOnly) {
    const struct {
        const char *host;
        int rc;
        int family;
        const char *text; // address text of the result, port 0
    } cases[] = {
        {"*", 0, AF_INET, "0.0.0.0:0"}, {"10.0.0.1", 0, AF_INET, "10.0.0.1:0"},
        {"::1", 0, AF_INET6, "::1:0"},  {"::ffff:10.0.0.1", 0, AF_INET6, "::ffff:10.0.0.1:0"},
        {"localhost", -1, 0, nullptr},  {"10.0.0.1:80", -1, 0, nullptr},
        {"[::1]", -1, 0, nullptr},      {"", -1, 0, nullptr},
        {"**", -1, 0, nullptr},
    };
    for (const auto &c : cases) {
        std::string out;
        std::string log = logged(
            3,
            [&] {
                sockaddr_storage ss;
                memset(&ss, 0xAB, sizeof ss);
                sockaddr_storage before = ss;
                int rc = sockaddr_from_host(c.host, &ss);
                char text[NET_TEXT_SIZE] = "";
                if (rc == 0)
                    sockaddr_to_str(reinterpret_cast<sockaddr *>(&ss), text);
                bool untouched = memcmp(&ss, &before, sizeof ss) == 0;
                printf("%d %d %s %d", rc, rc == 0 ? ss.ss_family : 0, text, untouched);
            },
            &out);
        std::string want = std::to_string(c.rc) + " " + std::to_string(c.family) + " " +
                           (c.text ? c.text : "") + " " + (c.rc == 0 ? "0" : "1");
        EXPECT_EQ(out, want) << c.host;
        EXPECT_EQ(log, "") << c.host;
    }
}

TEST(SockaddrFromHost, ClearsStaleBytes) {
    sockaddr_storage ss;
    memset(&ss, 0xAB, sizeof ss);
    ASSERT_EQ(sockaddr_from_host("::1", &ss), 0);
    sockaddr_in6 want = sin6("::1", 0);
    EXPECT_EQ(hex(&ss, sizeof want), hex(&want, sizeof want));
}

TEST(SockaddrIsAny, OnlyTheUnspecifiedAddressOfEachFamily) {
    const struct {
        const char *host;
        bool any;
    } cases[] = {{"*", true},          {"0.0.0.0", true}, {"::", true},
                 {"127.0.0.1", false}, {"::1", false},    {"10.0.0.5", false}};
    for (const auto &c : cases) {
        sockaddr_storage ss{};
        ASSERT_EQ(sockaddr_from_host(c.host, &ss), 0) << c.host;
        EXPECT_EQ(sockaddr_is_any(&ss), c.any) << c.host;
    }
    sockaddr_storage unix_path{};
    unix_path.ss_family = AF_UNIX;
    EXPECT_FALSE(sockaddr_is_any(&unix_path));
}

TEST(NurlCompare, EmptyAndEqual) {
    nurl empty{};
    EXPECT_TRUE(nurl_is_empty(&empty));
    nurl tail = empty; // only bytes past the first four of the address are set
    tail.addr[15] = 1;
    EXPECT_TRUE(nurl_is_empty(&tail));
    const nurl not_empty[] = {v4(1, 0, 0, 0, 0), v4(0, 0, 0, 0, 1), nurl{AF_INET, 0, {}},
                              nurl{0, 0, {0, 0, 0, 9}}};
    for (const auto &nu : not_empty)
        EXPECT_FALSE(nurl_is_empty(&nu)) << hex(nu);

    nurl a = v6_loopback(9000), b = v6_loopback(9000);
    EXPECT_EQ(nurl_cmp(&a, &b), 0);
    b.addr[4] = 7; // differs only past the first four address bytes
    EXPECT_NE(nurl_cmp(&a, &b), 0);
    b = a;
    b.port = 9001;
    EXPECT_NE(nurl_cmp(&a, &b), 0);
    b = a;
    b.family = AF_INET;
    EXPECT_NE(nurl_cmp(&a, &b), 0);
}

// An interface list built by hand, in the shape getifaddrs returns.
struct FakeInterfaces {
    std::vector<std::optional<sockaddr_storage>> addrs; // nullopt: an interface without one
    std::vector<ifaddrs> entries;

    template <class T> void add(const T &sa) {
        sockaddr_storage ss{};
        memcpy(&ss, &sa, sizeof sa);
        addrs.push_back(ss);
    }
    void add_family(int family) {
        sockaddr_storage ss{};
        ss.ss_family = static_cast<sa_family_t>(family);
        addrs.push_back(ss);
    }
    const ifaddrs *head() {
        static char name[] = "if";
        entries.assign(addrs.size(), ifaddrs{});
        for (size_t i = 0; i < entries.size(); i++) {
            entries[i].ifa_name = name;
            entries[i].ifa_next = i + 1 < entries.size() ? &entries[i + 1] : nullptr;
            if (addrs[i])
                entries[i].ifa_addr = reinterpret_cast<sockaddr *>(&*addrs[i]);
        }
        return entries.empty() ? nullptr : entries.data();
    }
};

std::vector<std::string> take_list(char **list) {
    std::vector<std::string> v;
    for (char **p = list; *p != nullptr; p++)
        v.emplace_back(*p);
    net_free_ip_list(list);
    return v;
}

TEST(NetGetallIp, ListsTheAddressesOfOneFamilyInOrder) {
    FakeInterfaces fake;
    fake.add(sin4("127.0.0.1", 0));
    fake.add_family(AF_PACKET);
    fake.add(sin6("::1", 0));
    fake.addrs.push_back(std::nullopt);
    fake.add(sin4("10.1.2.3", 0));
    fake.add(sin6("2001:db8::1", 0));
    fake.add(sin6("fe80::1", 0));
    const ifaddrs *head = fake.head();

    char **list = nullptr;
    ASSERT_EQ(net_getall_ip_from(head, &list, AF_INET), 0);
    EXPECT_EQ(take_list(list), (std::vector<std::string>{"127.0.0.1", "10.1.2.3"}));
    ASSERT_EQ(net_getall_ip_from(head, &list, AF_INET6), 0);
    EXPECT_EQ(take_list(list), (std::vector<std::string>{"::1", "2001:db8::1", "fe80::1"}));
    ASSERT_EQ(net_getall_ip_from(nullptr, &list, AF_INET), 0);
    EXPECT_TRUE(take_list(list).empty());
}

TEST(NetGetallIp, RefusesOtherFamilies) {
    std::string out;
    std::string log = logged(
        1,
        [] {
            char **list = nullptr;
            int a = net_getall_ip(&list, AF_UNIX);
            int b = net_getall_ip_from(nullptr, &list, AF_PACKET);
            printf("%d %d %d", a, b, list == nullptr);
        },
        &out);
    EXPECT_EQ(out, "-1 -1 1");
    EXPECT_EQ(log,
              "ERROR  Unsupported address family: 1.\nERROR  Unsupported address family: 17.\n");
}

TEST(NetGetallIp, ThisHostsAddressesAreNumeric) {
    const int families[] = {AF_INET, AF_INET6};
    for (int family : families) {
        char **list = nullptr;
        ASSERT_EQ(net_getall_ip(&list, family), 0);
        for (const std::string &text : take_list(list)) {
            std::string host = text.substr(0, text.find('%')); // link-local scope suffix
            uint8_t buf[16];
            EXPECT_EQ(inet_pton(family, host.c_str(), buf), 1) << text;
        }
    }
}

} // namespace
