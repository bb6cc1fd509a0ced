#include "lib/netaddr.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <vector>

#include "lib/be_load.h"
#include "lib/format.h"
#include "lib/log.h"
#include "lib/xalloc.h"

// Longest "host:port" text accepted, and longest host between IPv6 brackets.
static constexpr size_t URL_MAX_LEN = 63;
static constexpr size_t URL6_HOST_MAX_LEN = 46;

// Socket addresses arrive as `const sockaddr *`; copying out the family's own record avoids
// reading through a pointer of the wrong type or alignment.
template <class T> static T sockaddr_as(const sockaddr *sa) {
    T v;
    memcpy(&v, sa, sizeof v);
    return v;
}

size_t sockaddr_size(int family) {
    switch (family) {
    case AF_INET:
        return sizeof(sockaddr_in);
    case AF_INET6:
        return sizeof(sockaddr_in6);
    case AF_UNIX:
        return sizeof(sockaddr_un);
    default:
        return sizeof(sa_family_t);
    }
}

// "address:port", or "[address]:port" with `brackets`, of a binary IPv4 or IPv6 address.
// A failed conversion leaves the text empty.
static int endpoint_text(int family, const void *addr, unsigned port, bool brackets, char *text) {
    char host[INET6_ADDRSTRLEN];
    socklen_t room = family == AF_INET ? INET_ADDRSTRLEN : INET6_ADDRSTRLEN;
    if (inet_ntop(family, addr, host, room) == nullptr) {
        LOG_SYSERR("inet_ntop");
        text[0] = '\0';
        return -1;
    }
    if (brackets)
        snprintf(text, NET_TEXT_SIZE, "[%s]:%u", host, port);
    else
        snprintf(text, NET_TEXT_SIZE, "%s:%u", host, port);
    return 0;
}

int sockaddr_to_str(const sockaddr *sa, char *text) {
    text[0] = '\0';
    switch (sa->sa_family) {
    case AF_INET: {
        auto in = sockaddr_as<sockaddr_in>(sa);
        return endpoint_text(AF_INET, &in.sin_addr, ntohs(in.sin_port), false, text);
    }
    case AF_INET6: {
        auto in6 = sockaddr_as<sockaddr_in6>(sa);
        return endpoint_text(AF_INET6, &in6.sin6_addr, ntohs(in6.sin6_port), false, text);
    }
    case AF_UNIX: {
        // The path need not be terminated inside sun_path; never read past it.
        auto un = sockaddr_as<sockaddr_un>(sa);
        size_t n = strnlen(un.sun_path, sizeof un.sun_path);
        if (n > NET_TEXT_SIZE - 1)
            n = NET_TEXT_SIZE - 1;
        memcpy(text, un.sun_path, n);
        text[n] = '\0';
        return 0;
    }
    default:
        LOG_ERROR("Unsupported family: %d", sa->sa_family);
        return -1;
    }
}

netaddr netaddr_from_sockaddr(const sockaddr *sa) {
    netaddr na{};
    memcpy(&na.address, sa, sockaddr_size(sa->sa_family));
    sockaddr_to_str(sa, na.text);
    return na;
}

