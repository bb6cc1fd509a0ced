#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "database/collector_status.h"
#include "database/collector_support.h"
#include "lib/bbuf.h"

namespace {

constexpr uint64_t kT = utc_time(10, 0);

uint64_t key(uint64_t tag, uint64_t time = kT) {
    return tag << 44 | time;
}

// A call of class 5 and method 6 (both named by kSymbols) for the root call `tag`.
std::string call(uint64_t tag, uint16_t flags = 0, const std::string &tail = "", uint32_t cls = 5,
                 uint32_t method = 6, uint64_t time_base = kT, uint64_t root_time = kT) {
    return Call{flags, key(tag, root_time), cls, method, 0, 0, time_base, 0, 1, tail}.body();
}

// The root of root call `tag` on thread 1.
std::string root(uint64_t tag, uint64_t root_time = kT) {
    return call(tag, CALL_F_ROOT, be(1, 4), 5, 6, kT, root_time);
}

std::vector<std::string> calls(size_t n, uint64_t tag) {
    return std::vector<std::string>(n, call(tag));
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Classes 5 and 8, method 6, thread 1.
const AgentData kSymbols = AgentData()
                               .sym(AREC_SYM_CLASS, 5, "C")
                               .sym(AREC_SYM_CLASS, 8, "E")
                               .sym(AREC_SYM_METHOD, 6, "m")
                               .sym(AREC_SYM_THREAD, 1, "t");

std::vector<size_t> call_counts(const std::vector<seen_rcall> &seen) {
    std::vector<size_t> n;
    for (const seen_rcall &s : seen)
        n.push_back(s.calls.size());
    return n;
}

class AgentCollectorTest : public CollectorTest {
protected:
    // Sends the symbols and the call bodies as one message of a new agent, lets the worker
    // handle them and gives the agent's id.
    uint64_t run(const std::string &label, const std::vector<std::string> &bodies) {
        const uint64_t aid = add_agent(label);
        AgentData data = kSymbols;
        for (const std::string &b : bodies)
            data.call(b);
        start();
        send(aid, data.message());
        drain();
        return aid;
    }
};

// ---- drop rules --------------------------------------------------------------------------

struct DropCase {
    const char *name;
    std::vector<std::string> bodies;
    std::string lines;          // WARN and ERROR lines expected
    std::vector<size_t> stored; // calls besides the root of each stored root call
    uint64_t completed;
    uint64_t exception_roots;
    uint32_t open;
};

TEST_F(AgentCollectorTest, DropRules) {
    const std::string body16432 = call(1, CALL_F_PARAMS, std::string(16396, 'p'));
    const std::string too_late = call(2, 0, "", 5, 6, kT, kT - 16777216);
    const std::string just_in_time = call(2, 0, "", 5, 6, kT, kT - 16777215);
    const std::string overflow = "WARN   Root call dropped. Calls count overflow.\n";
    const std::string corrupted = "ERROR  Call dropped. Corrupted data.\n";
    const std::string incorrect = "ERROR  Call dropped. Incorrect data.\n";
    const DropCase cases[] = {
        {"body of 36 bytes", {call(1), root(1)}, "", {1}, 1, 0, 0},
        {"body of 35 bytes",
         {call(1).substr(0, 35), root(1)},
         "ERROR  Invalid call size: 35\n",
         {0},
         1,
         0,
         0},
        {"body of 16432 bytes", {body16432, root(1)}, "", {1}, 1, 0, 0},
        {"body of 16433 bytes",
         {body16432 + "p", root(1)},
         "ERROR  Invalid call size: 16433\n",
         {0},
         1,
         0,
         0},
        {"invalid time base",
         {call(1, 0, "", 5, 6, 0xFFFFFFFFFFFF), root(1)},
         incorrect,
         {0},
         1,
         0,
         0},
        {"invalid time base of the root",
         {call(1), call(1, CALL_F_ROOT, be(1, 4), 5, 6, 0xFFFFFFFFFFFF)},
         incorrect,
         {},
         1,
         0,
         0},
        {"class 0",
         {call(1, 0, "", 0, 6), root(1)},
         "WARN   Symbol id empty: 6\n" + incorrect,
         {0},
         1,
         0,
         0},
        {"method 0",
         {call(1, 0, "", 5, 0), root(1)},
         "WARN   Symbol id empty: 500000000\n" + incorrect,
         {0},
         1,
         0,
         0},
        {"class without a name drops the root call",
         {call(1, 0, "", 77), root(1)},
         "WARN   Class symbol [77] not found.\n",
         {},
         1,
         0,
         0},
        {"method without a name drops the root call",
         {call(1, 0, "", 5, 78), root(1)},
         "WARN   Method symbol [78] not found.\n",
         {},
         1,
         0,
         0},
        {"class beyond every id named",
         {call(1, 0, "", 5000), root(1)},
         "ERROR  Missing symbol 5000.\nWARN   Class symbol [5000] not found.\n",
         {},
         1,
         0,
         0},
        {"exception class without a name",
         {call(1, CALL_F_EXC, be(79, 4)), root(1)},
         "WARN   Exception symbol [79] not found.\n",
         {1},
         1,
         1,
         0},
        {"thread without a name",
         {call(1, CALL_F_ROOT, be(80, 4))},
         "WARN   Thread symbol not found: 80\n",
         {0},
         1,
         0,
         0},
        {"late by 16777216 ms",
         {root(1), too_late},
         "WARN   Root call dropped. Arrived too late.\n",
         {0},
         1,
         0,
         0},
        {"late by 16777215 ms", {root(1), just_in_time}, "", {0}, 1, 0, 1},
        {"40000 calls before the root",
         calls(40000, 1) + std::vector{root(1)},
         "",
         {40000},
         1,
         0,
         0},
        {"40001 calls before the root",
         calls(40001, 1) + std::vector{root(1)},
         overflow,
         {},
         0,
         0,
         0},
        // The root call is dropped as a whole: the calls after the 40002nd, with the root,
        // are dropped with it rather than stored as a headless root call of their own.
        {"40002 calls before the root",
         calls(40002, 1) + std::vector{root(1)},
         overflow,
         {},
         1,
         0,
         0},
        {"40050 calls before the root, then another root call",
         calls(40050, 1) + std::vector{root(1), call(2), root(2)},
         overflow,
         {1},
         2,
         0,
         0},
        {"root without its thread part", {call(1, CALL_F_ROOT)}, corrupted, {}, 1, 0, 0},
        {"root with its thread part", {call(1, CALL_F_ROOT, be(1, 4))}, "", {0}, 1, 0, 0},
        {"exception text without entry data",
         {call(1, CALL_F_EXC_TEXT, be(8, 4)), root(1)},
         corrupted,
         {0},
         1,
         0,
         0},
        {"exception text with one byte",
         {call(1, CALL_F_EXC_TEXT, be(8, 4) + "x"), root(1)},
         "",
         {1},
         1,
         1,
         0},
        {"exception without its class", {call(1, CALL_F_EXC), root(1)}, corrupted, {0}, 1, 0, 0},
        {"exception with its class only",
         {call(1, CALL_F_EXC, be(8, 4)), root(1)},
         "",
         {1},
         1,
         1,
         0},
        {"parameters without data", {call(1, CALL_F_PARAMS), root(1)}, corrupted, {0}, 1, 0, 0},
        {"parameters with one byte", {call(1, CALL_F_PARAMS, "x"), root(1)}, "", {1}, 1, 0, 0},
        {"root first, then a call of it", {root(1), call(1)}, "", {0}, 1, 0, 1},
    };
    for (const DropCase &dc : cases) {
        SCOPED_TRACE(dc.name);
        log_.clear();
        const uint64_t aid = run(dc.name, dc.bodies);
        EXPECT_EQ(problems(log_.lines()), dc.lines);
        EXPECT_EQ(call_counts(stored(aid, kT - DAY_MS, kT + DAY_MS)), dc.stored);
        const agent_collector *ac = state(aid);
        ASSERT_NE(ac, nullptr);
        EXPECT_EQ(ac->completed_roots, dc.completed);
        EXPECT_EQ(ac->exception_roots, dc.exception_roots);
        EXPECT_EQ(ac->open_roots, dc.open);
        collector_free(col_);
        col_ = nullptr;
    }
}

TEST_F(AgentCollectorTest, NamesMissingAtTheRootBecomeZero) {
    const uint64_t aid =
        run("zeros", {call(1, CALL_F_EXC, be(79, 4)), call(1, CALL_F_EXC, be(8, 4)),
                      call(1, CALL_F_ROOT, be(80, 4))});
    std::vector<seen_rcall> seen = stored(aid);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].thread, 0u);
    EXPECT_EQ(seen[0].exceptions, 2);
    ASSERT_EQ(seen[0].calls.size(), 2u);
    EXPECT_EQ(seen[0].calls[0].EXCEPTION, 0u);
    EXPECT_EQ(seen[0].calls[0].flags, CALL_F_EXC);
    EXPECT_EQ(seen[0].calls[1].EXCEPTION, global_id(SYM_CLASS, "E"));
}

