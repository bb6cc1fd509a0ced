#include "database/store/ext.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <lz4.h>
#include <memory>
#include <unistd.h>

#include "lib/be_load.h"
#include "lib/crc32.h"
#include "lib/cursor.h"
#include "lib/io.h"
#include "lib/log.h"
#include "lib/xalloc.h"

// Call flags that shape an entry's data.
static constexpr uint16_t EXT_HAS_TEXT = 0x08;
static constexpr uint16_t EXT_HAS_PAIRS = 0x02;
// Separator between the keys and values of a list.
static constexpr char EXT_KV_SEPARATOR = 0x1E;
// A locator's entry offset must lie below this to leave room for an entry head.
static constexpr uint32_t EXT_ENTRY_OFFSET_LIMIT = 65804;

static void ext_header_fill(uint8_t *h, uint32_t raw, uint32_t stored) {
    store_be32(h, raw);
    store_be32(h + 4, stored);
    store_be32(h + 8, 0);
    store_be32(h + 8, crc32_calc(h, EXT_HEADER_SIZE));
}

// The sizes of a block header whose CRC holds and whose sizes are possible.
static bool ext_header_check(const uint8_t *h, uint32_t *raw, uint32_t *stored) {
    uint8_t copy[EXT_HEADER_SIZE];
    memcpy(copy, h, 8);
    memset(copy + 8, 0, 4);
    if (crc32_calc(copy, EXT_HEADER_SIZE) != load_be32(h + 8))
        return false;
    *raw = load_be32(h);
    *stored = load_be32(h + 4);
    return *raw <= EXT_BLOCK_MAX && *stored <= EXT_BLOCK_MAX;
}

// ---- Builder ----

// A closed block: its bytes lie in the builder's open block when stored raw, else in the
// scratch area.
struct ext_closed {
    bool in_builder;
    uint32_t length; // header and stored bytes
};

static const uint8_t *ext_closed_bytes(const ext_buf *b, const uint8_t *scratch, ext_closed c) {
    return c.in_builder ? b->open : scratch;
}

// Compresses the open block's payload; a block that does not shrink is kept raw.
static ext_closed ext_buf_close_block(ext_buf *b, uint8_t *scratch) {
    uint8_t *payload = b->open + EXT_HEADER_SIZE;
    int packed = LZ4_compress_default(reinterpret_cast<const char *>(payload),
                                      reinterpret_cast<char *>(scratch + EXT_HEADER_SIZE),
                                      static_cast<int>(b->fill), static_cast<int>(EXT_BLOCK_MAX));
    if (packed <= 0 || static_cast<uint32_t>(packed) >= b->fill) {
        ext_header_fill(b->open, b->fill, b->fill);
        return {true, EXT_HEADER_SIZE + b->fill};
    }
    ext_header_fill(scratch, b->fill, static_cast<uint32_t>(packed));
    return {false, EXT_HEADER_SIZE + static_cast<uint32_t>(packed)};
}

// Grows the closed blocks by the closed block, copies it behind them and empties the open
// block. *grown gets the bytes added.
static void ext_buf_append(ext_buf *b, const uint8_t *scratch, ext_closed c, uint32_t *grown) {
    if (c.length > UINT32_MAX - b->tail_allocated)
        xalloc_fail(__LINE__, uint64_t{b->tail_allocated} + c.length);
    b->tail = static_cast<uint8_t *>(krv_realloc(b->tail, b->tail_allocated + c.length));
    memcpy(b->tail + b->tail_used, ext_closed_bytes(b, scratch, c), c.length);
    b->tail_used += c.length;
    b->tail_allocated += c.length;
    b->fill = 0;
    *grown += c.length;
}

// Makes the open block hold `need` bytes (header area included), doubling its allocation.
static void ext_buf_reserve(ext_buf *b, uint32_t need, uint32_t *grown) {
    if (need <= b->open_capacity)
        return;
    uint32_t capacity = b->open_capacity != 0 ? b->open_capacity : EXT_OPEN_FIRST;
    while (capacity < need)
        capacity = std::min(capacity * 2, EXT_OPEN_MAX);
    b->open = static_cast<uint8_t *>(krv_realloc(b->open, capacity));
    *grown += capacity - b->open_capacity;
    b->open_capacity = capacity;
}

ext_buf *ext_buf_new() {
    return static_cast<ext_buf *>(krv_calloc(1, sizeof(ext_buf)));
}

uint64_t ext_buf_bytes(const ext_buf *b) {
    return sizeof(ext_buf) + uint64_t{b->open_capacity} + b->tail_allocated;
}

