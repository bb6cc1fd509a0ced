#include "database/agent_collector.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "database/store/dbs.h"
#include "database/store/ext.h"
#include "database/store/kv.h"
#include "database/store/symbols.h"
#include "lib/be_load.h"
#include "lib/clock.h"
#include "lib/log.h"
#include "lib/xalloc.h"

namespace {

constexpr uint32_t SYMMAP_START = 2048;
constexpr uint32_t SYMMAP_PAGE = 1u << SYMMAP_PAGE_BITS;
constexpr uint32_t SYMMAP_MID = 1u << SYMMAP_MID_BITS;
// The metric key whose samples carry the JVM's thread count: three parts joined by 0x1F.
constexpr char THREAD_COUNT_KEY[] = "JVM\x1F"
                                    "threads\x1F"
                                    "count";
constexpr uint16_t THREAD_COUNT_KEY_LEN = sizeof THREAD_COUNT_KEY - 1;

constexpr uint64_t ROOT_TIME_MASK = (uint64_t{1} << 44) - 1;
constexpr uint64_t TIME_BASE_INVALID = 0xFFFFFFFFFFFF;
constexpr uint32_t CELL_SLOTS_STEP = 8;
constexpr uint32_t SLOT_FIRST_CALLS = 2;
constexpr uint64_t AGE_LIMIT_S = OPEN_AGE_BUCKETS - 1;

// Call body offsets.
constexpr uint32_t BODY_FLAGS = 0;
constexpr uint32_t BODY_ROOT_KEY = 2;
constexpr uint32_t BODY_CLASS = 10;
constexpr uint32_t BODY_METHOD = 14;
constexpr uint32_t BODY_CORDER = 18;
constexpr uint32_t BODY_SDEPTH = 22;
constexpr uint32_t BODY_TIME_BASE = 24;
constexpr uint32_t BODY_AUX = 30;
constexpr uint32_t BODY_DUR = 33;

// What the budgets count for the collector's memory: each allocation with the allocator's
// bookkeeping, a slot of a cell's array, an entry of a cell's lookup tables.
constexpr uint64_t MEM_ALLOC = 16;
constexpr uint64_t MEM_SLOT = sizeof(rcall_slot);
constexpr uint64_t MEM_KEY = 64;
constexpr uint64_t MEM_PAGE = SYMMAP_PAGE * sizeof(uint32_t) + MEM_ALLOC;
constexpr uint64_t MEM_MID = SYMMAP_MID * sizeof(uint32_t *) + MEM_ALLOC;
// At most one WARN line per agent and second about what its budget made the collector drop.
constexpr uint64_t DROP_LINE_MS = 1000;

// ---- memory budget ----

bool mem_fits(const agent_collector *ac, uint64_t bytes) {
    const collector_memory *m = ac->memory;
    return ac->mem_used + bytes <= m->agent_limit && m->used + bytes <= m->limit;
}

bool mem_over(const agent_collector *ac) {
    return ac->mem_used > ac->memory->agent_limit || ac->memory->used > ac->memory->limit;
}

// Counts a change of what the agent holds: bytes more (or, negative, fewer).
void mem_change(agent_collector *ac, int64_t bytes) {
    ac->mem_used += static_cast<uint64_t>(bytes);
    ac->memory->used += static_cast<uint64_t>(bytes);
}

// Moves what *charged counts to `now`.
void mem_recount(agent_collector *ac, uint64_t *charged, uint64_t now) {
    mem_change(ac, static_cast<int64_t>(now) - static_cast<int64_t>(*charged));
    *charged = now;
}

// Counts one thing dropped for the budgets and tells it, once a second at most.
void budget_drop(agent_collector *ac, const char *what) {
    drop_count *d = &ac->over_budget;
    d->total++;
    d->untold++;
    const uint64_t now = monotonic_ms();
    if (d->told_ms != 0 && now - d->told_ms < DROP_LINE_MS)
        return;
    const collector_memory *m = ac->memory;
    LOG_WARN("Agent [%016lX] is over its collector memory budget (%lu of %lu bytes, its worker's "
             "%lu of %lu): %lu dropped since the last line (%s), %lu in all.",
             ac->agent_id, ac->mem_used, m->agent_limit, m->used, m->limit, d->untold, what,
             d->total);
    d->untold = 0;
    d->told_ms = now;
}

// Counts what the store's buffers of the agent's waiting root calls hold now.
void batch_recount(agent_collector *ac) {
    if (ac->agent != nullptr)
        mem_recount(ac, &ac->batch_mem, dbs_agent_mc_batch_bytes(ac->agent));
}

uint64_t slot_bytes(const rcall_slot *s) {
    return (s->reserved != 0 ? uint64_t{s->reserved} * sizeof(call_record) + MEM_ALLOC : 0) +
           (s->ext != nullptr ? ext_buf_bytes(s->ext) + 2 * MEM_ALLOC : 0);
}

uint64_t cell_bytes(const time_cell *c) {
    return c->slots.capacity() * MEM_SLOT + (c->by_key.size() + c->dropped.size()) * MEM_KEY;
}

// ---- symbol maps ----

uint32_t *symmap_page(const agent_symbol_map *m, uint32_t id) {
    uint32_t **mid = m->top[id >> (SYMMAP_PAGE_BITS + SYMMAP_MID_BITS)];
    return mid != nullptr ? mid[(id >> SYMMAP_PAGE_BITS) & (SYMMAP_MID - 1)] : nullptr;
}

uint32_t *symmap_page_make(agent_symbol_map *m, uint32_t id) {
    uint32_t **&mid = m->top[id >> (SYMMAP_PAGE_BITS + SYMMAP_MID_BITS)];
    if (mid == nullptr)
        mid = static_cast<uint32_t **>(krv_calloc(SYMMAP_MID, sizeof(uint32_t *)));
    uint32_t *&page = mid[(id >> SYMMAP_PAGE_BITS) & (SYMMAP_MID - 1)];
    if (page == nullptr)
        page = static_cast<uint32_t *>(krv_calloc(SYMMAP_PAGE, sizeof(uint32_t)));
    return page;
}

void symmap_init(agent_symbol_map *m, uint32_t type) {
    *m = {};
    m->capacity = SYMMAP_START;
    m->type = type;
}

void symmap_free(agent_symbol_map *m) {
    for (uint32_t **mid : m->top) {
        if (mid == nullptr)
            continue;
        for (uint32_t i = 0; i < SYMMAP_MID; i++)
            free(mid[i]);
        free(mid);
    }
}

// ---- time ----

uint64_t clock_now_ms() {
    return wall_clock_ms();
}

// The cell of a window: its UTC window number modulo the ring's size. A clock change of the
// local time zone never puts two windows into one cell.
uint32_t time_cell_index(uint64_t window) {
    return static_cast<uint32_t>(window / TIME_CELL_MS % TIME_CELLS);
}

// ---- cells and slots ----

// Empties a slot for reuse and counts what it still holds.
void slot_reset(agent_collector *ac, rcall_slot *s) {
    uint64_t charged = s->mem;
    rcall_slot_reset(s);
    mem_recount(ac, &charged, slot_bytes(s));
    s->mem = charged;
}

void cell_recount(agent_collector *ac, time_cell *cell, uint64_t *charged) {
    mem_recount(ac, charged, cell_bytes(cell));
}

// Gives the cell n slots, counting the change.
void cell_set_capacity(agent_collector *ac, time_cell *cell, uint32_t n) {
    uint64_t charged = cell_bytes(cell);
    for (uint32_t i = n; i < cell->slots.size(); i++)
        mem_change(ac, -static_cast<int64_t>(cell->slots[i].mem));
    time_cell_set_capacity(cell, n);
    cell_recount(ac, cell, &charged);
}

void time_cell_reset(agent_collector *ac, time_cell *cell, uint64_t window) {
    for (uint32_t i = 0; i < cell->open; i++)
        slot_reset(ac, &cell->slots[i]);
    ac->open_roots -= cell->open;
    uint64_t charged = cell_bytes(cell);
    cell->open = 0;
    cell->by_key.clear();
    cell->dropped.clear();
    cell->start = window;
    cell_recount(ac, cell, &charged);
    cell_set_capacity(ac, cell, CELL_SLOTS_STEP);
}

// The cell of the root time's window. A cell holding an older window is taken over (its
// root calls in progress are lost); a call for a window older than the cell holds is
// dropped, so a late call never wipes newer root calls in progress. NULL when dropped.
time_cell *agent_time_cell(agent_collector *ac, uint64_t root_time) {
    const uint64_t window = root_time - root_time % TIME_CELL_MS;
    time_cell *cell = &ac->cells[time_cell_index(window)];
    if (cell->start == window)
        return cell;
    if (cell->start > window) {
        LOG_WARN("Root call dropped. Arrived too late.");
        return nullptr;
    }
    if (cell->open > 0)
        LOG_WARN("Invalidating collector time cell. Incomplete calls will be discarded.");
    else if (cell->start != 0)
        LOG_WARN("Call [T=%lu] invalidates the collector time cell.", window);
    time_cell_reset(ac, cell, window);
    return cell;
}

// The slot of the root key's call in progress in the cell: the last call's when it is the
// same root call's, else the one the cell's table names. False when there is none.
bool time_cell_find(agent_collector *ac, time_cell *cell, uint64_t root_key, uint32_t *index) {
    if (ac->last_cell == cell && ac->last_index < cell->open &&
        cell->slots[ac->last_index].root_key == root_key) {
        *index = ac->last_index;
        return true;
    }
    if (cell->by_key.empty())
        return false;
    auto it = cell->by_key.find(root_key);
    if (it == cell->by_key.end())
        return false;
    *index = it->second;
    return true;
}

// Opens a slot for a new root key in the cell. False when the agent has as many root calls
// in progress as it may, or no room in its budget for one more.
bool time_cell_open(agent_collector *ac, time_cell *cell, uint64_t root_key, uint32_t *index) {
    if (ac->open_roots >= AGENT_OPEN_ROOTS_MAX) {
        LOG_WARN("Root call dropped. Agent %016lX has %u root calls in progress.", ac->agent_id,
                 ac->open_roots);
        return false;
    }
    const bool grow = cell->open == cell->slots.size();
    if (!mem_fits(ac, MEM_KEY + (grow ? CELL_SLOTS_STEP * MEM_SLOT : 0))) {
        budget_drop(ac, "root call opened");
        return false;
    }
    if (grow)
        cell_set_capacity(ac, cell, cell->open + CELL_SLOTS_STEP);
    uint64_t charged = cell_bytes(cell);
    *index = cell->open++;
    ac->open_roots++;
    cell->slots[*index].root_key = root_key;
    cell->by_key.emplace(root_key, *index);
    cell_recount(ac, cell, &charged);
    return true;
}

// Ends the root call of a slot: the slot is emptied and moved behind the ones in use.
void time_cell_release(agent_collector *ac, time_cell *cell, uint32_t index) {
    rcall_slot *s = &cell->slots[index];
    uint64_t charged = cell_bytes(cell);
    cell->by_key.erase(s->root_key);
    slot_reset(ac, s);
    const uint32_t last = --cell->open;
    ac->open_roots--;
    if (index != last) {
        std::swap(*s, cell->slots[last]);
        cell->by_key[s->root_key] = index;
    }
    cell_recount(ac, cell, &charged);
}

// Drops the root call of a slot as a whole. Unless `root` (the call that made it drop is its
// root), its key is remembered, so that the calls still to come, up to the root, are
// dropped too.
void time_cell_drop(agent_collector *ac, time_cell *cell, uint32_t index, bool root) {
    const uint64_t key = cell->slots[index].root_key;
    time_cell_release(ac, cell, index);
    if (root)
        return;
    uint64_t charged = cell_bytes(cell);
    cell->dropped.insert(key);
    cell_recount(ac, cell, &charged);
}

// ---- calls ----

// The optional parts of a call body, found before any of them takes effect.
struct call_parts {
    uint32_t thread;
    uint32_t exception;
    const uint8_t *ext;
    uint16_t ext_len;
};

// False when a part the flags announce does not fit in the body.
bool call_parts_find(uint16_t flags, const uint8_t *body, uint16_t len, call_parts *p) {
    *p = {};
    uint32_t pos = CALL_BODY_MIN;
    if (flags & CALL_F_ROOT) {
        if (len < pos + 4)
            return false;
        p->thread = load_be32(body + pos);
        pos += 4;
    }
    if (flags & (CALL_F_EXC_TEXT | CALL_F_EXC)) {
        if (len < pos + 4)
            return false;
        p->exception = load_be32(body + pos);
        pos += 4;
    }
    if (flags & (CALL_F_PARAMS | CALL_F_EXC_TEXT)) {
        if (len <= pos)
            return false;
        p->ext = body + pos;
        p->ext_len = static_cast<uint16_t>(len - pos);
    }
    return true;
}

uint64_t rcall_slot_add_ext(rcall_slot *s, uint8_t *scratch, uint16_t flags, const uint8_t *data,
                            uint16_t len) {
    if (s->ext == nullptr)
        s->ext = ext_buf_new();
    uint32_t grown;
    return ext_buf_add(&s->ext, &grown, scratch, flags, static_cast<uint16_t>(s->count), data, len);
}

// Makes the record of a call and appends it to the slot. False (logged) when the call is
// dropped; a dropped call changes nothing in the slot. *over_budget is set when it was
// dropped because its root call's memory would pass the budgets.
bool call_append(agent_collector *ac, rcall_slot *s, uint8_t *scratch, const uint8_t *body,
                 uint16_t len, bool *over_budget) {
    *over_budget = false;
    call_record c{};
    c.flags = load_be16(body + BODY_FLAGS);
    c.CLASS = load_be32(body + BODY_CLASS);
    c.METHOD = load_be32(body + BODY_METHOD);
    c.CORDER = load_be32(body + BODY_CORDER);
    c.SDEPTH = load_be16(body + BODY_SDEPTH);
    c.AUX = load_be24(body + BODY_AUX);
    c.DUR = load_be24(body + BODY_DUR);
    const uint64_t time_base = load_be48(body + BODY_TIME_BASE);
    if (time_base == TIME_BASE_INVALID) {
        LOG_ERROR("Call dropped. Incorrect data.");
        return false;
    }
    if (c.CLASS == 0 || c.METHOD == 0) {
        LOG_WARN("Symbol id empty: %lX", uint64_t{c.CLASS} << 32 | c.METHOD);
        LOG_ERROR("Call dropped. Incorrect data.");
        return false;
    }
    c.TSTAMP = time_base + c.DUR;
    call_parts parts;
    if (!call_parts_find(c.flags, body, len, &parts)) {
        LOG_ERROR("Call dropped. Corrupted data.");
        return false;
    }
    // The most the call can add: a doubled calls array and, with an entry, the entry and a
    // block header, or a whole block once the builder's open block is full.
    const uint64_t more =
        (s->count == s->reserved ? uint64_t{std::max(s->reserved, SLOT_FIRST_CALLS)} : 0) *
            sizeof(call_record) +
        (parts.ext != nullptr ? 2 * (EXT_ENTRY_HEAD + parts.ext_len) + EXT_HEADER_SIZE : 0);
    if (!mem_fits(ac, more)) {
        *over_budget = true;
        return false;
    }
    if (c.flags & CALL_F_ROOT)
        s->thread_id = parts.thread;
    if (c.flags & (CALL_F_EXC_TEXT | CALL_F_EXC)) {
        s->exception_calls++;
        c.EXCEPTION = parts.exception;
    }
    if (parts.ext != nullptr)
        c.ext = rcall_slot_add_ext(s, scratch, c.flags, parts.ext, parts.ext_len);
    uint64_t grown;
    rcall_slot_add_call(s, &c, &grown);
    mem_recount(ac, &s->mem, slot_bytes(s));
    // A closed block of the builder may be the one that passes the budgets.
    if (mem_over(ac))
        *over_budget = true;
    return true;
}

void call_log(const call_record *c) {
    LOG_DEBUG("Call CLASS[%u] METHOD[%u] EXCEPTION[%u] TSTAMP[%lu] DUR[%u] CORDER[%u] SDEPTH[%u]",
              c->CLASS, c->METHOD, c->EXCEPTION, c->TSTAMP, c->DUR, c->CORDER, c->SDEPTH);
}

// Gives a record the store's symbol ids and the file byte order. False (logged) when its
// class or method has no mapping, which drops the whole root call.
bool call_translate(const agent_collector *ac, call_record *c) {
    const uint32_t cls = agent_symbol_map_get(&ac->maps[SYM_CLASS - 1], c->CLASS);
    if (cls == 0) {
        LOG_WARN("Class symbol [%u] not found.", c->CLASS);
        call_log(c);
        return false;
    }
    const uint32_t method = agent_symbol_map_get(&ac->maps[SYM_METHOD - 1], c->METHOD);
    if (method == 0) {
        LOG_WARN("Method symbol [%u] not found.", c->METHOD);
        call_log(c);
        return false;
    }
    uint32_t exception = 0;
    if (c->EXCEPTION != 0) {
        exception = agent_symbol_map_get(&ac->maps[SYM_CLASS - 1], c->EXCEPTION);
        if (exception == 0) {
            LOG_WARN("Exception symbol [%u] not found.", c->EXCEPTION);
            call_log(c);
        }
    }
    c->CLASS = cls;
    c->METHOD = method;
    c->EXCEPTION = exception;
    call_record_swap(c);
    return true;
}

// Hands the completed root call of a slot to the store. -1 when it was not stored: a call
// without its symbols (logged here) or a failed save (logged by the store).
int rcall_slot_store(agent_collector *ac, rcall_slot *s, uint8_t *scratch) {
    rcall rc;
    rcall_slot_export(s, scratch, &rc);
    mem_recount(ac, &s->mem, slot_bytes(s));
    for (uint32_t i = 0; i < rc.count; i++) {
        if (!call_translate(ac, &rc.calls[i]))
            return -1;
    }
    const uint32_t thread = agent_symbol_map_get(&ac->maps[SYM_THREAD - 1], rc.thread);
    if (thread == 0)
        LOG_WARN("Thread symbol not found: %u", rc.thread);
    rc.thread = thread;
    const int saved = ac->cb.rcall_save(ac->agent, &rc);
    if (ac->agent == nullptr)
        return saved;
    batch_recount(ac);
    // Within a payload the root calls wait for its end, unless what waits takes the agent
    // or its worker past the budgets.
    if (ac->in_payload && !mem_over(ac))
        return saved;
    const int flushed =
        ac->in_payload ? dbs_agent_mc_batch_release(ac->agent) : dbs_agent_mc_flush(ac->agent);
    batch_recount(ac);
    return flushed == 0 ? saved : -1;
}

// A root that completes a root call of its own: assembled in the agent's lone slot and
// stored, with no slot of its cell opened for it.
int lone_root_process(agent_collector *ac, uint8_t *scratch, uint64_t root_key, const uint8_t *body,
                      uint16_t len) {
    rcall_slot *s = &ac->lone;
    s->root_key = root_key;
    bool over_budget;
    const bool accepted = call_append(ac, s, scratch, body, len, &over_budget);
    ac->completed_roots++;
    int rc = -1;
    if (over_budget)
        budget_drop(ac, "root call");
    else if (accepted) {
        if (s->exception_calls > 0)
            ac->exception_roots++;
        rc = rcall_slot_store(ac, s, scratch);
    }
    slot_reset(ac, s);
    return rc;
}

// The server's clock: the one read at the start of the payload while one is walked.
uint64_t agent_clock_ms(const agent_collector *ac) {
    return ac->in_payload ? ac->payload_clock_ms : clock_now_ms();
}

bool agent_has_store(const agent_collector *ac) {
    if (ac->agent != nullptr)
        return true;
    LOG_ERROR("Agent %016lX has no store state. Data dropped.", ac->agent_id);
    return false;
}

} // namespace

