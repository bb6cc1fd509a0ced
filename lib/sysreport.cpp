#include "lib/sysreport.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

#include "lib/format.h"
#include "lib/log.h"

static uint64_t conf_value(int name) {
    long v = sysconf(name);
    return v < 0 ? SYS_NO_VALUE : static_cast<uint64_t>(v);
}

// RLIM_INFINITY is the largest u64 already, so a missing limit and an unreadable one both
// come out as SYS_NO_VALUE.
static uint64_t soft_limit(int resource) {
    struct rlimit rl;
    if (getrlimit(resource, &rl) != 0)
        return SYS_NO_VALUE;
    return static_cast<uint64_t>(rl.rlim_cur);
}

void sys_resources_gather(sys_resources *out) {
    memset(out, 0, sizeof *out);
    out->cache_line = conf_value(_SC_LEVEL1_DCACHE_LINESIZE);
    out->total_pages = conf_value(_SC_PHYS_PAGES);
    out->page_size = conf_value(_SC_PAGESIZE);
    out->cpus = conf_value(_SC_NPROCESSORS_ONLN);
    out->open_max = conf_value(_SC_OPEN_MAX);
    out->stack_soft = soft_limit(RLIMIT_STACK);
    out->files_soft = soft_limit(RLIMIT_NOFILE);
    out->children_max = conf_value(_SC_CHILD_MAX);
    out->fsize_soft = soft_limit(RLIMIT_FSIZE);
    out->big_endian = std::endian::native == std::endian::big;
    if (uname(&out->uts) != 0)
        memset(&out->uts, 0, sizeof out->uts);
}

static void print_text(const char *key, const char *value) {
    LOG_INFO(": %-25s : %s", key, value);
}

static void print_number(const char *key, uint64_t value) {
    LOG_INFO(": %-25s : %lu", key, static_cast<unsigned long>(value));
}

static void print_limit(const char *key, uint64_t value) {
    if (value == SYS_NO_VALUE)
        print_text(key, "unlimited");
    else
        print_number(key, value);
}

static uint64_t memory_bytes(const sys_resources *res) {
    uint64_t bytes;
    if (res->total_pages == SYS_NO_VALUE || res->page_size == SYS_NO_VALUE ||
        __builtin_mul_overflow(res->total_pages, res->page_size, &bytes))
        return SYS_NO_VALUE;
    return bytes;
}

void sys_resources_print(const sys_resources *res) {
    fmt_size memory;
    fmt_bytes(&memory, memory_bytes(res));
    LOG_INFO("--- System resources report ---");
    print_text("System", res->uts.sysname);
    print_text("System mach.", res->uts.machine);
    print_text("System rel.", res->uts.release);
    print_text("System ver.", res->uts.version);
    print_text("Endianness", res->big_endian ? "BE" : "LE");
    print_number("Cache line size", res->cache_line);
    print_number("Total pages", res->total_pages);
    print_number("Page size", res->page_size);
    LOG_INFO(": %-25s : %.2f %s", "Memory installed", memory.value, memory.unit);
    print_number("CPUs avail.", res->cpus);
    print_limit("Max. open files", res->open_max);
    print_limit("Stack size", res->stack_soft);
    print_number("FD max value", res->files_soft);
    print_number("Max. children", res->children_max);
    print_limit("Max. file size", res->fsize_soft);
    LOG_INFO("--- System resources report ---");
}

void sys_report_resources() {
    sys_resources res;
    sys_resources_gather(&res);
    sys_resources_print(&res);
}

// A limit as text: its number, or "unlimited".
static void limit_text(char *buf, size_t len, rlim_t v) {
    if (v == RLIM_INFINITY)
        snprintf(buf, len, "unlimited");
    else
        snprintf(buf, len, "%lu", static_cast<unsigned long>(v));
}

uint64_t sys_raise_files_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        LOG_SYSERR("getrlimit");
        return SYS_NO_VALUE;
    }
    char soft[24], hard[24];
    limit_text(soft, sizeof soft, rl.rlim_cur);
    limit_text(hard, sizeof hard, rl.rlim_max);
    if (rl.rlim_cur == rl.rlim_max) {
        LOG_INFO("Open files limit: soft %s, hard %s.", soft, hard);
        return static_cast<uint64_t>(rl.rlim_cur);
    }
    const rlim_t before = rl.rlim_cur;
    rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        LOG_SYSERR("setrlimit");
        LOG_WARN("Open files limit stays: soft %s, hard %s.", soft, hard);
        return static_cast<uint64_t>(before);
    }
    LOG_INFO("Open files limit: soft %s raised to the hard limit %s.", soft, hard);
    return static_cast<uint64_t>(rl.rlim_cur);
}
