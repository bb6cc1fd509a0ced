#include "manager/mgr_queries.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/be_load.h"
#include "lib/format.h"
#include "lib/log.h"
#include "manager/acache.h"
#include "manager/agentcmd.h"
#include "manager/client_peer.h"
#include "manager/configs.h"
#include "manager/manager_ctx.h"
#include "manager/peer_tasks.h"
#include "server/reply.h"
#include "server/server.h"

namespace {

// Labels and authors are kept to 31 characters, as they are read back.
constexpr size_t MQ_TEXT_MAX = 31;
constexpr size_t MQ_LABEL_FIELD = 32;
// The configuration id (u64 id1, u64 id2) that starts the arguments of most queries.
constexpr uint32_t MQ_CFG_ID_LEN = 16;

msg *mq_status(uint16_t status, uint64_t rid, uint64_t qid) {
    return qresp_build(status, rid, qid, nullptr, 0);
}

// A configuration id from the first 16 argument bytes.
struct cfg_id {
    uint64_t id1;
    uint64_t id2;
};

cfg_id mq_cfg_id(const uint8_t *args) {
    return cfg_id{load_be64(args), load_be64(args + 8)};
}

// The agents connected to the MG-AG loop now, sorted by agent id: gathered under the peer
// table's lock, which is released before any command is queued.
std::vector<PeerId> mq_connected_agents(manager_ctx *ctx) {
    std::vector<PeerId> peers;
    loop *agents = ctx->srv != nullptr ? server_get_loop(ctx->srv, PT_MG_AG) : nullptr;
    if (agents == nullptr) {
        LOG_ERROR("No loop found.");
        return peers;
    }
    iol_foreach_peer(agents, &peers, [](void *arg, const netaddr *, iol_peer *p) {
        static_cast<std::vector<PeerId> *>(arg)->push_back(PeerId{p->uid, p->cid, p->idx, p->pt});
        return 0;
    });
    std::sort(peers.begin(), peers.end(),
              [](const PeerId &a, const PeerId &b) { return a.uid < b.uid; });
    return peers;
}

// The connected agents among `aids` (sorted, each once), in id order.
std::vector<PeerId> mq_connected_among(manager_ctx *ctx, const std::vector<uint64_t> &aids) {
    std::vector<PeerId> found;
    if (aids.empty())
        return found;
    for (const PeerId &p : mq_connected_agents(ctx)) {
        if (std::binary_search(aids.begin(), aids.end(), p.uid))
            found.push_back(p);
    }
    return found;
}

// Queues one command per target, each waiting for room in the agents' loop, and returns how
// many targets missed theirs. Once a command has been refused after a whole wait the loop is
// stuck, and the remaining commands of the batch are tried without waiting (each refusal is
// logged with its agent).
template <class F> size_t mq_queue_commands(const std::vector<PeerId> &targets, F queue) {
    uint32_t wait_ms = test_setting_ms(AGENTCMD_WAIT_ENV, AGENTCMD_WAIT_MS);
    size_t missed = 0;
    for (const PeerId &to : targets) {
        if (queue(to, wait_ms) != 0) {
            wait_ms = 0;
            missed++;
        }
    }
    return missed;
}

// The reply of a change whose commands went to `targets`: `done` when every agent got its
// command, else status 2 after an ERROR line naming how many did not.
msg *mq_commands_reply(msg *done, size_t missed, size_t targets, uint64_t rid, uint64_t qid,
                       cfg_id id) {
    if (missed == 0)
        return done;
    free(done);
    LOG_ERROR("Configuration [%016lX.%016lX]: %zu of %zu connected agents missed its command.",
              id.id1, id.id2, missed, targets);
    return mq_status(QRESP_ERROR, rid, qid);
}

// The agent ids of ATTACH and DETACH in host order, and the same sorted, each once.
struct mq_aid_list {
    std::vector<uint64_t> listed;
    std::vector<uint64_t> distinct;
};

mq_aid_list mq_read_aids(const uint8_t *args, uint32_t len) {
    mq_aid_list l;
    const uint32_t n = (len - MQ_CFG_ID_LEN) / 8;
    l.listed.reserve(n);
    for (uint32_t i = 0; i < n; i++)
        l.listed.push_back(load_be64(args + MQ_CFG_ID_LEN + 8 * i));
    l.distinct = l.listed;
    std::sort(l.distinct.begin(), l.distinct.end());
    l.distinct.erase(std::unique(l.distinct.begin(), l.distinct.end()), l.distinct.end());
    return l;
}

// ATTACH and DETACH answer with the agent id bytes of the request, trailing bytes included.
msg *mq_echo_ids(uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    return qresp_build(QRESP_OK, rid, qid, args + MQ_CFG_ID_LEN, len - MQ_CFG_ID_LEN);
}

msg *mq_agents_list(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *, uint32_t) {
    qresp_out out;
    acache_foreach(ctx->mgrdb, &out, [](void *arg, const mgr_agent *a) {
        auto *o = static_cast<qresp_out *>(arg);
        if (!qresp_out_open(o, MQ_AGENT_RECORD_LEN))
            return 0;
        char label[AGENT_LABEL_TEXT];
        agent_label_text(&a->identity, label);
        LOG_DEBUG("Agent found %s : %016lX", label, a->aid);
        qresp_out_bytes(o, &a->identity, sizeof a->identity);
        const nurl database = a->database; // the slot is packed: the copy is aligned
        nurl_to_wire(&database, std::span<uint8_t, NURL_SIZE>(qresp_out_tail(o), NURL_SIZE));
        qresp_out_skip(o, NURL_SIZE);
        qresp_out_u64(o, a->cid1);
        qresp_out_u64(o, a->cid2);
        return 0;
    });
    return qresp_out_finish(&out, out.limit.status, rid, qid);
}

msg *mq_agents_single(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t) {
    const mgr_agent a = acache_get(ctx->mgrdb, load_be64(args));
    if (a.aid == 0)
        return mq_status(QRESP_NOT_FOUND, rid, qid);
    return qresp_build(QRESP_OK, rid, qid, &a.identity, sizeof a.identity);
}

msg *mq_confs_info(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *, uint32_t) {
    qresp_out out;
    const int rc =
        cfg_foreach(ctx->mgrdb, &out, [](void *arg, const ConfigurationInfo *info, uint64_t) {
            auto *o = static_cast<qresp_out *>(arg);
            // A reply is cut at whole summaries, never past what one message can carry.
            if (!qresp_out_open(o, CFGINFO_SIZE))
                return 0;
            LOG_DEBUG("ConfigurationInfo found: %016lX.%016lX", info->id1, info->id2);
            cfg_info_to_wire(info,
                             std::span<uint8_t, CFGINFO_SIZE>(qresp_out_tail(o), CFGINFO_SIZE));
            qresp_out_skip(o, CFGINFO_SIZE);
            return 0;
        });
    if (rc != 0)
        return mq_status(QRESP_ERROR, rid, qid);
    return qresp_out_finish(&out, out.limit.status, rid, qid);
}

msg *mq_conf_save(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t len) {
    mgr_config config{};
    cfg_info_from_wire(std::span<const uint8_t, CFGINFO_SIZE>(args, CFGINFO_SIZE), &config.info);
    // A field without a NUL is cut to the 31 characters a summary gives back, never read
    // on into the bytes behind it.
    config.info.author[MQ_TEXT_MAX] = '\0';
    config.info.label[MQ_TEXT_MAX] = '\0';
    // The draft is bound straight from the request, which the storage only reads.
    config.blob = len > CFGINFO_SIZE ? const_cast<uint8_t *>(args + CFGINFO_SIZE) : nullptr;
    config.size = len - CFGINFO_SIZE;
    config.which = CFG_DRAFT;
    const int rc = cfg_store_draft(ctx->mgrdb, &config);
    return mq_status(rc == 0 ? QRESP_OK : QRESP_ERROR, rid, qid);
}

msg *mq_conf_read(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t) {
    LOG_DEBUG("Handling configuration read query...");
    const cfg_id id = mq_cfg_id(args);
    const uint8_t which = args[MQ_CFG_ID_LEN] == CFG_DATA ? CFG_DATA : CFG_DRAFT;
    mgr_config config{};
    const int rc = cfg_read(ctx->mgrdb, id.id1, id.id2, which, &config);
    msg *reply;
    if (rc == 2)
        reply = mq_status(QRESP_NOT_FOUND, rid, qid);
    else if (rc != 0 || config.size > qresp_max_data())
        reply = mq_status(QRESP_ERROR, rid, qid);
    else
        reply = qresp_build(QRESP_OK, rid, qid, config.blob, static_cast<uint32_t>(config.size));
    free(config.blob);
    return reply;
}

msg *mq_conf_label_update(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                          uint32_t) {
    LOG_DEBUG("Handling configuration label update...");
    const cfg_id id = mq_cfg_id(args);
    const char *field = reinterpret_cast<const char *>(args + MQ_CFG_ID_LEN);
    char label[MQ_LABEL_FIELD] = {};
    memcpy(label, field, strnlen(field, MQ_TEXT_MAX));
    const int rc = cfg_set_label(ctx->mgrdb, id.id1, id.id2, label);
    return mq_status(rc == 0 ? QRESP_OK : QRESP_ERROR, rid, qid);
}

// The cached agents attached to exactly id, sorted; none for 0.0, which every agent without
// a configuration carries.
std::vector<uint64_t> mq_attached_agents(manager_ctx *ctx, cfg_id id) {
    struct walk {
        cfg_id id;
        std::vector<uint64_t> aids;
    } w{id, {}};
    if (cfg_id_none(id.id1, id.id2))
        return w.aids;
    acache_foreach(ctx->mgrdb, &w, [](void *arg, const mgr_agent *a) {
        auto *w = static_cast<walk *>(arg);
        LOG_DEBUG("Checking agent %016lX: [%016lX.%016lX]", a->aid, a->cid1, a->cid2);
        if (a->cid1 == w->id.id1 && a->cid2 == w->id.id2)
            w->aids.push_back(a->aid);
        return 0;
    });
    std::sort(w.aids.begin(), w.aids.end());
    return w.aids;
}

// Logs the attached agents that no connection carries now; they get the configuration at
// their next hello.
void mq_log_unconnected(const std::vector<uint64_t> &aids, const std::vector<PeerId> &connected) {
    size_t at = 0;
    for (uint64_t aid : aids) {
        if (at < connected.size() && connected[at].uid == aid)
            at++;
        else
            LOG_DEBUG("Agent not connected: %016lX", aid);
    }
}

msg *mq_conf_activate(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t) {
    LOG_DEBUG("Handling configuration activate...");
    const cfg_id id = mq_cfg_id(args);
    std::lock_guard<std::mutex> order(ctx->cfg_changes);
    if (cfg_activate(ctx->mgrdb, id.id1, id.id2) != 0)
        return mq_status(QRESP_ERROR, rid, qid);
    LOG_INFO("Notifying agents to update the configuration [%016lX.%016lX]", id.id1, id.id2);
    const std::vector<uint64_t> attached = mq_attached_agents(ctx, id);
    const std::vector<PeerId> targets = mq_connected_among(ctx, attached);
    mq_log_unconnected(attached, targets);
    if (targets.empty())
        return mq_status(QRESP_OK, rid, qid);
    // The active data is read once for every agent; with the order mutex held no other
    // change of this configuration can come in between.
    mgr_config data{};
    size_t missed = targets.size();
    if (cfg_read(ctx->mgrdb, id.id1, id.id2, CFG_DATA, &data) == 0) {
        missed = mq_queue_commands(targets, [&](const PeerId &to, uint32_t wait_ms) {
            return agentcmd_upload_config(ctx, to.uid, &data, wait_ms);
        });
    } else {
        LOG_ERROR("Configuration %016lX.%016lX cannot be read: no agent notified.", id.id1, id.id2);
    }
    free(data.blob);
    return mq_commands_reply(mq_status(QRESP_OK, rid, qid), missed, targets.size(), rid, qid, id);
}

msg *mq_conf_delete(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args, uint32_t) {
    LOG_DEBUG("Handling configuration delete...");
    const cfg_id id = mq_cfg_id(args);
    std::lock_guard<std::mutex> order(ctx->cfg_changes);
    std::vector<uint64_t> detached;
    if (acache_delete_cfg(ctx->mgrdb, id.id1, id.id2, &detached) != 0)
        return mq_status(QRESP_ERROR, rid, qid);
    const std::vector<PeerId> targets = mq_connected_among(ctx, detached);
    const size_t missed = mq_queue_commands(targets, [&](const PeerId &to, uint32_t wait_ms) {
        return agentcmd_detach_config(ctx, id.id1, id.id2, to, wait_ms);
    });
    return mq_commands_reply(mq_status(QRESP_OK, rid, qid), missed, targets.size(), rid, qid, id);
}

// The checks ATTACH and DETACH share: the id must name a configuration, and the echo of the
// ids must fit in a reply. A reply when the request is refused, else NULL.
msg *mq_attach_detach_refusal(uint64_t rid, uint64_t qid, cfg_id id, uint32_t len) {
    if (cfg_id_none(id.id1, id.id2)) {
        LOG_ERROR("Incorrect configuration identifier: %016lX.%016lX", id.id1, id.id2);
        return mq_status(QRESP_ERROR, rid, qid);
    }
    if (len - MQ_CFG_ID_LEN > qresp_max_data()) {
        LOG_ERROR("Incorrect request size.");
        return mq_status(QRESP_ERROR, rid, qid);
    }
    return nullptr;
}

msg *mq_conf_attach(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                    uint32_t len) {
    LOG_DEBUG("Handling configuration attach...");
    const cfg_id id = mq_cfg_id(args);
    if (msg *refused = mq_attach_detach_refusal(rid, qid, id, len))
        return refused;
    const mq_aid_list aids = mq_read_aids(args, len);
    std::lock_guard<std::mutex> order(ctx->cfg_changes);
    mgr_config data{};
    const int rc = acache_attach_cfg_read(ctx->mgrdb, id.id1, id.id2, aids.listed.data(),
                                          aids.listed.size(), &data);
    if (rc == 2) {
        LOG_ERROR("No such configuration: %016lX.%016lX", id.id1, id.id2);
        return mq_status(QRESP_NOT_FOUND, rid, qid);
    }
    if (rc != 0)
        return mq_status(QRESP_ERROR, rid, qid);
    const std::vector<PeerId> targets = mq_connected_among(ctx, aids.distinct);
    const size_t missed = mq_queue_commands(targets, [&](const PeerId &to, uint32_t wait_ms) {
        return agentcmd_upload_config(ctx, to.uid, &data, wait_ms);
    });
    free(data.blob);
    return mq_commands_reply(mq_echo_ids(rid, qid, args, len), missed, targets.size(), rid, qid,
                             id);
}

msg *mq_conf_detach(manager_ctx *ctx, uint64_t rid, uint64_t qid, const uint8_t *args,
                    uint32_t len) {
    LOG_DEBUG("Handling configuration detach...");
    const cfg_id id = mq_cfg_id(args);
    if (msg *refused = mq_attach_detach_refusal(rid, qid, id, len))
        return refused;
    const mq_aid_list aids = mq_read_aids(args, len);
    // No id means no agent: the storage takes a missing list for every agent.
    if (aids.listed.empty())
        return mq_echo_ids(rid, qid, args, len);
    std::lock_guard<std::mutex> order(ctx->cfg_changes);
    if (acache_detach_cfg(ctx->mgrdb, id.id1, id.id2, aids.listed.size(), aids.listed.data()) != 0)
        return mq_status(QRESP_ERROR, rid, qid);
    const std::vector<PeerId> targets = mq_connected_among(ctx, aids.distinct);
    const size_t missed = mq_queue_commands(targets, [&](const PeerId &to, uint32_t wait_ms) {
        return agentcmd_detach_config(ctx, id.id1, id.id2, to, wait_ms);
    });
    return mq_commands_reply(mq_echo_ids(rid, qid, args, len), missed, targets.size(), rid, qid,
                             id);
}

} // namespace