uint32_t collector_log_missing_symbol(uint32_t id) {
    LOG_ERROR("Missing symbol %u.", id);
    return 0;
}

agent_collector *agent_collector_create(const collector_callbacks *cb, uint64_t agent_id,
                                        collector_memory *memory) {
    auto *ac = new agent_collector{};
    ac->cb = *cb;
    ac->agent_id = agent_id;
    ac->own_memory = {0, UINT64_MAX, COLLECTOR_AGENT_MEMORY};
    ac->memory = memory != nullptr ? memory : &ac->own_memory;
    // The state itself is counted, not refused: an agent is always served.
    mem_change(ac, sizeof(agent_collector) + MEM_ALLOC);
    for (uint32_t type = SYM_THREAD; type <= SYM_KEY; type++)
        symmap_init(&ac->maps[type - 1], type);
    ac->agent = cb->db != nullptr ? dbs_agent_find(cb->db, agent_id) : nullptr;
    return ac;
}

void agent_collector_destroy(agent_collector *ac) {
    LOG_DEBUG("Agent collector destroyed for %016lX", ac->agent_id);
    // The agent is gone: a failed close has been logged and there is nothing to retry.
    if (ac->agent != nullptr) {
        (void)dbs_agent_kv_close(ac->cb.db, ac->agent);
        (void)dbs_agent_mc_close(ac->agent);
        batch_recount(ac);
        // No later root call or sample of the agent tells what was lost in its last second,
        // a failed last write among it: told now.
        dbs_agent_tell_losses(ac->agent, true);
    }
    for (agent_symbol_map &m : ac->maps)
        symmap_free(&m);
    for (time_cell &cell : ac->cells) {
        for (rcall_slot &s : cell.slots)
            rcall_slot_free(&s);
    }
    rcall_slot_free(&ac->lone);
    if (ac->over_budget.untold != 0)
        LOG_WARN("Agent [%016lX]: %lu dropped for the collector memory budget since the last "
                 "line, %lu in all.",
                 ac->agent_id, ac->over_budget.untold, ac->over_budget.total);
    ac->memory->used -= ac->mem_used;
    delete ac;
}

