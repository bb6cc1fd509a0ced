// What agents, graphical clients and Databases put on the wire to a Manager, byte by byte.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "lib/murmur3.h"
#include "server/ioloop.h"
#include "server/msg.h"
#include "tests/support/wire.h"

// The 64 identity bytes: the type and a NUL-padded label.
inline std::string identity_bytes(uint8_t type, const std::string &label) {
    std::string id(64, '\0');
    id[0] = static_cast<char>(type);
    memcpy(id.data() + 1, label.data(), std::min<size_t>(label.size(), 63));
    return id;
}

// A label as log lines show it: control bytes masked.
inline std::string shown_label(std::string label) {
    for (char &c : label) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return label;
}

inline uint64_t agent_id(uint8_t type, const std::string &label) {
    const std::string id = identity_bytes(type, label);
    return murmur3_hash64(id.data(), 64);
}

// A 20-byte nurl as it travels: family and port big-endian, an IPv4 address in the first 4
// of the 16 address bytes.
inline std::string nurl_wire(uint16_t family, uint16_t port, uint32_t ipv4) {
    return be(family, 2) + be(port, 2) + be(ipv4, 4) + std::string(12, '\0');
}
inline std::string no_nurl() {
    return std::string(20, '\0');
}
constexpr uint32_t kLoopback = 0x7F000001;

// The agent's hello at the Manager: kind, target "ER", start time, identity, the
// configuration it runs and its Database, then `extra` bytes.
struct MgrAgentHello {
    uint64_t start_ms = 1700000000123;
    uint8_t type = 2;
    std::string label;
    uint64_t cid1 = 0;
    uint64_t cid2 = 0;
    uint64_t hash = 0;
    std::string database = no_nurl();
    std::string extra;

    std::string body() const {
        return be(start_ms, 8) + identity_bytes(type, label) + be(cid1, 8) + be(cid2, 8) +
               be(hash, 8) + database + extra;
    }
    std::string message() const {
        return wire_message(MSG_HELLO, std::string("\0\0\0AGENTER", 10) + body());
    }
    uint64_t aid() const { return agent_id(type, label); }
};

// The login body: lengths as given, each text followed by a NUL.
inline std::string login_bytes(const std::string &name, const std::string &password) {
    return be(name.size(), 2) + name + std::string(1, '\0') + be(password.size(), 2) + password +
           std::string(1, '\0');
}
inline std::string client_hello(const std::string &body) {
    return wire_message(MSG_HELLO, "UICLIENTER" + body);
}
inline std::string login_hello(const std::string &name, const std::string &password) {
    return client_hello(login_bytes(name, password));
}

inline std::string database_hello(const std::string &body) {
    return wire_message(MSG_HELLO, "DATABASE" + body);
}

// A user's id: the hash of its 128-byte zero-padded name.
inline uint64_t user_id(const std::string &name) {
    std::string field(128, '\0');
    memcpy(field.data(), name.data(), std::min<size_t>(name.size(), 127));
    return murmur3_hash64(field.data(), 128);
}

// The first 8 bytes of every answer of the Manager.
inline std::string manager_answer() {
    return std::string("\0MANAGER", 8);
}

// A PeerId as the Manager copies it into a forwarded query (host order).
inline PeerId peer_id_at(const std::string &bytes, size_t at) {
    PeerId id;
    memcpy(&id, bytes.data() + at, sizeof id);
    return id;
}
inline std::string peer_id_bytes(const PeerId &id) {
    return std::string(reinterpret_cast<const char *>(&id), sizeof id);
}

// A client command and a client's agent query.
inline std::string client_command(uint64_t command, uint64_t aid, const std::string &args = "") {
    return wire_message(MSG_AGENT_COMMAND, be(command, 8) + be(aid, 8) + args);
}
inline std::string agent_query(uint64_t rid, uint64_t qid, uint64_t aid,
                               const std::string &args = "") {
    return wire_message(MSG_AGENT_QUERY, be(rid, 8) + be(qid, 8) + be(aid, 8) + args);
}
// An agent's answer to a forwarded query.
inline std::string agent_answer(uint64_t rid, uint64_t qid, uint16_t status, const PeerId &to,
                                const std::string &data) {
    return wire_message(MSG_RESPONSE,
                        be(rid, 8) + be(qid, 8) + be(status, 2) + peer_id_bytes(to) + data);
}
