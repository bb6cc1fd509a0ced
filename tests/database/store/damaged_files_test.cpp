// One damaged record in the middle of a stored file costs that record at most: the records
// around it stay readable, what is stored after the damage is found too, and the damaged
// bytes are told once with the file, their offset and their length.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "database/store/rcall_support.h"
#include "database/store/stored_rcall.h"
#include "database/store/walk.h"
#include "lib/crc32.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

namespace {

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

void flip(const std::string &path, uint64_t offset, uint8_t bits) {
    std::string bytes = read_file(path);
    ASSERT_LT(offset, bytes.size());
    bytes[offset] = static_cast<char>(bytes[offset] ^ bits);
    write_file(path, bytes);
}

// The classes (sequence numbers) of the root calls a walk hands out, in order.
std::string classes_of(const std::vector<seen_rcall> &seen) {
    std::string out;
    for (const seen_rcall &s : seen)
        out += std::to_string(s.root.CLASS) + " ";
    return out;
}

// Sequence numbers first..last, without `skip` (none when above last), as classes_of gives them.
std::string seq_list(uint32_t first, uint32_t last, uint32_t skip = UINT32_MAX) {
    std::string out;
    for (uint32_t i = first; i <= last; i++)
        if (i != skip)
            out += std::to_string(i) + " ";
    return out;
}

class DamagedHourFile : public StoreTest {};

// Fifty root calls of one call each (144 bytes apiece) at the seconds 0 to 49 of an hour;
// one byte of one of them is flipped. Readers alone, then a writer of a later process that
// appends root call 50 and one of yet another process that appends 51, find every intact one.
TEST_F(DamagedHourFile, IntactRootCallsAroundTheDamageStayReadable) {
    constexpr uint64_t kLen = 144;
    constexpr uint32_t kRoots = 50;
    const struct {
        const char *name;
        uint32_t record;     // the damaged one
        uint64_t byte;       // flipped, within the record
        uint8_t bits;        // flipped there
        bool record_kept;    // the damaged record is still handed out
        uint64_t skipped_at; // where the skipped bytes begin (0: nothing is skipped)
        uint64_t skipped;    // how many
        const char *told;    // the end of the writer's line about them
    } cases[] = {
        {"bad magic", 1, offsetof(RootCall, magic), 0x01, false, 144, 144, " skipped; the root"},
        // The count's low byte: 1 becomes 3, the record would swallow the next one.
        {"count too large", 1, offsetof(RootCall, n) + 1, 0x02, false, 144, 144,
         " skipped; the root"},
        // 1 becomes 0: the root reads as a record of its own, its one call is skipped.
        {"count too small", 1, offsetof(RootCall, n) + 1, 0x01, true, 240, 48,
         " skipped; the root"},
        // 1 becomes 257: the record would run past the end of the file.
        {"count past the end", 1, offsetof(RootCall, n), 0x01, false, 144, 144,
         " skipped; the root"},
        {"last record's magic", kRoots - 1, offsetof(RootCall, magic) + 3, 0x80, false,
         (kRoots - 1) * kLen, kLen, " skipped, up to its end."},
        // A call's class: no reader can tell, nothing is skipped.
        {"call contents", 1, sizeof(RootCall) + offsetof(call_record, CLASS), 0x10, true, 0, 0, ""},
    };
    const uint64_t t = at_time(0, 10, 0, 0);
    const std::string hour = hour_path(t);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(hour.c_str());
        unlink(index_path(t).c_str());
        {
            test_agent a;
            for (uint32_t i = 0; i < kRoots; i++)
                ASSERT_EQ(a.save(t + i * 1000, i, 1), 0);
        }
        ASSERT_EQ(path_size(hour), static_cast<long>(kRoots * kLen));
        flip(hour, c.record * kLen + c.byte, c.bits);
        const std::string damaged = read_file(hour);
        const uint32_t lost = c.record_kept ? UINT32_MAX : c.record;
        const uint64_t whole_hour[2] = {t, t + HOUR_MS - 1};
        // From second 30 on: the walk starts at the index's offset.
        const uint64_t second_half[2] = {t + 30000, t + HOUR_MS - 1};

        EXPECT_EQ(classes_of(walk(whole_hour)), seq_list(0, kRoots - 1, lost));
        Logged w = run_logged([&] {
            test_agent b;
            printf("%d|", b.save(t + 55000, kRoots, 1));
            printf("%s|%s|", classes_of(walk(whole_hour)).c_str(),
                   classes_of(walk(second_half)).c_str());
            uint64_t indexed = 0;
            cindex_count(&indexed, kAgent, static_cast<uint32_t>(t / DAY_MS), 10, 0, 3599);
            printf("%lu", indexed);
        });
        const std::string all = seq_list(0, kRoots, lost);
        EXPECT_EQ(w.out, "0|" + all + "|" + seq_list(30, kRoots, lost) + "|" +
                             std::to_string(kRoots + (c.record_kept ? 1 : 0)));
        if (c.skipped == 0) {
            EXPECT_EQ(count_of(w.lines, "damaged bytes"), 0u) << w.lines;
        } else {
            const std::string line = "Hour file " + hour + ": " + std::to_string(c.skipped) +
                                     " damaged bytes at offset " + std::to_string(c.skipped_at) +
                                     c.told;
            EXPECT_EQ(count_of(w.lines, line), 1u) << w.lines;
            EXPECT_EQ(count_of(w.lines, "damaged bytes"), 1u) << w.lines;
        }
        // Nothing of the file was taken away: the new root call follows it.
        const std::string now = read_file(hour);
        EXPECT_EQ(now.size(), damaged.size() + kLen);
        EXPECT_EQ(now.substr(0, damaged.size()), damaged);

        Logged again = run_logged([&] {
            test_agent c2;
            printf("%d|", c2.save(t + 56000, kRoots + 1, 1));
            printf("%s", classes_of(walk(whole_hour)).c_str());
        });
        EXPECT_EQ(again.out, "0|" + seq_list(0, kRoots + 1, lost));
    }
}