uint64_t ext_buf_add(ext_buf **builder, uint32_t *grown, uint8_t *scratch, uint16_t flags,
                     uint16_t call_index, const void *data, uint16_t length) {
    ext_buf *b = *builder;
    *grown = 0;
    if (b->fill + EXT_ENTRY_HEAD + length > EXT_BLOCK_MAX)
        ext_buf_append(b, scratch, ext_buf_close_block(b, scratch), grown);
    ext_buf_reserve(b, EXT_HEADER_SIZE + b->fill + EXT_ENTRY_HEAD + length, grown);
    uint64_t locator = ext_locator(b->tail_used, b->fill);
    uint8_t *entry = b->open + EXT_HEADER_SIZE + b->fill;
    store_be16(entry, call_index);
    store_be16(entry + 2, flags);
    store_be16(entry + 4, length);
    if (length > 0)
        memcpy(entry + EXT_ENTRY_HEAD, data, length);
    b->fill += EXT_ENTRY_HEAD + length;
    return locator;
}

const uint8_t *ext_buf_finish(ext_buf **builder, uint32_t *blob_length, uint32_t *grown,
                              uint8_t *scratch) {
    ext_buf *b = *builder;
    *grown = 0;
    if (b->fill > 0) {
        ext_closed c = ext_buf_close_block(b, scratch);
        if (b->tail_used == 0) {
            *blob_length = c.length;
            return ext_closed_bytes(b, scratch, c);
        }
        // Emptying the open block keeps a second finish from appending it twice.
        ext_buf_append(b, scratch, c, grown);
    }
    *blob_length = b->tail_used;
    return b->tail_used > 0 ? b->tail : nullptr;
}

ext_buf *ext_buf_reset(ext_buf *builder, uint32_t *held) {
    *held = builder->tail_allocated;
    free(builder->tail);
    builder->tail = nullptr;
    if (builder->open_capacity > EXT_OPEN_FIRST) {
        *held += builder->open_capacity - EXT_OPEN_FIRST;
        builder->open = static_cast<uint8_t *>(krv_realloc(builder->open, EXT_OPEN_FIRST));
        builder->open_capacity = EXT_OPEN_FIRST;
    }
    builder->fill = 0;
    builder->tail_used = 0;
    builder->tail_allocated = 0;
    return builder;
}

void ext_buf_free(ext_buf *builder) {
    if (builder == nullptr)
        return;
    free(builder->open);
    free(builder->tail);
    free(builder);
}

// ---- Reading blocks ----

enum ext_block_status {
    EXT_BLOCK_OK,
    EXT_BLOCK_END,         // nothing at the offset (only reported when asked for)
    EXT_BLOCK_UNREAD,      // read error (logged)
    EXT_BLOCK_FAILED,      // damaged header or incomplete block (logged)
    EXT_BLOCK_NOT_UNPACKED // the payload did not decompress to its raw size
};

// A checked block in a reader buffer.
struct ext_block {
    const uint8_t *payload;
    uint32_t raw;
    uint32_t stored;
};

// Reads on from `*have` bytes until the buffer holds `need`: EXT_BLOCK_OK, or (logged)
// EXT_BLOCK_UNREAD after a read error, EXT_BLOCK_FAILED when the file ends first.
static ext_block_status ext_read_rest(int fd, uint8_t *buffer, size_t *have, size_t need,
                                      uint64_t offset) {
    while (*have < need) {
        ssize_t n = io_pread_full(fd, buffer + *have, need - *have, offset + *have);
        if (n < 0) {
            LOG_SYSERR("pread");
            return EXT_BLOCK_UNREAD;
        }
        if (n == 0) {
            LOG_ERROR("Extension data block incomplete.");
            return EXT_BLOCK_FAILED;
        }
        *have += static_cast<size_t>(n);
    }
    return EXT_BLOCK_OK;
}

// Sets the payload of the checked block at `bytes` (header and stored bytes): a raw payload
// stays where it is, a compressed one is unpacked into the buffer's unpack area.
static ext_block_status ext_block_unpack(const uint8_t *bytes, uint8_t *buffer, ext_block *blk) {
    if (blk->stored == blk->raw) {
        blk->payload = bytes + EXT_HEADER_SIZE;
        return EXT_BLOCK_OK;
    }
    uint8_t *out = buffer + EXT_UNPACK_OFFSET;
    int n = LZ4_decompress_safe(reinterpret_cast<const char *>(bytes + EXT_HEADER_SIZE),
                                reinterpret_cast<char *>(out), static_cast<int>(blk->stored),
                                static_cast<int>(blk->raw));
    if (n < 0 || static_cast<uint32_t>(n) != blk->raw)
        return EXT_BLOCK_NOT_UNPACKED;
    blk->payload = out;
    return EXT_BLOCK_OK;
}

