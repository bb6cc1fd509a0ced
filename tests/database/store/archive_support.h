// Archive bytes built by hand from the format, and archives read back block by block: shared
// by the archive writer and extraction tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <lz4.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "lib/crc32.h"

using Bytes = std::string;

// Ends a forked child with status 0 when `ok`, else 1, its standard output flushed first.
[[noreturn]] inline void exit_flushed(bool ok) {
    fflush(stdout);
    _exit(ok ? 0 : 1);
}

inline Bytes be_bytes(uint64_t v, int n) {
    Bytes s;
    for (int i = n - 1; i >= 0; i--)
        s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}

inline Bytes le_bytes(uint64_t v, int n) {
    Bytes s;
    for (int i = 0; i < n; i++)
        s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}

inline uint32_t crc_of(const Bytes &b) {
    return crc32_calc(b.data(), b.size());
}

// The 256 path bytes of a file header: the text, zero-padded.
inline Bytes path_field(const Bytes &path) {
    Bytes p = path;
    p.resize(256, '\0');
    return p;
}

// A file header over 256 path bytes and a size; its CRC over the header with a zero CRC field
// and the size little-endian (or, to fake a wrong writer, big-endian).
inline Bytes file_header(const Bytes &path256, uint64_t size, bool crc_over_be_size = false) {
    const Bytes size_for_crc = crc_over_be_size ? be_bytes(size, 8) : le_bytes(size, 8);
    const uint32_t crc = crc_of(Bytes(8, '\0') + path256 + size_for_crc);
    return be_bytes(crc, 8) + path256 + be_bytes(size, 8);
}

// An entry of the stream: header and content.
inline Bytes file_entry(const Bytes &path, const Bytes &content) {
    return file_header(path_field(path), content.size()) + content;
}

inline Bytes archive_header(uint16_t version = 0x3006) {
    return Bytes("KORVANE!") + be_bytes(version, 2);
}

// A block carrying `raw`: LZ4 data when `compress`, else the raw bytes.
inline Bytes block(const Bytes &raw, bool compress = false) {
    Bytes data = raw;
    if (compress) {
        data.resize(static_cast<size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
        int n = LZ4_compress_default(raw.data(), data.data(), static_cast<int>(raw.size()),
                                     static_cast<int>(data.size()));
        data.resize(static_cast<size_t>(n));
    }
    return Bytes(2, '\0') + be_bytes(raw.size(), 4) + be_bytes(data.size(), 4) +
           be_bytes(crc_of(raw), 4) + data;
}

inline uint64_t get_be(const Bytes &b, size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

struct read_block {
    uint32_t raw, stored, crc;
    Bytes data;   // as stored
    Bytes stream; // the raw bytes it carries
};

// The blocks of an archive's bytes after its 10-byte header; stops at a cut block.
inline std::vector<read_block> archive_blocks(const Bytes &archive) {
    std::vector<read_block> blocks;
    for (size_t at = 10; at + 14 <= archive.size();) {
        read_block b;
        b.raw = static_cast<uint32_t>(get_be(archive, at + 2, 4));
        b.stored = static_cast<uint32_t>(get_be(archive, at + 6, 4));
        b.crc = static_cast<uint32_t>(get_be(archive, at + 10, 4));
        if (at + 14 + b.stored > archive.size())
            break;
        b.data = archive.substr(at + 14, b.stored);
        b.stream = b.data;
        if (b.stored != b.raw) {
            b.stream.assign(b.raw, '\0');
            LZ4_decompress_safe(b.data.data(), b.stream.data(), static_cast<int>(b.stored),
                                static_cast<int>(b.raw));
        }
        blocks.push_back(b);
        at += 14 + b.stored;
    }
    return blocks;
}
