// The Manager link of a server that has the Database role without the Manager role: one
// thread that dials the configured Manager, announces where this Database can be reached
// with a Database hello, waits for the Manager's answer and then watches the connection,
// dialling again with a growing back-off whenever it is lost. It is the only client-side
// connection of the server and uses the stream-socket layer directly, without an IO loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <span>
#include <sys/socket.h>

#include "lib/format.h"
#include "lib/netaddr.h"
#include "server/msg.h"
#include "server/sock.h"

// A quiet established link is looked at again after this long; the run flag is consulted
// between two periods.
constexpr uint32_t MGRCONN_WATCH_MS = 30000;
// One back-off unit. The pause before an attempt doubles from 2 units up to this many.
constexpr uint32_t MGRCONN_BACKOFF_UNIT_MS = 1000;
constexpr uint32_t MGRCONN_BACKOFF_MAX = 64;
// How long the Manager has to answer the hello with a whole frame.
constexpr uint32_t MGRCONN_ANSWER_WAIT_MS = 5000;
// A pause whose poll fails sleeps in slices of this long, looking at the stop flag between.
constexpr uint32_t MGRCONN_PAUSE_SLICE_MS = 50;
// A wait without a time limit.
constexpr uint64_t MGRCONN_FOREVER = UINT64_MAX;
// Test-only: the back-off unit of the process's link in ms (mgrconn_start).
constexpr const char *MGRCONN_BACKOFF_ENV = KRV_TEST_HOOK("MGRCONN_BACKOFF_MS");
// The link's working block: every read takes at most the receive area; the compression area
// bounds what the link sends (one hello) and accepts (the Manager's short answer).
constexpr uint64_t MGRCONN_RECV_AREA = 1000;
constexpr uint64_t MGRCONN_COMPRESS_AREA = 4096;
// The hello: a type-1 message whose data is the kind "DATABASE" and the nurl of the
// announced address, family and port big-endian.
constexpr uint32_t MGRCONN_HELLO_DATA = 8 + NURL_SIZE;
constexpr uint32_t MGRCONN_HELLO_SIZE = MSG_HDR_LEN + MGRCONN_HELLO_DATA;

// One link and the state of its thread. Only the link thread touches `link` and `block`; the
// hello is written before the thread starts and only read afterwards.
struct mgrconn {
    netaddr manager;                   // where to dial, with its text for log lines
    uint8_t hello[MGRCONN_HELLO_SIZE]; // the whole hello message, built once
    const std::atomic<int32_t> *run;   // the service's run flag: 0 ends the thread
    std::atomic<bool> stop;            // set by mgrconn_stop: ends the thread too
    int32_t wake;                      // eventfd made readable by mgrconn_stop
    sock link;                         // closed (fd -1) while not established
    uint8_t block[MGRCONN_RECV_AREA + MGRCONN_COMPRESS_AREA];
    pthread_t thread;
    bool joinable;
    // Test-only: settings that keep the defaults above unless a test changes them before the
    // start, and a count that lets a test wait for watch periods to pass.
    uint32_t watch_ms;
    uint32_t backoff_unit_ms;
    uint32_t answer_wait_ms;
    std::atomic<uint64_t> quiet_watches; // watch periods that ended without an event
    std::atomic<uint64_t> dials;         // connects that went on to wait for their outcome
    std::atomic<uint64_t> poll_failures; // waits whose poll failed
};

// Writes the hello message announcing `listen`, or `redirect` when `listen` is the IPv4 or
// IPv6 any-address (which nobody could dial) and a redirect address is given. 0, or -1 after
// an ERROR line for an address that is neither IPv4 nor IPv6.
int mgrconn_hello(std::span<uint8_t, MGRCONN_HELLO_SIZE> out, const sockaddr_storage *listen,
                  const sockaddr_storage *redirect);

// Fills a zeroed record: the Manager address, the hello (see mgrconn_hello), the run flag,
// a closed link and the default settings. 0, or -1 after an ERROR line; the record then
// holds nothing to release.
int mgrconn_init(mgrconn *mc, const sockaddr_storage *manager, const sockaddr_storage *listen,
                 const sockaddr_storage *redirect, const std::atomic<int32_t> *run);

// Starts the link thread on an initialised record, detached or joinable (for mgrconn_stop).
// 0 after "Manager connector started.", or -1 after "Cannot start the Manager connector: %s".
int mgrconn_launch(mgrconn *mc, bool detached);

// The service's entry: makes the process's one link (kept for the life of the process) to
// the Manager at `manager`, announcing the listening address `listen` (or `redirect`, see
// mgrconn_hello), and starts its thread, which ends at mgrconn_shutdown (or once it finds
// `run` 0). 0 or -1.
int mgrconn_start(const sockaddr_storage *manager, const sockaddr_storage *listen,
                  const sockaddr_storage *redirect, const std::atomic<int32_t> *run);

// Ends a joinable link thread at once, wherever it waits (a pause, a connect, the answer,
// the watch), and joins it.
void mgrconn_stop(mgrconn *mc);
// The service stops: ends the process's link (if mgrconn_start made one) as mgrconn_stop.
void mgrconn_shutdown();
// Closes what an initialised record holds once its thread has ended (or never started).
void mgrconn_release(mgrconn *mc);

// The link thread (argument: the record). Returns once the run flag is 0 or the record is
// stopped, with the link closed.
void *mgrconn_main(void *arg);

// The frame callback of the answer's read: ctx is a bool set once a whole frame has arrived;
// the answer's content is not looked at.
void mgrconn_on_response(void *ctx, uint8_t *body, uint64_t len);
