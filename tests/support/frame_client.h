// A blocking loopback connection to a Korvane server that sends messages in frames packed by
// the frame layer and reads the server's frames back through it. Free of the test framework,
// so that load drivers share it.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <span>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "server/frame.h"
#include "server/msg.h"
#include "server/sock.h"
#include "tests/support/wire.h"

using Bytes = std::string;

class FrameClient {
public:
    // `area` bounds what the client can compress and decompress; replies of queries need the
    // whole SOCK_COMPRESS_AREA. It is left unfilled: a test opening a thousand clients would
    // otherwise write 16 GiB of zeros (hours under the thread sanitizer).
    explicit FrameClient(unsigned port, size_t area = SOCK_COMPRESS_AREA)
        : area_(std::make_unique_for_overwrite<uint8_t[]>(area)), area_len_(area) {
        frame_rx_init(&rx_, nullptr, 0, true);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Blocking, but never for ever: a server that stops answering is noticed.
        const timeval limit{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~FrameClient() {
        close_now();
        frame_rx_free(&rx_);
    }
    FrameClient(const FrameClient &) = delete;
    FrameClient &operator=(const FrameClient &) = delete;

    bool connected() const { return connected_; }
    // Whether the frame layer refused bytes the server sent.
    bool corrupt() const { return corrupt_; }

    // The frame the frame layer makes of the messages (each as wire_message makes it), its
    // body stored as it is unless `compress`.
    Bytes pack(const std::vector<Bytes> &messages, bool compress = true) {
        Bytes body;
        for (const Bytes &m : messages)
            body += m;
        std::vector<uint8_t> buf(body.size() + FRAME_TRAILER_LEN);
        memcpy(buf.data(), body.data(), body.size());
        frame_hdr h{};
        const uint64_t size =
            frame_pack(&h, buf.data(), body.size(),
                       compress ? area() : std::span<uint8_t>());
        Bytes frame(reinterpret_cast<const char *>(&h), sizeof h);
        frame.append(reinterpret_cast<const char *>(buf.data()), size - sizeof h);
        return frame;
    }
    // Sends the messages in one frame; false when the connection failed.
    bool send(const std::vector<Bytes> &messages, bool compress = true) {
        return send_raw(pack(messages, compress));
    }
    bool send_raw(const Bytes &bytes) const {
        for (size_t at = 0; at < bytes.size();) {
            ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    // The next message received (type, length and data), or nothing when none arrives
    // within timeout_ms or the server closes the connection.
    std::optional<Bytes> next(int timeout_ms = 5000) {
        while (inbox_.empty() && !eof_ && read_once(timeout_ms)) {
        }
        if (inbox_.empty())
            return std::nullopt;
        Bytes m = inbox_.front();
        inbox_.pop_front();
        return m;
    }
    // True when the server closes the connection within timeout_ms without sending anything.
    bool closed_by_server(int timeout_ms = 5000) {
        while (!eof_ && read_once(timeout_ms)) {
        }
        return eof_ && inbox_.empty();
    }
    void close_now() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    // Waits for bytes and feeds them to the frame layer; false on a time-out.
    bool read_once(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        std::vector<uint8_t> buf(0x10000);
        ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        if (n <= 0) {
            eof_ = true;
            return true;
        }
        if (frame_rx_feed(&rx_, {buf.data(), static_cast<size_t>(n)}, area(), this, on_frame) != 0)
            corrupt_ = eof_ = true;
        return true;
    }
    static void on_frame(void *ctx, uint8_t *body, uint64_t len) {
        msg_foreach(len, body, ctx, [](void *c, uint8_t type, uint32_t n, const uint8_t *data) {
            static_cast<FrameClient *>(c)->inbox_.push_back(
                wire_message(type, Bytes(reinterpret_cast<const char *>(data), n)));
            return 0;
        });
    }

    int fd_ = -1;
    std::span<uint8_t> area() { return {area_.get(), area_len_}; }

    std::unique_ptr<uint8_t[]> area_;
    size_t area_len_;
    frame_rx rx_{};
    std::deque<Bytes> inbox_;
    bool eof_ = false;
    bool connected_ = false;
    bool corrupt_ = false;
};
