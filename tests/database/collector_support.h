// Shared by the collector tests: agent data built byte by byte, a store in a temporary
// directory with registered agents, a collector that writes into it, and the log lines the
// test produced.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "database/agent_collector.h"
#include "database/agent_wire.h"
#include "database/collector.h"
#include "database/collector_store.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "database/store/ext.h"
#include "database/store/rcall_support.h"
#include "database/store/symbols.h"
#include "lib/log.h"
#include "tests/lib/log_capture.h"

// 2024-03-01 00:00:00 UTC, day 19783.
constexpr uint64_t kMar1 = 19783ull * DAY_MS;

constexpr uint64_t utc_time(uint64_t hour, uint64_t minute, uint64_t second = 0, uint64_t ms = 0) {
    return kMar1 + hour * HOUR_MS + minute * 60000 + second * 1000 + ms;
}

inline std::string unhex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); i++) {
        if (isspace(static_cast<unsigned char>(hex[i])))
            continue;
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        i++;
    }
    return out;
}

// Sends the process's standard error to a file while it lives, where log lines can be read.
class StderrCapture {
public:
    StderrCapture() : path_(dir_.sub("stderr")) {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() {
        dup2(saved_, 2);
        close(saved_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // The lines written so far, without their time stamps.
    std::string lines() const { return strip_log_stamps(read_file(path_)); }
    void clear() const { EXPECT_EQ(ftruncate(2, 0), 0); }

private:
    TempDir dir_;
    std::string path_;
    int saved_;
};

// The WARN and ERROR lines among log lines.
inline std::string problems(const std::string &lines) {
    std::istringstream in(lines);
    std::string out, line;
    while (std::getline(in, line)) {
        if (line.rfind("WARN", 0) == 0 || line.rfind("ERROR", 0) == 0)
            out += line + "\n";
    }
    return out;
}

// The service's operations on the store `db`.
inline collector_callbacks store_callbacks(dbs *db) {
    return {db, collector_kv_cb, collector_rcall_cb, collector_symbol_cb};
}

// A fresh store in the test's working directory (db_) and log lines captured at level 1. start()
// makes a collector that writes into the store; drain() lets it handle everything queued and ends
// its workers, leaving the agents' state to look at.
class CollectorTest : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(storage_create_db(), 0);
        db_ = dbs_open();
        ASSERT_NE(db_, nullptr);
        log_level.store(1);
    }
    void TearDown() override {
        if (col_ != nullptr) {
            collector_stop(col_);
            collector_free(col_);
        }
        dbs_close(db_);
        db_ = nullptr;
        log_level.store(0);
        StoreDir::TearDown();
    }

    // Registers an agent of the given label in the store; its id.
    uint64_t add_agent(const std::string &label) const {
        const std::string id = identity_bytes(2, label);
        const uint64_t aid = agent_id_of(as_bytes(id));
        EXPECT_EQ(dbs_agent_register(db_, as_bytes(id), aid), 0);
        return aid;
    }
    void start(uint16_t n = 1) { start(n, store_callbacks(db_)); }
    void start(uint16_t n, collector_callbacks cb) {
        col_ = collector_init(n, &cb);
        ASSERT_NE(col_, nullptr);
    }
    void send(uint64_t aid, const std::string &payload) {
        ASSERT_EQ(collector_enqueue(col_, aid, payload.size(),
                                    reinterpret_cast<const uint8_t *>(payload.data())),
                  0);
    }
    void drain() { collector_stop(col_); }
    // The collector state of an agent after drain(), or NULL.
    agent_collector *state(uint64_t aid) const {
        const agent_table &t = col_->workers[aid % col_->n].collectors;
        auto it = t.by_agent.find(aid);
        return it == t.by_agent.end() ? nullptr : t.items[it->second]->ac;
    }
    // The agent's stored root calls over all time.
    static std::vector<seen_rcall> stored(uint64_t aid, uint64_t from = kMar1,
                                          uint64_t to = kMar1 + 2 * DAY_MS - 1) {
        const uint64_t range[2] = {from, to};
        return walk(range, aid);
    }
    uint32_t global_id(uint32_t type, const std::string &name) const {
        return dbs_symbol_find(db_, type, name.data(), static_cast<uint16_t>(name.size()));
    }

    StderrCapture log_;
    dbs *db_ = nullptr;
    collector *col_ = nullptr;
};
