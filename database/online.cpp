#include "database/online.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "database/collector_status.h"
#include "lib/bbuf.h"
#include "lib/log.h"
#include "lib/xalloc.h"

namespace {

// One cycle's push on its way to the loop: the messages and who gets them.
struct online_push {
    odb *o;
    std::vector<msg *> parts;
    std::vector<PeerId> ids;
};

void online_push_free(online_push *p) {
    for (msg *m : p->parts)
        free(m);
    delete p;
}

// Loop thread: the fan-out of one cycle.
void online_deliver(loop *l, void *arg) {
    auto *p = static_cast<online_push *>(arg);
    const iol_fanout_result r =
        iol_fan_out(l, p->parts.data(), static_cast<uint32_t>(p->parts.size()), p->ids.data(),
                    p->ids.size());
    p->o->sent += r.sent;
    p->o->skipped += r.skipped;
    online_push_free(p);
}

uint64_t online_now_ms() {
    return static_cast<uint64_t>(time(nullptr)) * 1000;
}

void *online_main(void *arg) {
    auto *o = static_cast<odb *>(arg);
    if (o->ui == nullptr) {
        LOG_FATAL("Cannot start online service. No IOL.");
        return nullptr;
    }
    LOG_INFO("Online subsystem started.");
    std::unique_lock<std::mutex> lk(o->stop_m);
    while (!o->stop) {
        if (o->stop_cv.wait_for(lk, std::chrono::milliseconds(o->period_ms),
                                [o] { return o->stop; }))
            break;
        lk.unlock();
        (void)online_cycle(o, online_now_ms());
        lk.lock();
    }
    return nullptr;
}

// The subscribers' PeerIds in table order, under the guard.
std::vector<PeerId> online_targets(odb *o) {
    std::vector<PeerId> ids;
    pthread_mutex_t *guard = &o->guard;
    KRV_LOCKCALL(pthread_mutex_lock(guard));
    ids.reserve(o->active);
    for (const online_subscriber &s : o->subscribers)
        if (s.active != 0)
            ids.push_back(PeerId{s.uid, s.cid, s.idx, s.pt});
    KRV_LOCKCALL(pthread_mutex_unlock(guard));
    return ids;
}

msg *online_message(uint64_t now_ms, const uint8_t *recs, uint64_t len) {
    uint8_t head[ONLINE_TIME_LEN];
    for (uint32_t i = 0; i < ONLINE_TIME_LEN; i++)
        head[i] = static_cast<uint8_t>(now_ms >> (56 - 8 * i));
    const msg_part parts[2] = {{head, sizeof head}, {recs, len}};
    return msg_new_iov(MSG_PUSH, len > 0 ? 2 : 1, parts);
}

} // namespace

odb *online_create() {
    auto *o = new odb{};
    pthread_mutex_init(&o->guard, nullptr);
    return o;
}

int online_start(odb *o, loop *ui, collector *col) {
    o->ui = ui;
    o->col = col;
    const int rc = pthread_create(&o->thread, nullptr, online_main, o);
    if (rc != 0) {
        LOG_ERROR("Unable to start online subscription subsystem: %s", strerror(rc));
        return -1;
    }
    o->started = true;
    return 0;
}

void online_stop(odb *o) {
    {
        std::lock_guard<std::mutex> lk(o->stop_m);
        o->stop = true;
    }
    o->stop_cv.notify_all();
    if (o->started)
        pthread_join(o->thread, nullptr);
    o->started = false;
}

void online_free(odb *o) {
    pthread_mutex_destroy(&o->guard);
    delete o;
}