uint64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

TEST_F(AgentCollectorTest, RootTimesFarAheadOfTheClockAreDropped) {
    const uint64_t soon = now_ms() + HOUR_MS;
    const uint64_t far = now_ms() + 0xFFFFFF + 60000;
    const uint64_t aid = run("ahead", {call(1, 0, "", 5, 6, far, far), root(2, soon)});
    const std::string lines = problems(log_.lines());
    EXPECT_EQ(lines, "WARN   Root call dropped. Root time " + std::to_string(far) +
                         " lies ahead of the server clock.\n");
    const agent_collector *ac = state(aid);
    EXPECT_EQ(ac->completed_roots, 1u);
    EXPECT_EQ(ac->newest_root_time, soon) << "the dropped call moved nothing";
}

// ---- time cells --------------------------------------------------------------------------

// Sets TZ for the life of the object.
class ZoneScope {
public:
    explicit ZoneScope(const char *tz) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneScope() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope &) = delete;
    ZoneScope &operator=(const ZoneScope &) = delete;

private:
    bool had_;
    std::string old_;
};

using state_ptr = std::unique_ptr<agent_collector, void (*)(agent_collector *)>;

// Collector state used directly, without a worker.
class TimeCellTest : public CollectorTest {
protected:
    state_ptr make_state() {
        const collector_callbacks cb = store_callbacks(db_);
        state_ptr ac(agent_collector_create(&cb, aid_), agent_collector_destroy);
        for (auto [type, id, name] :
             {std::tuple{SYM_CLASS, 5u, "C"}, {SYM_METHOD, 6u, "m"}, {SYM_THREAD, 1u, "t"}})
            agent_symbol_map_put(ac.get(), &ac->maps[type - 1], id, 1, name, collector_symbol_cb,
                                 db_);
        return ac;
    }
    void process(agent_collector *ac, const std::string &body) {
        agent_call_process(ac, scratch_.data(), reinterpret_cast<const uint8_t *>(body.data()),
                           static_cast<uint16_t>(body.size()));
    }
    // Index of the cell that holds the window, -1 for none.
    static int cell_of(const agent_collector *ac, uint64_t window) {
        for (uint32_t i = 0; i < TIME_CELLS; i++) {
            if (ac->cells[i].start == window)
                return static_cast<int>(i);
        }
        return -1;
    }

