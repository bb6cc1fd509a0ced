// The archive writer against bytes written out from the format: blocks, file headers and
// where one block ends and the next begins.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/archive.h"
#include "database/store/archive_format.h"
#include "database/store/archive_support.h"
#include "database/store/store_dir.h"
#include "database/store/symbols.h"

namespace {

Bytes noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n, '\0');
    for (char &c : b)
        c = static_cast<char>(rng());
    return b;
}

// A text that LZ4 shrinks: repeated call-like records.
Bytes records(size_t n) {
    Bytes b;
    for (uint32_t i = 0; b.size() < n; i++)
        b += "rec" + std::to_string(i % 97) + "|org.app.Main|run|";
    b.resize(n);
    return b;
}

class ArchiveWriter : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(sys_mkdirs("storage.db/symbols"), 0);
        ASSERT_EQ(archive_ctx_init(&ctx_, 0, 0), 0);
    }
    void TearDown() override {
        archive_ctx_free(&ctx_);
        StoreDir::TearDown();
    }
    void add(const std::string &path, const Bytes &content) {
        write_file(path, content);
        ctx_.entries.push_back({path, content.size(), ARCHIVE_UNARCHIVED, 0});
    }
    // Writes the archive and returns its bytes.
    Bytes write() {
        unlink("out.arch");
        EXPECT_EQ(archive_file(&ctx_, "out.arch", nullptr), 0);
        return read_file("out.arch");
    }

    archive_ctx ctx_;
};

TEST_F(ArchiveWriter, OneBlockUnderFiveHundredTwelveBytesIsStoredRaw) {
    ASSERT_EQ(symbols_create(SYM_THREAD), 0);
    const Bytes path = "storage.db/symbols/thr";
    // Archive header, one block header (raw = stored = 272 + 16), then the stream: the file
    // header of the symbol file and its 16 bytes.
    const Bytes expected = Bytes("KORVANE!\x30\x06", 10) +
                           Bytes("\x00\x00"
                                 "\x00\x00\x01\x20"
                                 "\x00\x00\x01\x20"
                                 "\x47\x39\x48\x90",
                                 14) +
                           Bytes("\x00\x00\x00\x00\x0C\x5A\x8F\x91", 8) + path_field(path) +
                           Bytes("\x00\x00\x00\x00\x00\x00\x00\x10", 8) +
                           Bytes("KORVANE\0\0\0\0\0\0\0\0\0", 16);
    const Bytes archive = write();
    EXPECT_EQ(archive, expected);
    // The same bytes from the format's rules, with the checksums computed here.
    EXPECT_EQ(archive, archive_header() + block(file_entry(path, read_file(path))));
}

TEST(ArchiveFileHeader, CrcMatchesOnlyWithTheSizeLittleEndian) {
    archive_file_hdr h;
    ASSERT_EQ(archive_file_hdr_make(&h, "storage.db/data/00000000000000A1/mc/19783.5", 1000), 0);
    const Bytes bytes(reinterpret_cast<const char *>(&h), sizeof h);
    const Bytes path = bytes.substr(8, 256);
    EXPECT_EQ(bytes.substr(264), be_bytes(1000, 8));
    EXPECT_EQ(bytes.substr(0, 8), be_bytes(crc_of(Bytes(8, '\0') + path + le_bytes(1000, 8)), 8));
    EXPECT_NE(bytes.substr(0, 8), be_bytes(crc_of(Bytes(8, '\0') + path + be_bytes(1000, 8)), 8));
    EXPECT_EQ(archive_file_hdr_crc(&h), archive_file_hdr_stored_crc(&h));
    EXPECT_EQ(archive_file_hdr_size(&h), 1000u);
    EXPECT_EQ(archive_file_hdr_make(&h, std::string(256, 'p').c_str(), 1), -1);
    EXPECT_EQ(archive_file_hdr_make(&h, std::string(255, 'p').c_str(), 1), 0);
}

TEST_F(ArchiveWriter, FileHeaderNeverSpansTwoBlocks) {
    // The first file leaves `left` bytes of the first block free. A header needs 272.
    const struct {
        size_t left;
        std::vector<uint32_t> raws;
    } cases[] = {
        {271, {ARCHIVE_BLOCK_MAX - 271, 272 + 10}},
        {272, {ARCHIVE_BLOCK_MAX, 10}},
        {0, {ARCHIVE_BLOCK_MAX, 272 + 10}},
    };
    for (const auto &c : cases) {
        ctx_.entries.clear();
        const Bytes a = records(ARCHIVE_BLOCK_MAX - 272 - c.left);
        const Bytes b = "0123456789";
        add("a.bin", a);
        add("b.bin", b);
        const std::vector<read_block> blocks = archive_blocks(write());
        ASSERT_EQ(blocks.size(), c.raws.size()) << c.left;
        Bytes stream;
        for (size_t i = 0; i < blocks.size(); i++) {
            EXPECT_EQ(blocks[i].raw, c.raws[i]) << c.left << " block " << i;
            EXPECT_EQ(blocks[i].crc, crc_of(blocks[i].stream));
            stream += blocks[i].stream;
        }
        EXPECT_LT(blocks[0].stored, blocks[0].raw) << "compressible data is stored compressed";
        EXPECT_EQ(stream, file_entry("a.bin", a) + file_entry("b.bin", b)) << c.left;
    }
}

