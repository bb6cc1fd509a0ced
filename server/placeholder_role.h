// Stand-in roles: the loop makers the server set-up calls for the Manager's peer types, and
// the agents status report, until the Manager role supplies its own. A stand-in loop
// refuses every connection handed to it by closing it; the stand-in report is never built.
#pragma once

#include "lib/mtp.h"
#include "server/ioloop.h"
#include "server/msg.h"

loop *mgagent_loop_create(mtp_pool *pool);
loop *mgui_loop_create(mtp_pool *pool);
loop *mgdb_loop_create();

// The agents status report of the MG-AG loop's peers: none yet.
msg *mgagent_build_status_report(loop *l);