agent_symbol_map *agent_symbol_map_of(agent_collector *ac, uint8_t record_type) {
    static constexpr uint32_t type_of[] = {0, 0, SYM_KEY, SYM_CLASS, SYM_METHOD, SYM_THREAD};
    return &ac->maps[type_of[record_type] - 1];
}

uint32_t agent_symbol_map_get(const agent_symbol_map *map, uint32_t id) {
    if (id >= map->capacity)
        return collector_log_missing_symbol(id);
    const uint32_t *page = symmap_page(map, id);
    return page != nullptr ? page[id & (SYMMAP_PAGE - 1)] : 0;
}

int agent_symbol_map_put(agent_collector *ac, agent_symbol_map *map, uint32_t id, uint16_t len,
                         const char *name,
                         uint32_t (*symbol_save)(dbs *, uint32_t, uint16_t, const char *),
                         dbs *db) {
    if (id > AGENT_SYMBOL_ID_MAX) {
        LOG_ERROR("Invalid symbol ID: %u", id);
        return -1;
    }
    if (id < map->capacity && agent_symbol_map_get(map, id) != 0)
        return 0;
    const bool mid_missing = map->top[id >> (SYMMAP_PAGE_BITS + SYMMAP_MID_BITS)] == nullptr;
    const uint64_t pages =
        (mid_missing ? MEM_MID : 0) + (symmap_page(map, id) == nullptr ? MEM_PAGE : 0);
    if (pages != 0 && !mem_fits(ac, pages)) {
        budget_drop(ac, "symbol");
        return -1;
    }
    if (id >= map->capacity)
        map->capacity = id / SYMMAP_PAGE * SYMMAP_PAGE + SYMMAP_PAGE;
    const uint32_t global = symbol_save(db, map->type, len, name);
    if (global == 0) {
        LOG_ERROR("Symbol [%.*s] save failed.", static_cast<int>(len), name);
        return -1;
    }
    symmap_page_make(map, id)[id & (SYMMAP_PAGE - 1)] = global;
    mem_change(ac, static_cast<int64_t>(pages));
    if (map->type == SYM_KEY && map->special_id == 0 && len == THREAD_COUNT_KEY_LEN &&
        memcmp(name, THREAD_COUNT_KEY, len) == 0)
        map->special_id = global;
    return 0;
}

