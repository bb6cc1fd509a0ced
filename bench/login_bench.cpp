// One client login at the Manager (uauth_authenticate over a fresh Manager storage, the MG-UI
// loop it answers through never started) for a stored user with a wrong password, which runs
// first and leaves its time behind, then for a name that is not stored and for the right
// password. The counter "ratio" is the wrong password's time divided by the row's: near 1.0
// for the unknown name shows that timing does not tell stored names from others.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "bench/store_bench.h"
#include "lib/log.h"
#include "lib/xalloc.h"
#include "manager/client_peer.h"
#include "manager/login.h"
#include "manager/manager_ctx.h"
#include "manager/mgr_storage.h"
#include "manager/users.h"
#include "server/runtime.h"

namespace {

// A Manager storage in the benchmark's working directory with the user "admin", and a client
// loop.
struct LoginSetup {
    manager_ctx ctx{};
    loop *clients = nullptr;

    LoginSetup() {
        log_level.store(0);
        if (mgr_storage_create("storage.mgr") != 0 || (ctx.mgrdb = mgr_storage_open()) == nullptr)
            abort();
        char name[128] = "admin";
        if (users_add(ctx.mgrdb, name, "vendrix", PERM_ALL) != 0)
            abort();
        ctx.mode = MODE_STANDALONE;
        clients = mgui_loop_create(&ctx, nullptr);
    }
};

LoginSetup &setup() {
    static LoginSetup s;
    return s;
}

std::string body_of(const std::string &name, const std::string &password) {
    std::string b;
    b += static_cast<char>(name.size() >> 8);
    b += static_cast<char>(name.size());
    b += name + std::string(1, '\0');
    b += static_cast<char>(password.size() >> 8);
    b += static_cast<char>(password.size());
    return b + password + std::string(1, '\0');
}

// One login; an accepted one is taken off the loop's ring again.
void login_once(LoginSetup &s, const std::string &body) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        abort();
    auto *req = static_cast<auth_request *>(krv_malloc(sizeof(auth_request) + body.size()));
    req->target = s.clients;
    req->peer = conn_peer{fds[0], netaddr{}, 0};
    req->len = static_cast<uint32_t>(body.size());
    memcpy(req->body, body.data(), body.size());
    uauth_authenticate(req);
    iol_ring &q = s.clients->iomq;
    if (q.head != q.tail) {
        auto *a = static_cast<ioma *>(q.items[q.head].data);
        close(a->client.connfd);
        free(a->response);
        free(a->peer);
        free(a);
        q.head = (q.head + 1) % q.capacity;
        q.count--;
    }
    close(fds[1]);
}

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds of one login with a wrong password, measured by the first benchmark.
double wrong_password_seconds = 0;

void bench_login(benchmark::State &state, const std::string &name, const std::string &password,
                 bool baseline) {
    LoginSetup &s = setup();
    const std::string body = body_of(name, password);
    const double start = thread_cpu_seconds();
    for (auto _ : state)
        login_once(s, body);
    const double each = (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
    if (baseline)
        wrong_password_seconds = each;
    else if (wrong_password_seconds > 0)
        state.counters["ratio"] = wrong_password_seconds / each;
}

void BM_login_wrong_password(benchmark::State &state) {
    bench_login(state, "admin", "not-the-password", true);
}
void BM_login_unknown_user(benchmark::State &state) {
    bench_login(state, "nobody", "not-the-password", false);
}
void BM_login_accepted(benchmark::State &state) {
    bench_login(state, "admin", "vendrix", false);
}

BENCHMARK(BM_login_wrong_password)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_login_unknown_user)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_login_accepted)->Unit(benchmark::kMicrosecond);

} // namespace

// A temporary working directory, removed afterwards.
int main(int argc, char **argv) {
    return bench_main_in_dir(argc, argv, ".");
}