    void SetUp() override {
        CollectorTest::SetUp();
        aid_ = add_agent("cells");
    }

    uint64_t aid_ = 0;
    std::vector<uint8_t> scratch_ = std::vector<uint8_t>(COLLECTOR_SCRATCH_SIZE);
};

struct CellCase {
    const char *tz;
    uint64_t root_time; // UTC
    int cell;
};

// The cell of a window is its UTC window number (ms / 300000) modulo 60, in every time zone.
// March 1st, 2024 starts at window 5697504, which is 24 modulo 60.
TEST_F(TimeCellTest, CellIsTheUtcWindowNumberModulo60) {
    const CellCase cases[] = {
        {"UTC0", utc_time(0, 0), 24},
        {"UTC0", utc_time(12, 4, 59, 999), 48},
        {"UTC0", utc_time(12, 5), 49},
        {"UTC0", utc_time(23, 59, 59, 999), 11},
        // Five hours apart, the ring's span: the same cell.
        {"UTC0", utc_time(3, 0), 0},
        {"UTC0", utc_time(8, 0), 0},
        {"XYZ-5:45", utc_time(12, 4, 59, 999), 48},
        {"XYZ-5:45", utc_time(23, 59, 59, 999), 11},
        {"XYZ+3", utc_time(12, 5), 49},
        {"Europe/Berlin", utc_time(0, 0), 24},
    };
    for (const CellCase &cc : cases) {
        SCOPED_TRACE(std::string(cc.tz) + " " + std::to_string(cc.root_time));
        ZoneScope zone(cc.tz);
        state_ptr ac = make_state();
        process(ac.get(), call(1, 0, "", 5, 6, kT, cc.root_time));
        // The window itself is UTC, whatever the zone.
        EXPECT_EQ(cell_of(ac.get(), cc.root_time / 300000 * 300000), cc.cell);
    }
}