int agent_kv_process(agent_symbol_map *key_map, agent_collector *ac, kv_record *rec,
                     int (*kv_save)(dbs_agent *, const kv_record *)) {
    const uint32_t key = agent_symbol_map_get(key_map, rec->key);
    if (key == 0) {
        LOG_ERROR("KV symbol [%u] not found.", rec->key);
        return -1;
    }
    rec->key = key;
    if (key == key_map->special_id) {
        const uint64_t value = rec->value;
        ac->thread_count_time = rec->time;
        ac->thread_count = static_cast<uint32_t>(value);
        LOG_DEBUG("Threads count: %lu", value);
    }
    if (!agent_has_store(ac))
        return -1;
    return kv_save(ac->agent, rec);
}

int agent_call_process(agent_collector *ac, uint8_t *scratch, const uint8_t *body, uint16_t len) {
    if (static_cast<uint16_t>(len - CALL_BODY_MIN) > CALL_BODY_MAX - CALL_BODY_MIN) {
        LOG_ERROR("Invalid call size: %u", len);
        return -1;
    }
    if (!agent_has_store(ac))
        return -1;
    const uint64_t root_key = load_be64(body + BODY_ROOT_KEY);
    const uint64_t root_time = root_key & ROOT_TIME_MASK;
    // Only a time past the newest one seen can lie beyond the bound: the newest one was
    // checked against an earlier clock.
    if (root_time > ac->newest_root_time && root_time > agent_clock_ms(ac) + ROOT_TIME_SLACK_MS) {
        LOG_WARN("Root call dropped. Root time %lu lies ahead of the server clock.", root_time);
        return -1;
    }
    if (root_time + ROOT_TIME_SLACK_MS < ac->newest_root_time) {
        LOG_WARN("Root call dropped. Arrived too late.");
        return -1;
    }
    ac->newest_root_time = std::max(ac->newest_root_time, root_time);
    time_cell *cell = agent_time_cell(ac, root_time);
    if (cell == nullptr)
        return -1;
    const bool is_root = load_be16(body + BODY_FLAGS) & CALL_F_ROOT;
    // A call of a root call dropped for its size: dropped too, the root ending the drop.
    if (!cell->dropped.empty()) {
        if (auto it = cell->dropped.find(root_key); it != cell->dropped.end()) {
            if (is_root) {
                uint64_t charged = cell_bytes(cell);
                cell->dropped.erase(it);
                cell_recount(ac, cell, &charged);
                ac->completed_roots++;
            }
            return -1;
        }
    }
    uint32_t index;
    if (!time_cell_find(ac, cell, root_key, &index)) {
        if (is_root)
            return lone_root_process(ac, scratch, root_key, body, len);
        if (!time_cell_open(ac, cell, root_key, &index))
            return -1;
    }
    ac->last_cell = cell;
    ac->last_index = index;
    rcall_slot *s = &cell->slots[index];
    if (s->count == RCALL_SLOT_CALLS_MAX) {
        LOG_WARN("Root call dropped. Calls count overflow.");
        ac->overflow_roots++;
        time_cell_drop(ac, cell, index, is_root);
        return -1;
    }
    bool over_budget;
    const bool accepted = call_append(ac, s, scratch, body, len, &over_budget);
    if (over_budget) {
        // The whole root call goes: a part of it is worth nothing.
        budget_drop(ac, "root call");
        if (is_root)
            ac->completed_roots++;
        time_cell_drop(ac, cell, index, is_root);
        return -1;
    }
    if (!is_root)
        return accepted ? 0 : -1;
    ac->completed_roots++;
    if (s->exception_calls > 0)
        ac->exception_roots++;
    const int rc = accepted ? rcall_slot_store(ac, s, scratch) : -1;
    time_cell_release(ac, cell, index);
    return rc;
}

