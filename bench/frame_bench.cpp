// The frame layer beside what it is built on, each pair measured in the same run:
// - frame_pack beside LZ4_compress_default, on incompressible and compressible bodies of
//   1 KiB, 64 KiB, 1 MiB (thread CPU time);
// - frame_header_check + frame_unpack beside what the unpacking has to do at the least: a
//   memcpy of the body for an incompressible one (it travels as it is), LZ4_decompress_safe
//   for a compressible one (thread CPU time);
// - one message per frame through sock_send / sock_recv over loopback TCP beside the same
//   bytes over an equal connection: a plain write/read of an incompressible body, and
//   LZ4_compress_default + write/read + LZ4_decompress_safe of a compressible one (wall time).
// Each frame row reports its throughput divided by that of its baseline as the counter "ratio".
#include <benchmark/benchmark.h>

#include "bench/bench_main.h"
#include <lz4.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "lib/fd.h"
#include "server/frame.h"
#include "server/msg.h"
#include "server/sock.h"

namespace {

using Body = std::vector<uint8_t>;

const int64_t kSizes[] = {1 << 10, 64 << 10, 1 << 20};
enum Kind : int64_t { INCOMPRESSIBLE = 0, COMPRESSIBLE = 1 };

// Baseline throughputs by (kind, size), left by each baseline for the row that follows it.
std::map<std::pair<int64_t, int64_t>, double> baseline;

// One message of `size` bytes in all: random data, or trace-like text LZ4 shrinks about 4x.
Body bench_body(int64_t kind, int64_t size) {
    Body b(static_cast<size_t>(size));
    std::mt19937 gen(11);
    if (kind == INCOMPRESSIBLE) {
        for (auto &c : b)
            c = static_cast<uint8_t>(gen());
    } else {
        std::string text;
        while (text.size() < b.size()) {
            char line[96];
            snprintf(line, sizeof line, "thread-%lu com.acme.orders.Handler.process%lu %08lx\n",
                     gen() % 16, gen() % 8, gen() % 4096);
            text += line;
        }
        memcpy(b.data(), text.data(), b.size());
    }
    const uint32_t len = static_cast<uint32_t>(size) - MSG_HDR_LEN;
    b[0] = MSG_AGENT_DATA;
    b[1] = static_cast<uint8_t>(len >> 24);
    b[2] = static_cast<uint8_t>(len >> 16);
    b[3] = static_cast<uint8_t>(len >> 8);
    b[4] = static_cast<uint8_t>(len);
    return b;
}

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs the timed loop over fn() and returns the body bytes per second it achieved.
template <typename Fn> double bench_run(benchmark::State &state, double (*clock)(), Fn fn) {
    const double start = clock();
    for (auto _ : state)
        fn();
    const double elapsed = clock() - start;
    const int64_t bytes = state.iterations() * state.range(1);
    state.SetBytesProcessed(bytes);
    return static_cast<double>(bytes) / elapsed;
}

void report_ratio(benchmark::State &state, double own) {
    const auto base = baseline.find({state.range(0), state.range(1)});
    if (base != baseline.end())
        state.counters["ratio"] = own / base->second;
}

// The working block of an IO loop; the compression area is its tail.
std::vector<uint8_t> &loop_block() {
    static std::vector<uint8_t> block(SOCK_BLOCK_SIZE);
    return block;
}

std::span<uint8_t> zip_area() {
    return std::span<uint8_t>(loop_block()).subspan(SOCK_RECV_AREA);
}

// ---- Packing and unpacking ----

void BM_lz4_compress(benchmark::State &state) {
    const Body body = bench_body(state.range(0), state.range(1));
    std::span<uint8_t> area = zip_area();
    baseline[{state.range(0), state.range(1)}] = bench_run(state, thread_cpu_seconds, [&] {
        benchmark::DoNotOptimize(LZ4_compress_default(
            reinterpret_cast<const char *>(body.data()), reinterpret_cast<char *>(area.data()),
            static_cast<int>(body.size()), static_cast<int>(area.size())));
    });
}

// Packing overwrites the start of the body with the LZ4 block and puts the trailer behind
// it; those bytes are put back after every pack, which the frame row pays for.
void BM_frame_pack(benchmark::State &state) {
    const Body body = bench_body(state.range(0), state.range(1));
    Body buf(body.size() + FRAME_TRAILER_LEN);
    memcpy(buf.data(), body.data(), body.size());
    std::span<uint8_t> area = zip_area();
    frame_hdr h;
    const double own = bench_run(state, thread_cpu_seconds, [&] {
        uint64_t size = frame_pack(&h, buf.data(), body.size(), area);
        benchmark::DoNotOptimize(h);
        uint64_t stored = size - FRAME_HDR_LEN - FRAME_TRAILER_LEN;
        if (stored < body.size())
            memcpy(buf.data(), body.data(), stored + FRAME_TRAILER_LEN);
    });
    report_ratio(state, own);
}

// A packed frame of the body: its header and its payload.
struct Packed {
    frame_hdr hdr;
    Body payload;
};

Packed pack_body(const Body &body) {
    Packed p;
    p.payload.resize(body.size() + FRAME_TRAILER_LEN);
    memcpy(p.payload.data(), body.data(), body.size());
    uint64_t size = frame_pack(&p.hdr, p.payload.data(), body.size(), zip_area());
    p.payload.resize(size - FRAME_HDR_LEN);
    return p;
}

void BM_lz4_decompress(benchmark::State &state) {
    const Body body = bench_body(state.range(0), state.range(1));
    Body block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(body.size()))));
    const int csize = LZ4_compress_default(
        reinterpret_cast<const char *>(body.data()), reinterpret_cast<char *>(block.data()),
        static_cast<int>(body.size()), static_cast<int>(block.size()));
    std::span<uint8_t> area = zip_area();
    baseline[{state.range(0), state.range(1)}] = bench_run(state, thread_cpu_seconds, [&] {
        benchmark::DoNotOptimize(LZ4_decompress_safe(reinterpret_cast<const char *>(block.data()),
                                                     reinterpret_cast<char *>(area.data()), csize,
                                                     static_cast<int>(body.size())));
    });
}