TEST_F(TimeCellTest, NewerWindowTakesTheCellOver) {
    log_level.store(2);
    state_ptr ac = make_state();
    // First use of cell 24 (10:00): nine root calls in progress grow it from 8 to 16 slots.
    for (uint64_t tag = 1; tag <= 9; tag++)
        process(ac.get(), call(tag));
    // A window of the same cell five hours later discards them.
    process(ac.get(), call(20, 0, "", 5, 6, kT, utc_time(15, 0)));
    EXPECT_EQ(ac->open_roots, 1u);
    process(ac.get(), root(20, utc_time(15, 0)));
    // Without root calls in progress the takeover only says so.
    process(ac.get(), call(21, 0, "", 5, 6, kT, utc_time(20, 0, 1)));
    const std::string lines = log_.lines();
    const std::string capacity = "DEBUG  Time cell capacity ";
    EXPECT_EQ(count_of(lines, capacity + "increased from 0 to 8.\n"), 1u);
    EXPECT_EQ(count_of(lines, capacity + "increased from 8 to 16.\n"), 1u);
    EXPECT_EQ(count_of(lines, capacity + "decreased from 16 to 8.\n"), 1u);
    EXPECT_EQ(problems(lines),
              "WARN   Invalidating collector time cell. Incomplete calls will be discarded.\n"
              "WARN   Call [T=" +
                  std::to_string(utc_time(20, 0)) + "] invalidates the collector time cell.\n");
    // 10:00, 15:00 and 20:00 share cell 24.
    EXPECT_EQ(ac->cells[24].start, utc_time(20, 0));
    EXPECT_EQ(ac->cells[24].slots.size(), 8u);
    EXPECT_EQ(ac->completed_roots, 1u);
    EXPECT_EQ(stored(aid_).size(), 1u);
}

TEST_F(TimeCellTest, OlderWindowNeverWipesNewerRootCalls) {
    // 22:00 and 03:00 the next day share cell 48; the older window lies beyond the late limit.
    const uint64_t late_evening = utc_time(22, 0);
    const uint64_t night = utc_time(27, 0);
    state_ptr ac = make_state();
    process(ac.get(), call(1, 0, "", 5, 6, night, night));
    process(ac.get(), call(2, 0, "", 5, 6, late_evening, late_evening));
    process(ac.get(), call(1, 0, "", 5, 6, night, night));
    process(ac.get(), root(1, night));
    EXPECT_EQ(problems(log_.lines()), "WARN   Root call dropped. Arrived too late.\n");
    std::vector<seen_rcall> seen = stored(aid_);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].calls.size(), 2u);
    EXPECT_EQ(ac->cells[48].start, night);
    EXPECT_EQ(ac->open_roots, 0u);
}

// At the autumn clock change of Europe/Berlin (2024-10-27, 03:00 CEST becomes 02:00 CET at
// 01:00 UTC) the local times 02:30 CEST and 02:30 CET are an hour apart in UTC: their
// windows have cells of their own, so a root call in progress in the first survives calls
// of the second.
TEST_F(TimeCellTest, AutumnClockChangeKeepsTheRootCallInProgress) {
    ZoneScope zone("Europe/Berlin");
    const uint64_t day = 20023 * DAY_MS;
    const uint64_t cest = day + 30 * 60000;          // 00:30 UTC, 02:30 local summer time
    const uint64_t cet = day + HOUR_MS + 30 * 60000; // 01:30 UTC, 02:30 local winter time
    state_ptr ac = make_state();
    process(ac.get(), call(1, 0, "", 5, 6, cest, cest));
    process(ac.get(), call(2, 0, "", 5, 6, cet, cet));
    process(ac.get(), call(2, CALL_F_ROOT, be(1, 4), 5, 6, cet, cet));
    process(ac.get(), call(1, CALL_F_ROOT, be(1, 4), 5, 6, cest, cest));
    EXPECT_EQ(problems(log_.lines()), "");
    EXPECT_EQ(cell_of(ac.get(), cest), 30);
    EXPECT_EQ(cell_of(ac.get(), cet), 42);
    const std::vector<seen_rcall> seen = stored(aid_, day, day + DAY_MS - 1);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(call_counts(seen), (std::vector<size_t>{1, 1}));
    EXPECT_EQ(ac->completed_roots, 2u);
}

