// One damaged record in the middle of a stored file costs that record at most: the records
// around it stay readable, what is stored after the damage is found too, and the damaged
// bytes are told once with the file, their offset and their length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/store/rcall_support.h"
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
        {"count too small", 1, offsetof(RootCall, n) + 1, 0x01, true, 240, 48, " skipped; the root"},
        // 1 becomes 257: the record would run past the end of the file.
        {"count past the end", 1, offsetof(RootCall, n), 0x01, false, 144, 144,
         " skipped; the root"},
        {"last record's magic", kRoots - 1, offsetof(RootCall, magic) + 3, 0x80, false,
         (kRoots - 1) * kLen, kLen, " skipped, up to its end."},
        // A call's class: no reader can tell, nothing is skipped.
        {"call contents", 1, sizeof(RootCall) + offsetof(call_record, CLASS), 0x10, true, 0, 0,
         ""},
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

} // namespace
