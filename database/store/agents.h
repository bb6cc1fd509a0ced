// Agent directories under "storage.db/data": one per agent id, holding the agent's identity
// file "korvane.id" and the directories of its data ("mc", "kv", "kv/stages").
#pragma once

#include <cstdint>

#include "lib/agent_type.h"

// The agent id of an identity: the 64-bit MurmurHash3 of its 64 bytes.
uint64_t agent_id_of(const uint8_t identity[64]);

// Creates the agent's directories and its identity file, and forces both to the disk. 0 when
// the directory is new, 17 (EEXIST) when it existed already, else the errno value of the
// failed call; a failure removes the directories this call made. On an existing directory
// the missing subdirectories are made and an identity file that is missing or shorter than
// 64 bytes is written again; a whole one is left untouched.
int agent_save(const uint8_t identity[64], uint64_t aid);

// Reads the agent's identity file into `buf` (a shorter file leaves the rest zero). 0 or -1.
int read_agent_id(uint8_t buf[64], uint64_t aid);

// 1 when the agent's identity file exists, else 0.
int dbs_agent_exists(uint64_t aid);

// Whether anything stands at the agent's directory path: 1, 0 when nothing does, -1 when
// that cannot be told (logged).
int dbs_agent_dir_exists(uint64_t aid);

// Called once per agent directory that has a readable identity file. The entry lives on
// the walker's stack; a callback that keeps it copies it. The result is ignored.
using dbs_agent_cb = int (*)(void *ctx, agent_entry *entry);

// Walks "storage.db/data". 0, or -1 when the directory cannot be opened.
int dbs_foreach_agent(void *ctx, dbs_agent_cb cb);

// Deletes all data of the agent with this identity once the stored identity agrees with it
// (same type, same first 62 label characters). 0 or -1.
int dbs_remove_agent(const uint8_t identity[64]);

// Per-file callback of the removal: unlinks `path`.
int delete_agent_path_entry(void *ctx, const char *name, const char *path, uint64_t size);