int online_subscribe(odb *o, uint64_t rid, PeerId peer) {
    KRV_LOCKCALL(pthread_mutex_lock(&o->guard));
    online_subscriber *e = nullptr;
    if (auto it = o->by_uid.find(peer.uid); it != o->by_uid.end())
        e = &o->subscribers[it->second];
    if (e != nullptr && e->rid != 0) {
        KRV_LOCKCALL(pthread_mutex_unlock(&o->guard));
        LOG_INFO("UI client [%016lX] already subscribed.", peer.uid);
        return -1;
    }
    // The last free entry; there is none while every entry is active.
    if (e == nullptr && o->active < o->subscribers.size()) {
        for (auto it = o->subscribers.rbegin(); it != o->subscribers.rend(); ++it) {
            if (it->active == 0) {
                e = &*it;
                break;
            }
        }
    }
    if (e == nullptr)
        e = &o->subscribers.emplace_back();
    // A repeat of a subscription made with request id 0 renews its entry: the count
    // changes only when an entry turns active.
    if (e->active == 0)
        o->active++;
    *e = online_subscriber{peer.uid, peer.cid, peer.idx, peer.pt, rid, 1};
    o->by_uid[peer.uid] = static_cast<size_t>(e - o->subscribers.data());
    KRV_LOCKCALL(pthread_mutex_unlock(&o->guard));
    LOG_INFO("UI client [%016lX] subscribed successfully.", peer.uid);
    return 0;
}

void online_unsubscribe(odb *o, PeerId peer) {
    bool found = false;
    KRV_LOCKCALL(pthread_mutex_lock(&o->guard));
    if (auto it = o->by_uid.find(peer.uid); it != o->by_uid.end()) {
        online_subscriber &s = o->subscribers[it->second];
        if (s.cid == peer.cid) {
            if (s.active != 0)
                o->active--;
            s = online_subscriber{};
            o->by_uid.erase(it);
            found = true;
        }
    }
    KRV_LOCKCALL(pthread_mutex_unlock(&o->guard));
    if (found)
        LOG_INFO("UI client [%016lX] unsubscribed successfully.", peer.uid);
}

std::vector<msg *> online_split(uint64_t now_ms, const uint8_t *recs, uint64_t len,
                                uint32_t max_data) {
    std::vector<msg *> out;
    const uint64_t room = max_data > ONLINE_TIME_LEN ? max_data - ONLINE_TIME_LEN : 0;
    uint64_t start = 0;
    uint64_t at = 0;
    while (at < len) {
        const uint32_t size = collector_status_rec_size(recs + at, len - at);
        if (size == 0)
            break; // the dump writes whole records; nothing else is ever left
        if (at > start && at + size - start > room) {
            out.push_back(online_message(now_ms, recs + start, at - start));
            start = at;
        }
        at += size;
    }
    if (at > start || out.empty())
        out.push_back(online_message(now_ms, recs + start, at - start));
    return out;
}

bool online_cycle(odb *o, uint64_t now_ms) {
    pthread_mutex_t *guard = &o->guard;
    KRV_LOCKCALL(pthread_mutex_lock(guard));
    const uint64_t active = o->active;
    KRV_LOCKCALL(pthread_mutex_unlock(guard));
    if (active == 0)
        return false;

    // The records alone: every message of the push gets the time in front of its share.
    bbuf *body = bbuf_new(ONLINE_TIME_LEN);
    if (o->col != nullptr)
        collector_dump_status(now_ms, &body, o->col);
    o->cycles++;
    auto *push = new online_push{o, {}, online_targets(o)};
    if (!push->ids.empty())
        push->parts = online_split(now_ms, bbuf_data(body), bbuf_position(body), o->max_data);
    free(body);
    if (push->ids.empty()) {
        online_push_free(push);
        return false;
    }
    auto *call = static_cast<iol_call *>(krv_malloc(sizeof(iol_call)));
    *call = iol_call{push, online_deliver};
    const size_t targets = push->ids.size();
    if (iol_send(o->ui, IOMessage{call, IOM_CALL, PeerId{0, 0, 0, o->ui->pt}}) != 0) {
        free(call);
        online_push_free(push);
        const uint64_t n = ++o->refused;
        LOG_WARN("Online push for %zu subscribers dropped (%lu so far): the DB-UI loop is busy.",
                 targets, n);
        return false;
    }
    return true;
}
