#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "database/collector_status.h"
#include "database/collector_support.h"
#include "database/store/kv.h"
#include "lib/bbuf.h"

namespace {

using namespace std::string_literals;

constexpr uint64_t kRootTime = utc_time(10, 0);

uint64_t root_key(uint64_t tag, uint64_t time = kRootTime) {
    return tag << 44 | time;
}

// ---- what reaches the store --------------------------------------------------------------

struct ext_entry {
    uint16_t flags;
    uint16_t index;
    std::string data;
};

int collect_entry(void *ctx, uint16_t flags, uint16_t call_index, const uint8_t *data,
                  uint16_t length) {
    static_cast<std::vector<ext_entry> *>(ctx)->push_back(
        {flags, call_index, std::string(reinterpret_cast<const char *>(data), length)});
    return 0;
}

// The entries of a stored root call's blob, and each record's entry read by its locator.
struct stored_ext {
    std::vector<ext_entry> entries;
    std::vector<std::string> by_locator;
};

stored_ext read_ext(uint64_t aid, const seen_rcall &s) {
    stored_ext out;
    const uint32_t file_id = s.root.file_id;
    char path[RCALL_PATH_MAX];
    rcall_path(path, aid, file_id >> 5, file_id & 31, ".x");
    int fd = open(path, O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    std::vector<uint8_t> buffer(EXT_READER_BUFFER_SIZE);
    EXPECT_EQ(ext_iterate_exts(fd, s.ext_offset, s.ext_length, buffer.data(), &out.entries,
                               collect_entry),
              0);
    std::vector<call_record> records = s.calls;
    records.push_back(s.root);
    for (const call_record &c : records) {
        if (!(c.flags & (CALL_F_PARAMS | CALL_F_EXC_TEXT)))
            continue;
        uint16_t len = 0;
        const uint8_t *data = ext_read(fd, c.ext, c.file_id, buffer.data(), &len);
        out.by_locator.emplace_back(data != nullptr ? reinterpret_cast<const char *>(data) : "",
                                    len);
    }
    close(fd);
    return out;
}

TEST_F(CollectorTest, AssemblesRootCallsIntoTheStoreWithGlobalIds) {
    const uint64_t aid = add_agent("shop");
    // Symbols the store already holds get the ids they have; the agent's ids differ.
    const uint32_t pre = collector_symbol_cb(db_, SYM_CLASS, 5, "Other");
    start();
    const uint64_t r1 = root_key(0xAB);
    const uint64_t r2 = root_key(0xCD, kRootTime + 5);
    send(aid, AgentData()
                  .sym(AREC_SYM_CLASS, 5, "com.acme.Shop")
                  .sym(AREC_SYM_CLASS, 7, "java.lang.IllegalStateException")
                  .sym(AREC_SYM_METHOD, 9, "buy")
                  .sym(AREC_SYM_THREAD, 3, "http-nio-1")
                  .call(Call{0, r1, 5, 11, 2, 1, kRootTime + 10, 0x123456, 7, ""})
                  .call(Call{0, r2, 5, 9, 1, 1, kRootTime + 6, 0, 1, ""})
                  .message());
    // The method of the first call is named only after it arrived, before its root.
    send(aid, AgentData()
                  .sym(AREC_SYM_METHOD, 11, "check")
                  .call(Call{CALL_F_EXC | CALL_F_EXC_TEXT, r1, 5, 11, 3, 2, kRootTime + 20, 0, 2,
                             be(7, 4) + "boom"})
                  .call(Call{CALL_F_ROOT, r2, 5, 9, 0, 0, kRootTime + 5, 0, 9, be(3, 4)})
                  .call(Call{CALL_F_PARAMS, r1, 5, 9, 4, 1, kRootTime + 30, 0, 1, "k\x1Ev"})
                  .call(Call{CALL_F_ROOT | CALL_F_PARAMS, r1, 5, 9, 0, 0, kRootTime, 0, 50,
                             be(3, 4) + "root"})
                  .message());
    drain();

    const uint32_t shop = global_id(SYM_CLASS, "com.acme.Shop");
    const uint32_t ise = global_id(SYM_CLASS, "java.lang.IllegalStateException");
    const uint32_t buy = global_id(SYM_METHOD, "buy");
    const uint32_t check = global_id(SYM_METHOD, "check");
    const uint32_t thread = global_id(SYM_THREAD, "http-nio-1");
    ASSERT_NE(shop, 0u);
    EXPECT_NE(shop, 5u);
    EXPECT_NE(pre, shop);

    std::vector<seen_rcall> seen = stored(aid);
    ASSERT_EQ(seen.size(), 2u);
    // The second root call completed first.
    const seen_rcall &a = seen[0];
    EXPECT_EQ(a.root.TSTAMP, kRootTime + 5 + 9);
    EXPECT_EQ(a.thread, thread);
    EXPECT_EQ(a.exceptions, 0);
    EXPECT_EQ(a.ext_length, 0u);
    ASSERT_EQ(a.calls.size(), 1u);
    EXPECT_EQ(a.calls[0].METHOD, buy);

    const seen_rcall &b = seen[1];
    EXPECT_EQ(b.thread, thread);
    EXPECT_EQ(b.exceptions, 1);
    ASSERT_EQ(b.calls.size(), 3u);
    const call_record &c0 = b.calls[0];
    EXPECT_EQ(c0.TSTAMP, kRootTime + 17);
    EXPECT_EQ(c0.CLASS, shop);
    EXPECT_EQ(c0.METHOD, check);
    EXPECT_EQ(c0.EXCEPTION, 0u);
    EXPECT_EQ(c0.CORDER, 2u);
    EXPECT_EQ(c0.SDEPTH, 1);
    EXPECT_EQ(c0.AUX, 0x123456u);
    EXPECT_EQ(c0.DUR, 7u);
    EXPECT_EQ(c0.flags, 0);
    EXPECT_EQ(b.calls[1].EXCEPTION, ise);
    EXPECT_EQ(b.calls[1].flags, CALL_F_EXC | CALL_F_EXC_TEXT);
    EXPECT_EQ(b.calls[2].CORDER, 4u);
    EXPECT_EQ(b.root.TSTAMP, kRootTime + 50);
    EXPECT_EQ(b.root.flags, CALL_F_ROOT | CALL_F_PARAMS);

    // Entries carry the index of their call in the root call, the root's being the last.
    stored_ext ext = read_ext(aid, b);
    ASSERT_EQ(ext.entries.size(), 3u);
    EXPECT_EQ(ext.entries[0].index, 1);
    EXPECT_EQ(ext.entries[0].flags, CALL_F_EXC | CALL_F_EXC_TEXT);
    EXPECT_EQ(ext.entries[0].data, "boom");
    EXPECT_EQ(ext.entries[1].index, 2);
    EXPECT_EQ(ext.entries[1].data, "k\x1Ev");
    EXPECT_EQ(ext.entries[2].index, 3);
    EXPECT_EQ(ext.entries[2].data, "root");
    EXPECT_EQ(ext.by_locator, (std::vector<std::string>{"boom", "k\x1Ev", "root"}));

    const agent_collector *ac = state(aid);
    ASSERT_NE(ac, nullptr);
    EXPECT_EQ(ac->completed_roots, 2u);
    EXPECT_EQ(ac->exception_roots, 1u);
    EXPECT_EQ(ac->open_roots, 0u);
    EXPECT_EQ(problems(log_.lines()), "");
}

// A message written out byte by byte: three symbols and a root call with its thread. In a
// fresh store each of the names is the first of its file, id 1.
TEST_F(CollectorTest, HandWrittenMessageGivesHandWrittenRootCall) {
    const uint64_t aid = add_agent("bytes");
    start();
    send(aid, unhex("04 00000047"
                    "03 00000005 0003 466F6F"
                    "04 00000006 0003 626172"
                    "05 00000002 0001 54"
                    "07 0028"
                    "0001 0000018DF974D500 00000005 00000006 00000001 0000"
                    "018DF974D500 ABCDEF 00002A 00000002"));
    drain();
    EXPECT_EQ(read_file(agent_dir(aid) + "/mc/19783.10"),
              unhex("0000018DF974D52A 0000000000000000 00000000 00000001 00000001"
                    "00000000 00000001 00ABCDEF 0000002A 0000 0001"
                    "0000000000000000 00000000 00000001 0000 0000"
                    "5F53505249 4E565F"
                    "0000000000000000000000000000000000000000"));
}

// The files of an agent's "mc" directory, by name.
std::map<std::string, std::string> mc_files(uint64_t aid) {
    std::map<std::string, std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(agent_dir(aid) + "/mc"))
        out[e.path().filename()] = read_file(e.path());
    return out;
}

TEST_F(CollectorTest, PayloadOfManyRootCallsLeavesTheFilesOfOnePayloadPerRootCall) {
    const uint64_t together = add_agent("together");
    const uint64_t apart = add_agent("apart");
    start();
    const AgentData symbols =
        AgentData().sym(AREC_SYM_CLASS, 5, "C").sym(AREC_SYM_METHOD, 6, "m").sym(5, 1, "t");
    // Root calls of 10:00 and 11:00 in turn, with 0 to 3 calls before their root and some
    // parameter texts.
    std::vector<AgentData> roots;
    for (uint64_t k = 1; k <= 12; k++) {
        const uint64_t time = kRootTime + (k % 3 == 0 ? HOUR_MS : 0) + k * 100;
        const uint64_t key = root_key(k, time);
        AgentData d;
        for (uint32_t i = 0; i < k % 4; i++)
            d.call(Call{i % 2 != 0 ? CALL_F_PARAMS : uint16_t{0}, key, 5, 6, i + 1, 1, time + i, 0,
                        1, i % 2 != 0 ? "k\x1Ev" : ""});
        const uint16_t flags = CALL_F_ROOT | (k % 2 != 0 ? CALL_F_PARAMS : 0);
        d.call(Call{flags, key, 5, 6, 0, 0, time, 0, 9,
                    be(1, 4) + (k % 2 != 0 ? "p=" + std::to_string(k) : "")});
        roots.push_back(d);
    }
    AgentData all(symbols);
    for (const AgentData &d : roots)
        all.raw(d.recs);
    send(together, all.message());
    send(apart, symbols.message());
    for (const AgentData &d : roots)
        send(apart, d.message());
    drain();

    EXPECT_EQ(stored(together).size(), roots.size());
    const auto gathered = mc_files(together);
    const auto one_each = mc_files(apart);
    ASSERT_EQ(gathered.size(), 5u) << "two hour files, their extension files, the day's index";
    ASSERT_EQ(one_each.size(), gathered.size());
    for (const auto &[name, bytes] : one_each)
        EXPECT_TRUE(gathered.at(name) == bytes) << name << " differs";
    EXPECT_EQ(problems(log_.lines()), "");
}

TEST_F(CollectorTest, KeyValueSamplesGoOutWithGlobalKeysAndSetTheThreadCount) {
    const uint64_t aid = add_agent("kv");
    start();
    send(aid, AgentData()
                  .sym(AREC_SYM_KEY, 40, std::string("JVM\x1Fthreads\x1F") + "count")
                  .sym(AREC_SYM_KEY, 41, "heap.used")
                  .kv(41, kRootTime, 123)
                  .kv(40, kRootTime + 1000, 0x100000033)
                  .kv(99, kRootTime, 1)
                  .message());
    drain();
    const uint32_t heap = global_id(SYM_KEY, "heap.used");
    const uint32_t threads = global_id(SYM_KEY, std::string("JVM\x1Fthreads\x1F") + "count");
    const agent_collector *ac = state(aid);
    EXPECT_EQ(ac->thread_count_time, kRootTime + 1000);
    EXPECT_EQ(ac->thread_count, 0x33u);
    EXPECT_EQ(problems(log_.lines()), "ERROR  KV symbol [99] not found.\n");

    // Releasing the agent's state closes its stage file, which then holds both samples.
    collector_free(col_);
    col_ = nullptr;
    const std::string stage = read_file(agent_dir(aid) + "/kv/stages/stage");
    ASSERT_EQ(stage.size(), 2 * sizeof(kv_stage_rec));
    kv_stage_rec recs[2];
    memcpy(recs, stage.data(), sizeof recs);
    EXPECT_EQ(recs[0].agent_id, aid);
    EXPECT_EQ(recs[0].key, heap);
    EXPECT_EQ(recs[0].time, kRootTime);
    EXPECT_EQ(recs[0].value, 123u);
    EXPECT_EQ(recs[1].key, threads);
    EXPECT_EQ(recs[1].time, kRootTime + 1000);
    EXPECT_EQ(recs[1].value, 0x100000033u);
}

TEST_F(CollectorTest, AgentWithoutStoreStateHasItsDataDropped) {
    start();
    send(0x1234, AgentData()
                     .sym(AREC_SYM_KEY, 1, "k")
                     .sym(AREC_SYM_CLASS, 1, "C")
                     .sym(AREC_SYM_METHOD, 1, "m")
                     .kv(1, kRootTime, 5)
                     .call(Call{CALL_F_ROOT, root_key(1), 1, 1, 0, 0, kRootTime, 0, 0, be(0, 4)})
                     .message());
    drain();
    EXPECT_EQ(state(0x1234)->completed_roots, 0u);
    EXPECT_EQ(problems(log_.lines()),
              "ERROR  Agent 0000000000001234 has no store state. Data dropped.\n"
              "ERROR  Agent 0000000000001234 has no store state. Data dropped.\n");
    EXPECT_NE(global_id(SYM_CLASS, "C"), 0u) << "names go to the store all the same";
}

// ---- parsing -----------------------------------------------------------------------------

// Names saved by the workers (of which there may be several).
std::vector<std::string> g_symbols;
std::atomic<int> g_symbol_calls{0};
std::mutex g_symbols_lock;

uint32_t record_symbol_save(dbs *, uint32_t, uint16_t len, const char *name) {
    std::lock_guard<std::mutex> hold(g_symbols_lock);
    g_symbol_calls++;
    g_symbols.emplace_back(name, len);
    return static_cast<uint32_t>(g_symbols.size());
}

struct ParseCase {
    const char *name;
    std::string payload;
    const char *line; // expected ERROR line, nullptr for none
    std::vector<std::string> symbols;
};

TEST_F(CollectorTest, ParsingStopsAtTheFirstBadMessageOrRecord) {
    const std::string sym_b = be(AREC_SYM_CLASS, 1) + be(2, 4) + be(1, 2) + "B";
    const ParseCase cases[] = {
        {"two good messages",
         AgentData().sym(3, 1, "A").message() + AgentData().raw(sym_b).message(),
         nullptr,
         {"A", "B"}},
        {"message of type 5, then one of type 4",
         AgentData().sym(3, 1, "A").message(5) + AgentData().raw(sym_b).message(),
         "ERROR  Unsupported message type: 5\n",
         {}},
        {"record type 0",
         AgentData().sym(3, 1, "A").raw("\x00\x00"s).message(),
         "ERROR  Unsupported agent data type: 0\n",
         {"A"}},
        {"record type 1",
         AgentData().sym(3, 1, "A").raw("\x01\x00"s).message(),
         "ERROR  Unsupported agent data type: 1\n",
         {"A"}},
        {"record type 8, and the next message",
         AgentData().sym(3, 1, "A").raw("\x08\x00"s).message() + AgentData().raw(sym_b).message(),
         "ERROR  Unsupported agent data type: 8\n",
         {"A"}},
        {"name one byte past the end",
         AgentData().sym(3, 1, "A").raw(be(3, 1) + be(2, 4) + be(3, 2) + "BC").message() +
             AgentData().raw(sym_b).message(),
         "ERROR  Message processing failure. Message corrupted!\n",
         {"A"}},
        {"symbol head short",
         AgentData().sym(3, 1, "A").raw(be(3, 1) + be(2, 4) + "x").message(),
         "ERROR  Message processing failure. Message corrupted!\n",
         {"A"}},
        {"one stray byte at the end",
         AgentData().sym(3, 1, "A").raw("\x03").message(),
         nullptr,
         {"A"}},
        {"key/value sample one byte short",
         AgentData().sym(3, 1, "A").raw(be(AREC_KV, 1) + std::string(19, '\0')).message(),
         "ERROR  Message processing failure. Message corrupted!\n",
         {"A"}},
        {"call body past the end",
         AgentData()
             .sym(3, 1, "A")
             .raw(be(AREC_CALL, 1) + be(40, 2) + std::string(39, 'c'))
             .message(),
         "ERROR  Message processing failure. Message corrupted!\n",
         {"A"}},
        {"call without its length",
         AgentData().sym(3, 1, "A").raw(be(AREC_CALL, 1) + "\x00"s).message(),
         "ERROR  Message processing failure. Message corrupted!\n",
         {"A"}},
    };
    for (const ParseCase &pc : cases) {
        SCOPED_TRACE(pc.name);
        g_symbols.clear();
        log_.clear();
        start(1, {db_, collector_kv_cb, collector_rcall_cb, record_symbol_save});
        send(7, pc.payload);
        drain();
        collector_free(col_);
        col_ = nullptr;
        EXPECT_EQ(g_symbols, pc.symbols);
        const std::string lines = log_.lines();
        EXPECT_EQ(count_of(lines, "ERROR"), pc.line != nullptr ? 1u : 0u) << lines;
        if (pc.line != nullptr) {
            EXPECT_NE(lines.find(pc.line), std::string::npos) << lines;
        }
    }
}

TEST_F(CollectorTest, ProcessedLineCountsTheRecordsAtDebugLevel) {
    log_level.store(2);
    start(1, {db_, collector_kv_cb, collector_rcall_cb, record_symbol_save});
    send(7, AgentData()
                .sym(3, 1, "A")
                .sym(4, 1, "m")
                .kv(1, 5, 6)
                .call(Call{0, root_key(1), 1, 1, 0, 0, kRootTime, 0, 0, ""})
                .message());
    drain();
    const std::string lines = log_.lines();
    EXPECT_NE(lines.find("DEBUG  Processing messages from agent 0000000000000007 of size "),
              std::string::npos);
    EXPECT_NE(lines.find("DEBUG  Processed: INV[1] KV[1] SYM[2]\n"), std::string::npos) << lines;
}

// ---- workers and their slot tables ---------------------------------------------------------

std::string symbol_message(const std::string &name) {
    return AgentData().sym(AREC_SYM_THREAD, 1, name).message();
}

std::vector<uint64_t> dumped_agents(collector *c) {
    bbuf *buf = nullptr;
    collector_dump_status(utc_time(12, 0), &buf, c);
    std::vector<uint64_t> ids;
    if (buf == nullptr)
        return ids;
    bbuf_flip(buf);
    while (bbuf_remaining(buf) > 0) {
        uint64_t id, skip;
        uint16_t m;
        bbuf_get_u64(buf, &id);
        for (int i = 0; i < 4; i++)
            bbuf_get_u64(buf, &skip);
        bbuf_get_u16(buf, &m);
        bbuf_set_position(buf, bbuf_position(buf) + 6u * m);
        ids.push_back(id);
    }
    free(buf);
    return ids;
}

TEST_F(CollectorTest, AgentsGoToWorkerIdModuloNAndKeepTheirArrivalOrder) {
    start(4, {db_, collector_kv_cb, collector_rcall_cb, record_symbol_save});
    for (uint64_t aid : {5, 1, 2, 4, 9})
        send(aid, symbol_message("t"));
    drain();
    // Worker 0: 4; worker 1: 5, 1 and 9 in arrival order; worker 2: 2; worker 3 none.
    EXPECT_EQ(dumped_agents(col_), (std::vector<uint64_t>{4, 5, 1, 9, 2}));
    EXPECT_EQ(col_->workers[1].collectors.active, 3u);
    EXPECT_EQ(col_->workers[3].collectors.active, 0u);
}

TEST_F(CollectorTest, SlotTableGrowsBy16AndReusesFreedSlotsFirst) {
    start(1, {db_, collector_kv_cb, collector_rcall_cb, record_symbol_save});
    for (uint64_t aid = 100; aid < 165; aid++)
        send(aid, symbol_message("t"));
    collector_notify_disconnect(col_, 103);
    collector_notify_disconnect(col_, 140);
    collector_notify_disconnect(col_, 999); // never sent anything
    for (uint64_t aid = 200; aid < 217; aid++)
        send(aid, symbol_message("t"));
    drain();
    const agent_table &t = col_->workers[0].collectors;
    EXPECT_EQ(t.items.size(), 80u);
    EXPECT_EQ(t.active, 80u);
    EXPECT_EQ(t.items[3]->agent_id, 200u);
    EXPECT_EQ(t.items[40]->agent_id, 201u);
    EXPECT_EQ(t.items[64]->agent_id, 164u);
    EXPECT_EQ(t.items[65]->agent_id, 202u);
    EXPECT_EQ(t.items[79]->agent_id, 216u);

    // One more agent than the table holds grows it again.
    collector_free(col_);
    start(1, {db_, collector_kv_cb, collector_rcall_cb, record_symbol_save});
    for (uint64_t aid = 1; aid <= 81; aid++)
        send(aid, symbol_message("t"));
    drain();
    EXPECT_EQ(col_->workers[0].collectors.items.size(), 96u);
}

TEST_F(CollectorTest, DisconnectDiscardsTheAgentStateAndClosesItsFiles) {
    const uint64_t aid = add_agent("gone");
    start();
    const AgentData symbols =
        AgentData().sym(AREC_SYM_CLASS, 5, "C").sym(AREC_SYM_METHOD, 6, "m").sym(5, 1, "t");
    send(aid, AgentData(symbols)
                  .call(Call{0, root_key(1), 5, 6, 0, 0, kRootTime, 0, 0, ""})
                  .call(Call{CALL_F_ROOT, root_key(2), 5, 6, 0, 0, kRootTime, 0, 0, be(1, 4)})
                  .message());
    collector_notify_disconnect(col_, aid);
    // The same agent again: its ids mean nothing to the new state until it names them.
    send(aid, AgentData()
                  .call(Call{CALL_F_ROOT, root_key(3), 5, 6, 0, 0, kRootTime, 0, 0, be(1, 4)})
                  .message());
    drain();
    EXPECT_EQ(stored(aid).size(), 1u);
    const agent_collector *ac = state(aid);
    ASSERT_NE(ac, nullptr);
    EXPECT_EQ(ac->completed_roots, 1u);
    EXPECT_EQ(ac->open_roots, 0u) << "the open root call went with the old state";
    EXPECT_EQ(dbs_agent_mc_open_hours(dbs_agent_find(db_, aid)), 0u);
    EXPECT_EQ(problems(log_.lines()), "WARN   Class symbol [5] not found.\n");
}

// The root calls the loss lines of an agent count, over all its lines.
uint64_t lost_roots(const std::string &lines, uint64_t aid) {
    char head[64];
    snprintf(head, sizeof head, "Agent [%016lX]: ", static_cast<unsigned long>(aid));
    uint64_t n = 0;
    for (size_t at = lines.find(head); at != std::string::npos; at = lines.find(head, at + 1)) {
        const std::string rest = lines.substr(at + strlen(head));
        if (rest.find(" root calls and ") < rest.find('\n'))
            n += std::stoull(rest);
    }
    return n;
}

// Root calls that cannot be written (the disk is full, here: the file size limit reached)
// are counted and told at most once a second; what was counted in the last second before
// the agent leaves, or before the service stops and closes its agents after the last
// payloads, is told as the agent's state closes, with the agent and the count.
TEST_F(CollectorTest, LossesOfTheLastSecondAreToldWhenTheAgentCloses) {
    const uint64_t aid = add_agent("full");
    const AgentData symbols =
        AgentData().sym(AREC_SYM_CLASS, 5, "C").sym(AREC_SYM_METHOD, 6, "m").sym(5, 1, "t");
    auto root_call = [&](uint64_t tag) {
        AgentData d(symbols);
        for (uint32_t i = 0; i < 40; i++)
            d.call(Call{0, root_key(tag), 5, 6, i + 1, 1, kRootTime, 0, 0, ""});
        return d.call(Call{CALL_F_ROOT, root_key(tag), 5, 6, 0, 0, kRootTime, 0, 0, be(1, 4)})
            .message();
    };
    // The hour's files and index exist before the limit is set; they stay as they are.
    start();
    send(aid, root_call(1));
    drain();
    collector_close_agents(col_);
    collector_free(col_);
    col_ = nullptr;
    char hour_buf[RCALL_PATH_MAX];
    rcall_path(hour_buf, aid, static_cast<uint32_t>(kRootTime / DAY_MS),
               static_cast<uint32_t>(kRootTime % DAY_MS / HOUR_MS), "");
    const std::string hour = hour_buf;
    const off_t size = path_size(hour);
    ASSERT_GT(size, 0);
    stop_maintainer(db_);
    for (const bool disconnect : {true, false}) {
        SCOPED_TRACE(disconnect ? "agent leaves" : "service stops");
        Logged r = run_logged([&] {
            signal(SIGXFSZ, SIG_IGN);
            rlimit lim{static_cast<rlim_t>(size) + 200, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &lim);
            start();
            send(aid, root_call(2));
            send(aid, root_call(3));
            if (disconnect)
                collector_notify_disconnect(col_, aid);
            drain();
            collector_close_agents(col_);
        });
        EXPECT_EQ(lost_roots(r.lines, aid), 2u) << r.lines;
        EXPECT_NE(r.lines.find("lost (write " + hour + ": File too large)"), std::string::npos)
            << r.lines;
        EXPECT_EQ(path_size(hour), size);
    }
}

TEST_F(CollectorTest, WorkersEndWhenTheRunFlagIsCleared) {
    start(1, {db_, collector_kv_cb, collector_rcall_cb, record_symbol_save});
    g_symbols.clear();
    g_symbol_calls.store(0);
    col_->workers[0].wait_ms.store(10);
    send(1, symbol_message("before")); // wakes the worker, whose next waits are short
    for (int i = 0; i < 100 && g_symbol_calls.load() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    collector_request_stop(col_);
    for (int i = 0; i < 200 && count_of(log_.lines(), "Collector worker ended") == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    send(1, symbol_message("after"));
    drain();
    EXPECT_EQ(g_symbols, std::vector<std::string>{"before"});
    const std::string lines = log_.lines();
    EXPECT_EQ(count_of(lines, "INFO   Collector started ["), 1u);
    EXPECT_EQ(count_of(lines, "INFO   Collector worker ended ["), 1u);
}

TEST_F(CollectorTest, ZeroWorkersIsRefused) {
    const collector_callbacks cb = store_callbacks(db_);
    EXPECT_EQ(collector_init(0, &cb), nullptr);
    EXPECT_EQ(log_.lines(), "FATAL  Invalid number of collector threads.\n");
}

// ---- status dump -------------------------------------------------------------------------

TEST_F(CollectorTest, StatusDumpWritesOneRecordPerAgent) {
    const uint64_t busy = add_agent("busy");
    const uint64_t idle = add_agent("idle");
    const uint64_t now = utc_time(10, 1, 0);
    const AgentData symbols =
        AgentData()
            .sym(AREC_SYM_CLASS, 5, "C")
            .sym(AREC_SYM_METHOD, 6, "m")
            .sym(AREC_SYM_KEY, 1, std::string("JVM\x1Fthreads\x1F") + "count");
    const std::string exc = be(5, 4);
    start();
    // busy: two completed root calls, one of them with an exception call; in progress, one
    // root call that began 0.5 s before now and one 5.9 s before now with an exception call.
    send(busy,
         AgentData(symbols)
             .kv(1, now - 2000, 0x33)
             .call(Call{CALL_F_EXC, root_key(1, now - 9000), 5, 6, 0, 0, now, 0, 0, exc})
             .call(Call{CALL_F_ROOT, root_key(1, now - 9000), 5, 6, 0, 0, now, 0, 0, be(0, 4)})
             .call(Call{CALL_F_ROOT, root_key(2, now - 8000), 5, 6, 0, 0, now, 0, 0, be(0, 4)})
             .call(Call{0, root_key(3, now - 500), 5, 6, 0, 0, now, 0, 0, ""})
             .call(Call{CALL_F_EXC, root_key(4, now - 5900), 5, 6, 0, 0, now, 0, 0, exc})
             .message());
    send(idle, symbols.message());
    drain();

    bbuf *buf = nullptr;
    collector_dump_status(now, &buf, col_);
    ASSERT_NE(buf, nullptr);
    const std::string got(reinterpret_cast<const char *>(bbuf_data(buf)), bbuf_position(buf));
    free(buf);
    // Exception roots, completed roots, thread-count time and count, two age entries:
    // bucket 1 (age 0 s) one open root, bucket 6 (age 5 s) one open root with an exception.
    const std::string want = be(busy, 8) + unhex("0000000000000001 0000000000000002") +
                             be(now - 2000, 8) +
                             unhex("0000000000000033 0002  0001 0000 0001  0006 0001 0001") +
                             // idle: nothing to report, no age entries.
                             be(idle, 8) + std::string(32, '\0') + unhex("0000");
    EXPECT_EQ(got, want);
}

} // namespace
