// Agent configurations: opaque blobs that clients edit and agents receive. Each one is a
// CONFIGURATIONS row named by two u64 halves (0.0 names none) holding the last stored edit
// (the draft) and the version agents get (the active data), which only activation changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "lib/bbuf.h"

struct mgr_storage;

inline constexpr uint8_t CFGINFO_F_DRAFT = 0x01; // a non-empty draft is stored
inline constexpr uint8_t CFGINFO_F_DATA = 0x02;  // non-empty active data is stored

// Version selectors.
inline constexpr uint8_t CFG_DRAFT = 1;
inline constexpr uint8_t CFG_DATA = 2;

// The summary of one configuration: 91 bytes, host order in memory; on the wire the same
// fields in order, integers big-endian.
struct __attribute__((packed)) ConfigurationInfo {
    uint64_t id1;
    uint64_t id2;
    uint64_t createdat; // as the client sent it when it first stored the configuration
    char author[32];    // NUL-padded, at most 31 characters read back
    char label[32];     // NUL-padded, at most 31 characters read back
    uint16_t reserved;  // 0 in every summary sent; ignored when received
    uint8_t flags;      // CFGINFO_F_*
};
static_assert(sizeof(ConfigurationInfo) == 91);

inline constexpr size_t CFGINFO_SIZE = sizeof(ConfigurationInfo);

// The wire form of a summary, its reserved field as 0.
void cfg_info_to_wire(const ConfigurationInfo *info, std::span<uint8_t, CFGINFO_SIZE> wire);
// Appends the wire form of a summary (its reserved field as 0): 0, or -1 with nothing
// written when the 91 bytes do not fit.
int cfg_info_put(bbuf *b, const ConfigurationInfo *info);
// Reads a summary from its wire form; the reserved field is taken as 0.
void cfg_info_from_wire(std::span<const uint8_t, CFGINFO_SIZE> wire, ConfigurationInfo *info);

// One configuration with one of its versions.
struct mgr_config {
    ConfigurationInfo info;
    uint8_t *blob; // the version's bytes or NULL; after a read the caller frees it
    uint64_t size; // bytes in blob
    uint64_t hash; // drafthash or datahash; 0 when nothing is stored
    uint8_t which; // CFG_DRAFT or CFG_DATA
};

// Stores config->blob as the draft of info.id1.id2 with its label; a new configuration is
// inserted with info.author and info.createdat, which never change afterwards. The active
// data is not touched. 0 or -1.
int cfg_store_draft(mgr_storage *s, const mgr_config *config);

// Reads one version (CFG_DATA, anything else the draft) into *out, which is overwritten.
// 0 found (an empty version gives no blob and hash 0), 2 no such configuration, -1 failure.
int cfg_read(mgr_storage *s, uint64_t id1, uint64_t id2, uint8_t which, mgr_config *out);

// Makes the draft the active data with the activation time in seconds, and gives the
// attached cached agents its hash. An unknown id changes nothing and succeeds. 0 or -1.
int cfg_activate(mgr_storage *s, uint64_t id1, uint64_t id2);

// Replaces the label. 0 or -1.
int cfg_set_label(mgr_storage *s, uint64_t id1, uint64_t id2, const char *label);

// Deletes the configuration; refused (-1) while an agent is attached to it.
int cfg_delete(mgr_storage *s, uint64_t id1, uint64_t id2);

// Called once per stored configuration with its summary and activation time (0 before the
// first activation); the result is ignored. The walk reads every row first and calls back
// with no lock held; a failed read calls back nothing. 0 or -1.
using cfg_cb = int (*)(void *ctx, const ConfigurationInfo *info, uint64_t lastupdate);
int cfg_foreach(mgr_storage *s, void *ctx, cfg_cb cb);

// The summary of one configuration, all zero when there is none or on failure;
// *lastupdate is written only when it exists.
ConfigurationInfo cfg_get_info(mgr_storage *s, uint64_t id1, uint64_t id2, uint64_t *lastupdate);
