// Feeds arbitrary bytes to the frame receive state machine, cut into reads of a size taken
// from the input, on a connection with a compression area, without one, and with the fixed
// 512-byte buffer of a connection that has not said hello yet, taking every read whole or
// stopping after each frame and resuming from the rest. Delivered bodies are walked as
// messages.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "server/frame.h"
#include "server/msg.h"

namespace {

int touch_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
    auto *sum = static_cast<uint64_t *>(ctx);
    *sum += type;
    for (uint32_t i = 0; i < len; i++)
        *sum += data[i];
    return 0;
}

void walk_body(void *ctx, uint8_t *body, uint64_t len) {
    msg_foreach(len, body, ctx, touch_message);
}

bool hold_always(void *) {
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const uint8_t mode = data[0] % 3;
    const frame_hold_cb held = (data[0] & 0x80) != 0 ? hold_always : nullptr;
    const size_t chunk = data[1] + 1u;
    // A writable copy: raw bodies are handed to the callback where they lie.
    std::vector<uint8_t> copy(data + 2, data + size);
    std::span<uint8_t> in(copy);

    static std::vector<uint8_t> area(64 * 1024);
    static std::vector<uint8_t> fixed(512);
    frame_rx rx;
    if (mode == 2)
        frame_rx_init(&rx, fixed.data(), fixed.size(), false);
    else
        frame_rx_init(&rx, nullptr, 0, true);
    std::span<uint8_t> zarea = mode == 0 ? std::span<uint8_t>(area) : std::span<uint8_t>();

    uint64_t sum = 0;
    while (!in.empty()) {
        const size_t n = in.size() < chunk ? in.size() : chunk;
        uint64_t used = 0;
        if (frame_rx_feed(&rx, in.first(n), zarea, &sum, walk_body, held, &used) != 0)
            break;
        if (used == 0 || used > n)
            __builtin_trap();
        in = in.subspan(static_cast<size_t>(used));
    }
    frame_rx_free(&rx);
    return 0;
}
