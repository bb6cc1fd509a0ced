// Extension data: the parameter texts and key/value lists some calls carry, kept per hour in
// "storage.db/data/%016lX/mc/%u.%u.x" beside the hour's root-call file.
//
// The file is a sequence of blobs, one per stored root call that has entries. A blob is one
// or more checked blocks: a 12-byte big-endian header (raw size, stored size, CRC of the
// header with the CRC field zero) and the payload, raw or LZ4-compressed. A payload is a run
// of entries: u16 call index, u16 call flags, u16 data length, data (big-endian).
//
// A locator names one entry: the block's offset in its low 44 bits, the entry's offset inside
// the block's payload in the high 20. While a root call is built (and in its stored records)
// the block offset counts from the start of its blob; readers take the absolute form, where
// it counts from the start of the `.x` file.
#pragma once

#include <cstdint>

// Block header bytes, and the most payload (raw or stored) one block holds.
constexpr uint32_t EXT_HEADER_SIZE = 12;
constexpr uint32_t EXT_BLOCK_MAX = 65809;
// Entry head: call index, flags, data length.
constexpr uint32_t EXT_ENTRY_HEAD = 6;

// The largest block with its header; readers read this much at a block's offset.
constexpr uint32_t EXT_BLOCK_SPAN = EXT_HEADER_SIZE + EXT_BLOCK_MAX;
// The caller's scratch area for the builder: a compressed block with its header.
constexpr uint32_t EXT_SCRATCH_SIZE = EXT_BLOCK_SPAN;
// The reader buffer: a block as read at 0, a decompressed payload at EXT_UNPACK_OFFSET.
constexpr uint32_t EXT_UNPACK_OFFSET = 65833;
constexpr uint32_t EXT_READER_BUFFER_SIZE = EXT_UNPACK_OFFSET + EXT_BLOCK_MAX;

// Bits of a locator that hold the block offset; the entry offset lies above them.
constexpr unsigned EXT_BLOCK_BITS = 44;

inline uint64_t ext_locator_block(uint64_t locator) {
    return locator & ((uint64_t{1} << EXT_BLOCK_BITS) - 1);
}
inline uint32_t ext_locator_entry(uint64_t locator) {
    return static_cast<uint32_t>(locator >> EXT_BLOCK_BITS);
}
inline uint64_t ext_locator(uint64_t block_offset, uint32_t entry_offset) {
    return uint64_t{entry_offset} << EXT_BLOCK_BITS | ext_locator_block(block_offset);
}
// The absolute form of a stored locator whose blob lies at `blob_offset` in the `.x` file.
inline uint64_t ext_locator_absolute(uint64_t stored, uint64_t blob_offset) {
    return ext_locator(stored + blob_offset, ext_locator_entry(stored));
}

// One entry as named by a client: absolute locator and file id, host order.
struct __attribute__((packed)) ext_ref {
    uint64_t locator;
    uint32_t file_id;
};
static_assert(sizeof(ext_ref) == 12);

// Builder of one root call's blob: the open block, which starts small and grows with its
// entries, and the closed blocks back to back in an allocation that grows as blocks close.
struct ext_buf {
    uint8_t *open;          // header area, then the payload being filled; NULL until needed
    uint8_t *tail;          // the closed blocks
    uint32_t open_capacity; // bytes allocated for the open block, its header area included
    uint32_t fill;          // payload bytes in the open block
    uint32_t tail_used;     // bytes of closed blocks
    uint32_t tail_allocated;
};

// The open block's first allocation, and its largest (a block's header and payload area).
constexpr uint32_t EXT_OPEN_FIRST = 128;
constexpr uint32_t EXT_OPEN_MAX = EXT_HEADER_SIZE + 65812;

// An empty builder: it holds no block memory yet.
ext_buf *ext_buf_new();
// The bytes the builder holds, itself included.
uint64_t ext_buf_bytes(const ext_buf *builder);
// Adds one entry and returns its locator in the stored form. When the open block cannot take
// it, that block is compressed (into `scratch`, at least EXT_SCRATCH_SIZE bytes) and closed.
// *grown gets the bytes the builder grew by (its open block or its closed blocks), 0 when
// it did not grow. *builder stays where it is.
uint64_t ext_buf_add(ext_buf **builder, uint32_t *grown, uint8_t *scratch, uint16_t flags,
                     uint16_t call_index, const void *data, uint16_t length);
