#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <lz4.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/ext.h"
#include "lib/crc32.h"
#include "lib/files.h"
#include "lib/log_capture.h"
#include "support/in_temp_dir.h"
#include "support/test_support.h"

namespace {

// Byte strings; "\036" in them is the list separator 0x1E.
using Bytes = std::string;

Bytes bytes(std::initializer_list<int> list) {
    Bytes b;
    for (int v : list)
        b.push_back(static_cast<char>(v));
    return b;
}

Bytes be16(uint16_t v) {
    return bytes({v >> 8, v & 0xFF});
}

Bytes entry(uint16_t call_index, uint16_t flags, const Bytes &data) {
    return be16(call_index) + be16(flags) + be16(static_cast<uint16_t>(data.size())) + data;
}

Bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes b(n, '\0');
    for (auto &c : b)
        c = static_cast<char>(gen());
    return b;
}

Bytes as_bytes(const uint8_t *p, size_t n) {
    return Bytes(reinterpret_cast<const char *>(p), n);
}

uint32_t get32(const Bytes &b, size_t at) {
    return static_cast<uint32_t>(
        static_cast<uint8_t>(b[at]) << 24 | static_cast<uint8_t>(b[at + 1]) << 16 |
        static_cast<uint8_t>(b[at + 2]) << 8 | static_cast<uint8_t>(b[at + 3]));
}

void put32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// Recomputes the header CRC of the block at `at`, as a writer would have.
void fix_crc(Bytes &b, size_t at) {
    put32(b, at + 8, 0);
    put32(b, at + 8, crc32_calc(b.data() + at, 12));
}

// One entry (call index 1, flags 0x02, "a" 0x1E "1") stored raw, written out by hand.
const Bytes kRawBlock = bytes({0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x09, 0xDA, 0x66, 0x12,
                               0x45, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 'a',  0x1E, '1'});

// One entry (call index 2, flags 0x08, a 62-character text of 'x') whose 70-byte payload is
// LZ4-compressed by hand: 9 literals, a match of 56 bytes at distance 1, then 5 literals.
const Bytes kLz4Payload = entry(2, 0x08, be16(62) + Bytes(62, 'x'));
const Bytes kLz4Block = bytes({0x00, 0x00, 0x00, 0x46, 0x00, 0x00, 0x00, 0x13, 0xF1, 0x1D, 0x51,
                               0xB0, 0x9F, 0x00, 0x02, 0x00, 0x08, 0x00, 0x40, 0x00, 0x3E, 'x',
                               0x01, 0x00, 0x25, 0x50, 'x',  'x',  'x',  'x',  'x'});
// Offset of the LZ4 match distance inside kLz4Block.
constexpr size_t kLz4DistanceAt = 22;

constexpr uint64_t kAgent = 0xAB;
constexpr uint32_t kDay = 20000;

// The file id of an hour of kDay: day << 5 | hour.
uint32_t hour_id(uint32_t hour) {
    return kDay << 5 | hour;
}

std::string x_path(uint32_t hour) {
    return "storage.db/data/00000000000000AB/mc/" + std::to_string(kDay) + "." +
           std::to_string(hour) + ".x";
}

// Runs a test body inside a fresh store directory tree as the working directory.
class ExtFiles : public InTempDir {
protected:
    void SetUp() override {
        InTempDir::SetUp();
        ASSERT_EQ(sys_mkdirs("storage.db/data/00000000000000AB/mc"), 0);
        buffer_.resize(EXT_READER_BUFFER_SIZE);
    }

    int open_x(uint32_t hour) { return open(x_path(hour).c_str(), O_RDONLY); }

    std::vector<uint8_t> buffer_;
};

// What a walk hands out, one "index/flags:data;" item per entry.
int collect_entry(void *ctx, uint16_t flags, uint16_t call_index, const uint8_t *data,
                  uint16_t length) {
    auto *out = static_cast<std::string *>(ctx);
    *out += std::to_string(call_index) + "/" + std::to_string(flags) + ":" +
            as_bytes(data, length) + ";";
    return 0;
}

