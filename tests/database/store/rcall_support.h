// Shared by the root-call and calls-index tests: a store directory to work in, root calls
// built from host-order records, and a walk over stored root calls the way the time-range
// readers do it (index start offset, expected count, scan).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "database/store/cindex.h"
#include "database/store/dbs.h"
#include "database/store/rcall.h"
#include "database/store/store_dir.h"
#include "lib/files.h"
#include "support/test_support.h"

constexpr uint64_t kAgent = 0x00C0FFEE12345678;
// 2024-03-01 00:00:00 UTC, day 19783.
constexpr uint64_t kDay0 = 19783ull * DAY_MS;

inline uint64_t at_time(uint64_t day, uint64_t hour, uint64_t minute, uint64_t second,
                        uint64_t ms = 0) {
    return kDay0 + day * DAY_MS + hour * HOUR_MS + minute * 60000 + second * 1000 + ms;
}

// Host-order call with fields derived from `seq` and its position, so that any record read
// back can be checked against where it came from.
inline call_record make_call(uint64_t tstamp, uint32_t seq, uint32_t i, uint16_t flags = 0) {
    call_record c{};
    c.TSTAMP = tstamp;
    c.CLASS = seq;
    c.METHOD = i;
    c.EXCEPTION = flags & CALL_F_EXC ? 77 : 0;
    c.CORDER = i + 1;
    c.AUX = 0x00ABCDEF;
    c.DUR = 5 + i;
    c.SDEPTH = static_cast<uint16_t>(i % 7);
    c.flags = flags;
    return c;
}

// A root call as the collector hands it over: n calls and the root last, file byte order.
struct test_rcall {
    std::vector<call_record> records;
    std::vector<uint8_t> blob;
    rcall rc{};

    test_rcall(uint64_t tstamp, uint32_t seq, uint16_t n, size_t blob_len = 0) {
        for (uint32_t i = 0; i < n; i++)
            records.push_back(make_call(tstamp - n + i, seq, i));
        records.push_back(make_call(tstamp, seq, n, CALL_F_ROOT));
        for (call_record &c : records)
            call_record_swap(&c);
        blob.assign(blob_len, static_cast<uint8_t>(seq));
        rc = {records.data(),
              &records.back(),
              blob.empty() ? nullptr : blob.data(),
              static_cast<uint32_t>(blob.size()),
              seq + 1000,
              static_cast<uint16_t>(seq % 3),
              static_cast<uint16_t>(records.size())};
    }
};

// A fresh write state, as the store creates it.
struct test_agent {
    dbs_agent a{};
    explicit test_agent(uint64_t id = kAgent) { dbs_agent_init(&a, id); }
    ~test_agent() { dbs_agent_mc_close(&a); }
    test_agent(const test_agent &) = delete;
    test_agent &operator=(const test_agent &) = delete;

    int save(uint64_t tstamp, uint32_t seq, uint16_t n, size_t blob_len = 0) {
        test_rcall r(tstamp, seq, n, blob_len);
        return dbs_rcall_save(&a, &r.rc);
    }
};

// A store directory with the agent's "mc" directory.
class StoreTest : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(sys_mkdirs(mc_dir().c_str()), 0);
    }

    static std::string mc_dir() { return agent_dir(kAgent) + "/mc"; }
    static std::string hour_path(uint64_t t, const char *suffix = "") {
        char buf[RCALL_PATH_MAX];
        rcall_path(buf, kAgent, static_cast<uint32_t>(t / DAY_MS),
                   static_cast<uint32_t>(t % DAY_MS / HOUR_MS), suffix);
        return buf;
    }
    static std::string index_path(uint64_t t) {
        return mc_dir() + "/" + std::to_string(t / DAY_MS) + ".index";
    }
};

// One root call as a scan handed it out.
struct seen_rcall {
    uint64_t offset;
    uint64_t ext_offset;
    uint32_t ext_length;
    uint32_t thread;
    uint16_t exceptions;
    call_record root;
    std::vector<call_record> calls;
};

inline int collect_cb(void *ctx, uint64_t offset, uint64_t ext_offset, uint32_t ext_length,
                      rcall *rc) {
    auto *out = static_cast<std::vector<seen_rcall> *>(ctx);
    seen_rcall s{offset, ext_offset, ext_length, rc->thread, rc->exceptions, *rc->root, {}};
    if (rc->calls != nullptr)
        s.calls.assign(rc->calls, rc->calls + rc->count);
    EXPECT_EQ(rc->count == 0, rc->calls == nullptr);
    out->push_back(s);
    return 0;
}

// Walks the agent's hour files over `range` as the time-range readers do: the first hour
// starts at the index's offset, every hour's scan learns from the index how many root calls
// of the range it holds. Missing files are skipped.
inline std::vector<seen_rcall> walk(const uint64_t range[2], uint64_t agent = kAgent) {
    std::vector<seen_rcall> out;
    std::vector<uint8_t> buffer(CSP_SCAN_BUFFER_SIZE);
    uint64_t offset = 0;
    const uint64_t from = range[0];
    if (from % HOUR_MS != 0)
        cindex_find(&offset, agent, static_cast<uint32_t>(from / DAY_MS), from % DAY_MS / HOUR_MS,
                    from % HOUR_MS / 60000, from % 60000 / 1000);
    for (uint64_t h = from / HOUR_MS; h <= range[1] / HOUR_MS; h++, offset = 0) {
        const auto day = static_cast<uint32_t>(h / 24);
        const auto hour = static_cast<uint32_t>(h % 24);
        char path[RCALL_PATH_MAX];
        rcall_path(path, agent, day, hour, "");
        int fd = open(path, O_RDONLY);
        if (fd < 0)
            continue;
        const uint32_t file_id = day << 5 | hour;
        EXPECT_EQ(csp_scan_rcall_stack(fd, offset, file_id, range, CSP_SCAN_BUFFER_SIZE,
                                       buffer.data(), &out, collect_cb,
                                       csp_scan_expected(agent, file_id, range)),
                  0);
        close(fd);
    }
    return out;
}

inline std::vector<uint64_t> root_times(const std::vector<seen_rcall> &seen) {
    std::vector<uint64_t> t;
    for (const seen_rcall &s : seen)
        t.push_back(s.root.TSTAMP);
    return t;
}