void put_be32(std::string &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// The header CRC of the block at `at` made to match its (changed) fields again.
void fix_block_crc(std::string &b, size_t at) {
    put_be32(b, at + 8, 0);
    put_be32(b, at + 8, crc32_calc(b.data() + at, 12));
}

// Every call of every root call a walk per call hands out: "class:entry" with the root call's
// class, and the entry's text when the call has one.
int note_entry(void *ctx, const rcall_ref *, const rcall *rc, const call_record *call,
               const uint8_t *entry, uint16_t length) {
    auto *out = static_cast<std::string *>(ctx);
    *out += std::to_string(rc->root->CLASS) + ":";
    if (entry != nullptr)
        *out += std::string(reinterpret_cast<const char *>(entry) + 2, length - 2u);
    *out += call == rc->root ? " | " : " ";
    return 0;
}

int note_ref(void *ctx, uint64_t, uint32_t, const uint8_t *data, uint16_t length) {
    *static_cast<std::string *>(ctx) +=
        std::string(reinterpret_cast<const char *>(data) + 2, length - 2u) + " ";
    return 0;
}

class DamagedExtensionFile : public StoreTest {
protected:
    // Root call `seq` at second `seq` of hour 10: one call and the root, each with an entry.
    static void store(test_agent &a, uint32_t seq) {
        const uint64_t t = at_time(0, 10, 0, seq);
        std::vector<call_record> calls = {rec(t - 1, 1, 1, CALL_F_PARAMS, seq),
                                          rec(t, 0, 0, CALL_F_ROOT | CALL_F_PARAMS, seq)};
        const std::string n = std::to_string(seq);
        ASSERT_EQ(save_rcall(&a.a, calls, {{0, kv_data("c" + n)}, {1, kv_data("r" + n)}}), 0);
    }
};

// Ten root calls with one block of entries each; one byte of the fourth one's block is
// flipped. A writer of a later process appends root call 10; the entries of every other
// root call are still found, by the walk per call and by reference, in that process and in
// the next. Extension files are never cut or rewritten: each blob is reached by its own
// offset, so the damaged block costs its own entries only (told where they are read).
TEST_F(DamagedExtensionFile, EntriesOfTheOtherBlocksStayReadable) {
    constexpr uint32_t kRoots = 10;
    constexpr uint32_t kDamaged = 3;
    const struct {
        const char *name;
        uint32_t byte;  // within the block (12-byte header, then its payload)
        bool fix_crc;   // the header CRC made to match again
        uint32_t value; // with fix_crc: the new raw and stored size instead
        const char *log;
    } cases[] = {
        {"header byte", 2, false, 0, "ERROR  Extension data header corrupted.\n"},
        {"sizes above the block limit, CRC fixed", 0, true, 65810,
         "ERROR  Extension data header corrupted.\n"},
        {"sizes past the end of the file, CRC fixed", 0, true, 60000,
         "ERROR  Extension data block incomplete.\n"},
    };
    const uint64_t t = at_time(0, 10, 0, 0);
    const std::string x = hour_path(t, ".x");
    const uint64_t hour[2] = {t, t + HOUR_MS - 1};
    std::string all_calls, all_refs;
    for (uint32_t i = 0; i <= kRoots; i++) {
        const std::string n = std::to_string(i);
        all_calls += n + ":c" + n + " " + n + ":r" + n + " | ";
        all_refs += "c" + n + " r" + n + " ";
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(mc_dir());
        ASSERT_EQ(sys_mkdirs(mc_dir().c_str()), 0);
        {
            test_agent a;
            for (uint32_t i = 0; i < kRoots; i++)
                store(a, i);
        }
        const std::vector<seen_rcall> stored = walk(hour);
        ASSERT_EQ(stored.size(), kRoots);
        std::string bytes = read_file(x);
        const size_t at = stored[kDamaged].ext_offset;
        if (c.fix_crc) {
            put_be32(bytes, at, c.value);
            put_be32(bytes, at + 4, c.value);
            fix_block_crc(bytes, at);
        } else {
            bytes[at + c.byte] = static_cast<char>(bytes[at + c.byte] ^ 0x01);
        }
        write_file(x, bytes);
        std::string lost = std::to_string(kDamaged);
        std::string expect_calls = all_calls, expect_refs = all_refs;
        const std::string whole = lost + ":c" + lost + " " + lost + ":r" + lost + " | ";
        expect_calls.replace(expect_calls.find(whole), whole.size(), lost + ": " + lost + ": | ");
        expect_refs.replace(expect_refs.find("c" + lost), 6, "");

        // The references of every call of every root call, the new one included.
        auto refs_of = [&] {
            std::vector<ext_ref> refs;
            for (const seen_rcall &s : walk(hour)) {
                for (const call_record &call : s.calls)
                    refs.push_back({call.ext, call.file_id});
                refs.push_back({s.root.ext, s.root.file_id});
            }
            return refs;
        };
        for (int process = 0; process < 2; process++) {
            Logged r = run_logged([&] {
                if (process == 0) {
                    test_agent b;
                    store(b, kRoots);
                }
                std::string calls, found;
                const uint64_t range[2] = {t, t + HOUR_MS - 1};
                dbs_rcall_foreach_call(kAgent, range, &calls, note_entry);
                std::vector<ext_ref> refs = refs_of();
                std::vector<uint8_t> buffer(EXT_READER_BUFFER_SIZE);
                const int rc = dbs_get_calls_ext(buffer.data(), kAgent, refs.size(), refs.data(),
                                                 &found, note_ref);
                printf("%s#%s#%d", calls.c_str(), found.c_str(), rc);
            });
            EXPECT_EQ(r.out, expect_calls + "#" + expect_refs + "#0") << "process " << process;
            EXPECT_NE(r.lines.find(c.log), std::string::npos) << r.lines;
        }
        // The damaged bytes are where they were.
        EXPECT_EQ(read_file(x).substr(0, bytes.size()), bytes);
    }
}

} // namespace
