// Dumps extracted into a new store, and archives that an extraction must refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/query_rootcalls.h"
#include "database/store/agents.h"
#include "database/store/archive.h"
#include "database/store/archive_extract.h"
#include "database/store/archive_support.h"
#include "database/store/dbs.h"
#include "database/store/kv.h"
#include "database/store/rcall_support.h"
#include "database/store/stored_rcall.h"
#include "database/store/symbols.h"
#include "lib/io.h"
#include "lib/log_capture.h"
#include "server/msg.h"

namespace {

const std::string kFailure = "\033[91mArchive file extraction failure.\033[0m\n";
const std::string kSuccess = "\033[92mArchive extraction procedure succeeded.\033[0m\n";

// Every entry below `dir` with its type ('d' or 'f'), relative to `dir`.
void list_tree(const std::string &dir, const std::string &rel, std::map<std::string, char> *out) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (struct dirent *de = readdir(d)) {
        const std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name, r = rel.empty() ? name : rel + "/" + name;
        (*out)[r] = path_is_dir(path) ? 'd' : 'f';
        if (path_is_dir(path))
            list_tree(path, r, out);
    }
    closedir(d);
}

std::map<std::string, char> tree(const std::string &dir) {
    std::map<std::string, char> t;
    list_tree(dir, "", &t);
    return t;
}

// ---- round trip through a dump ----

constexpr uint64_t kB = kAgent + 1;

std::string be(uint64_t v, int n) {
    return be_bytes(v, n);
}

// A ROOT CALLS request without filters (or with a class-name substring) over one agent.
std::string root_calls_request(uint64_t aid, uint64_t from, uint64_t to, const char *cls = "") {
    const uint32_t flags = RC_F_ROOT_ENTRY | (*cls ? uint32_t{RC_F_CLASS_PATTERN} : 0u);
    std::string r = be(flags, 4) + be(0, 4) + be(0, 4) + be(0, 4);
    if (*cls)
        r += be(1, 2) + be(strlen(cls), 2) + cls;
    return r + be(1, 2) + be(aid, 8) + be(from, 8) + be(to, 8);
}

std::string root_calls_reply(const std::string &request) {
    msg *m = dbq_root_calls(nullptr, 1, DBQ_ROOT_CALLS,
                            reinterpret_cast<const uint8_t *>(request.data()),
                            static_cast<uint32_t>(request.size()));
    if (m == nullptr)
        return "";
    std::string bytes(reinterpret_cast<const char *>(m), msg_size(m));
    free(m);
    return bytes;
}

