// The listening side of the service process: one listening socket for agents, graphical
// clients and Databases, a server thread that holds each new connection until its hello,
// and the hand-over of the connection to the IO loop of the peer type its hello names.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "lib/log.h"
#include "lib/netaddr.h"

struct loop;
struct conn;
struct msg;
struct IOMessage;
struct role_set;

// Hello kinds (8 bytes) and targets (u16, big-endian on the wire).
inline constexpr char HELLO_UICLIENT[8] = {'U', 'I', 'C', 'L', 'I', 'E', 'N', 'T'};
inline constexpr char HELLO_AGENT[8] = {'\0', '\0', '\0', 'A', 'G', 'E', 'N', 'T'};
inline constexpr char HELLO_DATABASE[8] = {'D', 'A', 'T', 'A', 'B', 'A', 'S', 'E'};
constexpr uint16_t TARGET_MANAGER = 0x4552;  // "ER"
constexpr uint16_t TARGET_DATABASE = 0x5345; // "SE"

// A connection that has not said hello within this time is closed.
constexpr uint32_t SERVER_AUTH_TIMEOUT_MS = 30000;
// Period of the time-out scan.
constexpr uint32_t SERVER_TICK_MS = 2000;

// One per service process, held in the runtime record. The master fills the listening
// address from the configuration before it spawns the service.
struct server {
    netaddr addr;
    int32_t kq;      // epoll descriptor of the server thread
    int32_t connfd;  // listening socket
    int32_t timerfd; // the time-out scan's timer
    int32_t wakefd;  // eventfd that tells the server thread to stop
    uint32_t mask;   // bit pt set for every peer type served
    std::atomic<uint32_t> running;
    // Written by the server thread alone; atomic so that other threads may watch them.
    std::atomic<uint64_t> nslots;
    std::atomic<uint64_t> nconns; // connections waiting for their hello
    conn *slots;
    loop *mgui;
    loop *mgagent;
    loop *dbui;
    loop *dbagent;
    loop *mgdb;
    pthread_t thread;
    bool thread_started; // the server thread was started (joinable) and not yet joined
    std::atomic<int32_t> loops_starting; // loops made and not yet running
    uint8_t accept_paused; // accepting is off until the next tick: no descriptor was left
    // Test-only settings, taken when the listening socket is made; 0 keeps the defaults above.
    uint32_t auth_timeout_ms;
    uint32_t tick_ms;
    // The stall time given to the loops as they are added (0 keeps theirs); the server set-up
    // takes it from IOL_STALL_ENV.
    uint32_t stall_ms;
    // The lines of the connections refused before or at their hello, and of those that time
    // out: a churn of them costs a few lines and then one summary per interval.
    log_limiter refusals;
};

// The listening socket, the server thread's epoll descriptor and timer, the connection
// slots, and the pools and loops of the roles, in their order. 0, or -1 after a FATAL line.
int init_server_socket(server *s, role_set *roles);
// The part of init_server_socket without pools and loops.
int server_listen(server *s);
// Makes l the loop of its peer type: its bit joins the mask and it counts as starting.
// -1 for a NULL loop.
int server_add_loop(server *s, loop *l);
// Starts every loop, waits until all of them run, then starts the server thread. 0 or -1.
int server_start(server *s);
// Stops accepting: the server thread closes the listening socket and the connections that
// have not said hello, and ends; returns once it has. Connections handed to the loops stay
// theirs. Any thread but the server thread; at most once.
void server_stop_accepting(server *s);

// The loop of a peer type, or NULL (with a FATAL line for a pt outside 1 to 5).
loop *server_get_loop(server *s, uint32_t pt);
// Queues m to the loop of its PeerId's pt; any thread. -1 when there is no such loop or its
// ring is full: the caller keeps m.data.
int server_send(server *s, IOMessage m);
// As server_send, waiting up to wait_ms for room in the loop's ring (iol_send_wait).
int server_send_wait(server *s, IOMessage m, uint32_t wait_ms);
// Builds the agents status report from the agents' loop (it owns what it returns; NULL: no
// report).
typedef msg *(*server_report_fn)(void *ctx, loop *agents);
// With the Manager's loops and at least one graphical client connected to the Manager,
// broadcasts the report `build` makes to those clients.
void server_report_agents(server *s, server_report_fn build, void *ctx);

// on_error of every loop, and the end of a failed server thread: a service that has lost a
// thread can no longer answer, so it ends abnormally and the master spawns a new one.
[[noreturn]] void server_on_loop_error();
// The started callback of every loop (`server` is the server record): one loop fewer to
// wait for.
void server_loop_started(void *server);
