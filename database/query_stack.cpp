#include "database/query_stack.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

#include "database/store/ext.h"
#include "database/store/walk.h"
#include "lib/be_load.h"
#include "lib/log.h"
#include "server/reply.h"

namespace {

struct free_fn {
    void operator()(void *p) const { free(p); }
};

msg *refuse_arguments() {
    LOG_ERROR("Invalid arguments!");
    return nullptr;
}

// ---- EXECUTION STACK ----

constexpr uint32_t STACKQ_COUNT_LEN = 2;

// How many of n records fit in the reply behind their count; fewer than n cut the reply.
uint16_t stackq_records_that_fit(qresp_out *out, uint16_t n) {
    const uint64_t all = STACKQ_COUNT_LEN + uint64_t{n} * sizeof(call_record);
    if (qresp_limit_fits(&out->limit, out->used, all))
        return n;
    const uint64_t left = qresp_out_left(out);
    return left < STACKQ_COUNT_LEN
               ? 0
               : static_cast<uint16_t>((left - STACKQ_COUNT_LEN) / sizeof(call_record));
}

// ---- EXTENSIONS ----

// A reference as copied from the request, host order.
struct extq_ref {
    uint64_t agent;
    uint64_t locator;
    uint32_t file_id;
};

// The reply and the agent whose references are being looked up.
struct extq {
    qresp_out out;
    uint64_t agent = 0;
    uint64_t found = 0; // items of the current agent
};

int dbq_extensions_on_ext(void *ctx, uint64_t locator, uint32_t file_id, const uint8_t *data,
                          uint16_t length) {
    auto *q = static_cast<extq *>(ctx);
    if (!qresp_out_open(&q->out, EXTQ_ITEM_HEAD + length))
        return 1;
    qresp_out_u64(&q->out, q->agent);
    qresp_out_u64(&q->out, locator);
    qresp_out_u32(&q->out, file_id);
    qresp_out_u16(&q->out, length);
    qresp_out_bytes(&q->out, data, length);
    q->found++;
    return 0;
}

// The lookup leaves out a reference whose `.x` file it cannot open without telling why, so
// a reference left out is only taken for a missing file while the process can still open
// files. False (logged) when it cannot.
bool extq_descriptors_left() {
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    if (errno != EMFILE && errno != ENFILE)
        return true;
    LOG_SYSERR("open");
    return false;
}

} // namespace

int dbq_ext_ref_agent_cmp(const void *a, const void *b) {
    const uint64_t x = static_cast<const extq_ref *>(a)->agent;
    const uint64_t y = static_cast<const extq_ref *>(b)->agent;
    return x < y ? -1 : x > y ? 1 : 0;
}

msg *dbq_rcall_execution_stack_run(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args,
                                   uint32_t len) {
    if (len < STACKQ_REQUEST_LEN)
        return refuse_arguments();
    const uint64_t agent = load_be64(args);
    const rcall_ref ref{load_be64(args + 8), load_be16(args + 16)};
    std::unique_ptr<uint8_t, free_fn> stack(dbs_rcall_execution_stack_get(&ref, agent));
    if (stack == nullptr)
        return nullptr;
    uint16_t n;
    memcpy(&n, stack.get(), sizeof n);
    qresp_out out;
    const uint16_t fit = stackq_records_that_fit(&out, n);
    if (!qresp_out_open(&out, STACKQ_COUNT_LEN + uint64_t{fit} * sizeof(call_record)))
        return qresp_out_finish(&out, out.limit.status, rid, qid);
    qresp_out_u16(&out, fit);
    const uint8_t *at = stack.get() + sizeof n;
    for (uint16_t i = 0; i < fit; i++, at += sizeof(call_record)) {
        call_record c;
        memcpy(&c, at, sizeof c);
        call_record_swap(&c);
        qresp_out_bytes(&out, &c, sizeof c);
    }
    return qresp_out_finish(&out, out.limit.status, rid, qid);
}

msg *dbq_extensions_run(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    if (len == 0 || len % EXTQ_REF_LEN != 0)
        return refuse_arguments();
    const uint32_t k = len / EXTQ_REF_LEN;
    std::vector<extq_ref> refs(k);
    for (uint32_t i = 0; i < k; i++) {
        const uint8_t *r = args + i * EXTQ_REF_LEN;
        refs[i] = {load_be64(r), load_be64(r + 8), load_be32(r + 16)};
    }
    if (k > 1)
        qsort(refs.data(), k, sizeof(extq_ref), dbq_ext_ref_agent_cmp);
    // One lookup per agent over its run of references, in the order the lookup sorts them.
    std::vector<ext_ref> group(k);
    auto buffer = std::make_unique_for_overwrite<uint8_t[]>(EXT_READER_BUFFER_SIZE);
    extq q;
    for (uint32_t begin = 0, end; begin < k && !q.out.limit.cut; begin = end) {
        q.agent = refs[begin].agent;
        q.found = 0;
        for (end = begin; end < k && refs[end].agent == q.agent; end++)
            group[end - begin] = {refs[end].locator, refs[end].file_id};
        // A file or block that could not be read would look like an entry that is not
        // there: the request fails instead (the store logged what failed).
        if (dbs_get_calls_ext(buffer.get(), q.agent, end - begin, group.data(), &q,
                              dbq_extensions_on_ext) != 0) {
            LOG_ERROR("Extensions of agent %016lX could not be read: request refused.", q.agent);
            return nullptr;
        }
        if (!q.out.limit.cut && q.found < end - begin && !extq_descriptors_left())
            return nullptr;
    }
    return qresp_out_finish(&q.out, q.out.limit.status, rid, qid);
}