TEST_F(ArchiveWriter, SixMebibyteFileSpansTwoBlocks) {
    const Bytes content = noise(6 << 20, 7);
    add("big.bin", content);
    const Bytes archive = write();
    const std::vector<read_block> blocks = archive_blocks(archive);
    ASSERT_EQ(blocks.size(), 2u);
    // Incompressible: both stored raw, the first full, the second the rest.
    EXPECT_EQ(blocks[0].raw, ARCHIVE_BLOCK_MAX);
    EXPECT_EQ(blocks[0].stored, ARCHIVE_BLOCK_MAX);
    EXPECT_EQ(blocks[1].raw, (6u << 20) + 272 - ARCHIVE_BLOCK_MAX);
    EXPECT_EQ(blocks[1].stored, blocks[1].raw);
    EXPECT_EQ(archive.size(), 10 + 14 + blocks[0].raw + 14 + blocks[1].raw);
    EXPECT_EQ(blocks[0].stream + blocks[1].stream, file_entry("big.bin", content));
}

TEST_F(ArchiveWriter, HeaderTakesTheSizeTheFileHasWhenCopied) {
    add("grown.bin", "12345");
    write_file("grown.bin", "1234567890");
    const std::vector<read_block> blocks = archive_blocks(write());
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].stream, file_entry("grown.bin", "1234567890"));
    EXPECT_EQ(ctx_.entries[0].size, 5u);
    EXPECT_EQ(ctx_.entries[0].archived, 10u);
}

TEST_F(ArchiveWriter, UnreadableFileFailsTheWholeArchive) {
    add("a.bin", "aaaa");
    ctx_.entries.push_back({"missing.bin", 4, ARCHIVE_UNARCHIVED, 1});
    EXPECT_EQ(archive_file(&ctx_, "out.arch", nullptr), -1);
    EXPECT_TRUE(ctx_.created);
}

TEST_F(ArchiveWriter, NeverWritesOverAnExistingName) {
    write_file("old.arch", "an older archive");
    ASSERT_EQ(symlink("target", "link.arch"), 0);
    for (const char *name : {"old.arch", "link.arch"}) {
        RunResult r = run_forked([&] {
            if (archive_file(&ctx_, name, nullptr) != -1 || ctx_.created)
                _exit(1);
        });
        EXPECT_EQ(r.exit_code, 0) << name;
        EXPECT_EQ(r.out, "\033[91mopen failed: File exists\033[0m\n") << name;
    }
    EXPECT_EQ(read_file("old.arch"), "an older archive");
    EXPECT_FALSE(path_exists("target"));
}

TEST(ArchiveBlock, CompressOnlyFromFiveHundredTwelveBytesAndOnlyWhenSmaller) {
    std::vector<uint8_t> tmp(ARCHIVE_LZ4_BOUND);
    const struct {
        Bytes raw;
        bool compressed;
    } cases[] = {
        {Bytes(511, 'a'), false},
        {Bytes(512, 'a'), true},
        {noise(512, 1), false},
        {noise(ARCHIVE_BLOCK_MAX, 2), false},
        {records(ARCHIVE_BLOCK_MAX), true},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> buf(c.raw.begin(), c.raw.end());
        uint32_t stored = block_compress(buf.size(), buf.data(), ARCHIVE_LZ4_BOUND, tmp.data());
        EXPECT_EQ(stored < c.raw.size(), c.compressed) << c.raw.size();
        buf.resize(std::max<size_t>(buf.size(), c.raw.size()));
        ASSERT_EQ(block_decompress(stored, buf.data(), static_cast<uint32_t>(c.raw.size()),
                                   buf.size(), tmp.data()),
                  0);
        EXPECT_EQ(Bytes(buf.begin(), buf.end()), c.raw);
    }
}

TEST(ArchiveBlock, DecompressRefusesWrongSizes) {
    const Bytes raw = records(4096);
    std::vector<uint8_t> tmp(ARCHIVE_BLOCK_MAX);
    std::vector<uint8_t> buf(raw.begin(), raw.end());
    const uint32_t stored = block_compress(raw.size(), buf.data(), ARCHIVE_LZ4_BOUND, tmp.data());
    ASSERT_LT(stored, raw.size());
    buf.resize(ARCHIVE_BLOCK_MAX);
    const struct {
        uint32_t raw;
        uint64_t capacity;
    } cases[] = {{4095, ARCHIVE_BLOCK_MAX},
                 {4097, ARCHIVE_BLOCK_MAX},
                 {4096, 4095},
                 {ARCHIVE_BLOCK_MAX + 1, UINT64_MAX}};
    for (const auto &c : cases) {
        std::vector<uint8_t> copy = buf;
        EXPECT_EQ(block_decompress(stored, copy.data(), c.raw, c.capacity, tmp.data()), -1)
            << c.raw << " " << c.capacity;
    }
}

} // namespace