struct RefSeen {
    std::vector<std::pair<ext_ref, Bytes>> items;
    std::function<int()> after_each = [] { return 0; };
};

int collect_ref(void *ctx, uint64_t locator, uint32_t file_id, const uint8_t *data,
                uint16_t length) {
    auto *seen = static_cast<RefSeen *>(ctx);
    seen->items.push_back({{locator, file_id}, as_bytes(data, length)});
    return seen->after_each();
}

// ---- Blocks against hand-written bytes ----

TEST(ExtBlock, HandWrittenLz4VectorIsValid) {
    char out[70];
    ASSERT_EQ(LZ4_decompress_safe(kLz4Block.data() + 12, out, 19, 70), 70);
    EXPECT_EQ(Bytes(out, 70), kLz4Payload);
}

TEST(ExtBlock, BuilderWritesARawBlockAsHandWritten) {
    ext_buf *b = ext_buf_new();
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    EXPECT_EQ(ext_buf_bytes(b), sizeof(ext_buf)) << "a new builder holds no block yet";
    uint32_t grown = 7, length = 0;
    EXPECT_EQ(ext_buf_add(&b, &grown, scratch.data(), 0x02, 1, "a\0361", 3), 0u);
    EXPECT_EQ(grown, EXT_OPEN_FIRST) << "the open block starts small";
    EXPECT_EQ(ext_buf_bytes(b), sizeof(ext_buf) + EXT_OPEN_FIRST);
    const uint8_t *blob = ext_buf_finish(&b, &length, &grown, scratch.data());
    EXPECT_EQ(as_bytes(blob, length), kRawBlock);
    EXPECT_EQ(blob, b->open); // a raw single block is handed out where it was built
    EXPECT_EQ(grown, 0u);
    ext_buf_free(b);
}

TEST(ExtBlock, SingleCompressedBlockComesFromScratch) {
    ext_buf *b = ext_buf_new();
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    uint32_t grown = 0, length = 0;
    Bytes payload;
    for (uint16_t i = 0; i < 3; ++i) {
        Bytes data(1000, static_cast<char>('a' + i));
        ext_buf_add(&b, &grown, scratch.data(), 0x02, i, data.data(), 1000);
        payload += entry(i, 0x02, data);
    }
    const uint8_t *blob = ext_buf_finish(&b, &length, &grown, scratch.data());
    ASSERT_EQ(blob, scratch.data());
    Bytes block = as_bytes(blob, length);
    uint32_t stored = get32(block, 4);
    EXPECT_EQ(get32(block, 0), payload.size());
    EXPECT_LT(stored, payload.size());
    EXPECT_EQ(length, 12 + stored);
    Bytes header = block.substr(0, 12);
    fix_crc(header, 0);
    EXPECT_EQ(header, block.substr(0, 12));
    std::vector<char> out(payload.size());
    EXPECT_EQ(LZ4_decompress_safe(block.data() + 12, out.data(), static_cast<int>(stored),
                                  static_cast<int>(out.size())),
              static_cast<int>(payload.size()));
    EXPECT_EQ(Bytes(out.data(), out.size()), payload);
    EXPECT_EQ(b->tail_used, 0u);
    ext_buf_free(b);
}

