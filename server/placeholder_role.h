// Stand-in roles: the loop makers the server set-up calls for each peer type, and the agents
// status report, until the Database and Manager roles supply their own. A stand-in loop
// refuses every connection handed to it by closing it; the stand-in report is never built.
#pragma once

#include "lib/mtp.h"
#include "server/ioloop.h"
#include "server/msg.h"

loop *dbagent_loop_create();
loop *dbui_loop_create(mtp_pool *pool);
loop *mgagent_loop_create(mtp_pool *pool);
loop *mgui_loop_create(mtp_pool *pool);
loop *mgdb_loop_create();

// The agents status report of the MG-AG loop's peers: none yet.
msg *mgagent_build_status_report(loop *l);
