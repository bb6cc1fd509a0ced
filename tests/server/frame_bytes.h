// Byte helpers shared by the frame and socket tests, and the hello frame written out by hand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "server/msg.h"
#include "support/test_support.h"

using Bytes = std::string;

// Every log line of a run without its time stamp.
inline std::string log_text(const RunResult &res) {
    std::istringstream in(res.err);
    std::string line, out;
    while (std::getline(in, line))
        out += (line.size() >= 18 ? line.substr(18) : "<" + line + ">") + "\n";
    return out;
}

inline const uint8_t *u8(const Bytes &b) {
    return reinterpret_cast<const uint8_t *>(b.data());
}

// The bytes of b as the writable input the receive state machine takes.
inline std::span<uint8_t> writable(Bytes &b) {
    return {reinterpret_cast<uint8_t *>(b.data()), b.size()};
}

inline std::string hex(const Bytes &bytes) {
    std::string s;
    char b[3];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

// One message: type, big-endian length, data.
inline Bytes message(uint8_t type, const Bytes &data) {
    const auto n = static_cast<uint32_t>(data.size());
    const char head[] = {static_cast<char>(type), static_cast<char>(n >> 24),
                         static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                         static_cast<char>(n)};
    return Bytes(head, sizeof head) + data;
}

// Bytes LZ4 cannot shrink.
inline Bytes noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

// A frame callback that appends each delivered body to a std::vector<Bytes>.
inline void collect(void *ctx, uint8_t *body, uint64_t len) {
    static_cast<std::vector<Bytes> *>(ctx)->emplace_back(reinterpret_cast<char *>(body), len);
}

// A hello message: kind "UICLIENT", target "SE".
inline const Bytes kHelloBody = message(MSG_HELLO, "UICLIENTSE");
// "KR", version 0x3006, payload 19 (15 + 4), CRC-32 of the header with a zero check field,
// the body, then its length 15 as the trailer.
inline const Bytes kHelloFrame = Bytes("KR\x30\x06\x00\x00\x00\x13\x26\x5F\xA7\x94", 12) +
                                 kHelloBody + Bytes("\x00\x00\x00\x0F", 4);
