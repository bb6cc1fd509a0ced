// IO loops: one thread per peer type owns the sockets of that type's authenticated peers. It
// reads their frames and hands the bodies to the role, writes the messages queued for them,
// and executes the commands (IOMessage) that other threads, and the role's own callbacks,
// queue to it through a mutex-guarded ring woken by an eventfd. No other thread ever reads
// or writes a peer's socket; other threads reach peers only through commands and through
// the peer-table operations below.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <vector>

#include "lib/format.h"
#include "lib/log.h"
#include "lib/mtp.h"
#include "lib/netaddr.h"
#include "lib/ring.h"
#include "server/msg.h"
#include "server/sock.h"

// Peer types; each names one loop.
enum : uint32_t {
    PT_DB_AG = 1, // agents at a Database
    PT_MG_AG = 2, // agents at the Manager
    PT_MG_DB = 3, // Databases at a Manager without the Database role
    PT_DB_UI = 4, // graphical clients at a Database
    PT_MG_UI = 5, // graphical clients at the Manager
};

// A peer's identity inside its loop, host byte order wherever it is copied.
struct __attribute__((packed)) PeerId {
    uint64_t uid; // the role's identity of the peer; never 0 for a live peer
    uint64_t cid; // connection id of the peer's sock
    uint64_t idx; // slot in the loop's table: a lookup hint
    uint32_t pt;  // peer type: which loop
};
static_assert(sizeof(PeerId) == 28);

// Command types.
enum : uint32_t {
    IOM_DROP = 1,      // drop the peer
    IOM_ACCEPT = 2,    // data: ioma; add the new peer
    IOM_AUTH = 3,      // data: auth_request; handed to on_auth
    IOM_SEND = 4,      // data: msg; queue it to the peer (see iol_send)
    IOM_BROADCAST = 5, // data: msg; queue a copy to every peer of the loop
    IOM_CALL = 6,      // data: iol_call; run it on the loop thread
    IOM_STOP = 7,      // end the loop thread
};

// A command to a loop. Once queued, its data belongs to the loop, which releases it.
struct __attribute__((packed)) IOMessage {
    void *data;
    uint32_t type;
    PeerId peer;
};
static_assert(sizeof(IOMessage) == 40);

struct loop;
struct iol_share;

// A connection accepted by the server thread that has not become a loop peer yet.
struct conn_peer {
    int32_t connfd;       // -1 for a free slot
    netaddr addr;         // the peer's address and its text
    uint64_t accepted_ms; // monotonic time of the accept, in milliseconds
};

// A slot of the server thread for a connection waiting for its hello: the connection, its
// receive state over the slot's own fixed buffer (a hello frame fits in 512 bytes), and a
// generation that tells the connections that used the slot apart.
struct conn {
    conn_peer peer;
    frame_rx rx;
    uint8_t buffer[512];
    uint32_t gen;
};

// The data of IOM_AUTH: a connection's hello body and the loop it is meant for. One heap
// block, released by the loop's on_auth.
struct auth_request {
    loop *target;
    conn_peer peer;
    uint32_t len;
    uint8_t body[]; // the hello data behind its kind (and target)
};

// The loop's part of every peer. A role peer starts with this record and adds its own fields
// behind it; the role allocates it zero-filled, the loop fills it on accept, and the role's
// on_close releases it.
//
// What a peer makes the loop hold is budgeted: the messages queued for it, the frame being
// gathered or sent, the part of a frame it has sent so far, and its backlog. Above the loop's output soft
// limit its reading is paused until its output has drained to half of it; above the hard
// limit it is closed. Its tasks on the loop's pool are counted against the loop's limits
// (iol_peer_submit).
struct iol_peer {
    uint64_t uid;
    uint64_t cid;
    uint64_t idx;
    uint32_t pt;
    sock s;
    ring queue;            // messages waiting to join the open frame; grows as needed
    msg *pending;          // taken from the queue, not yet accepted by the frame
    uint32_t pending_size; // msg_size of pending
    uint8_t writing;       // registered for writable events
    uint8_t paused;        // reading is paused at the role's wish
    uint8_t out_held;      // reading is paused because the peer's output is over the soft limit
    uint64_t queued_bytes; // sizes of the queued messages and the pending one
    uint64_t rx_seen_ms;   // monotonic time of the last read that brought bytes
    msg *last_push;        // the last message of the peer's last push while still queued or
                           // pending; NULL once it has joined the frame
    iol_share *share;      // its tasks' accounting and its log limiter; made on accept
    uint8_t tasks_held;    // reading is paused because tasks of the peer wait for room
    uint8_t closing;       // over its task limits: closed once the current read is done
    // The bytes of a read behind a frame that paused the peer's reading, kept unfed (one read
    // at most, SOCK_RECV_AREA). While any remain its socket is not read; once its reading
    // resumes they are fed first.
    uint8_t *backlog;
    uint32_t backlog_size; // bytes kept
    uint32_t backlog_at;   // bytes of them fed so far
    // Written by other threads under the table's lock, so kept apart from the loop's own
    // flags: a read of those may be widened to the neighbouring bytes.
    alignas(8) uint8_t want_paused; // what other threads asked for
    uint8_t want_close;             // another thread asked for the close
};

