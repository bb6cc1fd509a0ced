#include "manager/agentcmd.h"

#include <cstdlib>

#include "lib/be_load.h"
#include "lib/log.h"
#include "manager/configs.h"
#include "manager/manager_ctx.h"
#include "server/server.h"

int agentcmd_send(manager_ctx *ctx, PeerId to, msg *m) {
    return agentcmd_send_wait(ctx, to, m, 0);
}

int agentcmd_send_wait(manager_ctx *ctx, PeerId to, msg *m, uint32_t wait_ms) {
    if (m == nullptr)
        return -1;
    if (server_send_wait(ctx->srv, IOMessage{m, IOM_SEND, to}, wait_ms) != 0) {
        free(m);
        LOG_ERROR("Message for peer [PT=%u, UID=%016lX] dropped: its loop cannot take it.",
                  to.pt, to.uid);
        return -1;
    }
    return 0;
}

int agentcmd_upload_config(manager_ctx *ctx, uint64_t aid, const mgr_config *config,
                           uint32_t wait_ms) {
    LOG_INFO("Uploading configuration [%016lX.%016lX] to agent [%016lX]...", config->info.id1,
             config->info.id2, aid);
    uint8_t head[16];
    store_be64(head, AGENT_CMD_CONFIG_UPLOAD);
    store_be64(head + 8, config->hash);
    const msg_part parts[] = {{head, 8}, {head + 8, 8}, {config->blob, config->size}};
    if (agentcmd_send_wait(ctx, agentcmd_peer(aid), msg_new_iov(MSG_AGENT_COMMAND, 3, parts),
                           wait_ms) != 0)
        return -1;
    LOG_INFO("Configuration submitted to agent [%016lX].", aid);
    return 0;
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

int agentcmd_detach_config(manager_ctx *ctx, uint64_t id1, uint64_t id2, PeerId to,
                           uint32_t wait_ms) {
    LOG_DEBUG("Uploading detach configuration command to agent...");
    uint8_t data[AGENT_CMD_ID_LEN + 16];
    store_be64(data, AGENT_CMD_CONFIG_DETACH);
    store_be64(data + 8, id1);
    store_be64(data + 16, id2);
    if (agentcmd_send_wait(ctx, to, msg_new(MSG_AGENT_COMMAND, data, sizeof data), wait_ms) != 0)
        return -1;
    LOG_DEBUG("Configuration submitted to agent.");
    return 0;
}
