// The control channel: a FIFO in the environment ("var/korvane.sock") through which the
// administration tool hands commands to a running Manager. A record is a 10-byte header in
// host byte order (u32 CRC-32 of the data or 0 for none, u16 command, u32 data length) and
// its data, at most 1024 bytes together. The only command is the agents reroute: a new
// Database address (a host-order nurl), a u16 count k and k u64 agent ids.
//
// The reader runs on a detached thread of the service. It holds a write end of the FIFO
// itself, so the FIFO never reports a hang-up when the last writer leaves and the reader
// never spins. Each read takes everything the FIFO holds and handles the records in it back
// to back. The reroute's effects (storing the address, telling the agents) belong to the
// Manager role, which hands them in as callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/agent_type.h"
#include "lib/netaddr.h"

inline constexpr const char *CTL_FIFO_PATH = "var/korvane.sock";

inline constexpr uint16_t CTL_CMD_REROUTE = 2;

struct __attribute__((packed)) ctl_command {
    uint32_t crc;     // crc32_calc of the data; 0: taken without a check
    uint16_t command; // CTL_CMD_*
    uint32_t length;  // data bytes after the header
};
static_assert(sizeof(ctl_command) == 10);

// A record, header included, is at most this long: the writer's one write stays whole.
inline constexpr size_t CTL_RECORD_MAX = 1024;
// The reroute data before its ids: the nurl and the u16 count.
inline constexpr size_t CTL_REROUTE_HEAD = NURL_SIZE + 2;
// The most agents one reroute record names: (1024 - 10 - 22) / 8.
inline constexpr uint64_t CTL_REROUTE_MAX_AGENTS =
    (CTL_RECORD_MAX - sizeof(ctl_command) - CTL_REROUTE_HEAD) / 8;
static_assert(CTL_REROUTE_MAX_AGENTS == 124);

// Seconds-scale wait of the reader between two looks at the run flag.
inline constexpr int CTL_WAIT_MS = 2000;

// What a reroute does, supplied by the role that owns the agents.
struct ctl_reroute_ops {
    // Stores `address` as the Database of the `n` listed agents: 0, or -1 when nothing was
    // changed.
    int (*store)(void *ctx, const nurl *address, uint64_t n, const uint64_t *aids);
    // Tells one agent, if it is connected, its new Database.
    void (*tell)(void *ctx, uint64_t aid, const nurl *address);
    void *ctx;
};

// One reader of the channel. The record must outlive its thread, which is never joined.
struct ctl_server {
    int fd = -1;       // read end, non-blocking
    int keep_fd = -1;  // the reader's own write end
    uint32_t mode = 0; // MODE_* bits of the process: reroutes need exactly the Manager
    ctl_reroute_ops reroute{};
    int wait_ms = CTL_WAIT_MS; // tests shorten it
    std::vector<uint8_t> buf;  // one read: as much as the FIFO holds
};

// Creates the FIFO (mode 0600; whatever else stands at its path is replaced), opens it and
// starts the detached reader. 0, or -1 after a FATAL line.
int ctl_server_start(ctl_server *srv);

// The reader's loop; it ends within one wait of the run flag falling to 0, or on a failed
// wait. The FIFO stays.
void ctl_server_main(ctl_server *srv);

// Handles the bytes of one read: the records in them, back to back. A record that is too
// short, runs past the bytes read or beyond 1024 bytes ends the walk with a WARN line; a
// corrupted one is skipped with a WARN line.
void ctl_handle_bytes(ctl_server *srv, const uint8_t *data, size_t n);

// Runs one reroute record's data.
void ctl_handle_reroute(ctl_server *srv, uint32_t length, const uint8_t *data);

// Writes one record into the FIFO of the working directory, never waiting: no reader, or
// something other than a FIFO at its path, fails at once. 0, or -1 after a red line on
// standard output.
int ctl_send_command(uint16_t command, uint32_t length, const void *data);

// Sends a reroute of the `count` agents to `address`. 0, or -1 after "Too many agents!"
// (more than 124) or "Unable to reroute agents!".
int ctl_send_reroute(uint64_t count, const agent_entry *entries, const nurl *address);
