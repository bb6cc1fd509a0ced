// What agents and graphical clients put on the wire to a Database, byte by byte, and the
// reading of ROOT CALLS replies. Free of the test framework, so that load drivers share it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "database/collector.h"
#include "database/query_rootcalls.h"
#include "server/msg.h"
#include "tests/support/wire.h"

// One call as an agent sends it. `tail` holds what follows the 36 fixed bytes: the thread,
// exception and extension parts, as the test wants them.
struct Call {
    uint16_t flags = 0;
    uint64_t root_key = 0;
    uint32_t cls = 1;
    uint32_t method = 1;
    uint32_t corder = 0;
    uint16_t sdepth = 0;
    uint64_t time_base = 0;
    uint32_t aux = 0;
    uint32_t dur = 0;
    std::string tail;

    std::string body() const {
        return be(flags, 2) + be(root_key, 8) + be(cls, 4) + be(method, 4) + be(corder, 4) +
               be(sdepth, 2) + be(time_base, 6) + be(aux, 3) + be(dur, 3) + tail;
    }
};

// The records of one type-4 message.
struct AgentData {
    std::string recs;

    AgentData &sym(uint8_t type, uint32_t id, const std::string &name) {
        recs += be(type, 1) + be(id, 4) + be(name.size(), 2) + name;
        return *this;
    }
    AgentData &kv(uint32_t key, uint64_t time, uint64_t value) {
        recs += be(AREC_KV, 1) + be(key, 4) + be(time, 8) + be(value, 8);
        return *this;
    }
    AgentData &call(const std::string &body) {
        recs += be(AREC_CALL, 1) + be(body.size(), 2) + body;
        return *this;
    }
    AgentData &call(const Call &c) { return call(c.body()); }
    AgentData &raw(const std::string &bytes) {
        recs += bytes;
        return *this;
    }
    // The message: type, big-endian length, records.
    std::string message(uint8_t type = 4) const { return be(type, 1) + be(recs.size(), 4) + recs; }
};

// The first message of a connection: hello kind, target, body.
inline std::string agent_hello(const std::string &body) {
    return wire_message(MSG_HELLO, std::string("\0\0\0AGENTSE", 10) + body);
}
inline std::string ui_hello(const std::string &body) {
    return wire_message(MSG_HELLO, "UICLIENTSE" + body);
}

// A ROOT CALLS query without filters over one agent's time range.
inline std::string root_calls_query(uint64_t rid, uint64_t aid, uint64_t from, uint64_t to) {
    return wire_message(MSG_DB_QUERY, be(rid, 8) + be(DBQ_ROOT_CALLS, 8) + be(0, 4) + be(0, 4) +
                                          be(0, 4) + be(0, 4) + be(1, 2) + be(aid, 8) +
                                          be(from, 8) + be(to, 8));
}

// What a ROOT CALLS reply says of one root call.
struct RootCallRow {
    uint64_t agent;
    uint32_t thread;
    uint16_t exceptions;
    uint16_t calls; // besides the root
    uint64_t time;  // the root's end
    uint32_t cls;
    uint32_t method;
    uint32_t dur;
    uint16_t flags;
};

// A query reply taken apart: its status and, for ROOT CALLS, its records.
struct RootCallsReply {
    uint64_t rid = 0;
    uint16_t status = 0;
    std::vector<RootCallRow> rows;
};

// Reads a whole reply message (type, length, data); status 0 when it is not a reply.
inline RootCallsReply read_root_calls(const std::string &m) {
    RootCallsReply r;
    if (m.size() < 5 + 18 || static_cast<uint8_t>(m[0]) != MSG_RESPONSE)
        return r;
    r.rid = from_be(m, 5, 8);
    r.status = static_cast<uint16_t>(from_be(m, 21, 2));
    for (size_t at = 23; at + RC_RECORD_SIZE <= m.size();) {
        // Agent, key, count, thread, exceptions, calls, then the root's 48-byte record.
        const size_t root = at + 26;
        r.rows.push_back({from_be(m, at, 8), static_cast<uint32_t>(from_be(m, at + 18, 4)),
                          static_cast<uint16_t>(from_be(m, at + 22, 2)),
                          static_cast<uint16_t>(from_be(m, at + 24, 2)), from_be(m, root, 8),
                          static_cast<uint32_t>(from_be(m, root + 20, 4)),
                          static_cast<uint32_t>(from_be(m, root + 24, 4)),
                          static_cast<uint32_t>(from_be(m, root + 40, 4)),
                          static_cast<uint16_t>(from_be(m, root + 46, 2))});
        at += RC_RECORD_SIZE + from_be(m, at + 74, 2);
    }
    return r;
}
