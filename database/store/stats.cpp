#include "database/store/stats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

#include "database/store/agents.h"
#include "database/store/kv.h"
#include "database/store/walk.h"
#include "lib/term.h"

namespace {

constexpr int NAME_COLUMN = 32;
constexpr int RULE_WIDTH = 120;
// Width the shares and sizes of the rows take ("%6.2f"), which the total line lines up to.
constexpr int NUMBER_COLUMN = 6;
// Shown for a day an agent has no root calls for: as wide as a date.
constexpr const char *NO_DAY = "       -        ";

// The shares of call-file and extension bytes in their sum, both 0 when it is 0.
void shares(uint64_t data, uint64_t ext, double *c_pct, double *cp_pct) {
    const uint64_t sum = data + ext;
    *c_pct = sum == 0 ? 0 : static_cast<double>(data) * 100 / static_cast<double>(sum);
    *cp_pct = sum == 0 ? 0 : static_cast<double>(ext) * 100 / static_cast<double>(sum);
}

// A day start as a date. Day starts are UTC instants, so they are shown in UTC: as local
// time they would name the day before west of UTC. The dash text for 0 (no day).
void day_text(char *buf, size_t size, uint64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (t == 0 || gmtime_r(&tt, &tm) == nullptr || strftime(buf, size, "%a, %d %b %Y", &tm) == 0)
        snprintf(buf, size, "%s", NO_DAY);
}

// -1, 0 or 1 as a is below, equal to or above b.
template <typename T> int order(T a, T b) {
    return (a > b) - (a < b);
}

const dbs_stats_row *row_of(const void *p) {
    return static_cast<const dbs_stats_row *>(p);
}

using row_cmp = int (*)(const void *, const void *);

// The comparator of each sort key, indexed by the key.
constexpr row_cmp SORT_KEYS[] = {dbs_stats_cmp_agent, dbs_stats_cmp_c_pct, dbs_stats_cmp_cp_pct,
                                 dbs_stats_cmp_cp_bytes, dbs_stats_cmp_kv_bytes};

void print_rule() {
    static const std::string rule(RULE_WIDTH, '-');
    printf("%.*s\n", RULE_WIDTH, rule.c_str());
}

void print_row(const dbs_stats_row &r) {
    static const std::string dots(NAME_COLUMN, '.');
    const int len = static_cast<int>(strnlen(r.name, NAME_COLUMN));
    char from[32], thru[32];
    day_text(from, sizeof from, r.first);
    day_text(thru, sizeof thru, r.last);
    printf(" %-4s | %.*s%.*s | %6.2f | %6.2f | %6.2f %s | %6.2f %s | %s | %s |\n", r.type, len,
           r.name, NAME_COLUMN - len, dots.c_str(), r.c_pct, r.cp_pct, r.cp_bytes.value,
           r.cp_bytes.unit, r.kv_bytes.value, r.kv_bytes.unit, from, thru);
}

void print_total(const dbs_stats &s) {
    static const std::string spaces(NUMBER_COLUMN, ' ');
    double c_pct, cp_pct;
    shares(s.data_bytes, s.ext_bytes, &c_pct, &cp_pct);
    fmt_size cp, kv;
    fmt_bytes_ex(&cp, s.data_bytes + s.ext_bytes, 0);
    fmt_bytes_ex(&kv, s.kv_bytes, 0);
    char from[32], thru[32];
    day_text(from, sizeof from, s.first);
    day_text(thru, sizeof thru, s.last);
    auto pad = [](double v) { return term_pad_real("%.2f", NUMBER_COLUMN, v); };
    printf("\033[95m TOTAL %-34zu  %.*s%.2f   %.*s%.2f   %.*s%.2f %s   %.*s%.2f %s   %s   %s\n"
           "\033[0m",
           s.rows.size(), pad(c_pct), spaces.c_str(), c_pct, pad(cp_pct), spaces.c_str(), cp_pct,
           pad(cp.value), spaces.c_str(), cp.value, cp.unit, pad(kv.value), spaces.c_str(),
           kv.value, kv.unit, from, thru);
}

} // namespace

int dbs_stats_agent_row(void *ctx, agent_entry *agent) {
    dbs_stats *s = static_cast<dbs_stats *>(ctx);
    dbs_stats_row r{};
    uint64_t data = 0, ext = 0, kv = 0;
    // A failure of either is logged by it; the row shows what could be counted.
    getAgentCallsStats(agent->id, &r.first, &r.last, &data, &ext);
    dbs_stats_kv(agent->id, &kv);
    shares(data, ext, &r.c_pct, &r.cp_pct);
    fmt_bytes_ex(&r.cp_bytes, data + ext, 0);
    fmt_bytes_ex(&r.kv_bytes, kv, 0);
    str_printable(r.name, agent->identity.label, sizeof agent->identity.label);
    r.type = agent->identity.type == AGENT_TYPE_JVM ? "JVM" : "---";
    s->rows.push_back(r);

    if (r.first != 0 && (s->first == 0 || r.first < s->first))
        s->first = r.first;
    if (r.last > s->last)
        s->last = r.last;
    s->data_bytes += data;
    s->ext_bytes += ext;
    s->kv_bytes += kv;
    return 0;
}

int dbs_stats_cmp_agent(const void *a, const void *b) {
    return strcmp(row_of(a)->name, row_of(b)->name);
}

int dbs_stats_cmp_c_pct(const void *a, const void *b) {
    return order(row_of(b)->c_pct, row_of(a)->c_pct);
}

int dbs_stats_cmp_cp_pct(const void *a, const void *b) {
    return order(row_of(b)->cp_pct, row_of(a)->cp_pct);
}

int dbs_stats_cmp_cp_bytes(const void *a, const void *b) {
    return order(row_of(b)->cp_bytes.bytes, row_of(a)->cp_bytes.bytes);
}

int dbs_stats_cmp_kv_bytes(const void *a, const void *b) {
    return order(row_of(b)->kv_bytes.bytes, row_of(a)->kv_bytes.bytes);
}

int dbs_print_data_stats(uint32_t sort_key) {
    dbs_stats s{};
    if (dbs_foreach_agent(&s, dbs_stats_agent_row) != 0)
        return -1;
    if (s.rows.empty()) {
        printf("\033[91mNo agent data found.\033[0m\n");
        return 0;
    }
    if (sort_key < std::size(SORT_KEYS))
        qsort(s.rows.data(), s.rows.size(), sizeof s.rows[0], SORT_KEYS[sort_key]);

    printf("\033[96m %-4s   %-32s   %-6s   %-6s   %-8s   %-8s   %-16s   %s\n\033[0m", "TYPE",
           "AGENT", "C[%]", "C+P[%]", "C+P[B]", "KV[B]", "FROM", "THROUGH");
    print_rule();
    for (const dbs_stats_row &r : s.rows)
        print_row(r);
    print_rule();
    print_total(s);
    printf("\033[0m\n\033[0m\n");
    return 0;
}
