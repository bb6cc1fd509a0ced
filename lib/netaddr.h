// Network endpoints in their three forms: socket addresses, "address:port" texts and the
// 20-byte nurl record carried in messages and caches. Hosts are numeric literals only; no
// name ever goes through the resolver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/socket.h>

struct ifaddrs;

// An endpoint in 20 bytes. In memory family and port are in host order; on the wire they are
// big-endian (nurl_to_wire / nurl_from_wire). An IPv4 address fills the first 4 bytes of
// addr (network order) and leaves the other 12 zero. Family 0 marks an empty nurl.
struct nurl {
    uint16_t family;
    uint16_t port;
    uint8_t addr[16];
};
static_assert(sizeof(nurl) == 20, "a nurl is exactly 20 bytes without padding");

inline constexpr size_t NURL_SIZE = sizeof(nurl);

// Room for every text this module writes: at most 57 characters and the terminator.
inline constexpr size_t NET_TEXT_SIZE = 58;

// A socket address with its "address:port" text for log lines.
struct netaddr {
    sockaddr_storage address;
    char text[64];
};

// Bytes a socket address of `family` occupies (the length bind and connect take); an unknown
// family is only its family field.
size_t sockaddr_size(int family);

// A copy of `sa` (as many bytes as its family uses) with its text; an unknown family keeps
// only the family field and an empty text.
netaddr netaddr_from_sockaddr(const sockaddr *sa);

// Writes "address:port" (IPv6 without brackets) or a unix-domain path, cut to fit, into
// `text` (NET_TEXT_SIZE bytes). 0, or -1 with an empty text and an ERROR line.
int sockaddr_to_str(const sockaddr *sa, char *text);

// Parses a numeric host without port ("*" is 0.0.0.0; IPv4 first, then IPv6) into `sa`,
// which is cleared first; the caller sets the port. 0, or -1 (nothing logged, `sa` untouched).
int sockaddr_from_host(const char *host, sockaddr_storage *sa);

// Parses "host:port" or "[ipv6]:port" ("*" as host is the any-address). The whole record is
// cleared first and stays zero on failure. 0, or -1 after an ERROR line.
int url_to_nurl(const char *text, nurl *nu);

// Writes "address:port" or "[ipv6]:port" into `text` (NET_TEXT_SIZE bytes, cleared first);
// another family leaves the text empty after an ERROR line.
void nurl_to_url(const nurl *nu, char *text);

// True for the IPv4 or IPv6 any-address (0.0.0.0, ::), which nobody can dial.
bool sockaddr_is_any(const sockaddr_storage *sa);

// Encodes an IPv4 or IPv6 socket address; the record is cleared first and stays zero for
// another family. 0, or -1 after an ERROR line.
int sockaddr_to_nurl(const sockaddr *sa, nurl *nu);

// True when family, port and the first 4 address bytes are zero.
bool nurl_is_empty(const nurl *nu);

// 0 when family, port and all 16 address bytes are equal, non-zero otherwise.
int nurl_cmp(const nurl *a, const nurl *b);

// The 20 wire bytes of a nurl: family and port big-endian, then the 16 address bytes.
void nurl_to_wire(const nurl *nu, std::span<uint8_t, NURL_SIZE> out);
void nurl_from_wire(std::span<const uint8_t, NURL_SIZE> in, nurl *nu);

// Fills *list with a new NULL-terminated array of new texts: the numeric addresses of the
// host's interfaces of `family` (AF_INET or AF_INET6), in the system's order. 0 or -1; on
// -1 *list is untouched. Release the result with net_free_ip_list.
int net_getall_ip(char ***list, int family);

// The same over an interface list the caller provides instead of the system's.
int net_getall_ip_from(const struct ifaddrs *ifs, char ***list, int family);

// Frees an array made by net_getall_ip and its texts; NULL is ignored.
void net_free_ip_list(char **list);