// The sending peer of a received frame, handed to on_frame; roles copy it into their tasks.
struct peer_ctx {
    loop *l;
    uint64_t uid;
    uint64_t cid;
    uint64_t idx;
    uint32_t pt;
};

// The data of IOM_ACCEPT.
struct ioma {
    msg *response;    // first message for the new peer (its hello answer), or NULL
    conn_peer client; // the accepted socket and its address
    iol_peer *peer;   // the new peer, made by on_auth
};

// The data of IOM_CALL: fn(loop, arg) runs on the loop thread.
struct iol_call {
    void *arg;
    void (*fn)(loop *l, void *arg);
};

struct iol_task;
typedef void (*msg_handler)(iol_task *t);

// A received message queued to the loop's pool; run by iol_task_run.
struct iol_task {
    peer_ctx ctx;
    msg_handler handler;
    uint32_t len;
    uint8_t data[];
};

// What one peer may have the loop's pool hold for it (iol_peer_submit): tasks on the pool at
// once (queued there or running), and tasks waiting behind them with their bytes.
struct iol_limits {
    uint32_t running;
    uint32_t waiting;
    uint64_t waiting_bytes;
};
// Until a role sets its own: no limit.
constexpr iol_limits IOL_NO_LIMITS{UINT32_MAX, UINT32_MAX, UINT64_MAX};

// A task of a peer, on the pool or waiting for room there.
struct iol_peer_task {
    void (*fn)(void *arg);
    void *arg;
    void (*release)(void *arg); // frees arg when fn will not run
    uint32_t bytes;
    iol_share *share;
};

// What a peer shares with its tasks: their accounting and the peer's log limiter. The peer
// holds one reference and every task on the pool one more, so that a task that outlives its
// peer still finds it; the last to let go frees it. Tasks that wait hold none: the peer's
// close releases them unrun.
struct iol_share {
    std::mutex m;                         // guards running, waiting, waiting_bytes, held, closed
    uint32_t running = 0;                 // tasks on the pool
    std::deque<iol_peer_task *> waiting;  // behind them, oldest first
    uint64_t waiting_bytes = 0;
    bool held = false;   // the peer's reading is paused for the waiting tasks
    bool closed = false; // the peer has gone
    std::atomic<uint32_t> refs{1};
    loop *l = nullptr;
    uint64_t uid = 0;
    log_limiter limiter; // every line the peer's input causes goes through it
};

// Role callbacks; all run on the loop thread.// Role callbacks; all run on the loop thread.
// Owns req: accepts the connection by queuing IOM_ACCEPT, or refuses it by closing its socket.
typedef void (*iol_auth_cb)(auth_request *req);
// One received frame body (a run of messages), valid only during the call.
typedef void (*iol_frame_cb)(peer_ctx *ctx, const uint8_t *body, uint64_t len);
// The peer has been unlinked and its socket closed; release it. Runs with the peer table
// locked for writing: it must not call locking operations of the same loop.
typedef void (*iol_close_cb)(iol_peer *peer);
// The loop cannot go on; its thread ends right after.
typedef void (*iol_error_cb)();
// The loop thread runs and is about to wait for its first events.
typedef void (*iol_started_cb)(void *ctx);

constexpr uint32_t IOL_RING_SLOTS = 1001; // at most 1000 commands wait
constexpr uint32_t IOL_PEER_QUEUE = 100;  // message slots of a peer's queue, and its growth step
constexpr uint64_t IOL_TABLE_STEP = 32;   // the peer table grows by this many slots
constexpr int IOL_MAX_EVENTS = 100;       // events taken per wait
// A peer's output (queued messages and its frame) above which its reading is paused.
constexpr uint64_t IOL_OUT_SOFT = 4ull << 20;
// Output and partial input frame together above which a peer is closed. Room for the largest
// frame a peer may send and the replies of the requests it has in flight.
constexpr uint64_t IOL_PEER_HARD = 64ull << 20;
// A peer whose partial frame makes no progress for this long (while it is read) is closed.
constexpr uint32_t IOL_STALL_MS = 60000;
// Test-only: another stall time in milliseconds (1 to 65535), read from the environment by
// the server set-up.
constexpr const char *IOL_STALL_ENV = KRV_TEST_HOOK("FRAME_STALL_MS");

