#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "lib/files.h"
#include "lib/log.h"
#include "log_capture.h"
#include "support/test_support.h"

namespace {

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string &path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// A chain of directories with 200-character names under `top`, deep enough that the full
// path passes 4095 characters, with a file at the bottom. Built relative to descriptors
// because the full path is too long for the path-based calls.
void make_deep_tree(const std::string &top, int levels) {
    const std::string name(200, 'd');
    int fd = open(top.c_str(), O_DIRECTORY | O_RDONLY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < levels; i++) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0);
        int next = openat(fd, name.c_str(), O_DIRECTORY | O_RDONLY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    int f = openat(fd, "bottom", O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(f, 0);
    close(f);
    close(fd);
}

// Removes the contents of the directory open as `fd`, whatever their depth.
void remove_contents_at(int fd) {
    DIR *d = fdopendir(fd);
    ASSERT_NE(d, nullptr);
    while (struct dirent *de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        if (de->d_type == DT_DIR) {
            remove_contents_at(openat(dirfd(d), name.c_str(), O_DIRECTORY | O_RDONLY));
            unlinkat(dirfd(d), name.c_str(), AT_REMOVEDIR);
        } else {
            unlinkat(dirfd(d), name.c_str(), 0);
        }
    }
    closedir(d);
}

// ---- sys_mkdirs -----------------------------------------------------------------------

TEST(Mkdirs, CreatesMissingParentsWithOwnerOnlyMode) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.sub("a").c_str(), 0755), 0);
    RunResult r = run_forked([&] {
        umask(0);
        printf("%d %d", sys_mkdirs(dir.sub("a/b/c").c_str()),
               sys_mkdirs(dir.sub("a//d///e/").c_str()));
    });
    EXPECT_EQ(r.out, "0 0");
    EXPECT_EQ(mode_of(dir.sub("a/b")), 0700u);
    EXPECT_EQ(mode_of(dir.sub("a/b/c")), 0700u);
    EXPECT_EQ(mode_of(dir.sub("a/d/e")), 0700u);
    EXPECT_EQ(mode_of(dir.sub("a")), 0755u);
}

