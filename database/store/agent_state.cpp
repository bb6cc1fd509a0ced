#include "database/store/agent_state.h"

#include <cstdio>
#include <cstring>

#include "lib/clock.h"
#include "lib/log.h"

namespace {

// At most one loss line per agent per this period.
constexpr uint64_t LOSS_LINE_MS = 1000;

void losses_tell(dbs_agent *a, uint64_t now) {
    dbs_losses *l = &a->losses;
    if (l->err != 0)
        LOG_ERROR("Agent [%016lX]: %lu root calls and %lu samples lost (%s: %s).", a->id, l->rcalls,
                  l->samples, l->why, strerror(l->err));
    else
        LOG_ERROR("Agent [%016lX]: %lu root calls and %lu samples lost (%s).", a->id, l->rcalls,
                  l->samples, l->why);
    l->rcalls = 0;
    l->samples = 0;
    l->last_told_ms = now;
}

} // namespace

void dbs_agent_init(dbs_agent *a, uint64_t aid) {
    a->id = aid;
    a->mc = {};
    a->kv.stage_fd = -1;
    a->kv.stage_size = 0;
    a->kv.staged = 0;
    a->kv.unstage_pending.store(0);
    a->losses = {};
}

void dbs_agent_lost(dbs_agent *a, uint64_t rcalls, uint64_t samples, const char *why,
                    const char *path, int err) {
    dbs_losses *l = &a->losses;
    l->rcalls += rcalls;
    l->samples += samples;
    if (path != nullptr)
        snprintf(l->why, sizeof l->why, "%s %s", why, path);
    else
        snprintf(l->why, sizeof l->why, "%s", why);
    l->err = err;
    dbs_agent_tell_losses(a, false);
}

void dbs_agent_tell_losses(dbs_agent *a, bool now) {
    const dbs_losses *l = &a->losses;
    if (l->rcalls == 0 && l->samples == 0)
        return;
    const uint64_t t = monotonic_ms();
    if (now || l->last_told_ms == 0 || t - l->last_told_ms >= LOSS_LINE_MS)
        losses_tell(a, t);
}