// A store written through the store's API in "orig": two agents, root calls with extension
// entries on three days, key/value samples on three days, symbols. The tests dump agent A's
// first two days and extract the dump in "copy".
class ArchiveRoundTrip : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(mkdir("orig", 0700), 0);
        ASSERT_EQ(mkdir("copy", 0700), 0);
        ASSERT_EQ(chdir("orig"), 0);
        ASSERT_EQ(storage_create_db(), 0);
        dbs *db = dbs_open();
        ASSERT_NE(db, nullptr);
        const uint32_t main_cls = dbs_symbol_store(db, SYM_CLASS, 12, "org.app.Main");
        const uint32_t run = dbs_symbol_store(db, SYM_METHOD, 3, "run");
        const uint32_t key = dbs_symbol_store(db, SYM_KEY, 9, "heap\x1fused");
        dbs_symbol_store(db, SYM_THREAD, 4, "main");
        for (uint64_t aid : {kAgent, kB})
            ASSERT_EQ(dbs_agent_register(
                          db, as_bytes(identity_bytes(2, "app-" + std::to_string(aid))), aid),
                      0);
        for (uint64_t aid : {kAgent, kB}) {
            dbs_agent *a = dbs_agent_find(db, aid);
            ASSERT_NE(a, nullptr);
            for (uint64_t day : {0, 1, 2}) {
                for (uint64_t i = 0; i < 20; i++) {
                    const uint64_t t = at_time(day, 3 + i % 2, i, 7);
                    std::vector<call_record> calls = {
                        rec(t - 2, 1, 1, CALL_F_PARAMS), rec(t - 1, 2, 2),
                        rec(t, 0, 0, CALL_F_ROOT | CALL_F_PARAMS, main_cls, run, 40 + i)};
                    ASSERT_EQ(save_rcall(a, calls,
                                         {{0, kv_data("sql\x1eselect " + std::to_string(i))},
                                          {2, kv_data("user\x1e"
                                                      "u" +
                                                      std::to_string(day))}}),
                              0);
                    ASSERT_EQ(dbs_kv_save(a, key, t, i * 1000 + day), 0);
                }
            }
            dbs_agent_mc_close(a);
            dbs_agent_kv_close(db, a);
        }
        dbs_close(db);
        // Opening again moves the staged samples into the day files.
        db = dbs_open();
        ASSERT_NE(db, nullptr);
        dbs_close(db);
        ASSERT_EQ(chdir(".."), 0);
    }

    // The dump of agent A's days 0 and 1, then its extraction in "copy".
    void dump_and_extract(uint16_t version = 0) {
        RunResult dump = run_forked([] {
            if (chdir("orig") != 0)
                _exit(2);
            agent_entry a{};
            a.id = kAgent;
            const uint64_t from_s = kDay0 / 1000, thru_s = (kDay0 + DAY_MS + 3600000) / 1000;
            exit_flushed(dbs_dump("../dump.arch", from_s, thru_s, &a, 1) == 0);
        });
        ASSERT_EQ(dump.exit_code, 0) << dump.out << dump.err;
        EXPECT_NE(dump.out.find("\rCompressing data...  |"), std::string::npos);
        EXPECT_NE(dump.out.find("| 100%"), std::string::npos);
        if (version != 0) {
            Bytes archive = read_file("dump.arch");
            archive.replace(8, 2, be_bytes(version, 2));
            write_file("dump.arch", archive);
        }
        extracted_ = run_forked([] {
            if (chdir("copy") != 0)
                _exit(2);
            exit_flushed(dbs_extract("../dump.arch") == 0);
        });
    }

    RunResult extracted_;
};

TEST_F(ArchiveRoundTrip, DumpExtractsToTheSameFilesAndQueries) {
    dump_and_extract();
    ASSERT_EQ(extracted_.exit_code, 0) << extracted_.out << extracted_.err;
    EXPECT_NE(extracted_.out.find("\rDecompressing...     |"), std::string::npos);
    EXPECT_NE(extracted_.out.find("\rExtracting...        |"), std::string::npos);
    EXPECT_NE(extracted_.out.find("| 100%\n" + kSuccess), std::string::npos) << extracted_.out;
    EXPECT_FALSE(path_exists("copy/" + std::string(ARCHIVE_TMP_FILE)));

    // Exactly agent A's identity and files of days 0 and 1 and the symbol files, each
    // byte-identical; no calls index.
    std::set<std::string> expected;
    for (const auto &[rel, type] : tree("orig/storage.db")) {
        const bool ours = rel.rfind("data/" + agent_dir(kAgent).substr(16), 0) == 0;
        const bool day_file =
            rel.find("/19783.") != std::string::npos || rel.find("/19784.") != std::string::npos;
        if (type == 'f' &&
            ((ours && (day_file || rel.ends_with("korvane.id")) && !rel.ends_with(".index")) ||
             rel.rfind("symbols/", 0) == 0))
            expected.insert(rel);
    }
    std::set<std::string> files;
    for (const auto &[rel, type] : tree("copy/storage.db")) {
        if (type == 'f' && rel != ".database")
            files.insert(rel);
    }
    EXPECT_EQ(files, expected);
    EXPECT_GE(files.size(), 4u + 1 + 4 + 2);
    for (const std::string &rel : files)
        EXPECT_EQ(read_file("copy/storage.db/" + rel), read_file("orig/storage.db/" + rel)) << rel;
    EXPECT_EQ(read_file("copy/storage.db/.database"), Bytes("\x30\x06", 2));
    for (const char *d : {"arch", "symbols"})
        EXPECT_TRUE(path_is_dir(std::string("copy/storage.db/") + d)) << d;
    EXPECT_TRUE(path_is_dir("copy/" + agent_dir(kAgent) + "/kv/stages"));

    // The new store opens, and answers as the old one does over the dumped days.
    std::map<std::string, std::string> replies;
    for (const char *store : {"orig", "copy"}) {
        ASSERT_EQ(chdir(store), 0);
        dbs *db = dbs_open();
        EXPECT_NE(db, nullptr) << store;
        if (db != nullptr)
            dbs_close(db);
        replies[store] =
            root_calls_reply(root_calls_request(kAgent, kDay0, kDay0 + 2 * DAY_MS - 1)) +
            root_calls_reply(root_calls_request(kAgent, kDay0, kDay0 + 2 * DAY_MS - 1, "Main"));
        ASSERT_EQ(chdir(".."), 0);
    }
    EXPECT_GT(replies["orig"].size(), 2 * 23 + 40 * 76u);
    EXPECT_EQ(replies["copy"], replies["orig"]);
}

