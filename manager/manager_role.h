// The Manager role as the process frame sees it. This build holds its part of a new
// environment (the Manager storage with its first administrator); its storage, loops, pool
// and watchdog report join the service with the Manager's peers.
#pragma once

#include "server/role.h"

// The record the executable hands to the frame; the frame keeps its own copy.
extern const role manager_role;