int sockaddr_from_host(const char *host, sockaddr_storage *sa) {
    const char *literal = strcmp(host, "*") == 0 ? "0.0.0.0" : host;
    sockaddr_storage parsed{};
    sockaddr_in in{};
    sockaddr_in6 in6{};
    if (inet_pton(AF_INET, literal, &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        memcpy(&parsed, &in, sizeof in);
    } else if (inet_pton(AF_INET6, literal, &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        memcpy(&parsed, &in6, sizeof in6);
    } else {
        return -1;
    }
    *sa = parsed;
    return 0;
}

// A numeric host of `family` into `addr`; "*" is the any-address, which `addr` already holds.
static int url_parse_host(int family, const char *host, uint8_t *addr) {
    if (strcmp(host, "*") == 0)
        return 0;
    int rc = inet_pton(family, host, addr);
    if (rc == 0) {
        LOG_ERROR("Host [%s] unparseable.", host);
        return -1;
    }
    if (rc < 0) {
        LOG_ERROR("Parse [%s] error: %s.", host, strerror(errno));
        return -1;
    }
    return 0;
}

static int url_parse_port(const char *text, uint16_t *port) {
    if (str_to_u16(text, port) != 0) {
        LOG_ERROR("Invalid port: %s.", text);
        return -1;
    }
    return 0;
}

// Second half of both text forms: the host (`host_len` bytes at `host_at`, at most
// URL_MAX_LEN) and the port text, parsed into `out` as an address of `family`.
static int url_decompose(int family, const char *host_at, size_t host_len, const char *port_text,
                         nurl *out) {
    char host[URL_MAX_LEN + 1];
    memcpy(host, host_at, host_len);
    host[host_len] = '\0';
    LOG_DEBUG("%s URL decomposed into: %s %s", family == AF_INET ? "IPv4" : "IPv6", host,
              port_text);
    if (url_parse_host(family, host, out->addr) != 0 || url_parse_port(port_text, &out->port) != 0)
        return -1;
    out->family = static_cast<uint16_t>(family);
    return 0;
}

// "host:port", split at the last colon; `out` starts zeroed.
static int url4_to_nurl(const char *text, nurl *out) {
    LOG_DEBUG("Parsing IPv4 URL %s", text);
    if (strlen(text) > URL_MAX_LEN) {
        LOG_ERROR("Address too long: %s.", text);
        return -1;
    }
    const char *colon = strrchr(text, ':');
    if (colon == nullptr) {
        LOG_ERROR("Incorrect address: %s.", text);
        return -1;
    }
    return url_decompose(AF_INET, text, static_cast<size_t>(colon - text), colon + 1, out);
}

// "[host]:port" with the host up to the last "]", which must be followed by ":"; `out`
// starts zeroed.
static int url6_to_nurl(const char *text, nurl *out) {
    LOG_DEBUG("Parsing IPv6 URL %s", text);
    const char *inner = text + 1;
    const char *close = strrchr(inner, ']');
    if (close == nullptr || static_cast<size_t>(close - inner) > URL6_HOST_MAX_LEN ||
        close[1] != ':') {
        LOG_ERROR("Incorrect address: %s.", inner);
        return -1;
    }
    return url_decompose(AF_INET6, inner, static_cast<size_t>(close - inner), close + 2, out);
}

int url_to_nurl(const char *text, nurl *nu) {
    // Ids are hashed from whole records: no stale byte may survive, not even after a failure.
    *nu = nurl{};
    nurl parsed{};
    int rc = text[0] == '[' ? url6_to_nurl(text, &parsed) : url4_to_nurl(text, &parsed);
    if (rc == 0)
        *nu = parsed;
    return rc;
}

void nurl_to_url(const nurl *nu, char *text) {
    memset(text, 0, NET_TEXT_SIZE);
    switch (nu->family) {
    case AF_INET:
        endpoint_text(AF_INET, nu->addr, nu->port, false, text);
        return;
    case AF_INET6:
        endpoint_text(AF_INET6, nu->addr, nu->port, true, text);
        return;
    default:
        LOG_ERROR("Unsupported family: %d", nu->family);
    }
}

bool sockaddr_is_any(const sockaddr_storage *sa) {
    if (sa->ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr == htonl(INADDR_ANY);
    if (sa->ss_family == AF_INET6)
        return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr);
    return false;
}

int sockaddr_to_nurl(const sockaddr *sa, nurl *nu) {
    *nu = nurl{};
    switch (sa->sa_family) {
    case AF_INET: {
        auto in = sockaddr_as<sockaddr_in>(sa);
        nu->family = AF_INET;
        nu->port = ntohs(in.sin_port);
        memcpy(nu->addr, &in.sin_addr, sizeof in.sin_addr);
        return 0;
    }
    case AF_INET6: {
        auto in6 = sockaddr_as<sockaddr_in6>(sa);
        nu->family = AF_INET6;
        nu->port = ntohs(in6.sin6_port);
        memcpy(nu->addr, &in6.sin6_addr, sizeof in6.sin6_addr);
        return 0;
    }
    default:
        LOG_ERROR("Encode error. Unsupported family protocol: %d.", sa->sa_family);
        return -1;
    }
}

bool nurl_is_empty(const nurl *nu) {
    static const uint8_t zero[4] = {};
    return nu->family == 0 && nu->port == 0 && memcmp(nu->addr, zero, sizeof zero) == 0;
}

int nurl_cmp(const nurl *a, const nurl *b) {
    // The record has no padding, so its bytes are exactly its fields.
    return memcmp(a, b, sizeof *a);
}

void nurl_to_wire(const nurl *nu, std::span<uint8_t, NURL_SIZE> out) {
    store_be16(out.data(), nu->family);
    store_be16(out.data() + 2, nu->port);
    memcpy(out.data() + 4, nu->addr, sizeof nu->addr);
}

void nurl_from_wire(std::span<const uint8_t, NURL_SIZE> in, nurl *nu) {
    nu->family = load_be16(in.data());
    nu->port = load_be16(in.data() + 2);
    memcpy(nu->addr, in.data() + 4, sizeof nu->addr);
}

static bool ip_family_supported(int family) {
    if (family == AF_INET || family == AF_INET6)
        return true;
    LOG_ERROR("Unsupported address family: %d.", family);
    return false;
}

// Appends the numeric text of every address of `family` in `ifs`; a conversion failure ends
// the walk and keeps what was gathered.
static char **ip_list_collect(const ifaddrs *ifs, int family) {
    socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    std::vector<char *> texts;
    for (const ifaddrs *ifa = ifs; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != family)
            continue;
        char host[NI_MAXHOST];
        int rc = getnameinfo(ifa->ifa_addr, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
        if (rc != 0) {
            LOG_ERROR("(getnameinfo:%d) %s", __LINE__, gai_strerror(rc));
            break;
        }
        texts.push_back(krv_strdup(host));
    }
    texts.push_back(nullptr);
    auto **list = static_cast<char **>(krv_malloc(texts.size() * sizeof(char *)));
    memcpy(list, texts.data(), texts.size() * sizeof(char *));
    return list;
}

int net_getall_ip_from(const ifaddrs *ifs, char ***list, int family) {
    if (!ip_family_supported(family))
        return -1;
    *list = ip_list_collect(ifs, family);
    return 0;
}

int net_getall_ip(char ***list, int family) {
    if (!ip_family_supported(family))
        return -1;
    ifaddrs *ifs = nullptr;
    if (getifaddrs(&ifs) != 0) {
        LOG_SYSERR("getifaddrs");
        return -1;
    }
    *list = ip_list_collect(ifs, family);
    freeifaddrs(ifs);
    return 0;
}

void net_free_ip_list(char **list) {
    if (list == nullptr)
        return;
    for (char **p = list; *p != nullptr; p++)
        free(*p);
    free(list);
}
