// The archive file of the data store, all integers big-endian:
//
//   header   "KORVANE!" | u16 version word
//   blocks   u16 0 | u32 raw size | u32 stored size | u32 CRC of the raw bytes | stored bytes
//
// The raw bytes of the blocks, in order, are one stream of entries, each a 272-byte file
// header followed by the file's content:
//
//   u64 header CRC | 256-byte path, zero-padded | u64 content size
//
// The header CRC is taken over the 272 bytes with the CRC field zero and the size field
// little-endian, and stored zero-extended. A block carries 1 to 4194304 raw bytes; its data is
// one LZ4 block when that came out smaller (only tried from 512 raw bytes on), else the raw
// bytes themselves (stored size equal to raw size). A file header never spans two blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr char ARCHIVE_MAGIC[8] = {'K', 'O', 'R', 'V', 'A', 'N', 'E', '!'};
constexpr size_t ARCHIVE_HDR_SIZE = 10;
constexpr size_t ARCHIVE_BLOCK_HDR_SIZE = 14;
// Largest raw and stored size of a block: the staging buffer of the writer.
constexpr uint32_t ARCHIVE_BLOCK_MAX = 4194304;
// LZ4's worst case for a full block: the scratch area the compressor writes into.
constexpr uint32_t ARCHIVE_LZ4_BOUND = 4210768;
// Blocks smaller than this are stored raw without trying.
constexpr uint32_t ARCHIVE_COMPRESS_MIN = 512;
constexpr size_t ARCHIVE_FILE_HDR_SIZE = 272;
constexpr size_t ARCHIVE_PATH_SIZE = 256;

struct archive_hdr {
    char magic[8];
    uint8_t version[2];
};
static_assert(sizeof(archive_hdr) == ARCHIVE_HDR_SIZE);

struct archive_block_hdr {
    uint8_t zero[2];
    uint8_t raw[4];
    uint8_t stored[4];
    uint8_t crc[4];
};
static_assert(sizeof(archive_block_hdr) == ARCHIVE_BLOCK_HDR_SIZE);

struct archive_file_hdr {
    uint8_t crc[8];
    char path[ARCHIVE_PATH_SIZE];
    uint8_t size[8];
};
static_assert(sizeof(archive_file_hdr) == ARCHIVE_FILE_HDR_SIZE);

// The archive header for a version word.
archive_hdr archive_hdr_make(uint16_t version);
// The version word of a header whose magic is right; -1 for any other magic.
int archive_hdr_version(const archive_hdr *h);

archive_block_hdr archive_block_hdr_make(uint32_t raw, uint32_t stored, uint32_t crc);
void archive_block_hdr_read(const archive_block_hdr *h, uint32_t *raw, uint32_t *stored,
                            uint32_t *crc);

// Fills a file header for `path` (at most 255 bytes) and `size`, CRC included. 0, or -1 when
// the path does not fit.
int archive_file_hdr_make(archive_file_hdr *h, const char *path, uint64_t size);
// The CRC a file header should carry, computed from its path and size fields.
uint32_t archive_file_hdr_crc(const archive_file_hdr *h);
uint64_t archive_file_hdr_stored_crc(const archive_file_hdr *h);
uint64_t archive_file_hdr_size(const archive_file_hdr *h);

// Compresses the `size` raw bytes (at most ARCHIVE_BLOCK_MAX) at buf in place when that makes them
// smaller, using `tmp` (of `capacity` bytes, at least ARCHIVE_LZ4_BOUND for a full block) as the
// output area. Returns the stored size: `size` when the bytes stay raw.
uint32_t block_compress(uint64_t size, uint8_t *buf, uint32_t capacity, uint8_t *tmp);
// Turns the `stored` bytes at buf into exactly `raw` bytes in place (nothing to do when
// stored equals raw), decompressing through `tmp` (at least `raw` bytes). 0, or -1 when
// `capacity` (of buf) is below raw, a size is beyond a block's, or the data does not
// decompress to exactly raw bytes.
int block_decompress(uint32_t stored, uint8_t *buf, uint32_t raw, uint64_t capacity, uint8_t *tmp);
// The same from `src` into `dst` (at least `raw` bytes), which must not overlap: raw bytes
// are copied, LZ4 data decompressed. 0 or -1 as above.
int block_decompress_into(const uint8_t *src, uint32_t stored, uint8_t *dst, uint32_t raw);
