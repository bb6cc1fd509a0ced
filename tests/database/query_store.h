// Shared by the in-process tests of the queries over call trees and time cells: a fresh store
// in the working directory, agents with or without an identity file, and root calls stored
// from host-order records, the root last, the way the collector hands them over.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "database/store/rcall_support.h"
#include "database/store/stored_rcall.h"
#include "lib/files.h"

// A call with the fields these queries read.
inline call_record qcall(uint64_t tstamp, uint32_t corder, uint16_t sdepth, uint32_t cls,
                         uint32_t method, uint32_t dur = 10, uint32_t exception = 0,
                         uint32_t aux = 0) {
    call_record c = rec(tstamp, corder, sdepth, exception != 0 ? CALL_F_EXC : 0, cls, method, dur);
    c.EXCEPTION = exception;
    c.AUX = aux;
    return c;
}

// The calls of a chain under a root ending at `t`: call i is the only child of call i - 1
// (deeper, ending earlier), the first one the root's child. All have class `cls`, method
// i + 1 and, with `exception`, throw it.
inline std::vector<call_record> chain_calls(uint64_t t, uint32_t n, uint32_t cls,
                                            uint32_t exception = 0) {
    std::vector<call_record> calls;
    calls.reserve(n);
    for (uint32_t i = 0; i < n; i++)
        calls.push_back(
            qcall(t - 1 - i, i + 1, static_cast<uint16_t>(i + 1), cls, i + 1, 1, exception));
    return calls;
}

class QueryStore : public StoreDir {
protected:
    void SetUp() override {
        StoreDir::SetUp();
        ASSERT_EQ(storage_create_db(), 0);
    }

    // The agent's directories; with `identity`, an identity file too.
    static void add_agent(uint64_t id, bool identity = true) {
        ASSERT_EQ(sys_mkdirs((agent_dir(id) + "/mc").c_str()), 0);
        if (identity)
            write_file(agent_dir(id) + "/korvane.id", identity_bytes(2, "query test"));
    }

    // Stores the root call `root` with `calls`; its exception count is that of the collector,
    // every exception call, the root included.
    static void store(test_agent &agent, call_record root, std::vector<call_record> calls = {}) {
        root.flags |= CALL_F_ROOT;
        calls.push_back(root);
        uint16_t exceptions = 0;
        for (const call_record &c : calls)
            exceptions += (c.flags & (CALL_F_EXC | CALL_F_EXC_TEXT)) != 0;
        ASSERT_EQ(save_rcall(&agent.a, calls, {}, 1, exceptions), 0);
    }

    // Makes the agent's hour file of `t` a directory: it opens but cannot be read, so that a
    // walk over it fails.
    static void unreadable_hour(uint64_t agent, uint64_t t) {
        char path[RCALL_PATH_MAX];
        rcall_path(path, agent, static_cast<uint32_t>(t / DAY_MS),
                   static_cast<uint32_t>(t % DAY_MS / HOUR_MS), "");
        ASSERT_EQ(sys_mkdirs(path), 0);
    }
};