TEST_F(ArchiveRoundTrip, ArchiveVersionIsKept) {
    dump_and_extract(0x3000);
    ASSERT_EQ(extracted_.exit_code, 0) << extracted_.out;
    EXPECT_EQ(read_file("copy/storage.db/.database"), Bytes("\x30\x00", 2));
}

// ---- refused archives ----

const Bytes kThr = Bytes("KORVANE") + Bytes(9, '\0');
const Bytes kGood = file_entry("storage.db/symbols/thr", kThr);

Bytes one_block(const Bytes &stream) {
    return archive_header() + block(stream);
}

Bytes with_field(Bytes b, size_t at, const Bytes &field) {
    return b.replace(at, field.size(), field);
}

struct hostile_case {
    const char *name;
    Bytes archive;
    const char *said; // in the log lines, or on standard output
};

class HostileArchive : public testing::TestWithParam<hostile_case> {};

void PrintTo(const hostile_case &c, std::ostream *os) {
    *os << c.name;
}

TEST_P(HostileArchive, IsRefusedWithNothingOutsideTheNewStore) {
    const hostile_case &c = GetParam();
    TempDir dir;
    write_file(dir.sub("in.arch"), c.archive);
    ASSERT_EQ(mkdir(dir.sub("work").c_str(), 0700), 0);
    Logged l = run_logged([&] {
        if (chdir(dir.sub("work").c_str()) != 0)
            _exit(2);
        exit_flushed(dbs_extract("../in.arch") == -1);
    });
    EXPECT_NE(l.out.find(kFailure), std::string::npos) << l.out;
    EXPECT_TRUE(l.out.find(c.said) != std::string::npos ||
                l.lines.find(c.said) != std::string::npos)
        << l.out << l.lines;
    EXPECT_EQ(l.out.find(kSuccess), std::string::npos);
    // Beside the archive only the working directory, holding at most the temporary file and a
    // store without a version file.
    std::map<std::string, char> top = tree(dir.path());
    for (const auto &[rel, type] : top) {
        const bool allowed = rel == "in.arch" || rel == "work" ||
                             rel == std::string("work/") + ARCHIVE_TMP_FILE ||
                             rel == "work/storage.db" || rel.rfind("work/storage.db/", 0) == 0;
        EXPECT_TRUE(allowed) << rel;
    }
    EXPECT_EQ(top.count("work/storage.db/.database"), 0u);
}

Bytes entry_with_path(const Bytes &path256, const Bytes &content = "evil") {
    return file_header(path256, content.size()) + content;
}

