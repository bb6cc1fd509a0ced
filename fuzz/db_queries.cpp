// Fuzz target of the data queries that read the store: ROOT CALLS, SYMBOLS, KV METRICS,
// ROOT CALL EXECUTION STACK, EXTENSIONS, TOP EXCEPTIONS, EXCEPTIONS OCCURRENCES, INDEX,
// CALLS GRID and FLAME GRAPH. The first byte picks the query, the rest (an exact-size copy,
// so that a read past it is caught) are its arguments, run on a small store made once in a
// temporary directory: symbols of every type, agents with identity files, two hours of root
// calls with extension entries and exception calls, and day files of a key, one of them
// longer than a reply item carries.
// A first byte of 128 or more runs the query under a bound of one hour file per request, so
// that replies cut at the bound are checked too.
// Beyond the sanitizers, every reply must be NULL or one type-8 message with the request's
// ids and a status from 1 to 4 that a message can carry.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "database/query_exceptions.h"
#include "database/query_flame.h"
#include "database/query_index.h"
#include "database/query_rootcalls.h"
#include "database/query_stack.h"
#include "database/query_symbols.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "database/store/ext.h"
#include "database/store/kv.h"
#include "database/store/rcall.h"
#include "database/store/symbols.h"
#include "database/store/walk.h"
#include "lib/files.h"
#include "server/msg.h"
#include "server/reply.h"

