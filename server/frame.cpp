#include "server/frame.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <lz4.h>

#include "lib/be_load.h"
#include "lib/crc32.h"
#include "lib/log.h"
#include "lib/xalloc.h"
#include "server/msg.h"

// A growing receive buffer takes at least this many bytes at a time, and at most doubles, so
// what a peer makes us hold stays within twice what it has actually sent.
static constexpr uint64_t RX_GROW_MIN = 64 * 1024;
// A larger receive buffer is cut back to this size once its frame has been delivered.
static constexpr uint64_t RX_KEEP = 256 * 1024;

// LZ4 sizes are ints; no area or block beyond this is ever used whole.
static constexpr uint64_t LZ4_SIZE_MAX = INT_MAX;

// Makes room for `need` bytes: the capacity doubles (at least RX_GROW_MIN) unless `need`
// asks for more, and never passes `limit` (>= need).
static void frame_buf_reserve(frame_buf *b, uint64_t need, uint64_t limit) {
    if (need <= b->cap)
        return;
    uint64_t cap = std::max(need, std::min(limit, std::max(b->cap * 2, RX_GROW_MIN)));
    b->data = static_cast<uint8_t *>(krv_realloc(b->data, cap));
    b->cap = cap;
}

uint64_t frame_max_payload(std::span<const uint8_t> area) {
    return area.empty() ? MSG_MAX_LEN : std::min<uint64_t>(area.size(), LZ4_SIZE_MAX);
}

uint64_t frame_pack(frame_hdr *h, uint8_t *buf, uint64_t used, std::span<uint8_t> area) {
    uint64_t stored = used;
    if (used > FRAME_COMPRESS_MIN && used <= LZ4_MAX_INPUT_SIZE) {
        int room = static_cast<int>(std::min<uint64_t>(area.size(), LZ4_SIZE_MAX));
        int n = LZ4_compress_default(reinterpret_cast<const char *>(buf),
                                     reinterpret_cast<char *>(area.data()), static_cast<int>(used),
                                     room);
        if (n > 0 && static_cast<uint64_t>(n) < used) {
            memcpy(buf, area.data(), static_cast<size_t>(n));
            stored = static_cast<uint64_t>(n);
        }
    }
    store_be32(buf + stored, static_cast<uint32_t>(used));
    h->magic = htobe16(FRAME_MAGIC);
    h->version = htobe16(PROTOCOL_VERSION);
    h->plen = htobe32(static_cast<uint32_t>(stored + FRAME_TRAILER_LEN));
    h->crc = 0;
    h->crc = htobe32(crc32_calc(h, FRAME_HDR_LEN));
    return FRAME_HDR_LEN + stored + FRAME_TRAILER_LEN;
}

int frame_header_check(frame_hdr *h) {
    uint32_t crc = be32toh(h->crc);
    h->crc = 0;
    if (crc != 0 && crc != crc32_calc(h, FRAME_HDR_LEN)) {
        LOG_ERROR("NET: Network header corrupted.");
        return -1;
    }
    h->magic = be16toh(h->magic);
    h->version = be16toh(h->version);
    h->plen = be32toh(h->plen);
    if (!is_version_compatible(h->version)) {
        LOG_ERROR("NET: Korvane Protocol version mismatch [%u.%u].", h->version >> 12u,
                  (h->version >> 6u) & 63u);
        return -1;
    }
    return 0;
}

// Decompresses the LZ4 block b[0, csize) into `area` and copies the osize bytes back into b.
static int frame_inflate(frame_buf *b, uint64_t csize, uint32_t osize, std::span<uint8_t> area) {
    int n = -1;
    if (osize <= std::min<uint64_t>(area.size(), LZ4_SIZE_MAX))
        n = LZ4_decompress_safe(reinterpret_cast<const char *>(b->data),
                                reinterpret_cast<char *>(area.data()), static_cast<int>(csize),
                                static_cast<int>(osize));
    if (n < 0 || static_cast<uint32_t>(n) != osize) {
        LOG_ERROR("NET: Payload decompression error.");
        return -1;
    }
    frame_buf_reserve(b, osize, osize);
    memcpy(b->data, area.data(), osize);
    b->len = osize;
    return 0;
}

int frame_unpack(frame_buf *b, uint64_t max, std::span<uint8_t> area) {
    if (b->len <= FRAME_TRAILER_LEN) {
        LOG_ERROR("NET: Invalid payload size: %u", static_cast<unsigned>(b->len));
        return -1;
    }
    uint64_t csize = b->len - FRAME_TRAILER_LEN;
    uint32_t osize = load_be32(b->data + csize);
    LOG_DEBUG("NET: Payload csize=%lu osize=%u.", csize, osize);
    if (osize > max) {
        LOG_ERROR("NET: Payload corrupted, invalid osize: %u", osize);
        return -1;
    }
    if (csize < osize)
        return frame_inflate(b, csize, osize, area);
    if (csize > osize) {
        LOG_ERROR("NET: Payload corrupted.");
        return -1;
    }
    b->len = csize;
    return 0;
}

void frame_rx_init(frame_rx *rx, uint8_t *buf, uint64_t cap, bool growable) {
    *rx = frame_rx{};
    rx->payload.data = buf;
    rx->payload.cap = cap;
    rx->growable = growable ? 1 : 0;
}

