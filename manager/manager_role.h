// The Manager role as the process frame sees it: its part of a new environment (the Manager
// storage with its first administrator), the storage it opens, its pool and loops (clients,
// agents and, without the Database role, Databases), the agents status report of its
// watchdog tick, and its steps at stop.
#pragma once

#include "server/role.h"

// The record the executable hands to the frame; the frame keeps its own copy.
extern const role manager_role;