TEST(Mkdirs, ModeIsLessTheCreationMask) {
    TempDir dir;
    RunResult r = run_forked([&] {
        umask(0200);
        printf("%d", sys_mkdirs(dir.sub("x").c_str()));
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(mode_of(dir.sub("x")), 0500u);
}

TEST(Mkdirs, ExistingPathsAreSuccess) {
    TempDir dir;
    write_file(dir.sub("file"), "x");
    EXPECT_EQ(sys_mkdirs(dir.path().c_str()), 0);
    EXPECT_EQ(sys_mkdirs(dir.sub("file").c_str()), 0);
    EXPECT_EQ(read_file(dir.sub("file")), "x");
}

TEST(Mkdirs, FailuresGiveTheErrnoAndMakeNothing) {
    TempDir dir;
    write_file(dir.sub("file"), "x");
    // 4096 characters: one more than fits; a truncating copy would make "new/..." below.
    std::string too_long = dir.sub("new/");
    while (too_long.size() < 4096)
        too_long += "z/";
    too_long.resize(4096);
    const struct {
        std::string path;
        int result;
        std::string log;
    } cases[] = {
        {dir.sub("file/sub"), ENOTDIR, ""},
        {dir.sub("file/sub/deeper"), ENOTDIR, ""},
        {too_long, ENAMETOOLONG, "ERROR  " + too_long + ": File name too long.\n"},
    };
    for (const auto &c : cases) {
        Logged r = run_logged([&] { printf("%d", sys_mkdirs(c.path.c_str())); });
        EXPECT_EQ(r.out, std::to_string(c.result)) << c.path;
        EXPECT_EQ(r.lines, c.log);
    }
    EXPECT_FALSE(exists(dir.sub("new")));
}

// ---- sys_rmtree -----------------------------------------------------------------------

// A small tree: files, a nested directory with a file, an empty directory.
void make_tree(const TempDir &dir, const std::string &top) {
    ASSERT_EQ(sys_mkdirs(dir.sub(top + "/sub/deeper").c_str()), 0);
    ASSERT_EQ(sys_mkdirs(dir.sub(top + "/empty").c_str()), 0);
    write_file(dir.sub(top + "/f1"), "one");
    write_file(dir.sub(top + "/sub/f2"), "two");
    write_file(dir.sub(top + "/sub/deeper/f3"), "three");
}

TEST(Rmtree, RemovesTheWholeTree) {
    TempDir dir;
    make_tree(dir, "t");
    Logged r = run_logged([&] { printf("%d", sys_rmtree(dir.sub("t").c_str())); });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.lines, "");
    EXPECT_FALSE(exists(dir.sub("t")));
}

TEST(Rmtree, KeepsTheTopWhenAsked) {
    TempDir dir;
    make_tree(dir, "t");
    EXPECT_EQ(sys_rmtree_ex(dir.sub("t").c_str(), 0), 0);
    ASSERT_TRUE(exists(dir.sub("t")));
    DIR *d = opendir(dir.sub("t").c_str());
    int entries = 0;
    while (readdir(d) != nullptr)
        entries++;
    closedir(d);
    EXPECT_EQ(entries, 2); // "." and ".."
}

TEST(Rmtree, HiddenEntriesStayAndKeepTheirDirectories) {
    TempDir dir;
    make_tree(dir, "t");
    write_file(dir.sub("t/.hidden"), "h");
    write_file(dir.sub("t/sub/deeper/.keep"), "k");
    std::string top = dir.sub("t");
    Logged r = run_logged([&] { printf("%d", sys_rmtree(top.c_str())); });
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(read_file(dir.sub("t/.hidden")), "h");
    EXPECT_EQ(read_file(dir.sub("t/sub/deeper/.keep")), "k");
    EXPECT_FALSE(exists(dir.sub("t/f1")));
    EXPECT_FALSE(exists(dir.sub("t/sub/f2")));
    EXPECT_FALSE(exists(dir.sub("t/sub/deeper/f3")));
    EXPECT_FALSE(exists(dir.sub("t/empty")));
    // Each directory that could not be removed says so once, innermost first.
    EXPECT_EQ(r.lines, "ERROR  " + top + "/sub/deeper: Directory not empty.\n" + "ERROR  " + top +
                           "/sub: Directory not empty.\n" + "ERROR  " + top +
                           ": Directory not empty.\n");
}

TEST(Rmtree, SymbolicLinksAreRemovedNotFollowed) {
    TempDir dir;
    make_tree(dir, "outside");
    ASSERT_EQ(sys_mkdirs(dir.sub("t").c_str()), 0);
    ASSERT_EQ(symlink(dir.sub("outside").c_str(), dir.sub("t/to_dir").c_str()), 0);
    ASSERT_EQ(symlink(dir.sub("outside/f1").c_str(), dir.sub("t/to_file").c_str()), 0);
    EXPECT_EQ(sys_rmtree(dir.sub("t").c_str()), 0);
    EXPECT_FALSE(exists(dir.sub("t")));
    EXPECT_EQ(read_file(dir.sub("outside/f1")), "one");
    EXPECT_EQ(read_file(dir.sub("outside/sub/deeper/f3")), "three");
}

// A scratch directory is made under $TMPDIR, for the owner alone, and goes whole: hidden
// names too, links removed and not followed. Without a usable $TMPDIR nothing is made.
TEST(ScratchDir, MadeUnderTmpdirAndRemovedWhole) {
    TempDir dir;
    make_tree(dir, "outside");
    const char *old = getenv("TMPDIR");
    const std::string saved = old != nullptr ? old : "";
    setenv("TMPDIR", dir.path().c_str(), 1);
    const std::string made = sys_make_scratch_dir("scratch");
    setenv("TMPDIR", dir.sub("missing").c_str(), 1);
    const std::string refused = sys_make_scratch_dir("scratch");
    if (old != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");

    EXPECT_EQ(refused, "");
    ASSERT_EQ(made.rfind(dir.sub("scratch-"), 0), 0u) << made;
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(sys_mkdirs((made + "/.hidden/sub").c_str()), 0);
    write_file(made + "/.hidden/sub/f", "f");
    ASSERT_EQ(symlink(dir.sub("outside").c_str(), (made + "/link").c_str()), 0);
    sys_remove_scratch_dir(made.c_str());
    EXPECT_FALSE(exists(made));
    EXPECT_EQ(read_file(dir.sub("outside/sub/deeper/f3")), "three");
}

TEST(Rmtree, ANonDirectoryIsRefused) {
    TempDir dir;
    write_file(dir.sub("file"), "x");
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {dir.sub("missing"), "No such file or directory"},
        {dir.sub("file"), "Not a directory"},
    };
    for (const auto &c : cases) {
        Logged r = run_logged([&] { printf("%d", sys_rmtree(c.path.c_str())); });
        EXPECT_EQ(r.out, "-1");
        EXPECT_EQ(r.lines, "ERROR  " + c.path + ": " + c.error + ".\n");
    }
    EXPECT_EQ(read_file(dir.sub("file")), "x");
}

TEST(Rmtree, EntriesWithOverlongPathsAreLeftAndReported) {
    TempDir dir;
    ASSERT_EQ(sys_mkdirs(dir.sub("t").c_str()), 0);
    make_deep_tree(dir.sub("t"), 21);
    Logged r = run_logged([&] { printf("%d", sys_rmtree(dir.sub("t").c_str())); });
    EXPECT_EQ(r.out, "0");
    EXPECT_NE(r.lines.find(": File name too long. Remove it manually.\n"), std::string::npos);
    EXPECT_TRUE(exists(dir.sub("t")));
    int fd = open(dir.sub("t").c_str(), O_DIRECTORY | O_RDONLY);
    remove_contents_at(fd);
}

// ---- sys_foreach_file -----------------------------------------------------------------

using FileSeen = std::tuple<std::string, std::string, uint64_t>;

int collect(void *ctx, const char *name, const char *path, uint64_t size) {
    static_cast<std::vector<FileSeen> *>(ctx)->emplace_back(name, path, size);
    return -1; // ignored: the walk goes on
}

std::vector<FileSeen> walk(const std::string &path) {
    std::vector<FileSeen> seen;
    sys_foreach_file(path.c_str(), &seen, collect);
    std::sort(seen.begin(), seen.end());
    return seen;
}

TEST(ForeachFile, ReportsRegularFilesOfTheWholeTree) {
    TempDir dir;
    make_tree(dir, "t");
    std::string t = dir.sub("t");
    write_file(t + "/.hidden", "h");
    ASSERT_EQ(sys_mkdirs((t + "/.hdir").c_str()), 0);
    write_file(t + "/.hdir/inside", "i");
    ASSERT_EQ(symlink((t + "/f1").c_str(), (t + "/link_file").c_str()), 0);
    ASSERT_EQ(symlink((t + "/sub").c_str(), (t + "/link_dir").c_str()), 0);
    ASSERT_EQ(mkfifo((t + "/pipe").c_str(), 0600), 0);
    std::vector<FileSeen> want = {
        {"f1", t + "/f1", 3},
        {"f2", t + "/sub/f2", 3},
        {"f3", t + "/sub/deeper/f3", 5},
    };
    EXPECT_EQ(walk(t), want);
}

TEST(ForeachFile, CallbackMayRemoveTheFileItIsGiven) {
    TempDir dir;
    make_tree(dir, "t");
    for (int i = 0; i < 50; i++)
        write_file(dir.sub("t/sub/n" + std::to_string(i)), "");
    int calls = 0;
    sys_foreach_file(dir.sub("t").c_str(), &calls,
                     [](void *ctx, const char *, const char *path, uint64_t) {
                         ++*static_cast<int *>(ctx);
                         return unlink(path);
                     });
    EXPECT_EQ(calls, 53);
    EXPECT_TRUE(walk(dir.sub("t")).empty());
}

TEST(ForeachFile, UnreadablePathsAreLoggedAndSkipped) {
    TempDir dir;
    ASSERT_EQ(sys_mkdirs(dir.sub("t").c_str()), 0);
    write_file(dir.sub("t/shallow"), "s");
    make_deep_tree(dir.sub("t"), 21);
    Logged r = run_logged([&] {
        auto seen = walk(dir.sub("t"));
        for (const auto &s : seen)
            printf("%s\n", std::get<0>(s).c_str());
        sys_foreach_file(dir.sub("missing").c_str(), nullptr, collect);
    });
    EXPECT_EQ(r.out, "shallow\n");
    std::regex want(R"(ERROR  \[sys_foreach_file:\d+\] stat )" + dir.sub("t/") +
                    R"((d{200}/)+d{200} File name too long
ERROR  \[sys_foreach_file:\d+\] opendir )" +
                    dir.sub("missing") + " No such file or directory\n");
    EXPECT_TRUE(std::regex_match(r.lines, want)) << r.lines;
    int fd = open(dir.sub("t").c_str(), O_DIRECTORY | O_RDONLY);
    remove_contents_at(fd);
}