TEST_F(TimeCellTest, CellsAreReusedWithinTheirWindow) {
    state_ptr ac = make_state();
    process(ac.get(), call(1, 0, "", 5, 6, kT, utc_time(10, 4, 59, 999)));
    process(ac.get(), call(2, 0, "", 5, 6, kT, utc_time(10, 0)));
    process(ac.get(), root(1, utc_time(10, 4, 59, 999)));
    process(ac.get(), root(2, utc_time(10, 0)));
    EXPECT_EQ(problems(log_.lines()), "");
    EXPECT_EQ(stored(aid_).size(), 2u);
    EXPECT_EQ(ac->cells[24].start, utc_time(10, 0));
    EXPECT_EQ(ac->cells[24].open, 0u);
}

// ---- bounded memory ----------------------------------------------------------------------

TEST_F(AgentCollectorTest, OpenRootCallsOfAnAgentStayUnderTheCap) {
    const uint64_t aid = add_agent("flood");
    AgentData data = kSymbols;
    for (uint64_t tag = 1; tag <= AGENT_OPEN_ROOTS_MAX + 50; tag++)
        data.call(call(tag));
    // At the cap a root call in progress still completes, and frees room for a new one.
    data.call(root(1)).call(call(1u << 19));
    start();
    send(aid, data.message());
    drain();
    const agent_collector *ac = state(aid);
    EXPECT_EQ(ac->open_roots, AGENT_OPEN_ROOTS_MAX);
    const std::string lines = log_.lines();
    std::ostringstream warn;
    warn << "WARN   Root call dropped. Agent " << std::hex << std::uppercase << std::setfill('0')
         << std::setw(16) << aid << std::dec << " has " << AGENT_OPEN_ROOTS_MAX
         << " root calls in progress.\n";
    EXPECT_EQ(count_of(lines, warn.str()), 50u);
    EXPECT_EQ(problems(lines).size(), 50 * warn.str().size());
    EXPECT_EQ(stored(aid).size(), 1u);

    // The dump's 16-bit fields show the count saturated.
    bbuf *buf = nullptr;
    collector_dump_status(kT + 1500, &buf, col_);
    ASSERT_NE(buf, nullptr);
    const std::string got(reinterpret_cast<const char *>(bbuf_data(buf)), bbuf_position(buf));
    free(buf);
    EXPECT_EQ(got.substr(40), unhex("0001 0002 0000 FFFF"));
}

// ---- the store's batch in the budgets -------------------------------------------------------

