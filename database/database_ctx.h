// The Database role's context: the objects its parts share. The role makes it when it opens
// and hands it to its loops, its collector and its queries when it creates them; nothing of
// the role reaches its store or collector any other way.
#pragma once

#include <atomic>
#include <cstdint>

struct collector;
struct dbs;
struct loop;
struct odb;

struct database_ctx {
    struct dbs *db;              // the open data store
    struct collector *collector; // the collector writing into it
    struct odb *online;          // the online-subscription service; NULL until it exists
    struct loop *agents_loop;    // the DB-AG loop; NULL until it exists

    // Cleared when the role quiesces: agents' hellos are refused from then on, and frames
    // that still come in are no longer queued (they are counted in `frames_dropped`).
    std::atomic<bool> accepting{true};
    std::atomic<bool> reading{true};
    std::atomic<uint64_t> frames_dropped{0};
    // Agents admitted and not gone yet: what the descriptor budget counts.
    std::atomic<uint64_t> agents{0};
};