// ---- sys_write_trylock ----------------------------------------------------------------

TEST(WriteTrylock, SecondOpenFileDescriptionIsRefused) {
    TempDir dir;
    std::string path = dir.sub("korvane.pid");
    int first = open(path.c_str(), O_CREAT | O_RDWR, 0600);
    int second = open(path.c_str(), O_RDWR);
    int shared = dup(first);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(sys_write_trylock(first), 0);
    EXPECT_EQ(sys_write_trylock(second), 1);
    EXPECT_EQ(sys_write_trylock(shared), 0); // same description: already its lock
    // The lock goes only when every descriptor of its description is closed.
    close(first);
    EXPECT_EQ(sys_write_trylock(second), 1);
    close(shared);
    EXPECT_EQ(sys_write_trylock(second), 0);
    close(second);
}

TEST(WriteTrylock, OtherErrorsAreLogged) {
    Logged r = run_logged([] { printf("%d", sys_write_trylock(987)); });
    EXPECT_EQ(r.out, "-1");
    EXPECT_TRUE(std::regex_match(
        r.lines, std::regex(R"(ERROR  \[sys_write_trylock:\d+\] flock Bad file descriptor
)"))) << r.lines;
}

// ---- sys_volume_space -----------------------------------------------------------------

TEST(VolumeSpace, FreeSpaceDependsOnWhoMayUseTheReserve) {
    TempDir dir;
    struct statvfs vs;
    ASSERT_EQ(statvfs(dir.path().c_str(), &vs), 0);
    const uint64_t total = vs.f_frsize * vs.f_blocks;
    // Other processes write meanwhile: allow some drift between the two readings.
    const uint64_t drift = 256ull << 20;
    const struct {
        int as_root;
        uint64_t blocks;
    } cases[] = {{1, vs.f_bfree}, {0, vs.f_bavail}};
    for (const auto &c : cases) {
        uint64_t free_bytes = 1, used_bytes = 1;
        ASSERT_EQ(sys_volume_space_ex(dir.path().c_str(), &free_bytes, &used_bytes, c.as_root), 0);
        uint64_t want = vs.f_frsize * c.blocks;
        EXPECT_LE(std::max(free_bytes, want) - std::min(free_bytes, want), drift) << c.as_root;
        EXPECT_EQ(free_bytes + used_bytes, total);
    }
    uint64_t free_bytes = 0, used_bytes = 0;
    ASSERT_EQ(sys_volume_space(dir.path().c_str(), &free_bytes, &used_bytes), 0);
    uint64_t want = vs.f_frsize * (geteuid() == 0 ? vs.f_bfree : vs.f_bavail);
    EXPECT_LE(std::max(free_bytes, want) - std::min(free_bytes, want), drift);
}

TEST(VolumeSpace, MissingPathCountsAsFull) {
    TempDir dir;
    std::string path = dir.sub("missing");
    Logged r = run_logged([&] {
        uint64_t free_bytes = 1073741824, used_bytes = 5;
        int rc = sys_volume_space(path.c_str(), &free_bytes, &used_bytes);
        printf("%d %lu %lu", rc, static_cast<unsigned long>(free_bytes),
               static_cast<unsigned long>(used_bytes));
    });
    EXPECT_EQ(r.out, "-1 0 0");
    EXPECT_EQ(r.lines, "ERROR  Cannot stat " + path + " volume: No such file or directory\n");
}

} // namespace
