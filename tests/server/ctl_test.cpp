// The control channel: the bytes of its records, how the reader takes the bytes of one read,
// the writer's refusals, and the reader thread, run in child processes so the run flag and
// the working directory stay the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lib/crc32.h"
#include "lib/log_capture.h"
#include "server/ctl.h"
#include "server/ctl_records.h"
#include "server/runtime.h"
#include "support/in_temp_dir.h"
#include "support/test_support.h"

namespace {

// 10.0.0.5:9000.
const std::string kAddr = ctl_nurl4(0x0A000005, 9000);
constexpr const char *kAddrText = "10.0.0.5:9000";

std::string record(uint32_t crc, uint16_t command, uint32_t length, const std::string &data) {
    return ctl_record(crc, command, length, data);
}
std::string good(uint16_t command, const std::string &data) {
    return ctl_good(command, data);
}
std::string reroute_data(const std::vector<uint64_t> &ids, const std::string &addr = kAddr) {
    return ctl_reroute_data(addr, ids);
}

std::vector<uint64_t> ids_from(uint64_t first, size_t n) {
    std::vector<uint64_t> ids;
    for (size_t i = 0; i < n; i++)
        ids.push_back(first + i);
    return ids;
}

// The reroute callbacks of these tests print what they were asked to do.
struct fake_ops {
    int store_rc = 0;
    std::atomic<int> stores{0};
};

std::string hex(uint64_t v) {
    char t[17];
    snprintf(t, sizeof t, "%016lX", static_cast<unsigned long>(v));
    return t;
}

int fake_store(void *ctx, const nurl *address, uint64_t n, const uint64_t *aids) {
    auto *f = static_cast<fake_ops *>(ctx);
    char text[NET_TEXT_SIZE];
    nurl_to_url(address, text);
    printf("store %s", text);
    for (uint64_t i = 0; i < n; i++)
        printf(" %s", hex(aids[i]).c_str());
    printf("\n");
    f->stores++;
    return f->store_rc;
}

void fake_tell(void *, uint64_t aid, const nurl *address) {
    char text[NET_TEXT_SIZE];
    nurl_to_url(address, text);
    printf("tell %s %s\n", hex(aid).c_str(), text);
}

// What the fakes print for a stored reroute of `ids`.
std::string effects(const std::vector<uint64_t> &ids) {
    std::string out = std::string("store ") + kAddrText;
    for (uint64_t id : ids)
        out += " " + hex(id);
    out += "\n";
    for (uint64_t id : ids)
        out += "tell " + hex(id) + " " + kAddrText + "\n";
    return out;
}

Logged handle(const std::string &bytes, uint32_t mode = MODE_MANAGER, int store_rc = 0) {
    return run_logged([&] {
        fake_ops f;
        f.store_rc = store_rc;
        ctl_server srv;
        srv.mode = mode;
        srv.reroute = {fake_store, fake_tell, &f};
        ctl_handle_bytes(&srv, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    });
}

struct HandleCase {
    const char *name;
    std::string bytes;
    std::string lines; // WARN and ERROR lines, stamps removed
    std::string out;   // what the callbacks were asked
    uint32_t mode = MODE_MANAGER;
    int store_rc = 0;
};

TEST(CtlRecord, BytesOfOneReadAreTakenRecordByRecord) {
    const std::vector<uint64_t> one{0xA1}, two{0xB1, 0xB2}, many = ids_from(0x1000, 124);
    const std::string one_rec = good(CTL_CMD_REROUTE, reroute_data(one));
    const std::string corrupted = record(0xDEADBEEF, CTL_CMD_REROUTE, 30, reroute_data(one));
    const std::string full = good(CTL_CMD_REROUTE, reroute_data(many));
    ASSERT_EQ(full.size(), CTL_RECORD_MAX);
    const std::string oversize = good(9, std::string(CTL_RECORD_MAX - 10 + 1, 'z'));
    const std::string bad_family = ctl_nurl4(0x0A000005, 9000, 0);
    const HandleCase cases[] = {
        {"nine bytes", std::string(9, '\0'), "WARN   Invalid command size.\n", ""},
        {"length 30, 20 data bytes", record(0, CTL_CMD_REROUTE, 30, std::string(20, '\0')),
         "WARN   Invalid command data size.\n", ""},
        {"crc 0 takes the data unchecked", record(0, CTL_CMD_REROUTE, 30, reroute_data(one)), "",
         effects(one)},
        {"wrong crc", corrupted, "WARN   Command data corrupted!\n", ""},
        {"crc over no data", record(1, CTL_CMD_REROUTE, 0, ""), "WARN   Command data corrupted!\n",
         ""},
        {"unknown command", good(7, reroute_data(one)), "", ""},
        {"124 agents in 1024 bytes", full, "", effects(many)},
        {"over 1024 bytes", oversize, "WARN   Invalid command data size.\n", ""},
        {"two records in one read", one_rec + good(CTL_CMD_REROUTE, reroute_data(two)), "",
         effects(one) + effects(two)},
        {"a record, then stray bytes", one_rec + "stray", "WARN   Invalid command size.\n",
         effects(one)},
        {"a corrupted record, then a good one", corrupted + one_rec,
         "WARN   Command data corrupted!\n", effects(one)},
        {"a record running past the read", one_rec + one_rec.substr(0, 20),
         "WARN   Invalid command data size.\n", effects(one)},
        {"k = 0 changes nothing", good(CTL_CMD_REROUTE, reroute_data({})), "", ""},
        {"reroute data of 21 bytes", good(CTL_CMD_REROUTE, kAddr + "\x01"),
         "WARN   Invalid reroute command size!\n", ""},
        {"count 2 with one id", good(CTL_CMD_REROUTE, kAddr + le(2, 2) + le(0xA1, 8)),
         "WARN   Invalid reroute command size!\n", ""},
        {"address without a family", good(CTL_CMD_REROUTE, reroute_data(one, bad_family)),
         "WARN   Invalid reroute address family: 0!\n", ""},
        {"Standalone", one_rec, "WARN   Agents reroute not supported!\n", "", MODE_STANDALONE},
        {"Database", one_rec, "WARN   Agents reroute not supported!\n", "", MODE_DATABASE},
        {"the store fails: no agent is told", one_rec, "ERROR  Agents reroute failure.\n",
         std::string("store ") + kAddrText + " " + hex(0xA1) + "\n", MODE_MANAGER, -1},
    };
    for (const HandleCase &c : cases) {
        const Logged got = handle(c.bytes, c.mode, c.store_rc);
        EXPECT_EQ(got.lines, c.lines) << c.name;
        EXPECT_EQ(got.out, c.out) << c.name;
    }
}

// A working directory of its own holding "var", as an environment does.
class CtlDir : public InTempDir {
protected:
    void SetUp() override {
        InTempDir::SetUp();
        ASSERT_EQ(mkdir("var", 0700), 0);
    }

    // The agents `ids` as a selection holds them.
    static std::vector<agent_entry> entries(const std::vector<uint64_t> &ids) {
        std::vector<agent_entry> out;
        for (uint64_t id : ids) {
            agent_entry e{};
            e.id = id;
            out.push_back(e);
        }
        return out;
    }
    static nurl address() {
        nurl nu;
        memcpy(&nu, kAddr.data(), sizeof nu);
        return nu;
    }
    // Sends a reroute of `ids` from a child: what it printed, and its result after "=".
    static std::string send(const std::vector<uint64_t> &ids) {
        const RunResult r = run_forked([&] {
            const std::vector<agent_entry> e = entries(ids);
            const nurl a = address();
            printf("=%d", ctl_send_reroute(e.size(), e.data(), &a));
        });
        return r.out;
    }
    // Everything a reader end holds now.
    static std::string drain(int fd) {
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }

    TempDir dir_;

private:
    std::string old_;
};

TEST_F(CtlDir, WriterSendsOneWholeRecord) {
    ASSERT_EQ(mkfifo(CTL_FIFO_PATH, 0600), 0);
    const int rd = open(CTL_FIFO_PATH, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    const std::vector<uint64_t> two{0x0102030405060708, 0x1122334455667788};
    EXPECT_EQ(send(two), "=0");
    // 10.0.0.5:9000 (family 2, port 0x2328, host order), two agents, two ids.
    const std::string data = std::string("\x02\x00\x28\x23\x0a\x00\x00\x05", 8) +
                             std::string(12, '\0') + std::string("\x02\x00", 2) +
                             std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8) +
                             std::string("\x88\x77\x66\x55\x44\x33\x22\x11", 8);
    const std::string head =
        le(crc32_calc(data.data(), data.size()), 4) + std::string("\x02\x00\x26\x00\x00\x00", 6);
    const std::string sent = drain(rd);
    EXPECT_EQ(sent, head + data);
    // What was sent is what the reader takes.
    const Logged taken = handle(sent);
    EXPECT_EQ(taken.out, effects(two));
    EXPECT_EQ(taken.lines, "");
    // The most one record holds arrives in one read; one agent more is refused unsent.
    const std::vector<uint64_t> most = ids_from(1, 124);
    EXPECT_EQ(send(most), "=0");
    char buf[2048];
    EXPECT_EQ(read(rd, buf, sizeof buf), static_cast<ssize_t>(CTL_RECORD_MAX));
    EXPECT_EQ(std::string(buf, CTL_RECORD_MAX), good(CTL_CMD_REROUTE, reroute_data(most)));
    EXPECT_EQ(send(ids_from(1, 125)), "\033[91mToo many agents!\033[0m\n=-1");
    EXPECT_EQ(drain(rd), "");
    close(rd);
}

TEST_F(CtlDir, WriterNeverWaits) {
    const std::string unable = "\033[91mUnable to reroute agents!\033[0m\n=-1";
    // Nothing at the path.
    EXPECT_EQ(send({1}), "\033[91mError: No such file or directory\033[0m\n" + unable);
    // A FIFO nobody reads: a service that is gone left it behind.
    ASSERT_EQ(mkfifo(CTL_FIFO_PATH, 0600), 0);
    EXPECT_EQ(send({1}), "\033[91mError: No such device or address\033[0m\n" + unable);
    // A FIFO whose reader does not keep up: the write fails instead of waiting.
    const int rd = open(CTL_FIFO_PATH, O_RDONLY | O_NONBLOCK);
    const int wr = open(CTL_FIFO_PATH, O_WRONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    ASSERT_GE(wr, 0);
    const std::string block(4096, 'f');
    while (write(wr, block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    EXPECT_EQ(send({1}),
              "\033[91mCommand send error: Resource temporarily unavailable\033[0m\n" + unable);
    close(wr);
    close(rd);
    // Things that are no FIFO are never written.
    ASSERT_EQ(unlink(CTL_FIFO_PATH), 0);
    write_file(CTL_FIFO_PATH, "keep");
    EXPECT_EQ(send({1}), "\033[91mError: var/korvane.sock is not a FIFO\033[0m\n" + unable);
    EXPECT_EQ(read_file(CTL_FIFO_PATH), "keep");
    ASSERT_EQ(unlink(CTL_FIFO_PATH), 0);
    ASSERT_EQ(mkfifo("var/real", 0600), 0);
    const int real = open("var/real", O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(symlink("real", CTL_FIFO_PATH), 0);
    EXPECT_EQ(send({1}), "\033[91mError: var/korvane.sock is not a FIFO\033[0m\n" + unable);
    EXPECT_EQ(drain(real), "");
    close(real);
}

// Starts a reader in a child with its log in "ctl.log", runs `fn` beside it, then lowers
// the run flag and waits for the reader to end. The child's exit status is 0 when the reader
// ended; `fn` reports through its own checks.
RunResult run_reader(const std::function<void(ctl_server *, fake_ops *)> &fn) {
    return run_forked([&] {
        if (log_open("ctl.log") != 0)
            _exit(2);
        log_level.store(2);
        running.store(1);
        static fake_ops f;
        static ctl_server srv;
        srv.mode = MODE_MANAGER;
        srv.reroute = {fake_store, fake_tell, &f};
        srv.wait_ms = 20;
        if (ctl_server_start(&srv) != 0)
            _exit(3);
        fn(&srv, &f);
        running.store(0);
        const bool ended = eventually([] {
            return read_file("ctl.log").find("Control server stopped.") != std::string::npos;
        });
        fflush(stdout);
        _exit(ended && !testing::Test::HasFailure() ? 0 : 1);
    });
}

bool is_fifo_0600(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISFIFO(st.st_mode) && (st.st_mode & 07777) == 0600;
}

TEST_F(CtlDir, ReaderTakesRecordsUntilTheRunFlagFalls) {
    const RunResult r = run_reader([](ctl_server *, fake_ops *f) {
        const std::vector<agent_entry> e = entries({0xA1});
        const nurl a = address();
        EXPECT_EQ(ctl_send_reroute(e.size(), e.data(), &a), 0);
        EXPECT_TRUE(eventually([&] { return f->stores.load() == 1; }));
        // Once the writer has closed, the reader goes on waiting (it would spin on a hang-up
        // and never time out), and takes the next writer's record.
        const size_t waits = count_of(read_file("ctl.log"), "Control server timed out.");
        EXPECT_TRUE(eventually([&] {
            return count_of(read_file("ctl.log"), "Control server timed out.") >= waits + 3;
        }));
        EXPECT_EQ(ctl_send_reroute(e.size(), e.data(), &a), 0);
        EXPECT_TRUE(eventually([&] { return f->stores.load() == 2; }));
    });
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, effects({0xA1}) + effects({0xA1}));
    const std::string log = strip_log_stamps(read_file("ctl.log"));
    EXPECT_NE(log.find("DEBUG  Control server timed out.\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 31), "INFO   Control server stopped.\n");
    // The FIFO stays for the next start.
    EXPECT_TRUE(is_fifo_0600(CTL_FIFO_PATH));
}

TEST_F(CtlDir, StartReplacesWhatIsNoFifoAndKeepsAFifo) {
    // A regular file would always read as ready.
    write_file(CTL_FIFO_PATH, "left over");
    EXPECT_EQ(run_reader([](ctl_server *, fake_ops *) {}).exit_code, 0);
    EXPECT_TRUE(is_fifo_0600(CTL_FIFO_PATH));

    // An existing FIFO is reused, its permissions for others dropped.
    ASSERT_EQ(unlink(CTL_FIFO_PATH), 0);
    ASSERT_EQ(mkfifo(CTL_FIFO_PATH, 0600), 0);
    ASSERT_EQ(chmod(CTL_FIFO_PATH, 0622), 0);
    struct stat before;
    ASSERT_EQ(lstat(CTL_FIFO_PATH, &before), 0);
    EXPECT_EQ(run_reader([](ctl_server *, fake_ops *) {}).exit_code, 0);
    struct stat after;
    ASSERT_EQ(lstat(CTL_FIFO_PATH, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_TRUE(is_fifo_0600(CTL_FIFO_PATH));

    // A link is replaced, never followed.
    ASSERT_EQ(unlink(CTL_FIFO_PATH), 0);
    write_file("target", "untouched");
    ASSERT_EQ(symlink("../target", CTL_FIFO_PATH), 0);
    EXPECT_EQ(run_reader([](ctl_server *, fake_ops *) {}).exit_code, 0);
    EXPECT_TRUE(is_fifo_0600(CTL_FIFO_PATH));
    EXPECT_EQ(read_file("target"), "untouched");
}

TEST_F(CtlDir, StartFailsWithoutItsDirectory) {
    ASSERT_EQ(rmdir("var"), 0);
    const Logged got = run_logged([] {
        ctl_server srv;
        printf("%d", ctl_server_start(&srv));
    });
    EXPECT_EQ(got.out, "-1");
    EXPECT_EQ(got.lines, "FATAL  Cannot create a command channel: No such file or directory\n");
}

} // namespace
