// The Database role as the process frame sees it: its part of a new environment (the empty
// data store), the store and collector it opens, its pool and loops, and its steps at start
// and stop.
#pragma once

#include "server/role.h"

// The record the executable hands to the frame; the frame keeps its own copy.
extern const role database_role;