// An incompressible body is stored raw in its frame: the least an unpacking could do is copy
// it once.
void BM_body_copy(benchmark::State &state) {
    const Body body = bench_body(state.range(0), state.range(1));
    std::span<uint8_t> area = zip_area();
    baseline[{state.range(0), state.range(1)}] = bench_run(state, thread_cpu_seconds, [&] {
        memcpy(area.data(), body.data(), body.size());
        benchmark::ClobberMemory();
    });
}

// Unpacking replaces the payload with the body; the payload is put back after every unpack,
// which the frame row pays for.
void BM_frame_unpack(benchmark::State &state) {
    const Body body = bench_body(state.range(0), state.range(1));
    const Packed packed = pack_body(body);
    const size_t cap = std::max(body.size(), packed.payload.size());
    frame_buf b{static_cast<uint8_t *>(malloc(cap)), 0, cap};
    memcpy(b.data, packed.payload.data(), packed.payload.size());
    std::span<uint8_t> area = zip_area();
    const double own = bench_run(state, thread_cpu_seconds, [&] {
        frame_hdr h = packed.hdr;
        frame_header_check(&h);
        b.len = h.plen;
        benchmark::DoNotOptimize(frame_unpack(&b, area.size(), area));
        if (packed.payload.size() < body.size())
            memcpy(b.data, packed.payload.data(), packed.payload.size());
    });
    free(b.data);
    report_ratio(state, own);
}

// ---- Through loopback TCP ----

// Both ends of a TCP connection over 127.0.0.1, non-blocking, without Nagle's delay.
std::pair<int, int> tcp_pair() {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    if (bind(l, sa, sizeof a) != 0 || listen(l, 1) != 0 || getsockname(l, sa, &len) != 0)
        throw std::runtime_error("listen");
    int c = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(c, sa, sizeof a) != 0)
        throw std::runtime_error("connect");
    int s = accept(l, nullptr, nullptr);
    close(l);
    int on = 1;
    for (int fd : {c, s}) {
        fd_set_nonblocking(fd);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return {c, s};
}

void BM_plain_loopback(benchmark::State &state) {
    const Body body = bench_body(state.range(0), state.range(1));
    auto [out, in] = tcp_pair();
    Body rbuf(SOCK_RECV_AREA);
    const size_t n = body.size();
    baseline[{state.range(0), state.range(1)}] = bench_run(state, wall_seconds, [&] {
        size_t wr = 0, rd = 0;
        while (rd < n) {
            if (wr < n) {
                ssize_t k = write(out, body.data() + wr, n - wr);
                wr += k > 0 ? static_cast<size_t>(k) : 0;
            }
            ssize_t k = read(in, rbuf.data(), rbuf.size());
            rd += k > 0 ? static_cast<size_t>(k) : 0;
        }
    });
    close(out);
    close(in);
}