// Reads the whole block at `offset` into `buffer` (one read of `span` bytes when the block
// lies within them), checks its header and decompresses its payload. A block cut short by the
// end of the file fails, so nothing left in the buffer by an earlier block is ever taken for
// its bytes.
static ext_block_status ext_block_load(int fd, uint64_t offset, uint8_t *buffer, bool end_ok,
                                       ext_block *blk, uint32_t span = EXT_BLOCK_SPAN) {
    ssize_t got = io_pread_full(fd, buffer, span, offset);
    if (got < 0) {
        LOG_SYSERR("pread");
        return EXT_BLOCK_UNREAD;
    }
    if (got == 0 && end_ok)
        return EXT_BLOCK_END;
    size_t have = static_cast<size_t>(got);
    ext_block_status st = ext_read_rest(fd, buffer, &have, EXT_HEADER_SIZE, offset);
    if (st != EXT_BLOCK_OK)
        return st;
    if (!ext_header_check(buffer, &blk->raw, &blk->stored)) {
        LOG_ERROR("Extension data header corrupted.");
        return EXT_BLOCK_FAILED;
    }
    st = ext_read_rest(fd, buffer, &have, EXT_HEADER_SIZE + blk->stored, offset);
    if (st != EXT_BLOCK_OK)
        return st;
    return ext_block_unpack(buffer, buffer, blk);
}

// Checks the block at the `have` bytes of `bytes` and unpacks its payload, as a block read
// from the file.
static ext_block_status ext_block_in(const uint8_t *bytes, uint64_t have, uint8_t *buffer,
                                     ext_block *blk) {
    if (have < EXT_HEADER_SIZE) {
        LOG_ERROR("Extension data block incomplete.");
        return EXT_BLOCK_FAILED;
    }
    if (!ext_header_check(bytes, &blk->raw, &blk->stored)) {
        LOG_ERROR("Extension data header corrupted.");
        return EXT_BLOCK_FAILED;
    }
    if (have < EXT_HEADER_SIZE + blk->stored) {
        LOG_ERROR("Extension data block incomplete.");
        return EXT_BLOCK_FAILED;
    }
    return ext_block_unpack(bytes, buffer, blk);
}

// The data of the entry at `offset` of the payload and its length, or nullptr when its head
// or its data would run past the payload.
static const uint8_t *ext_block_entry(const ext_block &blk, uint32_t offset, uint16_t *length) {
    if (offset + EXT_ENTRY_HEAD > blk.raw)
        return nullptr;
    const uint8_t *entry = blk.payload + offset;
    *length = load_be16(entry + 4);
    if (offset + EXT_ENTRY_HEAD + *length > blk.raw)
        return nullptr;
    return entry + EXT_ENTRY_HEAD;
}

// The entry the locator names in a block just loaded with `status`; the errors of ext_read.
static const uint8_t *ext_loaded_entry(ext_block_status status, const ext_block &blk,
                                       uint64_t locator, uint16_t *length) {
    switch (status) {
    case EXT_BLOCK_OK:
        break;
    case EXT_BLOCK_NOT_UNPACKED:
        LOG_ERROR("Extension data decompression error.");
        return nullptr;
    default:
        return nullptr;
    }
    uint32_t offset = ext_locator_entry(locator);
    uint16_t n = 0;
    const uint8_t *data =
        offset < EXT_ENTRY_OFFSET_LIMIT ? ext_block_entry(blk, offset, &n) : nullptr;
    if (data == nullptr) {
        LOG_ERROR("Invalid extension id.");
        return nullptr;
    }
    *length = n;
    return data;
}

// The file id is part of the reader's signature so that callers name the hour they read;
// the descriptor alone decides what is read.
const uint8_t *ext_read(int fd, uint64_t locator, uint32_t, uint8_t *buffer, uint16_t *length) {
    *length = 0;
    if (fd == -1)
        return nullptr;
    ext_block blk;
    return ext_loaded_entry(ext_block_load(fd, ext_locator_block(locator), buffer, false, &blk),
                            blk, locator, length);
}

const uint8_t *ext_read_mem(const uint8_t *bytes, uint64_t have, uint64_t locator, uint8_t *buffer,
                            uint16_t *length) {
    *length = 0;
    ext_block blk;
    return ext_loaded_entry(ext_block_in(bytes, have, buffer, &blk), blk, locator, length);
}