uint64_t frame_rx_want(const frame_rx *rx) {
    return rx->expect != 0 ? rx->expect : FRAME_HDR_LEN - rx->hlen;
}

void frame_rx_free(frame_rx *rx) {
    if (rx->growable)
        free(rx->payload.data);
    *rx = frame_rx{};
}

// Back to reading a header; a growable buffer larger than RX_KEEP is cut back to it.
static void frame_rx_restart(frame_rx *rx) {
    rx->hlen = 0;
    rx->payload.len = 0;
    rx->expect = 0;
    if (rx->growable && rx->payload.cap > RX_KEEP) {
        rx->payload.data = static_cast<uint8_t *>(krv_realloc(rx->payload.data, RX_KEEP));
        rx->payload.cap = RX_KEEP;
    }
}

// Copies header bytes from `in` and returns what is left of it.
static std::span<uint8_t> frame_rx_take_header(frame_rx *rx, std::span<uint8_t> in) {
    size_t take = std::min<size_t>(FRAME_HDR_LEN - rx->hlen, in.size());
    memcpy(reinterpret_cast<uint8_t *>(&rx->header) + rx->hlen, in.data(), take);
    rx->hlen = static_cast<uint8_t>(rx->hlen + take);
    return in.subspan(take);
}

// The header is complete: check it and start expecting its payload.
static int frame_rx_begin(frame_rx *rx, uint64_t max) {
    LOG_DEBUG("NET: header completed!");
    if (frame_header_check(&rx->header) != 0)
        return -1;
    uint32_t plen = rx->header.plen;
    if (plen <= FRAME_TRAILER_LEN) {
        LOG_ERROR("NET: Invalid payload size: %u", plen);
        return -1;
    }
    if (plen > max) {
        LOG_ERROR("NET: Max. payload size exceeded: %u", plen);
        return -1;
    }
    if (plen > rx->payload.cap && !rx->growable) {
        LOG_ERROR("NET: Receive buffer size exceeded!");
        return -1;
    }
    rx->expect = plen;
    LOG_DEBUG("NET: message psz: %u", plen);
    return 0;
}

// Copies payload bytes from `in` and returns what is left of it. The buffer grows only with
// the bytes that actually arrived, not with the length the header announced.
static std::span<uint8_t> frame_rx_take_payload(frame_rx *rx, std::span<uint8_t> in) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(rx->expect, in.size()));
    frame_buf *b = &rx->payload;
    if (rx->growable)
        frame_buf_reserve(b, b->len + take, b->len + rx->expect);
    memcpy(b->data + b->len, in.data(), take);
    b->len += take;
    rx->expect -= take;
    return in.subspan(take);
}

// True when the whole payload of the frame lies in `in`, none of it buffered yet, and it needs
// no decompression: it can then be handed over where it lies.
static bool frame_rx_whole_raw(const frame_rx *rx, std::span<uint8_t> in, std::span<uint8_t> area) {
    if (rx->payload.len != 0 || in.size() < rx->expect)
        return false;
    return area.empty() ||
           load_be32(in.data() + rx->expect - FRAME_TRAILER_LEN) == rx->expect - FRAME_TRAILER_LEN;
}

// The payload in b is complete: unpack it when there is an area and hand the body over.
static int frame_rx_deliver(frame_rx *rx, frame_buf *b, std::span<uint8_t> area, uint64_t max,
                            void *ctx, frame_cb on_frame) {
    LOG_DEBUG("NET: Frame completed!");
    if (!area.empty() && frame_unpack(b, max, area) != 0)
        return -1;
    on_frame(ctx, b->data, b->len);
    frame_rx_restart(rx);
    return 0;
}

int frame_rx_feed(frame_rx *rx, std::span<uint8_t> in, std::span<uint8_t> area, void *ctx,
                  frame_cb on_frame, frame_hold_cb held, uint64_t *consumed) {
    const size_t total = in.size();
    if (consumed != nullptr)
        *consumed = 0;
    if (!rx->growable && !area.empty()) {
        LOG_ERROR("NET: A fixed receive buffer takes no compression area.");
        return -1;
    }
    const uint64_t max = frame_max_payload(area);
    bool delivered = false;
    while (!in.empty() && !(delivered && held != nullptr && held(ctx))) {
        int rc = 0;
        delivered = false;
        if (rx->expect == 0) {
            in = frame_rx_take_header(rx, in);
            if (rx->hlen == FRAME_HDR_LEN)
                rc = frame_rx_begin(rx, max);
        } else if (frame_rx_whole_raw(rx, in, area)) {
            frame_buf whole{in.data(), rx->expect, rx->expect};
            in = in.subspan(rx->expect);
            rc = frame_rx_deliver(rx, &whole, area, max, ctx, on_frame);
            delivered = true;
        } else {
            in = frame_rx_take_payload(rx, in);
            if (rx->expect == 0) {
                rc = frame_rx_deliver(rx, &rx->payload, area, max, ctx, on_frame);
                delivered = true;
            }
        }
        if (rc != 0) {
            frame_rx_restart(rx);
            return -1;
        }
    }
    if (consumed != nullptr)
        *consumed = total - in.size();
    return 0;
}