TEST(ExtBlock, BuilderWithoutEntriesHasNoBlob) {
    ext_buf *b = ext_buf_new();
    uint8_t scratch[EXT_SCRATCH_SIZE];
    uint32_t grown = 1, length = 1;
    EXPECT_EQ(ext_buf_finish(&b, &length, &grown, scratch), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(grown, 0u);
    ext_buf_free(b);
    ext_buf_free(nullptr);
}

// ---- The 65,809-byte block split ----

TEST(ExtBuilder, BlocksCloseAt65809PayloadBytes) {
    // Random data does not compress, so every block is stored raw and its size is known.
    const Bytes big = random_bytes(65535, 1), small = random_bytes(294, 2),
                tail = random_bytes(263, 3);
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    ext_buf *b = ext_buf_new();
    uint32_t grown = 0;
    EXPECT_EQ(ext_buf_add(&b, &grown, scratch.data(), 2, 0, small.data(), 294), 0u);
    // The open block doubles from its first size until the entry fits: 128, 256, 512.
    EXPECT_EQ(grown, 512u);
    // 300 + 65541 > 65809: the first block closes and the big entry starts a new one, for
    // which the open block grows to its largest.
    EXPECT_EQ(ext_buf_add(&b, &grown, scratch.data(), 2, 1, big.data(), 65535),
              ext_locator(312, 0));
    EXPECT_EQ(grown, 312u + EXT_OPEN_MAX - 512);

    ext_buf *other = ext_buf_new();
    uint32_t other_grown = 0;
    ext_buf_add(&other, &other_grown, scratch.data(), 2, 0, small.data(), 294);
    ext_buf_add(&other, &other_grown, scratch.data(), 2, 1, big.data(), 65535);
    // 263 data bytes make 65810: that block closes too.
    EXPECT_EQ(ext_buf_add(&other, &other_grown, scratch.data(), 2, 2, tail.data(), 263),
              ext_locator(312 + 12 + 65541, 0));
    EXPECT_EQ(other_grown, 12u + 65541);
    ext_buf_free(other);

    // 262 data bytes fill the block to exactly 65809; any further entry closes it.
    EXPECT_EQ(ext_buf_add(&b, &grown, scratch.data(), 2, 2, tail.data(), 262),
              ext_locator(312, 65541));
    EXPECT_EQ(grown, 0u);
    EXPECT_EQ(ext_buf_add(&b, &grown, scratch.data(), 2, 3, nullptr, 0),
              ext_locator(312 + 12 + 65809, 0));
    EXPECT_EQ(grown, 12u + 65809);

    uint32_t length = 0;
    const uint8_t *blob = ext_buf_finish(&b, &length, &grown, scratch.data());
    EXPECT_EQ(grown, 18u);
    ASSERT_EQ(length, 312u + 65821 + 18);
    Bytes all = as_bytes(blob, length);
    EXPECT_EQ(get32(all, 0), 300u);
    EXPECT_EQ(get32(all, 312), 65809u);
    EXPECT_EQ(get32(all, 312 + 4), 65809u);
    EXPECT_EQ(all.substr(312 + 12, 6 + 65535), entry(1, 2, big));
    EXPECT_EQ(all.substr(312 + 65821),
              bytes({0, 0, 0, 6, 0, 0, 0, 6}) + all.substr(312 + 65829, 4) + entry(3, 2, ""));
    // Finishing again hands out the same blob.
    EXPECT_EQ(ext_buf_finish(&b, &length, &grown, scratch.data()), blob);
    EXPECT_EQ(length, 312u + 65821 + 18);

    uint32_t held = 0;
    b = ext_buf_reset(b, &held);
    EXPECT_EQ(held, 312u + 65821 + 18 + EXT_OPEN_MAX - EXT_OPEN_FIRST);
    EXPECT_EQ(ext_buf_bytes(b), sizeof(ext_buf) + EXT_OPEN_FIRST);
    EXPECT_EQ(ext_buf_add(&b, &grown, scratch.data(), 2, 0, "z", 1), 0u);
    EXPECT_EQ(ext_buf_finish(&b, &length, &grown, scratch.data()), b->open);
    EXPECT_EQ(length, 19u);
    ext_buf_free(b);
}

// ---- Writing blobs, locators in both forms ----

struct BuiltBlob {
    Bytes blob;
    std::vector<std::pair<uint64_t, Bytes>> entries; // stored locator, entry data
    std::string walk;                                // what a walk over the blob yields
};

// A blob of several blocks, some compressible and some not.
BuiltBlob build_blob(unsigned seed) {
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    ext_buf *b = ext_buf_new();
    BuiltBlob out;
    uint32_t grown = 0;
    for (uint16_t i = 0; i < 40; ++i) {
        Bytes data = i % 3 == 0 ? random_bytes(5000 + i, seed + i) : Bytes(7000, 'k');
        uint16_t flags = i % 2 ? 0x02 : 0x08;
        out.entries.push_back({ext_buf_add(&b, &grown, scratch.data(), flags, i, data.data(),
                                           static_cast<uint16_t>(data.size())),
                               data});
        out.walk += std::to_string(i) + "/" + std::to_string(flags) + ":" + data + ";";
    }
    uint32_t length = 0;
    const uint8_t *blob = ext_buf_finish(&b, &length, &grown, scratch.data());
    out.blob = as_bytes(blob, length);
    ext_buf_free(b);
    return out;
}

// Counts the blocks of a blob stored compressed and stored raw.
std::pair<int, int> count_blocks(const Bytes &blob) {
    std::pair<int, int> n{0, 0};
    for (size_t at = 0; at < blob.size(); at += 12 + get32(blob, at + 4))
        ++(get32(blob, at + 4) < get32(blob, at) ? n.first : n.second);
    return n;
}

TEST_F(ExtFiles, LocatorsResolveInStoredAndAbsoluteForm) {
    const BuiltBlob first = build_blob(10), second = build_blob(20);
    const auto [packed, raw] = count_blocks(first.blob);
    ASSERT_GE(packed, 1);
    ASSERT_GE(packed + raw, 3);
    // Two root calls' blobs, one after the other, as the hour's extension file holds them.
    write_file(x_path(5), first.blob + second.blob);

    int fd = open_x(5);
    ASSERT_GE(fd, 0);
    const uint32_t file_id = hour_id(5);
    uint16_t length = 0;
    // The first blob starts the file: its stored locators are already absolute.
    for (const auto &[locator, data] : first.entries) {
        const uint8_t *got = ext_read(fd, locator, file_id, buffer_.data(), &length);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(as_bytes(got, length), data);
    }
    for (const auto &[locator, data] : second.entries) {
        uint64_t absolute = ext_locator_absolute(locator, first.blob.size());
        EXPECT_EQ(ext_locator_entry(absolute), ext_locator_entry(locator));
        const uint8_t *got = ext_read(fd, absolute, file_id, buffer_.data(), &length);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(as_bytes(got, length), data);
    }

    std::string walked;
    EXPECT_EQ(ext_iterate_exts(fd, first.blob.size(), second.blob.size(), buffer_.data(), &walked,
                               collect_entry),
              0);
    EXPECT_EQ(walked, second.walk);
    walked.clear();
    EXPECT_EQ(ext_iterate_exts(fd, 0, first.blob.size(), buffer_.data(), &walked, collect_entry),
              0);
    EXPECT_EQ(walked, first.walk);
    walked.clear();
    EXPECT_EQ(ext_iterate_exts(fd, 0, 0, buffer_.data(), &walked, collect_entry), 0);
    EXPECT_EQ(walked, first.walk + second.walk);

    int calls = 0;
    auto stop_at_third = [](void *ctx, uint16_t, uint16_t, const uint8_t *, uint16_t) {
        return ++*static_cast<int *>(ctx) == 3 ? 7 : 0;
    };
    EXPECT_EQ(ext_iterate_exts(fd, 0, 0, buffer_.data(), &calls, stop_at_third), 1);
    EXPECT_EQ(calls, 3);
    close(fd);
}

TEST_F(ExtFiles, ReadersDecodeHandWrittenRawAndLz4Blocks) {
    write_file(x_path(5), kRawBlock + kLz4Block);
    int fd = open_x(5);
    ASSERT_GE(fd, 0);
    uint16_t length = 0;
    const uint8_t *got = ext_read(fd, ext_locator(0, 0), 0, buffer_.data(), &length);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(as_bytes(got, length), "a\0361");
    got = ext_read(fd, ext_locator(21, 0), 0, buffer_.data(), &length);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(as_bytes(got, length), be16(62) + Bytes(62, 'x'));
    std::string walked;
    EXPECT_EQ(ext_iterate_exts(fd, 0, 0, buffer_.data(), &walked, collect_entry), 0);
    EXPECT_EQ(walked, "1/2:a\0361;2/8:" + be16(62) + Bytes(62, 'x') + ";");
    // A length that ends inside a block still yields that whole block, and no more.
    walked.clear();
    EXPECT_EQ(ext_iterate_exts(fd, 0, 5, buffer_.data(), &walked, collect_entry), 0);
    EXPECT_EQ(walked, "1/2:a\0361;");
    EXPECT_EQ(ext_read(-1, 0, 0, buffer_.data(), &length), nullptr);
    EXPECT_EQ(length, 0);
    close(fd);
}

// ---- References ----

TEST_F(ExtFiles, ReferencesResolveSortedAcrossHourFiles) {
    // Hour 5: raw block at 0, LZ4 block at 21. Hour 7: a raw block of its own at 0.
    write_file(x_path(5), kRawBlock + kLz4Block);
    Bytes hour7 = bytes({0, 0, 0, 7, 0, 0, 0, 7, 0, 0, 0, 0}) + entry(0, 2, "q");
    fix_crc(hour7, 0);
    write_file(x_path(7), hour7);
    const uint32_t h5 = hour_id(5), h7 = hour_id(7);
    std::vector<ext_ref> refs = {
        {ext_locator(0, 0), h7}, {ext_locator(21, 0), h5},        {ext_locator(0, 0), 5},
        {ext_locator(0, 0), h5}, {ext_locator(0, 0), hour_id(6)}, {ext_locator(21, 0), h5},
    };
    RefSeen seen;
    Logged log = run_logged([&] {
        dbs_get_calls_ext(buffer_.data(), kAgent, refs.size(), refs.data(), &seen, collect_ref);
        printf("%zu", seen.items.size());
        for (const auto &[ref, data] : seen.items)
            printf(" %u:%lu:%s", ref.file_id, static_cast<unsigned long>(ref.locator),
                   data.substr(data.size() - 1).c_str());
        // The array is sorted in place.
        printf(" | %u %u", refs.front().file_id, refs.back().file_id);
    });
    // Day 0 is refused; the missing hour 6 is skipped silently; a reference named twice
    // yields its entry twice.
    EXPECT_EQ(log.lines, "ERROR  Invalid extension decomposition!\n");
    const std::string h5s = std::to_string(h5), h7s = std::to_string(h7);
    EXPECT_EQ(log.out,
              "4 " + h5s + ":0:1 " + h5s + ":21:x " + h5s + ":21:x " + h7s + ":0:q | 5 " + h7s);
}

TEST_F(ExtFiles, OneReadServesEveryReferenceIntoABlock) {
    write_file(x_path(5), kRawBlock + kLz4Block);
    Bytes hour6 = kLz4Block;
    hour6.back() = 'y'; // the last literal: the text now ends in 'y'
    write_file(x_path(6), kRawBlock + hour6);
    const uint32_t h5 = hour_id(5), h6 = hour_id(6);
    // Entry offsets 0 and an invalid 1 in the raw block, then the LZ4 block at 21.
    std::vector<ext_ref> refs = {{ext_locator(21, 0), h6},
                                 {ext_locator(0, 0), h5},
                                 {ext_locator(0, 0), h5},
                                 {ext_locator(21, 0), h5}};
    RefSeen seen;
    const std::string path5 = x_path(5);
    // Once the first entry of hour 5 is delivered, its bytes on disk are destroyed: the next
    // reference into the same block still resolves from the block already read, the one
    // into the next block of that file does not.
    seen.after_each = [&] {
        if (seen.items.size() == 1)
            write_file(path5, Bytes(kRawBlock.size() + kLz4Block.size(), '\0'));
        return 0;
    };
    Logged log = run_logged([&] {
        dbs_get_calls_ext(buffer_.data(), kAgent, refs.size(), refs.data(), &seen, collect_ref);
        for (const auto &[ref, data] : seen.items)
            printf("%u:%s;", ref.file_id, data.substr(data.size() - 1).c_str());
    });
    EXPECT_EQ(log.out,
              std::to_string(h5) + ":1;" + std::to_string(h5) + ":1;" + std::to_string(h6) + ":y;");
    EXPECT_EQ(log.lines, "ERROR  Extension data header corrupted.\n");
}

TEST_F(ExtFiles, ACallbackResultEndsTheLookup) {
    write_file(x_path(5), kRawBlock + kLz4Block);
    const uint32_t h5 = hour_id(5);
    std::vector<ext_ref> refs = {{ext_locator(21, 0), h5}, {ext_locator(0, 0), h5}};
    RefSeen seen;
    seen.after_each = [] { return 1; };
    dbs_get_calls_ext(buffer_.data(), kAgent, refs.size(), refs.data(), &seen, collect_ref);
    ASSERT_EQ(seen.items.size(), 1u);
    EXPECT_EQ(seen.items[0].first.locator, ext_locator(0, 0));
    dbs_get_calls_ext(buffer_.data(), kAgent, 0, nullptr, &seen, collect_ref);
    EXPECT_EQ(seen.items.size(), 1u);
}

// ---- Damaged files: each reader fails exactly where the damage is, a walk of blocks ends
// there without failing (a read error alone fails it) ----

struct CorruptionCase {
    const char *what;
    std::function<void(Bytes &)> damage;
    uint64_t locator; // the reference read by ext_read and dbs_get_calls_ext
    const char *read; // ext_read: the data's last byte or "NULL", then its log
    const char *read_log;
    const char *walk; // ext_iterate_exts from 0 to the end: result and entries walked
    const char *walk_log;
    const char *refs; // dbs_get_calls_ext: entries found
    const char *refs_log;
};

TEST_F(ExtFiles, DamagedBlocksFailOnlyTheirOwnPath) {
    const std::string corrupted = "ERROR  Extension data header corrupted.\n";
    const std::string incomplete = "ERROR  Extension data block incomplete.\n";
    const CorruptionCase cases[] = {
        {"intact", [](Bytes &) {}, ext_locator(21, 0), "x", "", "0 1,2", "", "1", ""},
        {"raw size flipped", [](Bytes &f) { f[3] ^= 0x01; }, ext_locator(0, 0), "NULL",
         corrupted.c_str(), "0 ", corrupted.c_str(), "0", corrupted.c_str()},
        {"CRC flipped", [](Bytes &f) { f[10] ^= 0x80; }, ext_locator(0, 0), "NULL",
         corrupted.c_str(), "0 ", corrupted.c_str(), "0", corrupted.c_str()},
        {"LZ4 header flipped", [](Bytes &f) { f[21 + 7] ^= 0x01; }, ext_locator(21, 0), "NULL",
         corrupted.c_str(), "0 1", corrupted.c_str(), "0", corrupted.c_str()},
        {"size above the block limit, CRC fixed",
         [](Bytes &f) {
             put32(f, 0, 65810);
             put32(f, 4, 65810);
             fix_crc(f, 0);
         },
         ext_locator(0, 0), "NULL", corrupted.c_str(), "0 ", corrupted.c_str(), "0",
         corrupted.c_str()},
        {"stored size past the end of the file, CRC fixed",
         [](Bytes &f) {
             put32(f, 21 + 4, 200);
             fix_crc(f, 21);
         },
         ext_locator(21, 0), "NULL", incomplete.c_str(), "0 1", incomplete.c_str(), "0",
         incomplete.c_str()},
        {"LZ4 match reaching before the payload",
         [](Bytes &f) { f[21 + kLz4DistanceAt] = static_cast<char>(0xFF); }, ext_locator(21, 0),
         "NULL", "ERROR  Extension data decompression error.\n", "0 1", "", "0", ""},
        {"raw entry length too large", [](Bytes &f) { f[12 + 5] = 4; }, ext_locator(0, 0), "NULL",
         "ERROR  Invalid extension id.\n", "0 2", "ERROR  Invalid extension local offset.\n", "0",
         "ERROR  Invalid extension local offset. Ext size [4] too large.\n"},
        {"raw block with 2 bytes after its entry, CRC fixed",
         [](Bytes &f) {
             f.insert(21, "zz");
             put32(f, 0, 11);
             put32(f, 4, 11);
             fix_crc(f, 0);
         },
         ext_locator(0, 0), "1", "", "0 1,2", "ERROR  Invalid extension local offset.\n", "1", ""},
        {"entry offset past the block", [](Bytes &) {}, ext_locator(0, 4), "NULL",
         "ERROR  Invalid extension id.\n", "0 1,2", "", "0",
         "ERROR  Invalid extension local offset. Block size [9] exceeded.\n"},
        {"block missing behind the file's end", [](Bytes &f) { f.resize(21); }, ext_locator(21, 0),
         "NULL", incomplete.c_str(), "0 1", "", "0", incomplete.c_str()},
    };
    const uint32_t h5 = hour_id(5);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = kRawBlock + kLz4Block;
        c.damage(file);
        write_file(x_path(5), file);
        const uint64_t locator = c.locator;
        Logged read = run_logged([&] {
            int fd = open_x(5);
            uint16_t length = 0;
            const uint8_t *got = ext_read(fd, locator, h5, buffer_.data(), &length);
            printf("%s", got ? Bytes(1, static_cast<char>(got[length - 1])).c_str() : "NULL");
        });
        EXPECT_EQ(read.out, c.read);
        EXPECT_EQ(read.lines, c.read_log);
        // Reading the same bytes from memory fails and succeeds the same way.
        Logged in_memory = run_logged([&] {
            const uint64_t at = std::min<uint64_t>(ext_locator_block(locator), file.size());
            uint16_t length = 0;
            const uint8_t *got = ext_read_mem(reinterpret_cast<const uint8_t *>(file.data()) + at,
                                              file.size() - at, locator, buffer_.data(), &length);
            printf("%s", got ? Bytes(1, static_cast<char>(got[length - 1])).c_str() : "NULL");
        });
        EXPECT_EQ(in_memory.out, c.read);
        EXPECT_EQ(in_memory.lines, c.read_log);
        Logged walk = run_logged([&] {
            int fd = open_x(5);
            std::vector<uint16_t> seen;
            auto note = [](void *ctx, uint16_t, uint16_t index, const uint8_t *, uint16_t) {
                static_cast<std::vector<uint16_t> *>(ctx)->push_back(index);
                return 0;
            };
            int rc = ext_iterate_exts(fd, 0, 0, buffer_.data(), &seen, note);
            std::string items;
            for (uint16_t i : seen)
                items += (items.empty() ? "" : ",") + std::to_string(i);
            printf("%d %s", rc, items.c_str());
        });
        EXPECT_EQ(walk.out, c.walk);
        EXPECT_EQ(walk.lines, c.walk_log);
        Logged refs = run_logged([&] {
            ext_ref ref{locator, h5};
            RefSeen seen;
            dbs_get_calls_ext(buffer_.data(), kAgent, 1, &ref, &seen, collect_ref);
            printf("%zu", seen.items.size());
        });
        EXPECT_EQ(refs.out, c.refs);
        EXPECT_EQ(refs.lines, c.refs_log);
    }
}