// Calls `fn` for each entry of a block: 1 when it stopped, else 0. Entries that do not fit
// end the block with an error line.
static int ext_block_walk(const ext_block &blk, void *ctx, ext_entry_fn fn) {
    uint32_t pos = 0;
    while (blk.raw - pos >= EXT_ENTRY_HEAD) {
        uint16_t length;
        const uint8_t *data = ext_block_entry(blk, pos, &length);
        if (data == nullptr)
            break;
        const uint8_t *head = blk.payload + pos;
        if (fn(ctx, load_be16(head + 2), load_be16(head), data, length) != 0)
            return 1;
        pos += EXT_ENTRY_HEAD + length;
    }
    if (pos != blk.raw)
        LOG_ERROR("Invalid extension local offset.");
    return 0;
}

int ext_iterate_exts(int fd, uint64_t offset, uint32_t length, uint8_t *buffer, void *ctx,
                     ext_entry_fn fn) {
    uint64_t end = length == 0 || offset > UINT64_MAX - length ? UINT64_MAX : offset + length;
    while (offset < end) {
        ext_block blk;
        const uint64_t left = end - offset;
        switch (ext_block_load(fd, offset, buffer, true, &blk,
                               static_cast<uint32_t>(std::min<uint64_t>(left, EXT_BLOCK_SPAN)))) {
        case EXT_BLOCK_OK:
            break;
        case EXT_BLOCK_END:
        case EXT_BLOCK_NOT_UNPACKED:
        // A damaged block costs the entries of its own blob only: where the blob's next
        // block would start is not known, so the walk ends there, and its caller goes on.
        case EXT_BLOCK_FAILED:
            return 0;
        default:
            return -1;
        }
        offset += EXT_HEADER_SIZE + blk.stored;
        if (ext_block_walk(blk, ctx, fn) != 0)
            return 1;
    }
    return 0;
}

// ---- Entries for references ----

// The one `.x` file and the one checked block a reference lookup keeps.
struct ext_ref_reader {
    uint64_t agent_id;
    uint8_t *buffer;
    fd_owner fd;
    uint32_t file_id = 0;
    bool cached = false;
    uint64_t cached_offset = 0;
    ext_block blk{};
    bool failed = false; // a file or block that exists could not be read (not: is damaged)
};

static bool ext_ref_before(const ext_ref &a, const ext_ref &b) {
    uint64_t ab = ext_locator_block(a.locator), bb = ext_locator_block(b.locator);
    if (a.file_id != b.file_id)
        return a.file_id < b.file_id;
    if (ab != bb)
        return ab < bb;
    return ext_locator_entry(a.locator) < ext_locator_entry(b.locator);
}

// Makes the reference's hour file the open one: true when it is open.
static bool ext_ref_open(ext_ref_reader *r, uint32_t file_id) {
    if (r->fd.valid() && r->file_id == file_id)
        return true;
    r->fd.reset();
    r->cached = false;
    char path[64];
    snprintf(path, sizeof path, "storage.db/data/%016lX/mc/%u.%u.x",
             static_cast<unsigned long>(r->agent_id), file_id >> 5, file_id & 31);
    r->fd.reset(open(path, O_RDONLY | O_CLOEXEC));
    if (!r->fd.valid() && errno != ENOENT) {
        LOG_SYSERR_PATH("open", path);
        r->failed = true;
    }
    r->file_id = file_id;
    return r->fd.valid();
}

// Makes the block at `offset` the cached one: true when it was read and checked.
static bool ext_ref_block(ext_ref_reader *r, uint64_t offset) {
    if (r->cached && r->cached_offset == offset)
        return true;
    const ext_block_status status = ext_block_load(r->fd.get(), offset, r->buffer, false, &r->blk);
    r->cached = status == EXT_BLOCK_OK;
    r->cached_offset = offset;
    if (status == EXT_BLOCK_UNREAD)
        r->failed = true;
    return r->cached;
}

// The entry data of one reference, or nullptr (logged where it says why).
static const uint8_t *ext_ref_entry(ext_ref_reader *r, const ext_ref &ref, uint16_t *length) {
    if (ref.file_id >> 5 == 0) {
        LOG_ERROR("Invalid extension decomposition!");
        return nullptr;
    }
    if (!ext_ref_open(r, ref.file_id) || !ext_ref_block(r, ext_locator_block(ref.locator)))
        return nullptr;
    uint32_t offset = ext_locator_entry(ref.locator);
    if (offset + EXT_ENTRY_HEAD > r->blk.raw) {
        LOG_ERROR("Invalid extension local offset. Block size [%u] exceeded.", r->blk.raw);
        return nullptr;
    }
    const uint8_t *data = ext_block_entry(r->blk, offset, length);
    if (data == nullptr)
        LOG_ERROR("Invalid extension local offset. Ext size [%u] too large.", *length);
    return data;
}