// Compresses the body, sends the block, receives it whole and decompresses it.
void BM_lz4_loopback(benchmark::State &state) {
    const Body body = bench_body(state.range(0), state.range(1));
    auto [out, in] = tcp_pair();
    const int bound = LZ4_compressBound(static_cast<int>(body.size()));
    Body block(static_cast<size_t>(bound)), rbuf(static_cast<size_t>(bound)), plain(body.size());
    baseline[{state.range(0), state.range(1)}] = bench_run(state, wall_seconds, [&] {
        const int csize = LZ4_compress_default(reinterpret_cast<const char *>(body.data()),
                                               reinterpret_cast<char *>(block.data()),
                                               static_cast<int>(body.size()), bound);
        const size_t n = static_cast<size_t>(csize);
        size_t wr = 0, rd = 0;
        while (rd < n) {
            if (wr < n) {
                ssize_t k = write(out, block.data() + wr, n - wr);
                wr += k > 0 ? static_cast<size_t>(k) : 0;
            }
            ssize_t k = read(in, rbuf.data() + rd, n - rd);
            rd += k > 0 ? static_cast<size_t>(k) : 0;
        }
        benchmark::DoNotOptimize(LZ4_decompress_safe(reinterpret_cast<const char *>(rbuf.data()),
                                                     reinterpret_cast<char *>(plain.data()),
                                                     csize, static_cast<int>(plain.size())));
    });
    close(out);
    close(in);
}

void count_frame(void *ctx, uint8_t *, uint64_t) {
    ++*static_cast<uint64_t *>(ctx);
}

// The sender and the receiver each have a block of their own, as two IO loops would.
void BM_sock_loopback(benchmark::State &state) {
    const Body body = bench_body(state.range(0), state.range(1));
    auto [out, in] = tcp_pair();
    std::vector<uint8_t> rblock(SOCK_BLOCK_SIZE);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    sock a, b;
    sock_init(&a, out, reinterpret_cast<sockaddr *>(&peer), SOCK_RECV_AREA, loop_block().data(),
              SOCK_BLOCK_SIZE);
    sock_init(&b, in, reinterpret_cast<sockaddr *>(&peer), SOCK_RECV_AREA, rblock.data(),
              SOCK_BLOCK_SIZE);
    uint64_t frames = 0;
    const double own = bench_run(state, wall_seconds, [&] {
        const uint64_t target = frames + 1;
        sock_send(&a, body.data(), body.size());
        int rc = sock_send(&a, nullptr, 0);
        while (rc == ENOSPC || frames < target) {
            sock_recv(&b, &frames, count_frame);
            if (rc == ENOSPC)
                rc = sock_send(&a, nullptr, 0);
        }
    });
    sock_close(&a);
    sock_close(&b);
    report_ratio(state, own);
}

void register_frame_benchmarks() {
    for (int64_t kind : {INCOMPRESSIBLE, COMPRESSIBLE}) {
        for (int64_t size : kSizes) {
            benchmark::RegisterBenchmark("BM_lz4_compress", BM_lz4_compress)->Args({kind, size});
            benchmark::RegisterBenchmark("BM_frame_pack", BM_frame_pack)->Args({kind, size});
            if (kind == COMPRESSIBLE)
                benchmark::RegisterBenchmark("BM_lz4_decompress", BM_lz4_decompress)
                    ->Args({kind, size});
            else
                benchmark::RegisterBenchmark("BM_body_copy", BM_body_copy)->Args({kind, size});
            benchmark::RegisterBenchmark("BM_frame_unpack", BM_frame_unpack)->Args({kind, size});
        }
    }
    for (int64_t kind : {INCOMPRESSIBLE, COMPRESSIBLE}) {
        for (int64_t size : kSizes) {
            benchmark::RegisterBenchmark(kind == COMPRESSIBLE ? "BM_lz4_loopback"
                                                              : "BM_plain_loopback",
                                         kind == COMPRESSIBLE ? BM_lz4_loopback
                                                              : BM_plain_loopback)
                ->Args({kind, size})
                ->UseRealTime();
            benchmark::RegisterBenchmark("BM_sock_loopback", BM_sock_loopback)
                ->Args({kind, size})
                ->UseRealTime();
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    register_frame_benchmarks();
    return bench_run(argc, argv);
}
