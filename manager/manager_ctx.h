// The Manager role's context: the objects its loops, login, commands and status report
// share. The role makes it when it opens and hands it to its loops; it lives as long as the
// process, since the threads that use it are never joined.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "manager/dbreg.h"
#include "manager/query_relay.h"
#include "server/ctl.h"

struct auth_request;
struct mgr_storage;
struct server;

// The answer to every accepted hello at the Manager, and the start of a client's login
// answer: a zero byte and "MANAGER".
inline constexpr char MGR_HELLO_ANSWER[8] = {'\0', 'M', 'A', 'N', 'A', 'G', 'E', 'R'};

// The agent hellos that wait for registration. Registration runs SQL, which may wait for
// another process's lock on the storage, so it runs on one "ManagerPool" worker at a time,
// never on the agents' loop; the rest wait here, at most `limit` of them.
struct mgagent_hellos {
    std::mutex m;
    std::deque<auth_request *> waiting; // owned, in arrival order
    bool draining;                      // a worker is taking the waiting hellos one by one
    uint32_t limit;                     // most hellos waiting; set before the loop runs
};

struct manager_ctx {
    mgr_storage *mgrdb;    // the open Manager storage
    struct dbreg dbreg;    // the Databases connected to this Manager
    struct server *srv;    // the server whose loops reach every peer
    uint32_t mode;         // MODE_* bits of the process
    struct ctl_server ctl; // the control channel's reader
    // Set once the server's loops exist and run: from then on the control channel's
    // reroutes may tell connected agents.
    std::atomic<bool> serving;
    // Held by each configuration query that changes what agents run (activate, delete,
    // attach, detach) from its change until its last command is queued, so that agents get
    // the commands of such changes in the order the changes were made.
    std::mutex cfg_changes;
    struct mgagent_hellos hellos;
    // The agent queries of clients forwarded to agents and not answered yet.
    query_relay relay;
    // Logins of connections not yet authenticated on the pool now (queued or running).
    std::atomic<uint32_t> logins;
};