// The blob of every entry added, or nullptr when there is none; *blob_length its length. A
// blob of one block lies in the builder or, when compressed, in `scratch`; it stays valid until
// either is used again. *grown as for ext_buf_add. The entries stay in the builder.
const uint8_t *ext_buf_finish(ext_buf **builder, uint32_t *blob_length, uint32_t *grown,
                              uint8_t *scratch);
// Empties the builder and shrinks it back to its first size; *held gets the bytes this gave
// back. Returns the builder.
ext_buf *ext_buf_reset(ext_buf *builder, uint32_t *held);
// Releases the builder; nullptr is allowed.
void ext_buf_free(ext_buf *builder);

// Readers take a `.x` file descriptor opened read-only and a buffer of EXT_READER_BUFFER_SIZE
// bytes; the entry data they hand out points into that buffer. A block counts only when all of
// it could be read.

// The data of the entry at the absolute `locator` of the hour file `file_id`, or nullptr
// (logged) when the descriptor is -1, the block cannot be read, is damaged or does not hold
// that entry. *length gets the data length, 0 on failure.
const uint8_t *ext_read(int fd, uint64_t locator, uint32_t file_id, uint8_t *buffer,
                        uint16_t *length);

// ext_read over bytes already read: `bytes` holds the `have` bytes of the `.x` file from the
// locator's block on, so that a reader going through the file in order can read it in large
// pieces. The data handed out points into `bytes` (a raw block) or `buffer` (a compressed one).
const uint8_t *ext_read_mem(const uint8_t *bytes, uint64_t have, uint64_t locator, uint8_t *buffer,
                            uint16_t *length);

// Called for each entry of a walk; a non-zero result stops the walk.
using ext_entry_fn = int (*)(void *ctx, uint16_t flags, uint16_t call_index, const uint8_t *data,
                             uint16_t length);
// Walks the blocks from `offset` over `length` bytes (0: to the end of the file; reads stay
// within those bytes unless a block runs past them) and calls `fn` for each entry. 0 at the end (or
// at a block that is damaged, incomplete or does not decompress: logged), 1 when `fn` stopped the
// walk, -1 on a read error.
int ext_iterate_exts(int fd, uint64_t offset, uint32_t length, uint8_t *buffer, void *ctx,
                     ext_entry_fn fn);

// Called for each entry found for a reference; a non-zero result ends the lookup.
using ext_ref_fn = int (*)(void *ctx, uint64_t locator, uint32_t file_id, const uint8_t *data,
                           uint16_t length);
// Looks up the entries of `n` references of one agent (relative to the working directory)
// and calls `fn` for each one found, in (day, hour, block offset, entry offset) order; `refs`
// is sorted in place. References that cannot be resolved (a missing file, a damaged block or
// entry) are skipped. 0, or -1 when a file or block that exists could not be read (logged):
// some entries may then be missing.
int dbs_get_calls_ext(uint8_t *buffer, uint64_t agent_id, uint64_t n, ext_ref *refs, void *ctx,
                      ext_ref_fn fn);

// Callbacks of ext_parse_entry; strings are zero-terminated. A non-zero result stops parsing.
using ext_kv_fn = int (*)(void *ctx, char *key, char *value);
using ext_text_fn = int (*)(void *ctx, char *text, uint16_t length);
// Splits an entry's data by its call's flags into the text part (flag 0x08: u16 length, text)
// and the pairs of the key/value list that follows it (flag 0x02: u16 length, then keys and
// values each ended by 0x1E, the last value also by the list's end); either callback may be
// nullptr. Data whose parts
// do not fit in `length` bytes yields no callback.
void ext_parse_entry(uint16_t flags, const uint8_t *data, uint16_t length, void *ctx,
                     ext_kv_fn kv_fn, ext_text_fn text_fn);
