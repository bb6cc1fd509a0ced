// Walks arbitrary bytes as a frame body of messages; every delivered data byte is read, so a
// message reaching past the body shows up under the address sanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "server/msg.h"

namespace {

int touch_message(void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
    auto *sum = static_cast<uint64_t *>(ctx);
    *sum += type;
    for (uint32_t i = 0; i < len; i++)
        *sum += data[i];
    // End the walk at some messages, as role handlers do.
    return len == 7 ? 1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so that a read one byte past the body is caught.
    auto *body = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    memcpy(body, data, size);
    uint64_t sum = 0;
    msg_foreach(size, body, &sum, touch_message);
    free(body);
    return 0;
}
