// Bytes on the wire as tests write them out: big-endian fields and whole messages. Free of
// the test framework, so that load drivers share it.
#pragma once

#include <cstdint>
#include <string>

// v as n big-endian bytes.
inline std::string be(uint64_t v, int n) {
    std::string s(static_cast<size_t>(n), '\0');
    for (int i = 0; i < n; i++)
        s[static_cast<size_t>(n - 1 - i)] = static_cast<char>(v >> (8 * i));
    return s;
}

// The n big-endian bytes at `at`.
inline uint64_t from_be(const std::string &s, size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

// One message: type, big-endian length, data.
inline std::string wire_message(uint8_t type, const std::string &data) {
    return be(type, 1) + be(data.size(), 4) + data;
}
