#include "manager/agentcmd.h"

#include <cstdlib>

#include "lib/be_load.h"
#include "lib/log.h"
#include "manager/configs.h"
#include "manager/manager_ctx.h"
#include "server/server.h"

int agentcmd_send(manager_ctx *ctx, PeerId to, msg *m) {
    if (m == nullptr)
        return -1;
    if (server_send(ctx->srv, IOMessage{m, IOM_SEND, to}) != 0) {
        free(m);
        return -1;
    }
    return 0;
}

void agentcmd_upload_config(manager_ctx *ctx, uint64_t aid, const mgr_config *config) {
    LOG_INFO("Uploading configuration [%016lX.%016lX] to agent [%016lX]...", config->info.id1,
             config->info.id2, aid);
    uint8_t head[16];
    store_be64(head, AGENT_CMD_CONFIG_UPLOAD);
    store_be64(head + 8, config->hash);
    const msg_part parts[] = {{head, 8}, {head + 8, 8}, {config->blob, config->size}};
    if (agentcmd_send(ctx, agentcmd_peer(aid), msg_new_iov(MSG_AGENT_COMMAND, 3, parts)) == 0)
        LOG_INFO("Configuration submitted to agent [%016lX].", aid);
}

void agentcmd_prepare_config_upload(manager_ctx *ctx, uint64_t aid, uint64_t id1, uint64_t id2) {
    LOG_INFO("Preparing configuration [%016lX.%016lX] upload to agent [%016lX]...", id1, id2, aid);
    mgr_config config{};
    if (cfg_read(ctx->mgrdb, id1, id2, CFG_DATA, &config) == 0)
        agentcmd_upload_config(ctx, aid, &config);
    free(config.blob);
}

void agentcmd_set_database(manager_ctx *ctx, uint64_t aid, const nurl *address) {
    uint8_t data[AGENT_CMD_ID_LEN + NURL_SIZE];
    store_be64(data, AGENT_CMD_SET_DATABASE);
    nurl_to_wire(address, std::span<uint8_t, NURL_SIZE>(data + AGENT_CMD_ID_LEN, NURL_SIZE));
    agentcmd_send(ctx, agentcmd_peer(aid), msg_new(MSG_AGENT_COMMAND, data, sizeof data));
}

void agentcmd_detach_config(manager_ctx *ctx, uint64_t id1, uint64_t id2, PeerId to) {
    LOG_DEBUG("Uploading detach configuration command to agent...");
    uint8_t data[AGENT_CMD_ID_LEN + 16];
    store_be64(data, AGENT_CMD_CONFIG_DETACH);
    store_be64(data + 8, id1);
    store_be64(data + 16, id2);
    if (agentcmd_send(ctx, to, msg_new(MSG_AGENT_COMMAND, data, sizeof data)) == 0)
        LOG_DEBUG("Configuration submitted to agent.");
}
