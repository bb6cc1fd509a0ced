// Frames: the unit every connection carries. A 12-byte big-endian header ("KR", version word,
// payload length, header checksum) is followed by the payload: the body (messages laid end to
// end), stored as it is or as one LZ4 block, and the body's uncompressed length as a
// big-endian u32. A stored body shorter than that length is compressed, an equal one is raw,
// a longer one is corrupt.
//
// This module packs gathered bodies into frames and runs the receive state machine over
// bytes read from a socket; it never touches a descriptor itself.
#pragma once

#include <cstdint>
#include <span>

#include "lib/version.h"

constexpr uint16_t FRAME_MAGIC = 0x4B52; // "KR"
constexpr uint32_t FRAME_HDR_LEN = 12;
constexpr uint32_t FRAME_TRAILER_LEN = 4;
// Bodies of at most this many bytes are never compressed.
constexpr uint32_t FRAME_COMPRESS_MIN = 512;

// The header. After frame_pack its fields hold wire (big-endian) values, so the record is the
// 12 bytes to send; frame_header_check turns a received one into host order.
struct frame_hdr {
    uint16_t magic;
    uint16_t version;
    uint32_t plen; // payload length: stored body + trailer
    uint32_t crc;  // checksum of the 12 bytes with this field 0; 0 means unchecked
};
static_assert(sizeof(frame_hdr) == FRAME_HDR_LEN, "the header is exactly its 12 wire bytes");

// A heap buffer that grows as needed: `len` bytes in use out of `cap`.
struct frame_buf {
    uint8_t *data;
    uint64_t len;
    uint64_t cap;
};

// Called once for every completed frame with its body, which stays valid only during the
// call. The callback must not release or reset the receive state that delivered it.
typedef void (*frame_cb)(void *ctx, uint8_t *body, uint64_t len);
// Asked after a frame has been delivered while bytes of the feed remain: true when the
// receiver takes no further frame for now.
typedef bool (*frame_hold_cb)(void *ctx);

// Receive state of one connection: a partial header, then a partial payload. It keeps partial
// frames between reads.
struct frame_rx {
    frame_hdr header;  // the header being received; host order once complete
    uint8_t hlen;      // header bytes held, 0 to 12
    frame_buf payload; // payload bytes of the current frame
    uint64_t expect;   // payload bytes still expected; 0 while the header is read
    uint8_t growable;  // 1: the payload buffer is ours and grows; 0: a fixed caller buffer
};

// Closes the body buf[0, used) into a frame: compresses it into `area` when it is longer than
// FRAME_COMPRESS_MIN and the LZ4 block comes out strictly shorter (the block then replaces the
// body in buf), appends the trailer and fills `h` in wire order. buf must have room for
// used + FRAME_TRAILER_LEN bytes, and used + FRAME_TRAILER_LEN must fit in 32 bits. Returns the
// whole frame size: header, stored body, trailer.
uint64_t frame_pack(frame_hdr *h, uint8_t *buf, uint64_t used, std::span<uint8_t> area);

// Checks a received header (checksum, then version) and converts it to host order. 0, or -1
// after an ERROR line.
int frame_header_check(frame_hdr *h);

// Turns the payload in b (len = payload length) into the body: a compressed body is
// decompressed through `area` and copied back into b, which grows to fit. At most `max`
// uncompressed bytes are accepted. On success b->len is the body length; 0, or -1 after an
// ERROR line.
int frame_unpack(frame_buf *b, uint64_t max, std::span<uint8_t> area);

// The bytes the state needs to finish what it is reading: the rest of the header, or the
// rest of the payload. Feeding no more than this never takes a byte of the next frame.
uint64_t frame_rx_want(const frame_rx *rx);

// An empty receive state: growable (buf NULL, cap 0) or over a fixed caller buffer.
void frame_rx_init(frame_rx *rx, uint8_t *buf, uint64_t cap, bool growable);
// Releases a growable payload buffer and empties the state.
void frame_rx_free(frame_rx *rx);

// The largest payload a connection with this compression area accepts: the area's size, or
// MSG_MAX_LEN without an area (an empty span).
uint64_t frame_max_payload(std::span<const uint8_t> area);

// Feeds bytes read from a connection to the state machine and calls on_frame for every frame
// they complete. With a compression area bodies are decompressed before delivery; without one
// on_frame gets the raw payload, trailer included. Bytes of a frame not yet complete stay in
// the state for the next call. A body may be handed over where it lies in `in` (a raw payload
// that arrived whole), which is why `in` is writable. With `held`, the feed stops right after
// a frame for which held(ctx) is true; the bytes of `in` behind that frame are not taken, and
// feeding them later goes on where it stopped. `consumed`, when given, is set to the bytes of
// `in` taken: all of them unless the feed stopped. 0, or -1 after an ERROR line when the
// connection must be dropped (the partial frame is then discarded). A fixed state is never
// given an area (decompressing would have to grow the caller's buffer): that pairing is
// refused with -1 before any byte is taken.
int frame_rx_feed(frame_rx *rx, std::span<uint8_t> in, std::span<uint8_t> area, void *ctx,
                  frame_cb on_frame, frame_hold_cb held = nullptr, uint64_t *consumed = nullptr);