struct iol_slot {
    uint64_t uid; // 0: free
    iol_peer *peer;
};

struct iol_peers {
    iol_slot *slots;
    pthread_rwlock_t guard;
    uint64_t size;  // slots
    uint64_t count; // peers
};

struct iol_ring {
    IOMessage items[IOL_RING_SLOTS];
    uint32_t head;
    uint32_t tail;
    uint32_t capacity;
    uint32_t count;
    pthread_mutex_t guard;
    pthread_cond_t room; // signalled when the loop takes commands out while someone waits
    uint32_t waiting;    // senders waiting in iol_send_wait; under guard
};

struct loop {
    iol_peers peers;
    mtp_pool *pool; // runs the role's request tasks; NULL for DB-AG and MG-DB
    void *ctx;      // the role's context, for its callbacks
    int32_t kq;
    int32_t evfd;
    uint32_t pt;
    iol_ring iomq;
    iol_auth_cb on_auth;
    iol_frame_cb on_frame;
    iol_close_cb on_close;
    iol_error_cb on_error;
    iol_started_cb on_started;
    void *started_ctx;
    pthread_t thread;
    const char *tag;
    uint8_t *area; // receive and compression areas, shared by every peer (SOCK_BLOCK_SIZE)
    // Set by iol_pause_reading / iol_resume_reading after they changed a peer's wish; the
    // loop then brings the registrations in line with the wishes.
    std::atomic<bool> flow_pending;
    // Peers unlinked during the current batch of events. Their on_close runs once the batch
    // is done, so a later event of the same batch still finds their memory and sees them
    // closed instead of touching a released block.
    std::vector<iol_peer *> buried;
    // Peers with a backlog; the loop feeds those whose reading is on at the end of each batch.
    std::vector<iol_peer *> backlogged;
    // The peers' budget and the stall time (IOL_OUT_SOFT, IOL_PEER_HARD, IOL_STALL_MS unless
    // changed before the loop starts).
    uint64_t out_soft;
    uint64_t peer_hard;
    uint32_t stall_ms;
    uint64_t stall_scan_ms; // monotonic time of the last look for stalled frames
    // The peers' task limits (IOL_NO_LIMITS unless the role sets its own before the start).
    iol_limits limits;
    // Set when the pool refused a task of a peer, which then waits first in line: the loop
    // offers the waiting tasks again when a task of the loop ends and at its periodic look.
    std::atomic<bool> starved;
    // Messages dropped because the connection they were addressed to has gone.
    std::atomic<uint64_t> gone;
    // Lines each peer's limiter lets through, and its interval (LOG_LIMIT_FIRST and
    // LOG_LIMIT_INTERVAL_MS unless changed before the loop starts).
    uint32_t log_first;
    uint32_t log_interval_ms;
    // The limiter of the hellos the loop is handed (on_auth), which come before any peer: the
    // refusals of a churn of bad hellos are held back, never the loop's INFO lines.
    log_limiter auth_limiter;
};

// The tag of a peer type ("DB-AG", ...), or NULL outside 1 to 5.
const char *iol_tag(uint32_t pt);

// A loop of peer type pt (1 to 5) with its callbacks and the role's context they find in
// it (`ctx`), not started. NULL after a FATAL line.
loop *iol_create(uint32_t pt, mtp_pool *pool, iol_close_cb on_close, iol_auth_cb on_auth,
                 iol_frame_cb on_frame, void *ctx);
// Starts the loop thread (never joined), which calls on_started(started_ctx) once it runs;
// either callback may be NULL. 0, or -1 after a FATAL line.
int iol_start(loop *l, iol_error_cb on_error, iol_started_cb on_started, void *started_ctx);