// The root calls completed within a payload wait in the store's buffers until its end; those
// buffers count against the agent's and its worker's budgets. Past the agent's budget they
// are written at once and released, so what waits never takes the agent past it.
TEST_F(TimeCellTest, WaitingRootCallsCountAgainstTheBudgets) {
    constexpr uint64_t kRoots = 20;
    const struct {
        const char *name;
        uint64_t room; // the agent's budget beyond what it holds before the payload
        bool waits;    // the root calls wait for the payload's end
    } cases[] = {
        {"room for the whole payload", 1u << 20, true},
        {"room for a root call in progress, not for one waiting", 6000, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(agent_dir(aid_) + "/mc");
        ASSERT_EQ(sys_mkdirs((agent_dir(aid_) + "/mc").c_str()), 0);
        collector_memory mem{0, UINT64_MAX, UINT64_MAX};
        const collector_callbacks cb = store_callbacks(db_);
        agent_collector *ac = agent_collector_create(&cb, aid_, &mem);
        for (auto [type, id, name] :
             {std::tuple{SYM_CLASS, 5u, "C"}, {SYM_METHOD, 6u, "m"}, {SYM_THREAD, 1u, "t"}})
            agent_symbol_map_put(ac, &ac->maps[type - 1], id, 1, name, collector_symbol_cb, db_);
        mem.agent_limit = ac->mem_used + c.room;
        dbs_agent *store = dbs_agent_find(db_, aid_);
        agent_payload_begin(ac);
        uint64_t most = 0; // the most the buffers held
        for (uint64_t tag = 1; tag <= kRoots; tag++) {
            for (uint32_t i = 0; i < 40; i++)
                process(ac, call(tag));
            process(ac, root(tag));
            EXPECT_EQ(ac->batch_mem, dbs_agent_mc_batch_bytes(store));
            EXPECT_LE(ac->mem_used, mem.agent_limit);
            EXPECT_EQ(mem.used, ac->mem_used);
            most = std::max(most, ac->batch_mem);
        }
        const size_t before_end = stored(aid_).size();
        if (c.waits) {
            EXPECT_EQ(before_end, 0u);
            EXPECT_GT(most, 40 * sizeof(call_record) * kRoots);
        } else {
            EXPECT_GT(before_end, 0u);
        }
        EXPECT_EQ(agent_payload_end(ac), 0);
        EXPECT_EQ(stored(aid_).size(), kRoots);
        EXPECT_EQ(ac->batch_mem, dbs_agent_mc_batch_bytes(store));
        EXPECT_EQ(mem.used, ac->mem_used);
        agent_collector_destroy(ac);
        EXPECT_EQ(mem.used, 0u);
    }
}

// ---- symbol maps -------------------------------------------------------------------------

std::vector<std::string> g_saved_names;
bool g_fail_saves = false;

uint32_t fake_symbol_save(dbs *, uint32_t, uint16_t len, const char *name) {
    if (g_fail_saves)
        return 0;
    g_saved_names.emplace_back(name, len);
    return static_cast<uint32_t>(1000 + g_saved_names.size());
}

size_t pages_of(const agent_symbol_map *m) {
    size_t n = 0;
    for (uint32_t **mid : m->top) {
        for (uint32_t i = 0; mid != nullptr && i < 64; i++)
            n += mid[i] != nullptr;
    }
    return n;
}

TEST_F(TimeCellTest, SymbolMapsKeepTheFirstNameOfEveryId) {
    g_saved_names.clear();
    state_ptr ac = make_state();
    agent_symbol_map *m = &ac->maps[SYM_KEY - 1];
    agent_symbol_map_put(ac.get(), m, 1, 1, "a", fake_symbol_save, nullptr);
    agent_symbol_map_put(ac.get(), m, 0xFFFFFF, 1, "z", fake_symbol_save, nullptr);
    agent_symbol_map_put(ac.get(), m, 0x1000000, 1, "x", fake_symbol_save, nullptr);
    agent_symbol_map_put(ac.get(), m, 1, 1, "b", fake_symbol_save, nullptr);
    g_fail_saves = true;
    agent_symbol_map_put(ac.get(), m, 2, 4, "fail", fake_symbol_save, nullptr);
    g_fail_saves = false;
    EXPECT_EQ(agent_symbol_map_get(m, 2), 0u);
    agent_symbol_map_put(ac.get(), m, 2, 2, "ok", fake_symbol_save, nullptr);

    EXPECT_EQ(g_saved_names, (std::vector<std::string>{"a", "z", "ok"}));
    EXPECT_EQ(agent_symbol_map_get(m, 1), 1001u);
    EXPECT_EQ(agent_symbol_map_get(m, 0xFFFFFF), 1002u);
    EXPECT_EQ(agent_symbol_map_get(m, 2), 1003u);
    // The largest id costs one page of ids, as the smallest does.
    EXPECT_EQ(pages_of(m), 2u);
    EXPECT_EQ(problems(log_.lines()),
              "ERROR  Invalid symbol ID: 16777216\nERROR  Symbol [fail] save failed.\n");
}

TEST_F(TimeCellTest, LookupsBeyondTheIdsNamedSoFarAreReported) {
    state_ptr ac = make_state();
    agent_symbol_map *m = &ac->maps[SYM_KEY - 1];
    EXPECT_EQ(agent_symbol_map_get(m, 2047), 0u);
    EXPECT_EQ(agent_symbol_map_get(m, 2048), 0u);
    agent_symbol_map_put(ac.get(), m, 3000, 1, "k", collector_symbol_cb, db_);
    EXPECT_EQ(agent_symbol_map_get(m, 3071), 0u);
    EXPECT_EQ(agent_symbol_map_get(m, 3072), 0u);
    EXPECT_NE(agent_symbol_map_get(m, 3000), 0u);
    EXPECT_EQ(problems(log_.lines()), "ERROR  Missing symbol 2048.\nERROR  Missing symbol 3072.\n");
}

} // namespace
