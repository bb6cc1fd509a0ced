// What the IO loop and server tests share: a forked child to run threads in (its log read
// back while it runs), loopback clients that speak frames, and a gate that holds a loop
// thread still while commands pile up.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "lib/log.h"
#include "server/frame_bytes.h"
#include "server/ioloop.h"
#include "server/sock.h"
#include "support/test_support.h"

// Runs fn in a forked child at the given log level. GoogleTest failures inside the child are
// printed on its standard output and make it exit 1.
inline RunResult in_child(const std::function<void()> &fn, uint32_t level = 1) {
    return run_forked([&] {
        log_level.store(level);
        fn();
        fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    });
}

#define EXPECT_CHILD_OK(r) EXPECT_EQ((r).exit_code, 0) << (r).out << "\n--- log ---\n" << (r).err

// Everything the child has logged so far (its standard error is a file).
inline std::string child_log() {
    struct stat st {};
    fstat(STDERR_FILENO, &st);
    std::string s(static_cast<size_t>(st.st_size), '\0');
    ssize_t n = pread(STDERR_FILENO, s.data(), s.size(), 0);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

inline bool logged(const std::string &text, double seconds = 5) {
    return eventually([&] { return child_log().find(text) != std::string::npos; }, seconds);
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline std::string local_text(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return netaddr_from_sockaddr(reinterpret_cast<sockaddr *>(&a)).text;
}

// A loopback client that speaks frames through the connection layer.
struct Client {
    std::vector<uint8_t> block = std::vector<uint8_t>(0x10000 + 0x100000);
    sock s{};
    std::vector<Bytes> bodies; // frame bodies received
    bool closed = false;       // the server ended the connection

    explicit Client(uint16_t port) {
        sockaddr_storage a{};
        sockaddr_in in = loopback(port);
        memcpy(&a, &in, sizeof in);
        sock_connect(&s, 0x10000, block.data(), block.size(), &a);
    }
    ~Client() { sock_close(&s); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Sends the messages in one frame.
    void send(const std::vector<Bytes> &messages) {
        for (const Bytes &m : messages)
            EXPECT_EQ(sock_send(&s, u8(m), m.size()), EAGAIN);
        int rc;
        while ((rc = sock_send(&s, nullptr, 0)) == ENOSPC) {
            pollfd p{s.fd, POLLOUT, 0};
            poll(&p, 1, 100);
        }
        EXPECT_EQ(rc, 0);
    }
    void send_raw(const Bytes &bytes) const {
        EXPECT_EQ(::send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Reads whatever arrives within `ms` milliseconds.
    void pump(int ms) {
        pollfd p{s.fd, POLLIN, 0};
        if (!closed && poll(&p, 1, ms) > 0 && sock_recv(&s, &bodies, collect) != 0)
            closed = true;
    }
    // Reads until `n` messages have arrived or the connection ends.
    bool wait_messages(size_t n, double seconds = 5) {
        return eventually(
                   [&] {
                       pump(5);
                       return messages().size() >= n || closed;
                   },
                   seconds) &&
               messages().size() >= n;
    }
    bool wait_closed(double seconds = 5) {
        return eventually(
            [&] {
                pump(5);
                return closed;
            },
            seconds);
    }
    // The messages received, each as its own bytes.
    std::vector<Bytes> messages() const {
        std::vector<Bytes> out;
        for (const Bytes &b : bodies)
            msg_foreach(b.size(), u8(b), &out,
                        [](void *ctx, uint8_t type, uint32_t len, const uint8_t *data) {
                            static_cast<std::vector<Bytes> *>(ctx)->push_back(
                                message(type, Bytes(reinterpret_cast<const char *>(data), len)));
                            return 0;
                        });
        return out;
    }
};

// Holds a loop thread inside an IOM_CALL until released, so that commands queued meanwhile
// are all executed in one later round.
struct Gate : ThreadGate {
    static void hold(loop *, void *arg) { static_cast<ThreadGate *>(arg)->pass(); }
    void close_on(loop *l) {
        auto *c = static_cast<iol_call *>(malloc(sizeof(iol_call)));
        *c = iol_call{static_cast<ThreadGate *>(this), hold};
        ASSERT_EQ(iol_send(l, IOMessage{c, IOM_CALL, PeerId{}}), 0);
        wait_entered();
    }
};

inline msg *new_msg(uint8_t type, const Bytes &data) {
    return msg_new(type, data.data(), data.size());
}