namespace {

// The store's agents and the day of its data (March 1st, 2024).
constexpr uint64_t kAgents[] = {0x00000000000000A1, 0x00000000000000B2};
constexpr uint32_t kDay = 19783;
constexpr uint64_t kRid = 0x0102030405060708;

dbs *g_db;
std::string g_dir;

void require(bool ok) {
    if (!ok)
        abort();
}

void store_symbols() {
    static const struct {
        uint32_t type;
        const char *name;
    } names[] = {{SYM_CLASS, "app.Shop"},  {SYM_CLASS, "app.Cart"}, {SYM_CLASS, "org.x.Main"},
                 {SYM_METHOD, "run"},      {SYM_METHOD, "load"},    {SYM_THREAD, "main"},
                 {SYM_KEY, "mem\x1Fheap"}, {SYM_KEY, "cpu"}};
    for (const auto &n : names)
        require(dbs_symbol_store(g_db, n.type, static_cast<uint16_t>(strlen(n.name)), n.name) != 0);
}

// Root calls at `t` of n calls besides the root; every other call and the root carry a
// key/value entry, every third call throws (classes 1 to 3) and so does the root of a root
// call at an odd second. The calls nest up to 4 deep.
void store_root_call(dbs_agent *agent, uint64_t t, uint16_t n, ext_buf **builder,
                     uint8_t *scratch) {
    std::vector<call_record> calls(n + 1u);
    uint32_t grown = 0;
    uint16_t exceptions = 0;
    for (uint16_t i = 0; i <= n; i++) {
        call_record &c = calls[i];
        c = call_record{};
        c.TSTAMP = i == n ? t : t - 1 - i % 4;
        c.CLASS = 1 + i % 3;
        c.METHOD = 1 + i % 2;
        c.CORDER = i == n ? 0 : i + 1u;
        c.SDEPTH = i == n ? 0 : static_cast<uint16_t>(1 + i % 4);
        c.DUR = 10 + i;
        c.AUX = 3 + i % 20;
        c.flags = i == n ? CALL_F_ROOT : 0;
        if (i % 3 == 2 || (i == n && t / 1000 % 2 == 1)) {
            c.flags |= CALL_F_EXC;
            c.EXCEPTION = 1 + i % 3;
            exceptions++;
        }
        if (i % 2 == 0 || i == n) {
            const std::string list = "k" + std::to_string(i) + "\x1Ev" + std::to_string(t % 97);
            const std::string entry =
                std::string{static_cast<char>(list.size() >> 8), static_cast<char>(list.size())} +
                list;
            c.flags |= CALL_F_PARAMS;
            c.ext = ext_buf_add(builder, &grown, scratch, c.flags, i, entry.data(),
                                static_cast<uint16_t>(entry.size()));
        }
    }
    uint32_t blob_length = 0;
    const uint8_t *blob = ext_buf_finish(builder, &blob_length, &grown, scratch);
    for (call_record &c : calls)
        call_record_swap(&c);
    rcall rc{calls.data(), &calls.back(), blob,      blob_length,
             1,            exceptions,    static_cast<uint16_t>(n + 1)};
    require(dbs_rcall_save(agent, &rc) == 0);
    *builder = ext_buf_reset(*builder, &grown);
}

void store_root_calls(uint64_t agent_id) {
    // The identity file first: saving it into an agent directory that exists already fails.
    uint8_t identity[64] = {2, 'f', 'u', 'z', 'z'};
    identity[5] = static_cast<uint8_t>(agent_id);
    require(agent_save(identity, agent_id) == 0);
    char dir[64];
    snprintf(dir, sizeof dir, "storage.db/data/%016lX/mc", static_cast<unsigned long>(agent_id));
    require(sys_mkdirs(dir) == 0);
    dbs_agent agent{};
    dbs_agent_init(&agent, agent_id);
    std::vector<uint8_t> scratch(EXT_SCRATCH_SIZE);
    ext_buf *builder = ext_buf_new();
    const uint64_t hour10 = uint64_t{kDay} * DAY_MS + 10 * HOUR_MS;
    const uint16_t sizes[] = {3, 0, 1, 12};
    for (int h = 0; h < 2; h++)
        for (int i = 0; i < 4; i++)
            store_root_call(&agent, hour10 + h * HOUR_MS + 1000 * (i + 1u), sizes[i], &builder,
                            scratch.data());
    ext_buf_free(builder);
    dbs_agent_mc_close(&agent);
}

void write_day(uint64_t agent_id, uint32_t day, uint32_t key, size_t samples) {
    char path[96];
    snprintf(path, sizeof path, "storage.db/data/%016lX/kv", static_cast<unsigned long>(agent_id));
    require(sys_mkdirs(path) == 0);
    snprintf(path, sizeof path, "storage.db/data/%016lX/kv/%u.%u",
             static_cast<unsigned long>(agent_id), day, key);
    std::vector<uint8_t> bytes(samples * sizeof(kv_sample));
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<uint8_t>(i * 31);
    FILE *f = fopen(path, "w");
    require(f != nullptr && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() &&
            fclose(f) == 0);
}

void remove_store() {
    if (g_db != nullptr)
        dbs_close(g_db);
    sys_remove_scratch_dir(g_dir.c_str());
}

using body_fn = msg *(*)(dbs *, uint64_t, uint64_t, const uint8_t *, uint32_t);

msg *root_calls(dbs *, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    return dbq_root_calls(nullptr, rid, qid, args, len);
}

const struct {
    uint64_t qid;
    body_fn run;
} kQueries[] = {
    {DBQ_ROOT_CALLS, root_calls},
    {DBQ_SYMBOLS, dbq_symbols_run},
    {DBQ_KV_METRICS, dbq_kv_metrics_run},
    {DBQ_ROOT_CALL_EXECUTION_STACK, dbq_rcall_execution_stack_run},
    {DBQ_EXTENSIONS, dbq_extensions_run},
    {DBQ_TOP_EXCEPTIONS, dbq_top_exceptions_run},
    {DBQ_EXCEPTIONS_OCCURRENCES, dbq_exceptions_occurrences_run},
    {DBQ_INDEX, dbq_index_run},
    {DBQ_CALLS_GRID, dbq_calls_grid_run},
    {DBQ_FLAME_GRAPH, dbq_flame_graph_run},
};

uint64_t be_field(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

void check_reply(const msg *m, uint64_t qid) {
    if (m == nullptr)
        return;
    const auto *bytes = reinterpret_cast<const uint8_t *>(m);
    const uint32_t size = msg_size(m);
    require(size <= MSG_MAX_LEN && size >= MSG_HDR_LEN + QRESP_HDR_LEN);
    require(m->type == MSG_RESPONSE && be_field(bytes + 1, 4) == size - MSG_HDR_LEN);
    require(be_field(bytes + 5, 8) == kRid && be_field(bytes + 13, 8) == qid);
    const uint64_t status = be_field(bytes + 21, 2);
    require(status >= QRESP_OK && status <= QRESP_PARTIAL);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_dir = sys_make_scratch_dir("korvane-fuzz");
    require(!g_dir.empty() && chdir(g_dir.c_str()) == 0);
    require(storage_create_db() == 0);
    g_db = dbs_open();
    require(g_db != nullptr);
    atexit(remove_store);
    store_symbols();
    const uint32_t heap = dbs_symbol_find(g_db, SYM_KEY, "mem\x1Fheap", 8);
    for (uint64_t agent : kAgents) {
        store_root_calls(agent);
        write_day(agent, kDay, heap, 40);
        write_day(agent, kDay + 2, heap, 3);
    }
    write_day(kAgents[0], kDay + 1, heap, KV_BULK_BYTES / sizeof(kv_sample) + 10);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const auto &q = kQueries[data[0] % (sizeof kQueries / sizeof kQueries[0])];
    const size_t len = size - 1;
    auto *args = static_cast<uint8_t *>(malloc(len == 0 ? 1 : len));
    memcpy(args, data + 1, len);
    if (data[0] & 0x80)
        setenv(DBS_WALK_FILES_ENV, "1", 1);
    msg *m = q.run(g_db, kRid, q.qid, args, static_cast<uint32_t>(len));
    unsetenv(DBS_WALK_FILES_ENV);
    check_reply(m, q.qid);
    free(m);
    free(args);
    return 0;
}