const Bytes kPadded = kGood + Bytes(1000, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileArchive,
    testing::Values(
        hostile_case{"DotDot", one_block(kGood + file_entry("../x", "evil")),
                     "ERROR  Refused archive file path: ../x\n"},
        hostile_case{"Absolute", one_block(file_entry("/x", "evil")),
                     "ERROR  Refused archive file path: /x\n"},
        hostile_case{"DotDotInside", one_block(file_entry("storage.db/../x", "evil")),
                     "Refused archive file path: storage.db/../x"},
        hostile_case{"OutsideTheStore", one_block(file_entry("conf/config.json", "{}")),
                     "Refused archive file path: conf/config.json"},
        hostile_case{"HiddenName", one_block(file_entry("storage.db/.x", "evil")),
                     "Refused archive file path: storage.db/.x"},
        hostile_case{"EmptyComponent", one_block(file_entry("storage.db//x", "evil")),
                     "Refused archive file path: storage.db//x"},
        hostile_case{"VersionFile", one_block(file_entry("storage.db/.database", "\x30\x06")),
                     "Refused archive file path: storage.db/.database"},
        hostile_case{"TrailingSlash", one_block(file_entry("storage.db/data/", "evil")),
                     "Refused archive file path: storage.db/data/"},
        hostile_case{"PathWithoutZero", one_block(entry_with_path("storage.db/" + Bytes(245, 'a'))),
                     "Refused archive file path: storage.db/aaaa"},
        hostile_case{"RepeatedPath", one_block(kGood + kGood),
                     "open storage.db/symbols/thr File exists"},
        hostile_case{"CutInBlockHeader", archive_header() + block(kGood).substr(0, 7),
                     "ERROR  Archive file ends inside a data block header.\n"},
        hostile_case{"CutInBlockData",
                     archive_header() + block(kGood) + block(kGood).substr(0, 14 + 100),
                     "ERROR  Archive file ends inside a data block.\n"},
        hostile_case{"CutInFileHeader",
                     one_block(kGood + file_entry("storage.db/symbols/cls", "x").substr(0, 100)),
                     "ERROR  Archive stream ends inside a file header.\n"},
        hostile_case{
            "CutInContent",
            one_block(kGood +
                      file_entry("storage.db/symbols/cls", "0123456789").substr(0, 272 + 5)),
            "ERROR  Archive stream ends inside the file storage.db/symbols/cls.\n"},
        hostile_case{
            "SizeBeyondTheStream",
            one_block(file_header(path_field("storage.db/symbols/cls"), 1ull << 40) + "0123456789"),
            "ERROR  Archive stream ends inside the file storage.db/symbols/cls.\n"},
        hostile_case{"RawSizeAboveFourMebibytes",
                     archive_header() + with_field(block(kGood), 2, be_bytes(4194305, 4)),
                     "ERROR  Data block header corrupted.\n"},
        hostile_case{"StoredSizeAboveFourMebibytes",
                     archive_header() + with_field(block(kGood), 6, be_bytes(4194305, 4)),
                     "ERROR  Data block header corrupted.\n"},
        hostile_case{"Lz4OfAnotherSize",
                     archive_header() +
                         with_field(block(kPadded, true), 2, be_bytes(kPadded.size() + 1, 4)),
                     "ERROR  Data block decompression failed. Sizes ["},
        hostile_case{"Lz4Garbage",
                     archive_header() + with_field(block(kPadded, true), 14, Bytes(8, '\xFF')),
                     "ERROR  Data block decompression failed. Sizes ["},
        hostile_case{"WrongBlockCrc",
                     archive_header() + with_field(block(kGood), 10, Bytes("\x12\x34\x56\x78")),
                     "ERROR  Data block corrupted.\n"},
        hostile_case{
            "HeaderCrcOverBigEndianSize",
            one_block(file_header(path_field("storage.db/symbols/thr"), kThr.size(), true) + kThr),
            "ERROR  File header corrupted! EXPECTED CRC["},
        hostile_case{"BadMagic", Bytes("KORVANE?") + be_bytes(0x3006, 2) + block(kGood),
                     "\033[91mNot a Korvane Database archive.\033[0m\n"},
        hostile_case{"NewerMinorVersion", archive_header(0x3040) + block(kGood),
                     "\033[91mUnsupported Korvane Database archive.\033[0m\n"}),
    [](const testing::TestParamInfo<hostile_case> &i) { return std::string(i.param.name); });