// ---- Parsing entries ----

struct ParseLog {
    std::string calls;
    int stop_after = 0; // the callback result turns 1 at this call (0: never)
    int n = 0;
};

int note_kv(void *ctx, char *key, char *value) {
    auto *p = static_cast<ParseLog *>(ctx);
    p->calls += std::string("K[") + key + "]=[" + value + "]";
    return ++p->n == p->stop_after;
}

int note_text(void *ctx, char *text, uint16_t length) {
    auto *p = static_cast<ParseLog *>(ctx);
    p->calls += "T[" + std::string(text) + "]" + std::to_string(length);
    return ++p->n == p->stop_after;
}

TEST(ExtParse, SplitsTextAndKeyValueParts) {
    const Bytes list = "a\0361\036b\0362";
    const std::string long_key(20, 'k'), long_value(33, 'v'), big_value(3000, 'x');
    const Bytes long_list = long_key + "\036" + long_value + "\036b\0362";
    const Bytes big_list = "big\036" + big_value + "\036c\036";
    const struct {
        uint16_t flags;
        Bytes data;
        int stop_after;
        std::string calls;
    } cases[] = {
        {0x02, be16(7) + list, 0, "K[a]=[1]K[b]=[2]"},
        {0x02, be16(8) + list + "\036", 0, "K[a]=[1]K[b]=[2]"},
        {0x02, be16(5) + "a\0361\036b", 0, "K[a]=[1]"},
        {0x02, be16(2) + "k\036", 0, "K[k]=[]"},
        {0x02, be16(7) + list, 1, "K[a]=[1]"},
        {0x08, be16(5) + "boom!", 0, "T[boom!]5"},
        {0x0A, be16(3) + "err" + be16(3) + "k\036v", 0, "T[err]3K[k]=[v]"},
        {0x0A, be16(3) + "err" + be16(3) + "k\036v", 1, "T[err]3"},
        {0x1A, be16(0) + be16(3) + "k\036v", 0, "T[]0K[k]=[v]"},
        // The list ends with its declared length, not with the data.
        {0x02, be16(3) + "k\036v" + "tail\036", 0, "K[k]=[v]"},
        // Parts that do not fit, and flags without parts, yield nothing.
        {0x02, be16(8) + list, 0, ""},
        {0x08, be16(6) + "boom!", 0, ""},
        {0x0A, be16(3) + "err" + be16(4) + "k\036v", 0, ""},
        {0x0A, be16(3) + "err", 0, ""},
        {0x02, bytes({0}), 0, ""},
        {0x11, be16(7) + list, 0, ""},
        // Keys and values longer than a few bytes, and an entry too long to copy on the stack.
        {0x02, be16(long_list.size()) + long_list, 0,
         "K[" + long_key + "]=[" + long_value + "]K[b]=[2]"},
        {0x0A, be16(4) + "oops" + be16(big_list.size()) + big_list, 0,
         "T[oops]4K[big]=[" + big_value + "]K[c]=[]"},
    };
    for (const auto &c : cases) {
        ParseLog log;
        log.stop_after = c.stop_after;
        ext_parse_entry(c.flags, reinterpret_cast<const uint8_t *>(c.data.data()),
                        static_cast<uint16_t>(c.data.size()), &log, note_kv, note_text);
        EXPECT_EQ(log.calls, c.calls) << "flags " << c.flags << " case " << &c - cases;
    }
    ParseLog log;
    const Bytes both = be16(3) + "err" + be16(3) + "k\036v";
    const auto *raw = reinterpret_cast<const uint8_t *>(both.data());
    ext_parse_entry(0x0A, raw, static_cast<uint16_t>(both.size()), &log, nullptr, note_text);
    ext_parse_entry(0x0A, raw, static_cast<uint16_t>(both.size()), &log, note_kv, nullptr);
    ext_parse_entry(0x0A, nullptr, 10, &log, note_kv, note_text);
    EXPECT_EQ(log.calls, "T[err]3K[k]=[v]");
}

} // namespace
