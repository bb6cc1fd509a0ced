// Root calls with extension entries, stored through the store's own writer the way the
// collector stores them: entries added to a blob builder, locators set in the records.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "database/store/ext.h"
#include "database/store/rcall.h"

// One extension entry of a root call: the call index it names and its data.
struct test_entry {
    uint16_t call_index;
    std::string data;
};

// Key/value list data as a call with flags 0x02 carries it: u16 length, then the list.
inline std::string kv_data(const std::string &list) {
    std::string d;
    d.push_back(static_cast<char>(list.size() >> 8));
    d.push_back(static_cast<char>(list.size()));
    return d + list;
}

// Stores `calls` (host order, the root last, so index calls.size() - 1 is the root) with the
// entries in the given order. An entry whose index names a call sets that call's locator; the
// caller chooses the flags. 0 or -1 as dbs_rcall_save.
inline int save_rcall(dbs_agent *agent, std::vector<call_record> calls,
                      const std::vector<test_entry> &entries = {}, uint32_t thread = 1,
                      uint16_t exceptions = 0) {
    ext_buf *b = ext_buf_new();
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    uint32_t grown;
    for (const test_entry &e : entries) {
        const uint64_t locator = ext_buf_add(&b, &grown, scratch.data(), 0, e.call_index,
                                             e.data.data(), static_cast<uint16_t>(e.data.size()));
        if (e.call_index < calls.size())
            calls[e.call_index].ext = locator;
    }
    uint32_t blob_length = 0;
    const uint8_t *blob = ext_buf_finish(&b, &blob_length, &grown, scratch.data());
    for (call_record &c : calls)
        call_record_swap(&c);
    rcall rc{calls.data(),
             &calls.back(),
             blob,
             blob_length,
             thread,
             exceptions,
             static_cast<uint16_t>(calls.size())};
    int result = dbs_rcall_save(agent, &rc);
    ext_buf_free(b);
    return result;
}

// A host-order call record with the fields the tests look at.
inline call_record rec(uint64_t tstamp, uint32_t corder, uint16_t sdepth, uint16_t flags = 0,
                       uint32_t cls = 1, uint32_t method = 1, uint32_t dur = 10) {
    call_record c{};
    c.TSTAMP = tstamp;
    c.CLASS = cls;
    c.METHOD = method;
    c.CORDER = corder;
    c.DUR = dur;
    c.SDEPTH = sdepth;
    c.flags = flags;
    return c;
}
