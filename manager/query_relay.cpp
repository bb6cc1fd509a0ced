#include "manager/query_relay.h"

#include <algorithm>

int relay_add(query_relay *r, relay_conn client, const relay_query &q) {
    std::lock_guard<std::mutex> g(r->m);
    std::vector<relay_query> &v = r->by_client[client];
    if (v.size() >= RELAY_PER_CLIENT)
        return -1;
    v.push_back(q);
    return 0;
}

// Erases the first record equal to q; the client's entry goes with its last record.
static bool relay_erase(query_relay *r, relay_conn client, const relay_query &q) {
    auto it = r->by_client.find(client);
    if (it == r->by_client.end())
        return false;
    std::vector<relay_query> &v = it->second;
    auto at = std::find(v.begin(), v.end(), q);
    if (at == v.end())
        return false;
    v.erase(at);
    if (v.empty())
        r->by_client.erase(it);
    return true;
}

void relay_remove(query_relay *r, relay_conn client, const relay_query &q) {
    std::lock_guard<std::mutex> g(r->m);
    relay_erase(r, client, q);
}

bool relay_take(query_relay *r, relay_conn client, const relay_query &q) {
    std::lock_guard<std::mutex> g(r->m);
    return relay_erase(r, client, q);
}

void relay_client_gone(query_relay *r, relay_conn client) {
    std::lock_guard<std::mutex> g(r->m);
    r->by_client.erase(client);
}

void relay_agent_gone(query_relay *r, relay_conn agent) {
    std::lock_guard<std::mutex> g(r->m);
    for (auto it = r->by_client.begin(); it != r->by_client.end();) {
        std::erase_if(it->second, [agent](const relay_query &q) { return q.agent == agent; });
        it = it->second.empty() ? r->by_client.erase(it) : std::next(it);
    }
}

size_t relay_waiting(query_relay *r, relay_conn client) {
    std::lock_guard<std::mutex> g(r->m);
    auto it = r->by_client.find(client);
    return it == r->by_client.end() ? 0 : it->second.size();
}
