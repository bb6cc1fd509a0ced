// Stream connections that carry frames. Outgoing messages gather in an open frame until it is
// closed and sent with one vectored send (header and payload, the header never copied);
// incoming bytes go through the frame receive state machine.
//
// Send results are errno values: 0 nothing left to send; EAGAIN the message joined the open
// frame; ENOSPC a closed frame is still (partly) unsent and the message, if any, was not taken
// and must be offered again; E2BIG the message can never be sent on this connection (the
// connection stays usable); EAFNOSUPPORT the peer address is not IPv4, IPv6 or local; any
// other value is the socket's error and the connection should be dropped.
#pragma once

#include <cstdint>
#include <span>
#include <sys/socket.h>

#include "lib/netaddr.h"
#include "server/frame.h"

// The working block an IO loop shares among its peers: a receive area of 256 KiB and a
// compression area as large as LZ4's worst case for MSG_MAX_LEN + 1024 bytes of input.
constexpr uint64_t SOCK_RECV_AREA = 0x40000;
constexpr uint64_t SOCK_COMPRESS_AREA = 16844049;
constexpr uint64_t SOCK_BLOCK_SIZE = SOCK_RECV_AREA + SOCK_COMPRESS_AREA;

// One connection. It owns its send and payload buffers, not the areas, which belong to the
// caller's block and may be shared by every connection one thread serves. A closed record is
// all zero but for fd -1.
struct sock {
    uint64_t cid; // connection id: counter << 32 | low 32 bits of the time in ms; 0 when closed
    int32_t fd;
    netaddr addr;     // the peer, with its text for log lines
    frame_hdr hdr;    // header of the closed frame, wire order
    uint8_t *sbuf;    // gathered body; after closing, the stored body and its trailer
    uint64_t used;    // body bytes gathered
    uint64_t scap;    // capacity of sbuf
    uint64_t pending; // bytes of the closed frame not yet sent; 0 while the frame is open
    frame_rx rx;
    uint8_t *zarea; // compression area: LZ4 output, and the largest payload accepted
    uint64_t zsize;
    uint8_t *rarea; // receive area: one read takes at most this many bytes
    uint64_t rsize;
};

// Fills `out` for the connected socket fd: a new connection id, the peer address and its text,
// empty buffers, and the areas [block, block + split) for reads and [block + split,
// block + total) for compression. Sets TCP_NODELAY on TCP sockets. Returns out.
sock *sock_init(sock *out, int fd, const sockaddr *addr, uint64_t split, uint8_t *block,
                uint64_t total);

// Connects a new stream socket to the IPv4 or IPv6 address addr (blocking), makes it
// non-blocking and initialises `out` with it. On failure `out` is left closed after an ERROR
// line; success is told by a non-zero connection id. Returns out.
sock *sock_connect(sock *out, uint64_t split, uint8_t *block, uint64_t total,
                   const sockaddr_storage *addr);

// Closes the descriptor, releases the buffers and leaves the record closed. Returns 0.
int sock_close(sock *s);

// With a message (its whole size len), offers it to the open frame; with msg NULL, closes the
// open frame and sends it. A frame in flight is sent on first in both cases. No empty frame is
// ever sent, and no frame grows beyond what a receiver with the same compression area accepts.
int sock_send(sock *s, const uint8_t *msg, uint64_t len);

// Appends the message and closes and sends the frame at once: 0 when the whole frame has left,
// ENOSPC when part of it is pending or the message did not fit (a frame of earlier messages is
// then pending); other results as sock_send.
int mgrconn_send(sock *s, const uint8_t *msg, uint64_t len);

// Reads once from fd (at most the receive area's size) and feeds the bytes to rx; see
// frame_rx_feed for the areas, on_frame and held. `peer` names the connection in log lines.
// A caller that passes `held` passes `rest` too: it is set to the bytes of the read that the
// stop left unfed (empty when the feed took them all). They lie in rarea, so the caller keeps
// them before the area is read into again. 0, or -1 when the connection is to be dropped (closed by the peer, a socket error,
// or a refused frame).
int net_recv(int fd, frame_rx *rx, std::span<uint8_t> rarea, std::span<uint8_t> zarea,
             const char *peer, void *ctx, frame_cb on_frame, frame_hold_cb held = nullptr,
             std::span<uint8_t> *rest = nullptr);

// net_recv on the record's own descriptor, state, areas and peer text.
int sock_recv(sock *s, void *ctx, frame_cb on_frame, frame_hold_cb held = nullptr,
              std::span<uint8_t> *rest = nullptr);