const mq_entry mq_table[MQ_COUNT] = {
    {nullptr, nullptr, 0},
    {"AGENTS LIST", mq_agents_list, 0},
    {"AGENTS SINGLE", mq_agents_single, 8},
    {"CONFS INFO", mq_confs_info, 0},
    {"CONF SAVE", mq_conf_save, CFGINFO_SIZE},
    {"CONF READ", mq_conf_read, MQ_CFG_ID_LEN + 1},
    {"CONF LABEL UPDATE", mq_conf_label_update, MQ_CFG_ID_LEN + MQ_LABEL_FIELD},
    {"CONF ACTIVATE", mq_conf_activate, MQ_CFG_ID_LEN},
    {"CONF DELETE", mq_conf_delete, MQ_CFG_ID_LEN},
    {"CONF ATTACH", mq_conf_attach, MQ_CFG_ID_LEN},
    {"CONF DETACH", mq_conf_detach, MQ_CFG_ID_LEN},
};

msg *mq_answer(manager_ctx *ctx, const PeerId &from, const uint8_t *data, uint32_t len) {
    if (len < MQ_HDR_LEN) {
        LOG_ERROR("Incorrect manager query size: %u!.", len);
        return nullptr;
    }
    const uint64_t rid = load_be64(data);
    const uint64_t qid = load_be64(data + 8);
    // The id indexes the table only once it is known to lie inside it.
    if (qid >= MQ_COUNT || mq_table[qid].handler == nullptr) {
        LOG_ERROR("Unsupported manager query id: %lX.", qid);
        return nullptr;
    }
    const mq_entry &q = mq_table[qid];
    LOG_DEBUG("PeerId: [PT=%X, CID=%lX, UID=%lX IDX=%lu]", from.pt, from.cid, from.uid, from.idx);
    LOG_DEBUG("Manager query [RID=%lu, QID=%lu, DESC=(%s)] ", rid, qid, q.name);
    const uint32_t arg_len = len - MQ_HDR_LEN;
    if (arg_len < q.min_args) {
        LOG_ERROR("Incorrect request size.");
        return mq_status(QRESP_ERROR, rid, qid);
    }
    msg *reply = q.handler(ctx, rid, qid, data + MQ_HDR_LEN, arg_len);
    return reply != nullptr ? reply : mq_status(QRESP_ERROR, rid, qid);
}

void mgui_on_manager_query(iol_task *t) {
    const PeerId from = mgr_sender(t->ctx);
    msg *reply = mq_answer(static_cast<manager_ctx *>(t->ctx.l->ctx), from, t->data, t->len);
    if (reply != nullptr)
        (void)iol_reply(t->ctx.l, from, reply);
}