// Refusals before anything is created: no failure line, and the directory as it was.
TEST(ArchiveExtract, RefusesWithoutTouchingTheDirectory) {
    const struct {
        const char *name;
        std::function<void(const TempDir &)> prepare;
        const char *said;
    } cases[] = {
        {"existing store",
         [](const TempDir &d) {
             mkdir(d.sub("work/storage.db").c_str(), 0700);
             write_file(d.sub("work/storage.db/keep"), "old");
         },
         "\033[91mDirectory [storage.db] already exists.\033[0m\n"},
        {"ten bytes", [](const TempDir &d) { write_file(d.sub("in.arch"), archive_header()); },
         "\033[91mInvalid Korvane Database archive file size.\033[0m\n"},
        {"no archive", [](const TempDir &d) { unlink(d.sub("in.arch").c_str()); },
         "\033[91mCannot open the archive file: No such file or directory\033[0m\n"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        write_file(dir.sub("in.arch"), one_block(kGood));
        ASSERT_EQ(mkdir(dir.sub("work").c_str(), 0700), 0);
        c.prepare(dir);
        const std::map<std::string, char> before = tree(dir.path());
        RunResult r = run_forked([&] {
            if (chdir(dir.sub("work").c_str()) != 0)
                _exit(2);
            exit_flushed(dbs_extract("../in.arch") == -1);
        });
        EXPECT_EQ(r.exit_code, 0) << c.name;
        EXPECT_EQ(r.out, c.said) << c.name;
        EXPECT_EQ(tree(dir.path()), before) << c.name;
    }
}

// Extracts dir/in.arch inside dir/work in a child, which prints the cause given back in
// brackets and exits 0 when the result is `want`.
RunResult extract_with_cause(const TempDir &dir, int want) {
    return run_forked([&] {
        if (chdir(dir.sub("work").c_str()) != 0)
            _exit(2);
        std::string why;
        const int rc = dbs_extract("../in.arch", &why);
        printf("[%s]\n", why.c_str());
        exit_flushed(rc == want);
    });
}

// The temporary file of a killed extraction (nobody holds it) is taken over and removed at
// the end; one a live extraction holds refuses the second one and stays as it is.
TEST(ArchiveExtract, TemporaryFileLeftOrHeld) {
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "left over");
        TempDir dir;
        write_file(dir.sub("in.arch"), one_block(kGood));
        ASSERT_EQ(mkdir(dir.sub("work").c_str(), 0700), 0);
        const std::string tmp = dir.sub(std::string("work/") + ARCHIVE_TMP_FILE);
        write_file(tmp, "left over by a killed run, longer than the stream");
        fd_owner holder;
        if (held) {
            holder.reset(open(tmp.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(flock(holder.get(), LOCK_EX), 0);
        }
        RunResult r = extract_with_cause(dir, held ? -1 : 0);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        if (held) {
            EXPECT_EQ(r.out, "\033[91mOutput file [korvane-arch.tmp] is in use by another "
                             "extraction.\033[0m\n[Output file [korvane-arch.tmp] is in use by "
                             "another extraction.]\n");
            EXPECT_EQ(read_file(tmp), "left over by a killed run, longer than the stream");
            EXPECT_FALSE(path_exists(dir.sub("work/storage.db")));
        } else {
            EXPECT_NE(r.out.find(kSuccess), std::string::npos) << r.out;
            EXPECT_FALSE(path_exists(tmp));
            EXPECT_EQ(read_file(dir.sub("work/storage.db/symbols/thr")), kThr);
        }
    }
}

// A failed extraction removes its temporary file and names its first failure.
TEST(ArchiveExtract, FailureRemovesTheTemporaryFileAndNamesTheCause) {
    TempDir dir;
    write_file(dir.sub("in.arch"),
               archive_header() + with_field(block(kGood), 10, Bytes("\x12\x34\x56\x78")));
    ASSERT_EQ(mkdir(dir.sub("work").c_str(), 0700), 0);
    RunResult r = extract_with_cause(dir, -1);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[Data block corrupted.]\n"), std::string::npos) << r.out;
    EXPECT_FALSE(path_exists(dir.sub(std::string("work/") + ARCHIVE_TMP_FILE)));
}

TEST(ArchivePath, AcceptedOnlyInsideTheStore) {
    const struct {
        const char *path;
        bool ok;
    } cases[] = {
        {"storage.db/symbols/thr", true},
        {"storage.db/data/00000000000000A1/mc/19783.5.x", true},
        {"storage.db/x", true},
        {"storage.db/a.b/c", true},
        {"storage.db", false},
        {"storage.db/", false},
        {"storage.dbx/y", false},
        {"./storage.db/x", false},
        {"storage.db/a/../b", false},
        {"storage.db/a/./b", false},
        {"storage.db/a/.hidden", false},
        {"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(archive_path_acceptable(path_field(c.path).data()), c.ok) << c.path;
    EXPECT_FALSE(archive_path_acceptable(("storage.db/" + Bytes(245, 'a')).data()));
}

} // namespace