void agent_payload_begin(agent_collector *ac) {
    ac->in_payload = true;
    ac->payload_clock_ms = clock_now_ms();
}

int agent_payload_end(agent_collector *ac) {
    ac->in_payload = false;
    if (ac->agent == nullptr)
        return 0;
    const int rc = dbs_agent_mc_flush(ac->agent);
    batch_recount(ac);
    return rc;
}

void agent_collector_cell_stats(uint64_t now_ms, const agent_collector *ac, open_age_table *t) {
    uint64_t out_of_sync = 0;
    for (const time_cell &cell : ac->cells) {
        for (uint32_t i = 0; i < cell.open; i++) {
            const rcall_slot &s = cell.slots[i];
            const uint64_t root_time = s.root_key & ROOT_TIME_MASK;
            if (root_time > now_ms) {
                out_of_sync++;
                continue;
            }
            const uint64_t age = (now_ms - root_time) / 1000;
            if (age >= AGE_LIMIT_S)
                continue;
            t->buckets[age + 1].open_roots++;
            if (s.exception_calls > 0)
                t->buckets[age + 1].exception_roots++;
        }
    }
    if (out_of_sync > 0)
        LOG_WARN("%lu calls times out of sync!", out_of_sync);
}

void rcall_slot_init(rcall_slot *s) {
    *s = {};
}

