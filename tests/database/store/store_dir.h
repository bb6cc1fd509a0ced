// Store tests run inside a fresh temporary directory, which is the working directory of
// the store just as the environment directory is for the server.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "database/store/dbs.h"
#include "support/in_temp_dir.h"
#include "support/test_support.h"

using StoreDir = InTempDir;

// Stops the maintainer thread of an open store, for a test that runs store code in forked
// children: a child forked while that thread held one of the store's locks would wait on it for
// ever. The store stays usable; its symbol files are synced again when it closes.
inline void stop_maintainer(dbs *db) {
    ASSERT_EQ(dbs_quiesce(db), 0);
}

inline bool path_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline bool path_is_dir(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline mode_t path_mode(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

inline off_t path_size(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The 64 bytes of an identity: the type byte and the label, zero-padded.
inline std::string identity_bytes(uint8_t type, const std::string &label) {
    std::string id(64, '\0');
    id[0] = static_cast<char>(type);
    id.replace(1, label.size(), label);
    return id;
}

inline const uint8_t *as_bytes(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// "storage.db/data/<id as 16 upper-case hex digits>".
inline std::string agent_dir(uint64_t aid) {
    char name[17];
    snprintf(name, sizeof name, "%016lX", aid);
    return std::string("storage.db/data/") + name;
}
