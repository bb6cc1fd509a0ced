// Online-data subscriptions: graphical clients that asked for it with the ONLINE DATA query
// get the collector's live status pushed to them every few seconds.
//
// The service keeps the table of subscribers. Its thread wakes every period and, while
// anyone is subscribed, builds one body: the push time (whole seconds, in milliseconds since
// the epoch, u64 big-endian) followed by the collector's status records. It copies the
// subscribers' PeerIds, the only work done under `guard`, and hands the body and the list to
// the DB-UI loop in one IOM_CALL, whose loop-thread fan-out queues a copy to each subscriber
// in table order. One command per cycle, whatever the number of subscribers, so pushes never
// crowd query replies out of the loop's command ring; a cycle the ring refuses is dropped
// (counted and logged), and the next one sends a fresh body.
//
// A body larger than one message is split at whole records into several type-7 messages,
// each starting with the same push time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <unordered_map>
#include <vector>

#include "server/ioloop.h"
#include "server/msg.h"

struct collector;

constexpr uint32_t ONLINE_PERIOD_MS = 3000;
// Test-only: another push period, and another bound on the data of one push message (both
// 1 to 65535; unset or 0 keeps the real value).
constexpr const char *ONLINE_PERIOD_ENV = KRV_TEST_HOOK("ONLINE_PERIOD_MS");
constexpr const char *ONLINE_MSG_MAX_ENV = KRV_TEST_HOOK("ONLINE_MSG_MAX");
// Bytes of the push time at the head of every push message.
constexpr uint32_t ONLINE_TIME_LEN = 8;

// One subscription; an entry ended is all zeros and free for reuse.
struct online_subscriber {
    uint64_t uid; // the subscriber's PeerId
    uint64_t cid;
    uint64_t idx;
    uint32_t pt;
    uint64_t rid;    // request id of the subscribing query
    uint32_t active; // 1 while subscribed
};

struct odb {
    pthread_mutex_t guard;                       // guards subscribers and active
    std::vector<online_subscriber> subscribers;  // only grows; entries are reused
    uint64_t active = 0;                         // entries with active set
    std::unordered_map<uint64_t, size_t> by_uid; // the entry of each uid in the table

    loop *ui = nullptr;           // the DB-UI loop the pushes go through
    collector *col = nullptr;     // whose status is pushed; NULL: bodies hold the time alone
    uint32_t period_ms = ONLINE_PERIOD_MS;
    uint32_t max_data = MSG_MAX_DATA; // data bytes of one push message

    std::mutex stop_m; // with stop_cv, wakes the thread early when it is to end
    std::condition_variable stop_cv;
    bool stop = false;
    pthread_t thread{};
    bool started = false;

    std::atomic<uint64_t> cycles{0};  // bodies built
    std::atomic<uint64_t> refused{0}; // cycles the loop's command ring did not take
    std::atomic<uint64_t> sent{0};    // pushes queued to subscribers
    std::atomic<uint64_t> skipped{0}; // pushes passed by for subscribers still holding one
};

// A service without subscribers, its thread not started.
odb *online_create();
// Starts the thread that pushes the status of `col` through `ui` (the DB-UI loop). 0, or -1
// with an ERROR line when the thread cannot be started.
int online_start(odb *o, loop *ui, collector *col);
// Ends the thread and waits for it; nothing is pushed afterwards. Safe to call when the
// thread never started.
void online_stop(odb *o);
// Releases a stopped service.
void online_free(odb *o);

// Subscribes the peer; 0, or -1 when it is subscribed already by a query with a non-zero
// request id. Repeats with request id 0 renew the entry.
int online_subscribe(odb *o, uint64_t rid, PeerId peer);
// Ends the subscription of that very connection (uid and connection id); nothing when it has
// none.
void online_unsubscribe(odb *o, PeerId peer);

// One push cycle at now_ms (a multiple of 1000): nothing while nobody is subscribed,
// otherwise the body built and handed to the loop. True when a push was queued to the loop.
bool online_cycle(odb *o, uint64_t now_ms);

// The messages of one push: the time, then the status records recs[0, len) split at whole
// records so that no message carries more than max_data bytes of data (a record too large for
// that goes alone). At least one message, even without records. The caller frees them.
std::vector<msg *> online_split(uint64_t now_ms, const uint8_t *recs, uint64_t len,
                                uint32_t max_data);
