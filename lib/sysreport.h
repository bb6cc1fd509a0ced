// The report of the machine and of the process's resource limits that the master logs once
// at start-up.
#pragma once

#include <cstdint>
#include <sys/utsname.h>

// A value the system cannot give is SYS_NO_VALUE. For the open-files maximum and the stack
// and file-size limits the same number means "no limit" and prints as "unlimited".
constexpr uint64_t SYS_NO_VALUE = UINT64_MAX;

struct sys_resources {
    uint64_t cache_line;  // line size of the first-level data cache
    uint64_t total_pages; // physical pages
    uint64_t page_size;
    uint64_t cpus;         // processors online
    uint64_t open_max;     // open-files maximum of the system configuration
    uint64_t stack_soft;   // soft stack size limit
    uint64_t files_soft;   // soft limit of open files
    uint64_t children_max; // child processes
    uint64_t fsize_soft;   // soft file-size limit
    int big_endian;
    struct utsname uts;
};

// Reads every value of the report from the system.
void sys_resources_gather(sys_resources *out);
// Logs the report as INFO lines (nothing below log level 1).
void sys_resources_print(const sys_resources *res);
// Gathers, then prints.
void sys_report_resources();

// Raises the soft limit of open files to the hard limit and logs both (INFO; a failed raise
// logs the call with its error and the limits that stay). Returns the soft limit in force
// afterwards, SYS_NO_VALUE when it cannot be read or there is none.
uint64_t sys_raise_files_limit();
