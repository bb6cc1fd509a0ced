// Fuzz target of the collector's handling of agent data: the input (an exact-size copy, so
// that a read past it is caught) is the body of one agent data message, handed to the
// collector's message processing for an agent registered in a store made once in a
// temporary directory. Each input gets a fresh collector state for the agent, destroyed
// afterwards, which stores what completed and closes its files. Beyond the sanitizers,
// libFuzzer's memory limit (scripts/fuzz sets it) catches what escapes the collector's
// memory budgets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "database/agent_collector.h"
#include "database/collector.h"
#include "database/collector_store.h"
#include "database/store/agents.h"
#include "database/store/dbs.h"
#include "lib/agent_type.h"
#include "lib/files.h"
#include "server/msg.h"

namespace {

dbs *g_db;
std::string g_dir;
collector_callbacks g_cb;
uint64_t g_agent;
uint8_t *g_scratch;

void require(bool ok) {
    if (!ok)
        abort();
}

void remove_store() {
    if (g_db != nullptr)
        dbs_close(g_db);
    free(g_scratch);
    sys_remove_scratch_dir(g_dir.c_str());
}

// The 64-byte identity of a JVM agent labelled "fuzz": its type, then its label.
constexpr uint8_t kIdentity[64] = {AGENT_TYPE_JVM, 'f', 'u', 'z', 'z'};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_dir = sys_make_scratch_dir("korvane-fuzz");
    require(!g_dir.empty() && chdir(g_dir.c_str()) == 0);
    require(storage_create_db() == 0);
    g_db = dbs_open();
    require(g_db != nullptr);
    g_scratch = static_cast<uint8_t *>(malloc(COLLECTOR_SCRATCH_SIZE));
    require(g_scratch != nullptr);
    atexit(remove_store);
    g_agent = agent_id_of(kIdentity);
    require(dbs_agent_register(g_db, kIdentity, g_agent) == 0);
    g_cb = {g_db, collector_kv_cb, collector_rcall_cb, collector_symbol_cb};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > MSG_MAX_LEN)
        return 0;
    auto *body = static_cast<uint8_t *>(malloc(size == 0 ? 1 : size));
    memcpy(body, data, size);
    agent_slot slot{};
    pthread_mutex_init(&slot.lock, nullptr);
    slot.agent_id = g_agent;
    slot.ac = agent_collector_create(&g_cb, g_agent);
    require(slot.ac != nullptr);
    collector_msg_ctx ctx{&slot, g_scratch};
    (void)collector_process_message(&ctx, MSG_AGENT_DATA, static_cast<uint32_t>(size), body);
    agent_collector_destroy(slot.ac);
    pthread_mutex_destroy(&slot.lock);
    free(body);
    return 0;
}