int dbs_get_calls_ext(uint8_t *buffer, uint64_t agent_id, uint64_t n, ext_ref *refs, void *ctx,
                      ext_ref_fn fn) {
    if (n == 0)
        return 0;
    std::sort(refs, refs + n, ext_ref_before);
    ext_ref_reader r{agent_id, buffer, fd_owner(), 0, false, 0, {}, false};
    for (uint64_t i = 0; i < n; ++i) {
        const ext_ref ref = refs[i];
        uint16_t length = 0;
        const uint8_t *data = ext_ref_entry(&r, ref, &length);
        if (data != nullptr && fn(ctx, ref.locator, ref.file_id, data, length) != 0)
            break;
    }
    return r.failed ? -1 : 0;
}

// ---- Parsing an entry ----

// Entries up to this many bytes are parsed in a copy on the stack.
static constexpr uint32_t EXT_PARSE_LOCAL = 1024;

// The next part of an entry's data: a u16 length and that many bytes, which start at *start.
static bool ext_part(be_cursor *c, uint32_t *start, uint32_t *size) {
    uint16_t n;
    if (!c->get(&n))
        return false;
    *start = c->offset;
    *size = n;
    return c->skip(n);
}

// The first separator in [p, stop), or NULL. Keys and most values are a few bytes long, for
// which a plain loop costs less than setting up memchr; longer ones go on with memchr.
static char *ext_find_separator(char *p, char *stop) {
    constexpr ptrdiff_t SHORT = 16;
    char *const short_stop = stop - p > SHORT ? p + SHORT : stop;
    for (; p < short_stop; p++) {
        if (*p == EXT_KV_SEPARATOR)
            return p;
    }
    return p < stop ? static_cast<char *>(memchr(p, EXT_KV_SEPARATOR, stop - p)) : nullptr;
}

// Calls `kv_fn` for each key and value of the list in copy[start, end); a list ends at its
// last separator or at its end.
static void ext_parse_pairs(char *copy, uint32_t start, uint32_t end, void *ctx, ext_kv_fn kv_fn) {
    char *p = copy + start;
    char *const stop = copy + end;
    while (p < stop) {
        char *key_end = ext_find_separator(p, stop);
        if (key_end == nullptr)
            return;
        char *value = key_end + 1;
        char *value_end = ext_find_separator(value, stop);
        bool last = value_end == nullptr;
        if (last)
            value_end = stop;
        *key_end = '\0';
        *value_end = '\0';
        if (kv_fn(ctx, p, value) != 0 || last)
            return;
        p = value_end + 1;
    }
}

void ext_parse_entry(uint16_t flags, const uint8_t *data, uint16_t length, void *ctx,
                     ext_kv_fn kv_fn, ext_text_fn text_fn) {
    if (data == nullptr || (flags & (EXT_HAS_TEXT | EXT_HAS_PAIRS)) == 0)
        return;
    uint32_t text_at = 0, text_size = 0, kv_at = 0, kv_size = 0;
    be_cursor c{data, length, 0};
    if ((flags & EXT_HAS_TEXT) && !ext_part(&c, &text_at, &text_size))
        return;
    if ((flags & EXT_HAS_PAIRS) && !ext_part(&c, &kv_at, &kv_size))
        return;
    // A copy with room for a terminating zero after every part, the last one included: on the
    // stack for the usual short entry, which queries parse once per root call.
    char local[EXT_PARSE_LOCAL];
    std::unique_ptr<char, decltype(&free)> allocated(nullptr, &free);
    char *copy = local;
    if (length + 1u > sizeof local) {
        allocated.reset(static_cast<char *>(krv_malloc(length + 1u)));
        copy = allocated.get();
    }
    memcpy(copy, data, length);
    copy[length] = '\0';
    if ((flags & EXT_HAS_TEXT) && text_fn != nullptr) {
        copy[text_at + text_size] = '\0';
        if (text_fn(ctx, copy + text_at, static_cast<uint16_t>(text_size)) != 0)
            return;
    }
    if ((flags & EXT_HAS_PAIRS) && kv_fn != nullptr)
        ext_parse_pairs(copy, kv_at, kv_at + kv_size, ctx, kv_fn);
}
