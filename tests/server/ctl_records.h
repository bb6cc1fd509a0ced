// Control channel records as tests write them out: host order (little-endian on this
// target), header then data.
#pragma once

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "lib/crc32.h"

// v as n little-endian bytes.
inline std::string le(uint64_t v, int n) {
    std::string s(static_cast<size_t>(n), '\0');
    for (int i = 0; i < n; i++)
        s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return s;
}

inline std::string ctl_record(uint32_t crc, uint16_t command, uint32_t length,
                              const std::string &data) {
    return le(crc, 4) + le(command, 2) + le(length, 4) + data;
}

// A record whose header agrees with its data.
inline std::string ctl_good(uint16_t command, const std::string &data) {
    return ctl_record(crc32_calc(data.data(), data.size()), command,
                      static_cast<uint32_t>(data.size()), data);
}

// An IPv4 address and port as a host-order nurl.
inline std::string ctl_nurl4(uint32_t ipv4, uint16_t port, uint16_t family = AF_INET) {
    std::string addr(16, '\0');
    for (int i = 0; i < 4; i++)
        addr[static_cast<size_t>(i)] = static_cast<char>(ipv4 >> (24 - 8 * i));
    return le(family, 2) + le(port, 2) + addr;
}

inline std::string ctl_reroute_data(const std::string &address, const std::vector<uint64_t> &ids) {
    std::string d = address + le(ids.size(), 2);
    for (uint64_t id : ids)
        d += le(id, 8);
    return d;
}
