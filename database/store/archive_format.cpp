#include "database/store/archive_format.h"

#include <cerrno>
#include <cstring>
#include <endian.h>
#include <lz4.h>
#include <unistd.h>

#include "lib/be_load.h"
#include "lib/crc32.h"

namespace {

void put_le64(uint8_t *p, uint64_t v) {
    v = htole64(v);
    memcpy(p, &v, sizeof v);
}

// The CRC over a header with its CRC field zero and `size` written little-endian.
uint32_t file_hdr_crc(const archive_file_hdr *h, uint64_t size) {
    archive_file_hdr tmp = *h;
    memset(tmp.crc, 0, sizeof tmp.crc);
    put_le64(tmp.size, size);
    return crc32_calc(&tmp, sizeof tmp);
}

} // namespace

archive_hdr archive_hdr_make(uint16_t version) {
    archive_hdr h;
    memcpy(h.magic, ARCHIVE_MAGIC, sizeof h.magic);
    store_be16(h.version, version);
    return h;
}

int archive_hdr_version(const archive_hdr *h) {
    if (memcmp(h->magic, ARCHIVE_MAGIC, sizeof h->magic) != 0)
        return -1;
    return load_be16(h->version);
}

archive_block_hdr archive_block_hdr_make(uint32_t raw, uint32_t stored, uint32_t crc) {
    archive_block_hdr h{};
    store_be32(h.raw, raw);
    store_be32(h.stored, stored);
    store_be32(h.crc, crc);
    return h;
}

void archive_block_hdr_read(const archive_block_hdr *h, uint32_t *raw, uint32_t *stored,
                            uint32_t *crc) {
    *raw = load_be32(h->raw);
    *stored = load_be32(h->stored);
    *crc = load_be32(h->crc);
}

int archive_file_hdr_make(archive_file_hdr *h, const char *path, uint64_t size) {
    size_t len = strlen(path);
    if (len >= sizeof h->path)
        return -1;
    memset(h, 0, sizeof *h);
    memcpy(h->path, path, len);
    uint32_t crc = file_hdr_crc(h, size);
    store_be64(h->size, size);
    store_be64(h->crc, crc);
    return 0;
}

uint32_t archive_file_hdr_crc(const archive_file_hdr *h) {
    return file_hdr_crc(h, archive_file_hdr_size(h));
}

uint64_t archive_file_hdr_stored_crc(const archive_file_hdr *h) {
    return load_be64(h->crc);
}

uint64_t archive_file_hdr_size(const archive_file_hdr *h) {
    return load_be64(h->size);
}

uint32_t block_compress(uint64_t size, uint8_t *buf, uint32_t capacity, uint8_t *tmp) {
    const uint32_t raw = static_cast<uint32_t>(size);
    if (raw < ARCHIVE_COMPRESS_MIN)
        return raw;
    int n = LZ4_compress_default(reinterpret_cast<const char *>(buf), reinterpret_cast<char *>(tmp),
                                 static_cast<int>(raw), static_cast<int>(capacity));
    if (n <= 0 || static_cast<uint32_t>(n) >= raw)
        return raw;
    memcpy(buf, tmp, static_cast<size_t>(n));
    return static_cast<uint32_t>(n);
}

int block_decompress_into(const uint8_t *src, uint32_t stored, uint8_t *dst, uint32_t raw) {
    if (raw > ARCHIVE_BLOCK_MAX || stored > ARCHIVE_LZ4_BOUND)
        return -1;
    if (stored == raw) {
        memcpy(dst, src, raw);
        return 0;
    }
    // The bounds-checked decoder: it neither reads past `stored` nor writes past `raw`.
    int n = LZ4_decompress_safe(reinterpret_cast<const char *>(src), reinterpret_cast<char *>(dst),
                                static_cast<int>(stored), static_cast<int>(raw));
    return n >= 0 && static_cast<uint32_t>(n) == raw ? 0 : -1;
}

int block_decompress(uint32_t stored, uint8_t *buf, uint32_t raw, uint64_t capacity, uint8_t *tmp) {
    if (capacity < raw || raw > ARCHIVE_BLOCK_MAX || stored > ARCHIVE_LZ4_BOUND)
        return -1;
    if (stored == raw)
        return 0;
    if (block_decompress_into(buf, stored, tmp, raw) != 0)
        return -1;
    memcpy(buf, tmp, raw);
    return 0;
}
