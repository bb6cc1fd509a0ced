// The Manager role as the process frame sees it (modes Manager and Standalone).
//
// init   the Manager storage with its first administrator (manager/mgr_init.h).
// open   makes the role's context (manager/manager_ctx.h), then, in this order, each step
//        fatal on failure: the authentication plugins (plugins_init, server/plugins.h), the
//        Manager storage into the context's `mgrdb`, the control channel (server/ctl.h)
//        with the reroute's callbacks: the agents cache stores the new Database, agentcmd
//        tells the connected agents.
// pool   "ManagerPool": logins, client messages and agent messages run on its workers.
// loops  MG-UI (clients, manager/client_peer.h) and MG-AG (agents, manager/agent_peer.h) on
//        the pool; MG-DB (Databases, manager/db_peer.h) without a pool, only in a process
//        without the Database role.
// started  from here on a reroute tells connected agents (before, the loops may not exist
//        yet: such agents learn their Database at their next hello).
// tick   the agents status report, broadcast to the connected clients.
// quiesce  closes the storage's connection under its lock: threads still running (none is
//        joined) get failed statements from then on.
// close  empties the agents cache under its write lock; the storage handle and the context
//        stay until the process exits.
#pragma once

#include "server/role.h"

// The record the executable hands to the frame; the frame keeps its own copy.
extern const role manager_role;
