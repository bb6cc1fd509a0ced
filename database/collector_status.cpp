#include "database/collector_status.h"

#include <pthread.h>
#include <vector>

#include "database/agent_collector.h"
#include "database/collector.h"
#include "lib/be_load.h"
#include "lib/log.h"

namespace {

// What the status record of one agent reports, before it is written out.
struct status_fields {
    uint64_t agent_id;
    uint64_t exception_roots;
    uint64_t completed_roots;
    uint64_t thread_count_time;
    uint64_t thread_count;
    open_age_table ages;
};

// Reads what the dump reports of a slot; false for a free slot.
bool collector_slot_status(uint64_t now_ms, agent_slot *aptr, status_fields *st) {
    *st = {};
    KRV_LOCKCALL(pthread_mutex_lock(&aptr->lock));
    const agent_collector *ac = aptr->ac;
    if (ac != nullptr) {
        agent_collector_cell_stats(now_ms, ac, &st->ages);
        st->agent_id = ac->agent_id;
        st->exception_roots = ac->exception_roots;
        st->completed_roots = ac->completed_roots;
        st->thread_count_time = ac->thread_count_time;
        st->thread_count = ac->thread_count;
    }
    KRV_LOCKCALL(pthread_mutex_unlock(&aptr->lock));
    return ac != nullptr;
}

// The wire fields are 16 bits wide; larger counts show as 0xFFFF.
uint16_t saturate16(uint32_t v) {
    return v > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(v);
}

void collector_put_status(bbuf **buf, const status_fields *st) {
    uint16_t m = 0;
    for (uint32_t b = 1; b < OPEN_AGE_BUCKETS; b++)
        m += st->ages.buckets[b].open_roots != 0;
    LOG_DEBUG("Dumping collector status...");
    LOG_DEBUG("DUMP: AID=%016lX", st->agent_id);
    LOG_DEBUG("DUMP: CRC=%lu", st->completed_roots);
    LOG_DEBUG("DUMP: RECS=%u", m);
    bbuf *b = bbuf_ensure(*buf, STATUS_REC_HEAD + uint64_t{STATUS_AGE_ENTRY} * m);
    *buf = b;
    bbuf_put_u64(b, st->agent_id);
    bbuf_put_u64(b, st->exception_roots);
    bbuf_put_u64(b, st->completed_roots);
    bbuf_put_u64(b, st->thread_count_time);
    bbuf_put_u64(b, st->thread_count);
    bbuf_put_u16(b, m);
    for (uint32_t i = 1; i < OPEN_AGE_BUCKETS; i++) {
        const auto &bucket = st->ages.buckets[i];
        if (bucket.open_roots == 0)
            continue;
        bbuf_put_u16(b, static_cast<uint16_t>(i));
        bbuf_put_u16(b, saturate16(bucket.exception_roots));
        bbuf_put_u16(b, saturate16(bucket.open_roots));
    }
}

} // namespace

void collector_dump_status(uint64_t now_ms, bbuf **buf, collector *col) {
    std::vector<agent_slot *> slots;
    for (uint16_t i = 0; i < col->n; i++) {
        collector_worker *c = &col->workers[i];
        KRV_LOCKCALL(pthread_mutex_lock(&c->collectors.lock));
        const bool any = c->collectors.active != 0;
        if (any)
            slots = c->collectors.items;
        KRV_LOCKCALL(pthread_mutex_unlock(&c->collectors.lock));
        if (!any)
            continue;
        for (agent_slot *aptr : slots) {
            status_fields st;
            if (collector_slot_status(now_ms, aptr, &st))
                collector_put_status(buf, &st);
        }
    }
}

uint32_t collector_status_rec_size(const uint8_t *rec, uint64_t len) {
    if (len < STATUS_REC_HEAD)
        return 0;
    const uint32_t size = STATUS_REC_HEAD + STATUS_AGE_ENTRY * uint32_t{load_be16(rec + STATUS_REC_M)};
    return size <= len ? size : 0;
}