void rcall_slot_reset(rcall_slot *s) {
    call_record *calls = s->calls;
    uint32_t reserved = s->reserved;
    if (reserved > RCALL_SLOT_KEEP_CALLS) {
        free(calls);
        calls = nullptr;
        reserved = 0;
    }
    ext_buf *ext = s->ext;
    const uint64_t mem = s->mem;
    *s = {};
    s->mem = mem;
    s->calls = calls;
    s->reserved = reserved;
    if (ext != nullptr) {
        uint32_t held;
        s->ext = ext_buf_reset(ext, &held);
    }
}

void rcall_slot_free(rcall_slot *s) {
    free(s->calls);
    ext_buf_free(s->ext);
    *s = {};
}

void rcall_slot_add_call(rcall_slot *s, const call_record *c, uint64_t *grown) {
    *grown = 0;
    if (s->count == s->reserved) {
        const uint32_t old = s->reserved;
        s->reserved = old == 0 ? SLOT_FIRST_CALLS : std::min(old * 2, RCALL_SLOT_CALLS_MAX);
        s->calls = static_cast<call_record *>(
            krv_realloc(s->calls, size_t{s->reserved} * sizeof(call_record)));
        *grown = uint64_t{s->reserved - old} * sizeof(call_record);
    }
    s->calls[s->count++] = *c;
}

void rcall_slot_export(rcall_slot *s, uint8_t *scratch, rcall *rc) {
    uint32_t blob_len = 0;
    const uint8_t *blob = nullptr;
    if (s->ext != nullptr) {
        uint32_t grown;
        blob = ext_buf_finish(&s->ext, &blob_len, &grown, scratch);
    }
    *rc = {s->calls,
           &s->calls[s->count - 1],
           blob,
           blob != nullptr ? blob_len : 0,
           s->thread_id,
           static_cast<uint16_t>(s->exception_calls),
           static_cast<uint16_t>(s->count)};
}

void time_cell_set_capacity(time_cell *cell, uint32_t n) {
    const auto old = static_cast<uint32_t>(cell->slots.size());
    if (n == old)
        return;
    if (n < old) {
        for (uint32_t i = n; i < old; i++)
            rcall_slot_free(&cell->slots[i]);
        cell->slots.resize(n);
        cell->slots.shrink_to_fit();
    } else {
        cell->slots.resize(n);
        for (uint32_t i = old; i < n; i++)
            rcall_slot_init(&cell->slots[i]);
    }
    LOG_DEBUG("Time cell capacity %s from %u to %u.", n > old ? "increased" : "decreased", old, n);
}