// Queues m; any thread. 0, or -1 when the ring is full: the caller keeps m.data.
// IOM_SEND with a non-zero connection id reaches that very connection only; when it has gone
// the message is dropped, counted in `gone`. With connection id 0 the peer with the uid gets
// it (the Manager addresses agents by their id alone).
int iol_send(loop *l, IOMessage m);
// As iol_send, but while the ring is full waits up to wait_ms for the loop to make room.
// Never waits on the loop's own thread, which alone makes room. 0, or -1 when the ring is
// still full: the caller keeps m.data.
int iol_send_wait(loop *l, IOMessage m, uint32_t wait_ms);
// Accepts the connection of an authentication request: queues IOM_ACCEPT to the request's
// loop with the new peer (uid taken from it) and its first message, `answer` (may be NULL).
// When the loop refuses the command, the peer and the answer are released and the
// connection is closed. The request is released in every case. 0 when queued, else -1.
int iol_accept_request(auth_request *req, iol_peer *peer, msg *answer);
// Queues IOM_STOP.
int iol_stop(loop *l);
// Queues fn(arg) on the loop's pool: 0, or -1 when the pool refuses it (the caller keeps arg).
int iol_submit_task(loop *l, void *arg, void (*fn)(void *));
// Pool function for an iol_task: calls its handler, then releases the task.
void iol_task_run(void *task);

// The limits of the loop's peers (IOL_NO_LIMITS by default); before iol_start.
void iol_set_limits(loop *l, const iol_limits &lim);
// Loop thread only (from on_frame, or another callback of this loop): fn(arg) becomes a task
// of the peer that ctx names. At most `running` tasks of a peer are on the pool; the rest wait
// in arrival order with the peer's reading paused while any waits, and start as tasks end.
// A task the pool refuses is not lost: it waits first in line and is offered again when a
// task of the loop ends and at the loop's periodic look. A task that would take the peer past
// `waiting` tasks or `waiting_bytes` bytes waiting closes the peer (one WARN line) once the
// current read is done: on an open connection no request is left without an answer.
// `release` frees arg when fn will not run (its peer gone or closed; it may run under the
// peer table's lock, so it must not call into the loop). The task runs with the peer's log
// limiter in scope. 0: taken; -1: not taken, arg already released.
int iol_peer_submit(const peer_ctx *ctx, void (*fn)(void *arg), void *arg,
                    void (*release)(void *arg), uint32_t bytes);
// Any thread: queues m to the connection `to` names. When the loop cannot take it, m is freed
// and that connection is closed (WARN), so that no reply is lost silently on an open
// connection. 0 queued, -1 not.
int iol_reply(loop *l, const PeerId &to, msg *m);

// Calls fn(arg, address, peer) for each peer in slot order under the read lock; a non-zero
// result stops the walk.
void iol_foreach_peer(loop *l, void *arg, int (*fn)(void *arg, const netaddr *addr, iol_peer *p));
// The PeerId of the peer with that uid, or all zero when there is none.
PeerId *iol_get_peer_id(PeerId *out, loop *l, uint64_t uid);
// Calls fn(arg, peer) under the write lock when the peer named by id is connected with that
// very connection id. fn may change the role's data, never the socket or the queue.
void iol_with_peer(loop *l, void *arg, void (*fn)(void *arg, iol_peer *p), PeerId id);
// The number of peers.
uint64_t iol_peer_count(loop *l);

// What one fan-out did: peers that got the push, peers skipped because they had not taken
// their previous push yet or because it would take their output past the soft limit, and
// peers no longer connected.
struct iol_fanout_result {
    uint64_t sent;
    uint64_t skipped;
    uint64_t gone;
};

// Loop thread only (from an IOM_CALL): queues a copy of the push, the n messages parts[0, n),
// to each peer named in ids (uid and connection id must match), in order. A peer whose last
// push is still queued or pending, or whose waiting output would go past the soft limit with
// it, is skipped with a DEBUG line: a subscriber that stops reading holds at most one push,
// and a push never closes a peer. The parts stay the caller's.
iol_fanout_result iol_fan_out(loop *l, msg *const *parts, uint32_t n, const PeerId *ids,
                              size_t count);

// Stop and restart reading from the peer named by id (uid and connection id must match);
// any thread. Sending to the peer goes on while its reading is paused. The change is made
// by the loop thread on its next wake-up and is never lost, whatever the command ring
// holds. 0, or -1 when no such connection exists.
int iol_pause_reading(loop *l, PeerId id);
int iol_resume_reading(loop *l, PeerId id);
// Closes the connection named by id (uid and connection id must match), with a WARN line;
// any thread. Used when a reply for the peer cannot be queued, so that none is ever lost
// silently: the client sees its connection end instead of waiting for ever. Made by the loop thread on its next wake-up, never lost whatever the
// command ring holds. 0, or -1 when no such connection exists.
int iol_close_peer(loop *l, PeerId id);
