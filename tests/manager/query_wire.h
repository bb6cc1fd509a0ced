// Manager queries, their replies and the agent commands they cause, as bytes on the wire.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "lib/murmur3.h"
#include "manager/configs.h"
#include "mgr_wire.h"

// A manager query message: RID, QID, then the arguments.
inline std::string mgr_query(uint64_t rid, uint64_t qid, const std::string &args = "") {
    return wire_message(MSG_MGR_QUERY, be(rid, 8) + be(qid, 8) + args);
}

// Its reply: RID, QID, status, data.
inline std::string mgr_reply(uint64_t rid, uint64_t qid, uint16_t status,
                             const std::string &data = "") {
    return wire_message(MSG_RESPONSE, be(rid, 8) + be(qid, 8) + be(status, 2) + data);
}

inline std::string cfg_id_bytes(uint64_t id1, uint64_t id2) {
    return be(id1, 8) + be(id2, 8);
}

// A 32-byte text field: the text, cut at 32 bytes, NUL-padded.
inline std::string field32(const std::string &text) {
    std::string f(32, '\0');
    memcpy(f.data(), text.data(), std::min<size_t>(text.size(), 32));
    return f;
}

// A configuration summary as clients send and receive it (91 bytes).
inline std::string summary_bytes(uint64_t id1, uint64_t id2, uint64_t createdat,
                                 const std::string &author, const std::string &label, uint8_t flags,
                                 uint16_t reserved = 0) {
    return cfg_id_bytes(id1, id2) + be(createdat, 8) + field32(author) + field32(label) +
           be(reserved, 2) + be(flags, 1);
}

// One agent of AGENTS LIST: identity, Database nurl, attached configuration.
inline std::string agent_record(uint8_t type, const std::string &label, const std::string &db,
                                uint64_t cid1, uint64_t cid2) {
    return identity_bytes(type, label) + db + cfg_id_bytes(cid1, cid2);
}

inline uint64_t data_hash(const std::string &data) {
    return murmur3_hash64(data.data(), static_cast<uint32_t>(data.size()));
}

// Command 4 with a version's hash and bytes, and command 7 for a configuration.
inline std::string upload_cmd(const std::string &data) {
    return wire_message(MSG_AGENT_COMMAND, be(4, 8) + be(data_hash(data), 8) + data);
}
inline std::string detach_cmd(uint64_t id1, uint64_t id2) {
    return wire_message(MSG_AGENT_COMMAND, be(7, 8) + cfg_id_bytes(id1, id2));
}

// Stores a draft through the storage API (the text fields as given, NUL-padded).
inline int store_cfg(mgr_storage *s, uint64_t id1, uint64_t id2, uint64_t createdat,
                     const std::string &author, const std::string &label,
                     const std::string &draft) {
    mgr_config c{};
    c.info.id1 = id1;
    c.info.id2 = id2;
    c.info.createdat = createdat;
    memcpy(c.info.author, author.data(), std::min<size_t>(author.size(), 31));
    memcpy(c.info.label, label.data(), std::min<size_t>(label.size(), 31));
    c.blob = reinterpret_cast<uint8_t *>(const_cast<char *>(draft.data()));
    c.size = draft.size();
    return cfg_store_draft(s, &c);
}
